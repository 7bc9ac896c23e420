// The indexed list against a plain vector: same order, same answers, through growth of the
// index, removals that shift entries and duplicates.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "store/data.h"
#include "store/string_list.h"

namespace pv {
namespace {

std::vector<std::string> Items(const StringList& l) { return l.ToVector(); }

bool ScanContains(const std::vector<std::string>& v, std::string_view s) {
    return std::find(v.begin(), v.end(), s) != v.end();
}

TEST(StoreStringList, DuplicatesEmptyAndEmbeddedNul) {
    StringList l;
    EXPECT_FALSE(l.Contains(""));
    l.Append("a");
    l.Append("");
    l.Append("a");
    l.Append(std::string_view("a\0b", 3));
    EXPECT_EQ(l.Size(), 4u);
    EXPECT_EQ(l.DistinctCount(), 3u);
    EXPECT_TRUE(l.Contains(""));
    EXPECT_TRUE(l.Contains(std::string_view("a\0b", 3)));
    EXPECT_FALSE(l.Contains("A"));
    EXPECT_FALSE(l.Contains(std::string_view("a\0", 2)));
    EXPECT_EQ(l.RemoveAll("a"), 2u);
    EXPECT_EQ(Items(l), (std::vector<std::string>{"", std::string("a\0b", 3)}));
    EXPECT_EQ(l.RemoveAll("a"), 0u);
    EXPECT_EQ(l.RemoveAll(""), 1u);
    EXPECT_FALSE(l.Contains(""));
    EXPECT_EQ(l.At(0), std::string_view("a\0b", 3));
}

TEST(StoreStringList, OnlyEmptyEntries) {
    StringList l; // no text bytes at all
    l.Append("");
    l.Append("");
    EXPECT_TRUE(l.Contains(""));
    EXPECT_EQ(l.RemoveAll(""), 2u);
    EXPECT_TRUE(l.Empty());
}

TEST(StoreStringList, AppendingAnEntryOfItselfIsSafe) {
    StringList l;
    l.Append("first entry that is long enough to matter");
    for (int i = 0; i < 12; ++i) l.Append(l.At(l.Size() - 1)); // the block moves while copying
    EXPECT_EQ(l.Size(), 13u);
    for (std::size_t i = 0; i < l.Size(); ++i)
        EXPECT_EQ(l.At(i), "first entry that is long enough to matter");
    EXPECT_EQ(l.DistinctCount(), 1u);
}

// Thousands of keys force the index through many growths and long probe runs; removals in random
// order exercise the backward shift and the renumbering of later entries.
TEST(StoreStringList, MatchesAPlainVectorThroughGrowthAndRemovals) {
    std::mt19937 rng(7);
    StringList l;
    std::vector<std::string> ref;
    std::vector<std::string> keys;
    for (int i = 0; i < 6000; ++i) keys.push_back("http://k" + std::to_string(i * 7919 % 10007) + ".test/");
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 4000; ++i) {
            const std::string& k = keys[rng() % keys.size()];
            l.Append(k);
            ref.push_back(k);
        }
        std::shuffle(keys.begin(), keys.end(), rng);
        for (std::size_t i = 0; i < keys.size() / 3; ++i) {
            const std::size_t expected =
                static_cast<std::size_t>(std::count(ref.begin(), ref.end(), keys[i]));
            std::erase(ref, keys[i]);
            ASSERT_EQ(l.RemoveAll(keys[i]), expected);
        }
        ASSERT_EQ(Items(l), ref);
        for (const std::string& k : keys) ASSERT_EQ(l.Contains(k), ScanContains(ref, k)) << k;
        std::vector<std::string> distinct = ref;
        std::sort(distinct.begin(), distinct.end());
        distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
        EXPECT_EQ(l.DistinctCount(), distinct.size());
    }
    // Removing everything leaves an empty, still usable list.
    for (const std::string& k : keys) l.RemoveAll(k);
    EXPECT_TRUE(l.Empty());
    EXPECT_EQ(l.DistinctCount(), 0u);
    l.Append("again");
    EXPECT_TRUE(l.Contains("again"));
}

// Loading appends without the index and indexes everything in one sorted pass at the end; the
// result must be indistinguishable from appending one by one, and lookups in between still work.
TEST(StoreStringList, BulkLoadedEntriesBehaveLikeAppendedOnes) {
    std::mt19937 rng(11);
    std::vector<std::string> ref;
    for (int i = 0; i < 20000; ++i) ref.push_back("http://bulk" + std::to_string(rng() % 9000) + ".test/");
    StringList bulk;
    bulk.Reserve(ref.size());
    for (const std::string& s : ref) bulk.AppendUnindexed(s);
    EXPECT_EQ(bulk.PendingCount(), ref.size());
    EXPECT_TRUE(bulk.Contains(ref.back())); // found before indexing, by the fallback scan
    EXPECT_FALSE(bulk.Contains("http://bulk9000.test/"));
    bulk.IndexPending();
    bulk.ShrinkToFit();
    EXPECT_EQ(bulk.PendingCount(), 0u);

    StringList one;
    for (const std::string& s : ref) one.Append(s);
    EXPECT_EQ(bulk.DistinctCount(), one.DistinctCount());
    EXPECT_EQ(Items(bulk), ref);
    for (int k = 0; k < 9100; ++k) {
        const std::string s = "http://bulk" + std::to_string(k) + ".test/";
        ASSERT_EQ(bulk.Contains(s), one.Contains(s)) << s;
    }
    // Removal renumbers entries that the sorted pass indexed out of list order.
    for (int k = 0; k < 9000; k += 3) {
        const std::string s = "http://bulk" + std::to_string(k) + ".test/";
        ASSERT_EQ(bulk.RemoveAll(s), one.RemoveAll(s));
    }
    EXPECT_EQ(Items(bulk), Items(one));
    for (int k = 0; k < 9000; ++k) {
        const std::string s = "http://bulk" + std::to_string(k) + ".test/";
        ASSERT_EQ(bulk.Contains(s), one.Contains(s)) << s;
    }
    // Appending onto a partly pending list indexes the rest first, so duplicates are seen.
    bulk.AppendUnindexed("late");
    bulk.Append("late");
    EXPECT_EQ(bulk.PendingCount(), 0u);
    EXPECT_EQ(bulk.RemoveAll("late"), 2u);
}

// Loaded entries stay in the file's bytes, behind their length prefix in any of its forms;
// entries added later are the list's own. Both must read, match and go alike, and a copy shares
// the bytes without sharing the entries.
TEST(StoreStringList, EntriesInTheImageAndOfTheirOwnReadAlike) {
    auto image = std::make_shared<StringList::Image>();
    std::vector<std::pair<std::size_t, std::string>> placed;
    auto put = [&](std::string prefix, const std::string& text) {
        image->Append("\x01\0\0\0", 4); // a tag, as in the file
        placed.emplace_back(image->size(), text);
        image->Append(prefix.data(), prefix.size());
        image->Append(text.data(), text.size());
    };
    const std::string mid(300, 'm'), big(70000, 'b');
    put(std::string("\x01", 1), "a");
    put(std::string("\0", 1), "");
    put(std::string("\xFF\x2C\x01", 3), mid);
    put(std::string("\xFF\xFF\xFF\x70\x11\x01\x00", 7), big);
    put(std::string("\xFF\xFF\xFF\xFF\xFF\xFF\xFF\x05\0\0\0\0\0\0\0", 15), "hello");
    StringList l;
    l.UseImage(image);
    std::vector<std::string> ref;
    for (const auto& [at, text] : placed) {
        l.AppendFromImage(at, text, StringList::Hash(text));
        ref.push_back(text);
    }
    for (std::size_t n : {254, 255, 65533, 65534, 65535}) {
        ref.emplace_back(n, static_cast<char>('0' + n % 10));
        l.AppendUnindexed(ref.back());
    }
    EXPECT_EQ(l.PendingCount(), ref.size());
    l.IndexPending();
    EXPECT_EQ(Items(l), ref);
    for (const std::string& s : ref) EXPECT_TRUE(l.Contains(s)) << s.size();
    EXPECT_FALSE(l.Contains(std::string(300, 'b')));

    StringList copy = l;
    EXPECT_EQ(copy.RemoveAll(mid), 1u);
    copy.Append(copy.At(0));
    EXPECT_TRUE(l.Contains(mid));
    EXPECT_EQ(Items(l), ref);
    EXPECT_EQ(copy.Size(), ref.size());
    EXPECT_EQ(copy.RemoveAll("a"), 2u);
    // Entries cannot be pointed into a second block.
    EXPECT_THROW(copy.UseImage(std::make_shared<StringList::Image>()), std::logic_error);
}

TEST(StoreStringList, CopyAndMoveKeepTheIndex) {
    StringList a;
    for (int i = 0; i < 100; ++i) a.Append(std::to_string(i));
    StringList b = a;
    StringList c = std::move(a);
    b.RemoveAll("5");
    EXPECT_TRUE(c.Contains("5"));
    EXPECT_FALSE(b.Contains("5"));
    EXPECT_TRUE(b.Contains("99"));
    EXPECT_EQ(b.Size(), 99u);
    EXPECT_TRUE(a.Empty()); // moved from: empty but usable
    a.Append("x");
    EXPECT_TRUE(a.Contains("x"));
    b = c;
    EXPECT_TRUE(b.Contains("5"));
    EXPECT_EQ(Items(b), Items(c));
}

// The module's view of the lists: exact, case-sensitive, Prohibited before Allowed.
TEST(StoreClassify, ExactMatchProhibitedFirst) {
    CData d;
    d.Append(ListKind::Allowed, "http://both.test/");
    d.Append(ListKind::Prohibited, "http://both.test/");
    d.Append(ListKind::Prohibited, "http://bad.test/");
    d.Append(ListKind::Allowed, "http://good.test/");
    EXPECT_EQ(d.Classify("http://both.test/"), Listed::Prohibited);
    EXPECT_EQ(d.Classify("http://bad.test/"), Listed::Prohibited);
    EXPECT_EQ(d.Classify("http://good.test/"), Listed::Allowed);
    for (const char* miss :
         {"http://bad.test", "HTTP://bad.test/", "http://bad.test/ ", "http://BAD.test/", ""})
        EXPECT_EQ(d.Classify(miss), Listed::Neither) << miss;
    d.RemoveAll(ListKind::Prohibited, "http://both.test/");
    EXPECT_EQ(d.Classify("http://both.test/"), Listed::Allowed);
    d.Append(ListKind::Allowed, "");
    EXPECT_EQ(d.Classify(""), Listed::Allowed); // an empty entry matches only the empty address
}

TEST(StoreClassify, LongestTracksAppendsButNotRemovals) {
    CData d;
    EXPECT_TRUE(d.Append(ListKind::Allowed, "abc"));
    EXPECT_FALSE(d.Append(ListKind::Allowed, "xyz")); // equal length: the first stays
    EXPECT_TRUE(d.Append(ListKind::Allowed, "abcd"));
    EXPECT_FALSE(d.Append(ListKind::Prohibited, ""));
    EXPECT_EQ(d.Longest(ListKind::Allowed), "abcd");
    EXPECT_EQ(d.Longest(ListKind::Prohibited), "");
    EXPECT_EQ(d.RemoveAll(ListKind::Allowed, "abcd"), 1u);
    EXPECT_EQ(d.Longest(ListKind::Allowed), "abcd");
    std::vector<std::string> seen;
    d.ForEach(ListKind::Allowed, [&](const std::string& s) { seen.push_back(s); });
    EXPECT_EQ(seen, (std::vector<std::string>{"abc", "xyz"}));
    EXPECT_EQ(d.Count(ListKind::Allowed), 2u);
}

} // namespace
} // namespace pv
