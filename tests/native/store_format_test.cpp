// pv.dat as it is written and read: the exact layout, every string form the reader accepts,
// and the rules for versions, counts and unknown records.
#include "store/archive.h"
#include "tests/support/store_fixture.h"

namespace pv::test {
namespace {

class StoreFormat : public StoreTest {};

TEST_F(StoreFormat, NoFileGivesSevenZeroRowsAndNothingElse) {
    EXPECT_EQ(m_data.ScheduleRowCount(), 0u); // fresh object: no rows until loaded
    Load();
    EXPECT_EQ(m_data.ScheduleRowCount(), 7u);
    ExpectRows({});
    Schedule s = m_data.GetSchedule();
    EXPECT_EQ(s.bTimeLimit, 0);
    EXPECT_EQ(s.bCommonTime, 0);
    EXPECT_TRUE(Prohibited().empty());
    EXPECT_TRUE(Allowed().empty());
    EXPECT_EQ(m_data.Longest(ListKind::Prohibited), "");
    EXPECT_EQ(m_data.Longest(ListKind::Allowed), "");
    EXPECT_EQ(CData::FilePath(m_fake), "C:\\WINDOWS\\system32\\pv.dat");
}

TEST_F(StoreFormat, SaveWritesTheLayoutByteForByte) {
    Load();
    Schedule s;
    std::vector<ScheduleEntry> rows = SampleRows();
    std::copy(rows.begin(), rows.end(), s.rows.begin());
    s.bCommonTime = 1; // different values, so swapping the two switches shows
    s.bTimeLimit = 0;
    m_data.SetSchedule(s);
    m_data.Append(ListKind::Prohibited, "ccc");
    m_data.Append(ListKind::Allowed, "a");
    m_data.Append(ListKind::Prohibited, "");
    m_data.Append(ListKind::Allowed, "bb");
    m_data.Save(m_fake);

    // Allowed records first in list order, then Prohibited, whatever the order of appending.
    PvDat want;
    want.Version().Rows(rows).Switches(1, 0).I32(4);
    want.Record(1, "a").Record(1, "bb").Record(2, "ccc").Record(2, "");
    EXPECT_EQ(File(), want.bytes);
    ASSERT_GE(File().size(), 165u);
    EXPECT_EQ(File()[0], 12);
    EXPECT_EQ(File().substr(1, 12), "Version: 1.2");
    EXPECT_EQ(File()[153], 1); // common time at 153, time limit at 157
    EXPECT_EQ(File()[157], 0);
    EXPECT_EQ(File()[161], 4);
}

TEST_F(StoreFormat, EmptyListsMakeA165ByteFile) {
    Load();
    m_data.Save(m_fake);
    EXPECT_EQ(File().size(), 165u);
    EXPECT_EQ(File(), PvDat().Version().ZeroRows().Switches(0, 0).I32(0).bytes);
}

TEST_F(StoreFormat, RoundTripKeepsOrderDuplicatesAndFirstLongest) {
    Load();
    const std::vector<std::string> prohibited = {"http://b.test/",   "http://a.test/",  "",
                                                 "http://b.test/",   "http://xx.test/", "http://yy.test/",
                                                 "\xE9t\xE9\x81\x40"};
    const std::vector<std::string> allowed = {"HTTP://A.TEST/", "x", std::string("nul\0inside", 10)};
    for (const auto& e : prohibited) m_data.Append(ListKind::Prohibited, e);
    for (const auto& e : allowed) m_data.Append(ListKind::Allowed, e);
    Schedule s;
    std::vector<ScheduleEntry> rows = SampleRows();
    rows[3] = {1, -1, -1, 23, 59}; // a picker that could not be broken down stores -1
    std::copy(rows.begin(), rows.end(), s.rows.begin());
    s.bTimeLimit = 1;
    s.bCommonTime = 0;
    m_data.SetSchedule(s);
    m_data.Save(m_fake);

    CData again;
    again.Load(m_fake);
    EXPECT_EQ(again.Entries(ListKind::Prohibited), prohibited);
    EXPECT_EQ(again.Entries(ListKind::Allowed), allowed);
    Schedule t = again.GetSchedule();
    EXPECT_EQ(t.rows, s.rows);
    EXPECT_EQ(t.bTimeLimit, 1);
    EXPECT_EQ(t.bCommonTime, 0);
    EXPECT_EQ(again.ScheduleRowCount(), 7u);
    // "http://xx.test/" and "http://yy.test/" are equally long: the first read stays.
    EXPECT_EQ(again.Longest(ListKind::Prohibited), "http://xx.test/");
    EXPECT_EQ(again.Longest(ListKind::Allowed), "HTTP://A.TEST/");
    EXPECT_EQ(again.Classify("http://b.test/"), Listed::Prohibited);
    EXPECT_EQ(again.Classify(std::string_view("nul\0inside", 10)), Listed::Allowed);
    EXPECT_EQ(again.Classify("nul"), Listed::Neither);
}

TEST_F(StoreFormat, WriterUsesTheShortestPrefixAtEachBoundary) {
    struct Case {
        std::size_t length;
        std::string prefix;
    };
    const std::vector<Case> cases = {
        {254, "\xFE"},
        {255, std::string("\xFF\xFF\x00", 3)},
        {65533, "\xFF\xFD\xFF"},
        {65534, std::string("\xFF\xFF\xFF\xFE\xFF\x00\x00", 7)},
        {70000, std::string("\xFF\xFF\xFF\x70\x11\x01\x00", 7)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        m_fake.files.clear();
        CData d;
        d.Load(m_fake);
        const std::string entry(c.length, 'q');
        d.Append(ListKind::Allowed, entry);
        d.Save(m_fake);
        const std::string& f = File();
        ASSERT_EQ(f.size(), 165 + 4 + c.prefix.size() + c.length);
        EXPECT_EQ(f.substr(169, c.prefix.size()), c.prefix);
        CData back;
        back.Load(m_fake);
        ASSERT_EQ(back.Count(ListKind::Allowed), 1u);
        EXPECT_EQ(back.Entries(ListKind::Allowed)[0], entry);
    }
}

TEST_F(StoreFormat, ReaderAcceptsEveryLengthForm) {
    PvDat d;
    d.Version().ZeroRows().Switches(0, 1).I32(7);
    d.Record(1, "short");
    d.I32(1).U8(0xFF).U16(3).Raw("u16");                                         // non-minimal uint16 form
    d.I32(1).U8(0xFF).U16(0xFFFF).U32(3).Raw("u32");                             // uint32 form
    d.I32(1).U8(0xFF).U16(0xFFFF).U32(0xFFFFFFFF).U64(3).Raw("u64");             // uint64 form
    d.I32(2).Wide(u"wide");                                                      // wide, one-byte length
    d.I32(2).Wide(u"w\u00e9", true);                                             // wide, 0xFF + uint16 length
    d.I32(2).U8(0xFF).U16(0xFFFE).U8(0xFF).U16(0xFFFF).U32(2).U16('o').U16('k'); // wide, uint32
    Put(d);
    Load();
    EXPECT_EQ(Allowed(), (std::vector<std::string>{"short", "u16", "u32", "u64"}));
    EXPECT_EQ(Prohibited(), (std::vector<std::string>{"wide", "w\xE9", "ok"}));
    EXPECT_EQ(m_data.GetSchedule().bTimeLimit, 1); // intact file: switches kept
}

TEST_F(StoreFormat, WideLongStringAndWideVersionAreConverted) {
    std::u16string longWide(300, u'z');
    PvDat d;
    d.Wide(u"Version: 1.2").ZeroRows().Switches(1, 1).I32(1).I32(1).Wide(longWide);
    Put(d);
    Load();
    EXPECT_EQ(Allowed(), (std::vector<std::string>{std::string(300, 'z')}));
    EXPECT_EQ(m_data.GetSchedule().bCommonTime, 1); // the wide version string matched
}

TEST_F(StoreFormat, UnconvertibleWideCharactersBecomeQuestionMarks) {
    // The fake's code page holds only U+0000..U+00FF and fails the whole conversion otherwise.
    PvDat d;
    d.Version().ZeroRows().Switches(0, 0).I32(2).I32(2).Wide(u"a\u4e2db\U0001F600c").Record(2, "next");
    Put(d);
    Load();
    EXPECT_EQ(Prohibited(), (std::vector<std::string>{"a?b?c", "next"}));
}

TEST_F(StoreFormat, OtherVersionKeepsListsAndRowsButClearsSwitches) {
    const std::vector<ScheduleEntry> rows = SampleRows();
    PvDat d;
    d.Version("Version: 1.1").Rows(rows).Switches(1, 1).I32(2).Record(1, "a").Record(2, "p");
    Put(d);
    Load();
    ExpectRows(rows);
    EXPECT_EQ(m_data.ScheduleRowCount(), 7u);
    EXPECT_EQ(m_data.GetSchedule().bTimeLimit, 0);
    EXPECT_EQ(m_data.GetSchedule().bCommonTime, 0);
    EXPECT_EQ(Allowed(), std::vector<std::string>{"a"});
    EXPECT_EQ(Prohibited(), std::vector<std::string>{"p"});

    // The comparison is exact: case and trailing blanks count.
    for (const char* v : {"version: 1.2", "Version: 1.2 ", ""}) {
        Put(PvDat().Version(v).Rows(rows).Switches(1, 1).I32(0));
        CData other;
        other.Load(m_fake);
        EXPECT_EQ(other.GetSchedule().bTimeLimit, 0) << v;
    }
}

TEST_F(StoreFormat, CountZeroOrNegativeReadsNoEntries) {
    for (int32_t count : {0, -1, INT32_MIN}) {
        SCOPED_TRACE(count);
        // Records follow the count anyway; they must be left alone.
        Put(PvDat().Version().ZeroRows().Switches(1, 1).I32(count).Record(1, "a").Record(2, "b"));
        CData d;
        d.Load(m_fake);
        EXPECT_EQ(d.Count(ListKind::Allowed), 0u);
        EXPECT_EQ(d.Count(ListKind::Prohibited), 0u);
        EXPECT_EQ(d.GetSchedule().bTimeLimit, 1); // a valid file: the switches stand
    }
}

TEST_F(StoreFormat, UnknownTagsAreReadAndDropped) {
    PvDat d;
    d.Version().ZeroRows().Switches(0, 0).I32(6);
    d.Record(1, "a").Record(3, "three").Record(2, "p").Record(0, std::string(5000, 'x'));
    d.I32(-7).Wide(u"gone").Record(1, "b");
    Put(d);
    Load();
    EXPECT_EQ(Allowed(), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(Prohibited(), std::vector<std::string>{"p"});
    EXPECT_EQ(m_data.Longest(ListKind::Allowed), "a");
}

TEST_F(StoreFormat, BytesAfterTheLastRecordAreIgnored) {
    Put(PvDat().Version().ZeroRows().Switches(0, 1).I32(1).Record(2, "p").Raw("\x05garbage-tail"));
    Load();
    EXPECT_EQ(Prohibited(), std::vector<std::string>{"p"});
    EXPECT_EQ(m_data.GetSchedule().bTimeLimit, 1);
}

TEST_F(StoreFormat, LargeFileLoadsIntoAWorkingIndex) {
    // Enough entries for the bulk indexing path, with duplicates across and within the lists.
    PvDat d;
    const int n = 30000;
    d.Version().ZeroRows().Switches(0, 0).I32(n);
    std::vector<std::string> allowed, prohibited;
    for (int i = 0; i < n; ++i) {
        const std::string e = "http://e" + std::to_string(i % 12000) + ".test/";
        const bool allow = i < n / 3; // as written: Allowed records first
        d.Record(allow ? 1 : 2, e);
        (allow ? allowed : prohibited).push_back(e);
    }
    Put(d);
    Load();
    EXPECT_EQ(Allowed(), allowed);
    EXPECT_EQ(Prohibited(), prohibited);
    // e0..e9999 are on both lists (prohibited wins), e10000..e11999 only on the Prohibited list.
    EXPECT_EQ(m_data.Classify("http://e5.test/"), Listed::Prohibited);
    EXPECT_EQ(m_data.Classify("http://e11999.test/"), Listed::Prohibited);
    EXPECT_EQ(m_data.RemoveAll(ListKind::Prohibited, "http://e5.test/"), 2u);
    EXPECT_EQ(m_data.Classify("http://e5.test/"), Listed::Allowed);
    EXPECT_EQ(m_data.Classify("http://e12000.test/"), Listed::Neither);
}

// Records are mostly taken straight from the read buffer; those with a longer prefix or lying
// across a refill take the general path. Every mix must read the same, whole or cut anywhere.
TEST_F(StoreFormat, EveryRecordFormAcrossManyBufferRefills) {
    const std::size_t lengths[] = {0, 1, 40, 254, 255, 300, 3000, 70000};
    PvDat d;
    const int n = 6000;
    d.Version().Rows(SampleRows()).Switches(1, 1).I32(n);
    struct Kept {
        int tag;
        std::string text;
        std::size_t end;
    };
    std::vector<Kept> records;
    for (int i = 0; i < n; ++i) {
        const int tag = 1 + (i * 7) % 3; // 1, 2 and the unknown 3
        // A few entries longer than the read buffer.
        const std::size_t length = lengths[i % 8] == 70000 && i % 64 != 7 ? 20 : lengths[i % 8];
        std::string text(length, static_cast<char>('a' + i % 26));
        text += std::to_string(i);
        if (i % 97 == 0 && text.size() < 0xFFFF) { // the builder's wide form has 16-bit lengths
            d.I32(tag).Wide(std::u16string(text.begin(), text.end()));
        } else {
            d.Record(tag, text);
        }
        records.push_back({tag, text, d.bytes.size()});
    }
    ASSERT_GT(d.bytes.size(), 20u * Archive::kLoadBufferSize);
    for (std::size_t cut : {d.bytes.size(), d.bytes.size() - 1, std::size_t{65536 + 3}, d.bytes.size() / 3,
                            d.bytes.size() / 2 + 1, records[4000].end, records[4000].end - 1}) {
        SCOPED_TRACE(cut);
        m_fake.files[m_fake.PvDatPath()] = d.bytes.substr(0, cut);
        CData loaded;
        loaded.Load(m_fake);
        std::vector<std::string> allowed, prohibited;
        for (const Kept& r : records) {
            if (r.end > cut) break;
            if (r.tag == 1) allowed.push_back(r.text);
            if (r.tag == 2) prohibited.push_back(r.text);
        }
        EXPECT_EQ(loaded.Entries(ListKind::Allowed), allowed);
        EXPECT_EQ(loaded.Entries(ListKind::Prohibited), prohibited);
        EXPECT_EQ(loaded.GetSchedule().bTimeLimit, 1);
        ASSERT_FALSE(prohibited.empty());
        EXPECT_EQ(loaded.Classify(prohibited.back()), Listed::Prohibited);
    }
}

TEST_F(StoreFormat, LoadReplacesRatherThanAccumulates) {
    Put(PvDat().Version().Rows(SampleRows()).Switches(0, 1).I32(1).Record(2, "p"));
    Load();
    Load();
    EXPECT_EQ(m_data.ScheduleRowCount(), 7u);
    EXPECT_EQ(Prohibited(), std::vector<std::string>{"p"});
    ExpectRows(SampleRows());
}

} // namespace
} // namespace pv::test
