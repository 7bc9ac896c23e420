// Address parsing, raw query parsing, request framing and the rule index's precedence.
#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <random>
#include <sstream>

#include "checkingservice/admin/admin.h"
#include "checkingservice/http/http_front.h"
#include "checkingservice/index/rule_index.h"
#include "checkingservice/rules/address.h"
#include "checkingservice/rules/list_file.h"
#include "checkingservice/rules/query.h"

namespace pv::check {
namespace {

TEST(ServiceAddress, CanonicalFormLowercasesSchemeAndHostOnly) {
    const AddressParts p = ParseAddress("HTTP://User:Pw@WWW.Example.COM:80/Path?Q=A#F");
    EXPECT_EQ(p.scheme, "http");
    EXPECT_EQ(p.host, "www.example.com");
    EXPECT_EQ(p.path, "/Path?Q=A#F");
    EXPECT_EQ(p.canonical, "http://www.example.com/Path?Q=A#F");
    EXPECT_FALSE(p.hostIsIp);

    EXPECT_EQ(ParseAddress("https://a.example:8443").canonical, "https://a.example:8443/");
    EXPECT_EQ(ParseAddress("http://a.example?x=1").path, "/?x=1");
    EXPECT_EQ(ParseAddress("http://a.example.../").host, "a.example");
    EXPECT_EQ(ParseAddress("http://ex%41mple.com/").host, "example.com");
    EXPECT_EQ(ParseAddress("http://a.example\\dir\\x").host, "a.example");
}

TEST(ServiceAddress, HostsWithoutSchemeAndAddressesWithoutHost) {
    EXPECT_EQ(ParseAddress("example.com/games").host, "example.com");
    EXPECT_EQ(ParseAddress("example.com:8080/games").host, "example.com");
    EXPECT_EQ(ParseAddress("//cdn.example.com/x").host, "cdn.example.com");

    const AddressParts blank = ParseAddress("about:blank");
    EXPECT_EQ(blank.host, "");
    EXPECT_EQ(blank.canonical, "about:blank");
    EXPECT_EQ(ParseAddress("javascript:alert('http://x.com/')").host, "");
    EXPECT_EQ(ParseAddress("").host, "");
}

TEST(ServiceAddress, NumericHosts) {
    EXPECT_TRUE(ParseAddress("http://192.168.1.20/").hostIsIp);
    const AddressParts v6 = ParseAddress("http://[::1]:8080/x");
    EXPECT_TRUE(v6.hostIsIp);
    EXPECT_EQ(v6.host, "[::1]");
    EXPECT_EQ(v6.canonical, "http://[::1]:8080/x");
}

TEST(ServiceAddress, PatternsNormaliseOrExplain) {
    EXPECT_EQ(NormalizePattern(RuleKind::Domain, "*.Example.COM").key, "example.com");
    EXPECT_EQ(NormalizePattern(RuleKind::Domain, ".example.com").key, "example.com");
    EXPECT_EQ(NormalizePattern(RuleKind::Host, "http://WWW.example.com/").key, "www.example.com");
    EXPECT_EQ(NormalizePattern(RuleKind::Prefix, "https://Example.com/Games/").key, "example.com/Games/");
    EXPECT_EQ(NormalizePattern(RuleKind::Exact, " HTTP://Example.com/A?b=1&c=2 ").key,
              "http://example.com/A?b=1&c=2");

    EXPECT_FALSE(NormalizePattern(RuleKind::Exact, "example.com/x").error.empty());
    EXPECT_FALSE(NormalizePattern(RuleKind::Host, "example.com/path").error.empty());
    EXPECT_FALSE(NormalizePattern(RuleKind::Domain, "").error.empty());
    EXPECT_FALSE(NormalizePattern(RuleKind::Domain, "about:blank").error.empty());
    EXPECT_FALSE(NormalizePattern(RuleKind::Host, "bad\x01host.com").error.empty());
}

TEST(ServiceQuery, AddressKeepsAmpersandsEqualsAndQuestionMarks) {
    const CheckQuery q =
        ParseCheckTarget("/cgi-bin/checker?log=kid&pwd=s3&url=http://a.com/p?x=1&log=evil&y==");
    EXPECT_EQ(q.path, "/cgi-bin/checker");
    EXPECT_EQ(q.log, "kid");
    EXPECT_EQ(q.pwd, "s3");
    EXPECT_EQ(q.url, "http://a.com/p?x=1&log=evil&y==");
}

TEST(ServiceQuery, EmptyAbsentAndRepeatedValues) {
    CheckQuery q = ParseCheckTarget("/c?log=&pwd=&url=");
    EXPECT_EQ(q.log, "");
    EXPECT_EQ(q.pwd, "");
    EXPECT_EQ(q.url, "");

    q = ParseCheckTarget("/c?url=http://x.com/");
    EXPECT_FALSE(q.log);
    EXPECT_FALSE(q.pwd);
    EXPECT_EQ(q.url, "http://x.com/");

    q = ParseCheckTarget("/c?log=first&log=second&pwd=p&url=u");
    EXPECT_EQ(q.log, "first");

    // An account name holding "&" arrives split: the rest becomes parameters of its own.
    q = ParseCheckTarget("/c?log=a&b&pwd=p&url=u");
    EXPECT_EQ(q.log, "a");
    EXPECT_EQ(q.pwd, "p");

    // "catalog=" is not "log=".
    q = ParseCheckTarget("/c?catalog=x&pwd=p&url=u");
    EXPECT_FALSE(q.log);

    q = ParseCheckTarget("/c");
    EXPECT_EQ(q.path, "/c");
    EXPECT_FALSE(q.url);

    q = ParseCheckTarget("/c?log=a&pwd=b");
    EXPECT_FALSE(q.url);
}

TEST(ServiceQuery, CheckingAddressWithItsOwnQuery) {
    const CheckQuery q = ParseCheckTarget("/c?site=3?log=kid&pwd=p&url=http://x.com/");
    EXPECT_EQ(q.path, "/c");
    EXPECT_EQ(q.log, "kid");
    EXPECT_EQ(q.url, "http://x.com/");
}

TEST(ServiceFraming, CompleteIncompleteAndRefused) {
    size_t scan = 0;
    Frame f = FrameRequest("GET / HTTP/1.1\r\nHost: x\r\n", 1024, 64, scan);
    EXPECT_EQ(f.kind, Frame::Kind::Incomplete);
    f = FrameRequest("GET / HTTP/1.1\r\nHost: x\r\n\r\nGET /next", 1024, 64, scan);
    EXPECT_EQ(f.kind, Frame::Kind::Complete);
    EXPECT_EQ(f.length, 27u);

    scan = 0;
    f = FrameRequest("GET / HTTP/1.1\r\nContent-Length: 4\r\n\r\nab", 1024, 64, scan);
    EXPECT_EQ(f.kind, Frame::Kind::Incomplete);
    scan = 0;
    f = FrameRequest("GET / HTTP/1.1\r\nContent-Length: 4\r\n\r\nabcd", 1024, 64, scan);
    ASSERT_EQ(f.kind, Frame::Kind::Complete);
    EXPECT_EQ(f.length, 41u);

    const auto refused = [](std::string_view request) {
        size_t from = 0;
        return FrameRequest(request, 64, 16, from);
    };
    EXPECT_EQ(refused(std::string(64, 'a')).status, 431);
    EXPECT_EQ(refused("GET / HTTP/1.1\r\nContent-Length: 17\r\n\r\n").status, 413);
    EXPECT_EQ(refused("GET / HTTP/1.1\r\ncontent-length: 1x\r\n\r\n").status, 400);
    EXPECT_EQ(refused("GET / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n").status, 400);
    EXPECT_EQ(refused("GET / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n").status, 501);
}

TEST(ServiceFraming, ConnectionHeaderAndMalformedHeads) {
    const auto frame = [](std::string_view request) {
        size_t from = 0;
        return FrameRequest(request, 16384, 64, from);
    };
    Frame f = frame("GET / HTTP/1.1\r\nconnection: Upgrade, CLOSE\r\n\r\n");
    EXPECT_TRUE(f.close);
    EXPECT_FALSE(f.keepAlive);
    f = frame("GET / HTTP/1.0\r\nConnection: keep-alive\r\n\r\n");
    EXPECT_TRUE(f.keepAlive);
    EXPECT_FALSE(f.malformed);
    EXPECT_TRUE(frame("GET / HTTP/1.1\n\n").malformed);
    EXPECT_TRUE(frame("GET / HTTP/1.1\r\nHost: x\n\n").malformed);
    // A header line without CR is passed over.
    EXPECT_FALSE(frame("GET / HTTP/1.1\r\nHost: x\n\r\n").malformed);
    EXPECT_TRUE(frame("GET / HTTP/1.1\r\nX: " + std::string(9000, 'a') + "\r\n\r\n").malformed);
}

TEST(ServiceFraming, HeadEndFoundAcrossCalls) {
    std::string buffered = "GET / HTTP/1.1\r\nHost: x\r";
    size_t scan = 0;
    EXPECT_EQ(FrameRequest(buffered, 1024, 0, scan).kind, Frame::Kind::Incomplete);
    buffered += "\n\r";
    EXPECT_EQ(FrameRequest(buffered, 1024, 0, scan).kind, Frame::Kind::Incomplete);
    buffered += "\n";
    const Frame f = FrameRequest(buffered, 1024, 0, scan);
    EXPECT_EQ(f.kind, Frame::Kind::Complete);
    EXPECT_EQ(f.length, buffered.size());
}

TEST(ServiceFraming, RequestLineKeepsRawTarget) {
    const RequestLine line = SplitRequestLine("GET /c?url=http://a.com/x y?z=1 HTTP/1.1\r\nHost: h\r\n\r\n");
    ASSERT_TRUE(line.valid);
    EXPECT_EQ(line.method, "GET");
    EXPECT_EQ(line.target, "/c?url=http://a.com/x y?z=1");
    EXPECT_EQ(line.version, "HTTP/1.1");
    EXPECT_EQ(line.rest, "\r\nHost: h\r\n\r\n");
    EXPECT_FALSE(SplitRequestLine("GARBAGE\r\n\r\n").valid);
    EXPECT_FALSE(SplitRequestLine("GET HTTP/1.1\r\n\r\n").valid);
}

// Builds an index the way the store would feed it.
class IndexFixture : public ::testing::Test {
protected:
    void SetUp() override {
        m_builder.Account({1, "*", std::nullopt, Action::Allow, ""});
        m_builder.Account({2, "kid", std::string("hash"), Action::Allow, ""});
        m_builder.Account({3, "strict", std::string("hash"), Action::Forbid, ""});
        m_builder.Account({4, "moved", std::string("hash"), Action::Allow, "http://new.example/c"});
        m_builder.List(10, "games");
        m_builder.List(11, "edu");
    }
    void Rule(std::optional<int64_t> account, RuleKind kind, std::string_view pattern, Action action) {
        m_builder.Rule(account, kind, NormalizePattern(kind, pattern).key, action);
    }
    void Entry(int64_t list, RuleKind kind, std::string_view pattern) {
        m_builder.ListEntry(list, kind, NormalizePattern(kind, pattern).key);
    }
    std::string Ask(std::string_view account, std::string_view address) {
        if (!m_index) m_index = m_builder.Finish(7);
        const RuleIndex::Account* a = m_index->FindAccount(account);
        if (!a) return "no account";
        const auto d = m_index->Decide(*a, ParseAddress(address));
        const char* verdict = d.verdict == Verdict::Forbid  ? "001"
                              : d.verdict == Verdict::Allow ? "000"
                                                            : "004";
        return std::string(verdict) + " " + m_index->Describe(d);
    }

    IndexBuilder m_builder;
    std::shared_ptr<const RuleIndex> m_index;
};

TEST_F(IndexFixture, MostSpecificRuleInALayerWins) {
    Rule(std::nullopt, RuleKind::Domain, "example.org", Action::Forbid);
    Rule(std::nullopt, RuleKind::Domain, "kids.example.org", Action::Allow);
    Rule(std::nullopt, RuleKind::Host, "ads.kids.example.org", Action::Forbid);
    Rule(std::nullopt, RuleKind::Prefix, "ads.kids.example.org/fine/", Action::Allow);
    Rule(std::nullopt, RuleKind::Prefix, "ads.kids.example.org/fine/not/", Action::Forbid);
    Rule(std::nullopt, RuleKind::Exact, "http://ads.kids.example.org/fine/not/this", Action::Allow);

    EXPECT_EQ(Ask("kid", "http://www.example.org/"), "001 global domain");
    EXPECT_EQ(Ask("kid", "http://example.org/"), "001 global domain");
    EXPECT_EQ(Ask("kid", "http://notexample.org/"), "000 default");
    EXPECT_EQ(Ask("kid", "http://a.kids.example.org/"), "000 global domain");
    EXPECT_EQ(Ask("kid", "http://ads.kids.example.org/x"), "001 global host");
    EXPECT_EQ(Ask("kid", "https://ads.kids.example.org:444/fine/x"), "000 global prefix");
    EXPECT_EQ(Ask("kid", "http://ads.kids.example.org/fine/not/x"), "001 global prefix");
    EXPECT_EQ(Ask("kid", "HTTP://ADS.kids.example.org/fine/not/this"), "000 global exact");
    EXPECT_EQ(Ask("kid", "http://ads.kids.example.org/fine/not/this?"), "001 global prefix");
}

TEST_F(IndexFixture, ForbidWinsATieWithinALayer) {
    m_builder.Attachment(2, 10, Action::Forbid);
    m_builder.Attachment(2, 11, Action::Allow);
    Entry(10, RuleKind::Domain, "both.example");
    Entry(11, RuleKind::Domain, "both.example");
    EXPECT_EQ(Ask("kid", "http://www.both.example/"), "001 list games domain");
}

TEST_F(IndexFixture, LayersAccountGlobalListsDefault) {
    m_builder.Attachment(std::nullopt, 10, Action::Forbid);
    Entry(10, RuleKind::Domain, "game.example");
    Entry(10, RuleKind::Domain, "school.example");
    Rule(std::nullopt, RuleKind::Host, "www.school.example", Action::Allow);
    Rule(std::nullopt, RuleKind::Domain, "chat.example", Action::Forbid);
    Rule(2, RuleKind::Domain, "chat.example", Action::Allow);
    // Less specific than the global host rule, but the account's own layer comes first.
    Rule(2, RuleKind::Domain, "example", Action::Forbid);

    EXPECT_EQ(Ask("kid", "http://chat.example/"), "000 account domain");
    EXPECT_EQ(Ask("kid", "http://www.school.example/"), "001 account domain");
    EXPECT_EQ(Ask("strict", "http://www.school.example/"), "000 global host");
    EXPECT_EQ(Ask("strict", "http://other.school.example/"), "001 list games domain");
    EXPECT_EQ(Ask("*", "http://game.example/"), "001 list games domain");
    EXPECT_EQ(Ask("*", "http://chat.example/"), "001 global domain");
    EXPECT_EQ(Ask("strict", "http://unlisted.test/"), "001 default");
    EXPECT_EQ(Ask("*", "http://unlisted.test/"), "000 default");
    EXPECT_EQ(Ask("moved", "http://game.example/"), "004 relocated");
}

TEST_F(IndexFixture, AccountAttachmentOverridesGlobalAttachment) {
    m_builder.Attachment(std::nullopt, 11, Action::Forbid);
    m_builder.Attachment(3, 11, Action::Allow);
    Entry(11, RuleKind::Host, "learn.example");
    EXPECT_EQ(Ask("kid", "http://learn.example/"), "001 list edu host");
    EXPECT_EQ(Ask("strict", "http://learn.example/"), "000 list edu host");
    EXPECT_EQ(Ask("strict", "http://other.example/"), "001 default");
}

TEST_F(IndexFixture, UnattachedListsAndOtherAccountsRulesDoNotApply) {
    Entry(10, RuleKind::Domain, "game.example");
    Rule(3, RuleKind::Domain, "kid-only.example", Action::Forbid);
    EXPECT_EQ(Ask("kid", "http://game.example/"), "000 default");
    EXPECT_EQ(Ask("kid", "http://kid-only.example/"), "000 default");
    EXPECT_EQ(Ask("strict", "http://kid-only.example/"), "001 account domain");
}

TEST_F(IndexFixture, NumericHostsHaveNoParentDomains) {
    Rule(std::nullopt, RuleKind::Domain, "0.1", Action::Forbid);
    Rule(std::nullopt, RuleKind::Domain, "10.0.0.1", Action::Forbid);
    EXPECT_EQ(Ask("kid", "http://10.0.0.1/"), "001 global domain");
    EXPECT_EQ(Ask("kid", "http://192.168.0.1/"), "000 default");
}

TEST_F(IndexFixture, EntriesOfUnknownOwnersAreDroppedAndStrangerAlwaysExists) {
    IndexBuilder bare;
    bare.Rule(99, RuleKind::Host, "x.example", Action::Forbid);
    bare.ListEntry(42, RuleKind::Host, "x.example");
    bare.Attachment(std::nullopt, 42, Action::Forbid);
    const auto index = bare.Finish(1);
    EXPECT_EQ(bare.Dropped(), 3u);
    EXPECT_EQ(index->Stranger().name, "*");
    EXPECT_EQ(index->Decide(index->Stranger(), ParseAddress("http://x.example/")).verdict, Verdict::Allow);
}

TEST_F(IndexFixture, ManyKeysStayFindable) {
    for (int i = 0; i < 5000; ++i) Entry(10, RuleKind::Domain, "d" + std::to_string(i) + ".test");
    m_builder.Attachment(2, 10, Action::Forbid);
    for (int i = 0; i < 5000; i += 499) {
        EXPECT_EQ(Ask("kid", "http://www.d" + std::to_string(i) + ".test/"), "001 list games domain");
    }
    EXPECT_EQ(Ask("kid", "http://d5000.test/"), "000 default");
}

// The index against a plain reading of the precedence rules, applied rule by rule, on random
// rules and addresses from a small vocabulary, so that keys repeat across owners and lists,
// hosts nest and numeric hosts occur.
TEST(ServiceIndexRandomised, AgreesWithLinearReference) {
    struct Rule {
        int owner; // -1 global, 0.. account index, or list number in list_entries
        RuleKind kind;
        std::string key;
        Action action;
    };
    const std::vector<std::string> labels = {"a", "b", "ex", "www", "x-y", "10", "0"};
    const std::vector<std::string> paths = {"/", "/p", "/p/", "/p/q", "/p?x=1&y", "/P", "/q#f"};
    std::mt19937 rng(1234);
    const auto pick = [&](const std::vector<std::string>& from) {
        return from[std::uniform_int_distribution<size_t>(0, from.size() - 1)(rng)];
    };
    const auto chance = [&](double p) { return std::bernoulli_distribution(p)(rng); };
    const auto host = [&](int most) {
        std::string h = pick(labels);
        for (int n = std::uniform_int_distribution<int>(0, most)(rng); n > 0; --n) {
            h += "." + pick(labels);
        }
        return h;
    };
    const auto rankOf = [](RuleKind kind) { return 4 - static_cast<int>(kind); };

    for (int trial = 0; trial < 40; ++trial) {
        const std::vector<std::string> accounts = {"*", "kid", "strict"};
        const Action policies[3] = {Action::Allow, Action::Allow, Action::Forbid};
        std::vector<Rule> rules, entries;
        std::map<std::pair<int, int>, Action> attached; // (account or -1, list) -> action
        // Lists in the shared segment, each in one of its own, or a mixture.
        const size_t ownFrom[] = {IndexBuilder::kOwnSegmentFrom, 1, 20};
        IndexBuilder builder(nullptr, ownFrom[trial % 3]);
        for (int a = 0; a < 3; ++a) builder.Account({a + 1, accounts[a], std::nullopt, policies[a], ""});
        for (int l = 0; l < 3; ++l) builder.List(100 + l, "list" + std::to_string(l));
        for (int i = 0; i < 60; ++i) {
            const auto kind = static_cast<RuleKind>(std::uniform_int_distribution<int>(0, 3)(rng));
            std::string text = host(1);
            if (kind == RuleKind::Exact) text = "http://" + text + pick(paths);
            if (kind == RuleKind::Prefix) text += pick(paths);
            const std::string key = NormalizePattern(kind, text).key;
            ASSERT_FALSE(key.empty()) << text;
            const Action action = chance(0.5) ? Action::Forbid : Action::Allow;
            const int owner = std::uniform_int_distribution<int>(-1, 5)(rng);
            if (owner <= 2) {
                rules.push_back({owner, kind, key, action});
                builder.Rule(owner < 0 ? std::nullopt : std::optional<int64_t>(owner + 1), kind, key, action);
            } else {
                entries.push_back({owner - 3, kind, key, action});
                builder.ListEntry(100 + owner - 3, kind, key);
            }
        }
        for (int n = 0; n < 4; ++n) {
            const int account = std::uniform_int_distribution<int>(-1, 2)(rng);
            const int list = std::uniform_int_distribution<int>(0, 2)(rng);
            const Action action = chance(0.5) ? Action::Forbid : Action::Allow;
            if (attached.contains({account, list})) continue;
            attached[{account, list}] = action;
            builder.Attachment(account < 0 ? std::nullopt : std::optional<int64_t>(account + 1), 100 + list,
                               action);
        }
        const auto index = builder.Finish(1);

        for (int q = 0; q < 300; ++q) {
            std::string address = host(3);
            if (chance(0.1)) address = "10.0.0." + pick(labels);
            if (chance(0.2)) address[0] = static_cast<char>(std::toupper(address[0]));
            if (chance(0.2)) address += ":80";
            address = (chance(0.8) ? "http://" : "") + address + (chance(0.9) ? pick(paths) : "");
            const AddressParts parts = ParseAddress(address);
            const int account = std::uniform_int_distribution<int>(0, 2)(rng);

            const auto matches = [&](const Rule& r) -> std::optional<uint32_t> {
                if (r.kind == RuleKind::Exact) {
                    return r.key == parts.canonical ? std::optional<uint32_t>(0) : std::nullopt;
                }
                if (parts.host.empty()) return std::nullopt;
                if (r.kind == RuleKind::Host) {
                    return r.key == parts.host ? std::optional<uint32_t>(0) : std::nullopt;
                }
                if (r.kind == RuleKind::Domain) {
                    const bool under = !parts.hostIsIp && parts.host.ends_with("." + r.key);
                    return r.key == parts.host || under ? std::optional<uint32_t>(r.key.size())
                                                        : std::nullopt;
                }
                const size_t slash = r.key.find('/');
                const std::string path = slash == std::string::npos ? "/" : r.key.substr(slash);
                return r.key.substr(0, slash) == parts.host && parts.path.starts_with(path)
                           ? std::optional<uint32_t>(path.size())
                           : std::nullopt;
            };
            // Per layer: the most specific match; ties go to forbid, then to the lower list.
            std::string expected = policies[account] == Action::Forbid ? "001 default" : "000 default";
            for (int layer = 0; layer < 3 && expected.ends_with("default"); ++layer) {
                std::optional<std::tuple<int, uint32_t, bool, int>> best; // rank, length, forbid, -list
                std::string reason;
                for (const Rule& r : layer == 2 ? entries : rules) {
                    Action action = r.action;
                    if (layer == 0 && r.owner != account) continue;
                    if (layer == 1 && r.owner != -1) continue;
                    if (layer == 2) {
                        auto it = attached.find({account, r.owner});
                        if (it == attached.end()) it = attached.find({-1, r.owner});
                        if (it == attached.end()) continue;
                        action = it->second;
                    }
                    const auto length = matches(r);
                    if (!length) continue;
                    const std::tuple<int, uint32_t, bool, int> score{
                        rankOf(r.kind), *length, action == Action::Forbid, layer == 2 ? -r.owner : 0};
                    if (best && score <= *best) continue;
                    best = score;
                    reason = std::string(action == Action::Forbid ? "001 " : "000 ") +
                             (layer == 0   ? "account "
                              : layer == 1 ? "global "
                                           : "list list" + std::to_string(r.owner) + " ") +
                             std::string(KindName(r.kind));
                }
                if (best) expected = reason;
            }

            const auto d = index->Decide(*index->FindAccount(accounts[account]), parts);
            const std::string got =
                std::string(d.verdict == Verdict::Forbid ? "001 " : "000 ") + index->Describe(d);
            ASSERT_EQ(got, expected) << "trial " << trial << ", " << accounts[account] << " asks " << address;
        }
    }
}

// A rebuild takes over an unchanged large list whole, keeps the blocks of a changed one
// before the first difference, and answers exactly as a build from scratch.
TEST(ServiceIndexRebuild, UnchangedListsAreSharedAndAnswersStayTheSame) {
    enum class Change { None, Rule, AtEnd, InMiddle, AtStart, Shrunk, Small };
    const auto build = [](std::shared_ptr<const RuleIndex> previous, Change change) {
        IndexBuilder builder(std::move(previous));
        builder.Account({1, "*", std::nullopt, Action::Allow, ""});
        builder.List(10, "big");
        builder.List(11, "small");
        builder.Attachment(std::nullopt, 10, Action::Forbid);
        builder.Attachment(std::nullopt, 11, Action::Forbid);
        builder.Rule(std::nullopt, RuleKind::Host, change == Change::Rule ? "www.d7.test" : "www.d8.test",
                     Action::Allow);
        const int entries = change == Change::Shrunk ? 1000 : 200000; // several blocks, or few
        for (int i = 0; i < entries; ++i) {
            std::string key = "d" + std::to_string(i) + ".test";
            if ((change == Change::InMiddle && i == 100000) || (change == Change::AtStart && i == 0)) {
                key = "changed.test";
            }
            builder.ListEntry(10, RuleKind::Domain, key);
        }
        if (change == Change::AtEnd) builder.ListEntry(10, RuleKind::Prefix, "zz.test/end");
        builder.ListEntry(11, RuleKind::Domain, change == Change::Small ? "small-b.test" : "small-a.test");
        return builder.Finish(1);
    };
    const auto first = build(nullptr, Change::None);
    const auto blocks = first->SharedBlocks(*first);
    ASSERT_EQ(first->OwnSegments(), 1u);
    for (const Change change : {Change::None, Change::Rule, Change::AtEnd, Change::InMiddle, Change::AtStart,
                                Change::Shrunk, Change::Small}) {
        const auto rebuilt = build(first, change);
        const auto fresh = build(nullptr, change);
        EXPECT_EQ(fresh->SharedBlocks(*first), 0u);
        const size_t shared = rebuilt->SharedBlocks(*first);
        switch (change) {
        case Change::None:
        case Change::Rule:
        case Change::Small:
        case Change::AtEnd:
            EXPECT_EQ(shared, blocks - 1);
            break; // all but the rules'
        case Change::InMiddle:
            EXPECT_EQ(shared, 1u);
            break; // those before the change
        case Change::AtStart:
        case Change::Shrunk:
            EXPECT_EQ(shared, 0u);
            break;
        }
        EXPECT_EQ(rebuilt->OwnSegments(), change == Change::Shrunk ? 0u : 1u);
        EXPECT_EQ(rebuilt->RuleCount(), fresh->RuleCount());
        for (const char* address :
             {"http://www.d7.test/", "http://www.d8.test/", "http://d0.test/", "http://d99999.test/",
              "http://d100000.test/", "http://d199999.test/", "http://changed.test/", "http://zz.test/end/x",
              "http://zz.test/", "http://x.small-a.test/", "http://small-b.test/", "http://d200000.test/"}) {
            const auto a = rebuilt->Decide(rebuilt->Stranger(), ParseAddress(address));
            const auto b = fresh->Decide(fresh->Stranger(), ParseAddress(address));
            EXPECT_EQ(rebuilt->Describe(a) + (a.verdict == Verdict::Forbid ? " 001" : " 000"),
                      fresh->Describe(b) + (b.verdict == Verdict::Forbid ? " 001" : " 000"))
                << address << " after change " << static_cast<int>(change);
        }
    }
}

TEST(ServiceListFile, CommentsKindsAndBadLines) {
    std::istringstream in("# a comment\n"
                          "\n"
                          "bad.example   # trailing comment\r\n"
                          "host:www.one.example\n"
                          "prefix:two.example/path#frag\n"
                          "exact:http://three.example/a?b=1&c=2\n"
                          "exact:no-scheme.example/x\n"
                          "four.example/with/path\n");
    const ListFile file = ReadListFile(in, RuleKind::Domain);
    EXPECT_EQ(file.lines, 8u);
    ASSERT_EQ(file.entries.size(), 4u);
    EXPECT_EQ(file.entries[0], std::make_pair(RuleKind::Domain, std::string("bad.example")));
    EXPECT_EQ(file.entries[1], std::make_pair(RuleKind::Host, std::string("www.one.example")));
    EXPECT_EQ(file.entries[2], std::make_pair(RuleKind::Prefix, std::string("two.example/path#frag")));
    EXPECT_EQ(file.entries[3],
              std::make_pair(RuleKind::Exact, std::string("http://three.example/a?b=1&c=2")));
    ASSERT_EQ(file.problems.size(), 2u);
    EXPECT_EQ(file.problems[0].line, 7u);
    EXPECT_EQ(file.problems[1].line, 8u);

    // Bare host names skip the full normalisation; they must come out the same as through it.
    for (const char* line :
         {"a-b.example", "Upper.Example", "*.star.example", ".lead.example", "trail.example.", "10.0.0.1",
          "ex%41mple.com", "user@host.example", "host.example:8080", "under_score.example"}) {
        for (RuleKind kind : {RuleKind::Domain, RuleKind::Host}) {
            std::istringstream one(line);
            const ListFile read = ReadListFile(one, kind);
            const PatternResult direct = NormalizePattern(kind, line);
            ASSERT_EQ(read.entries.size(), direct.error.empty() ? 1u : 0u) << line;
            if (direct.error.empty()) {
                EXPECT_EQ(read.entries[0].second, direct.key) << line;
            }
        }
    }
}

TEST(ServiceAdminChecks, ValuesThatCannotTravelUnescapedAreRefused) {
    EXPECT_EQ(CheckAccountName("pupil-7"), "");
    EXPECT_NE(CheckAccountName("a&b"), "");
    EXPECT_NE(CheckAccountName("a b"), "");
    EXPECT_NE(CheckAccountName("*"), "");
    EXPECT_NE(CheckAccountName(""), "");
    EXPECT_EQ(CheckPassword("pa=ss?word"), "");
    EXPECT_NE(CheckPassword("pa&ss"), "");
    EXPECT_NE(CheckPassword("pa#ss"), "");
    EXPECT_NE(CheckPassword(std::string("pa\nss")), "");
}

TEST(ServiceAdminChecks, RelocationAddressMustFitTheFiltersReplyBuffer) {
    const std::string base = "http://new.example/";
    EXPECT_EQ(CheckRelocation(base + "cgi-bin/checker"), "");
    EXPECT_EQ(CheckRelocation(base + std::string(kMaxRelocationBytes - base.size(), 'a')), "");
    EXPECT_NE(CheckRelocation(base + std::string(kMaxRelocationBytes - base.size() + 1, 'a')), "");
    EXPECT_NE(CheckRelocation("new.example/c"), "");
    EXPECT_NE(CheckRelocation("http://new.example/c\r\n"), "");
    EXPECT_NE(CheckRelocation("http:///c"), "");
}

} // namespace
} // namespace pv::check
