#include <chrono>
#include <future>

#include "tests/support/verdict_fixture.h"

namespace pv::test {
namespace {

class CheckingService : public GuardFixture {
protected:
    void TearDown() override { EXPECT_EQ(m_fake.OpenRequests(), 0) << "a request handle was left open"; }
};

TEST_F(CheckingService, QueryTextIsSentUnescapedInFixedOrder) {
    m_fake.SetRegString("name", "a&b=c");
    m_fake.SetRegString("ps", "p w#?");
    Start();
    JudgeURL(*m_app, W("http://x.test/q?a=1&b=2#frag"), std::nullopt, std::nullopt);
    EXPECT_EQ(m_fake.Requests(),
              std::vector<std::string>{std::string(kServiceURL) +
                                       "?log=a&b=c&pwd=p w#?&url=http://x.test/q?a=1&b=2#frag"});
}

TEST_F(CheckingService, CheckingAddressWithQueryStillGetsLogAppended) {
    m_fake.SetRegString("checkURL", "http://svc.test/c?x=1");
    Start();
    Judge("http://x.test/");
    EXPECT_EQ(m_fake.Requests(),
              std::vector<std::string>{"http://svc.test/c?x=1?log=&pwd=&url=http://x.test/"});
}

TEST_F(CheckingService, CheckingAddressEndsAtItsFirstNul) {
    m_fake.SetRegString("checkURL", std::string("http://svc.test/c\0junk", 22), /*withNul=*/true);
    Start();
    Judge("http://x.test/");
    EXPECT_EQ(m_fake.Requests(), std::vector<std::string>{"http://svc.test/c?log=&pwd=&url=http://x.test/"});
}

TEST_F(CheckingService, UnconvertibleAccountValuesAddNothingButKeepTheirKeys) {
    Start();
    JudgeURL(*m_app, W("http://x.test/"), WideString(u"\u0416"), WideString(u"ok\u0416"));
    EXPECT_EQ(m_fake.Requests(), std::vector<std::string>{Query("", "", "http://x.test/")});
}

TEST_F(CheckingService, ReplyCodesComparedOnExactlyThreeBytes) {
    Start();
    struct Case {
        std::string reply;
        int32_t expected;
    };
    const Case cases[] = {
        {"001", 0},
        {"001 forbidden by policy\r\n", 0},
        {"0010", 0},
        {"000", 1},
        {"002", 1},
        {"100", 1},
        {"01", 1},
        {"", 1},
        {" 001", 1},
        {"\n001", 1},
        {"0 01", 1},
        {std::string("00\0"
                     "1",
                     4),
         1},
        {"<html><head><title>500 Internal Server Error</title></head><body>001</body></html>", 1},
    };
    for (const Case& c : cases) {
        AnswerAlways(c.reply);
        EXPECT_EQ(Judge("http://x.test/"), c.expected) << '"' << c.reply << '"';
    }
}

TEST_F(CheckingService, OnlyTheFirst255BytesCount) {
    Start();
    // A forbidding code beyond the read is never seen.
    AnswerAlways(std::string(255, ' ') + "001");
    EXPECT_EQ(Judge("http://x.test/"), 1);

    // A relocation address is cut to 252 characters.
    std::string longAddress = "http://new.test/" + std::string(400, 'p');
    int calls = 0;
    Answer([&](const std::string&) { return std::string(calls++ == 0 ? "004" + longAddress : "000"); });
    EXPECT_EQ(Judge("http://x.test/"), 1);
    EXPECT_EQ(m_app->CheckURL(), longAddress.substr(0, 252));
    EXPECT_EQ(m_fake.RegString("checkURL"), longAddress.substr(0, 252));
}

// A transport that claims to have read more than it was given room for.
class OverReportingPlatform : public FakePlatform {
public:
    uint32_t ReadInternetFile(InternetHandle request, void* buffer, uint32_t size) override {
        FakePlatform::ReadInternetFile(request, buffer, size);
        return 100000;
    }
};

TEST(CheckingServiceTransport, ReadCountBeyondTheBufferIsNotBelieved) {
    OverReportingPlatform fake;
    fake.SetRegString("checkURL", kServiceURL);
    int calls = 0;
    fake.server = [&](const std::string&) -> std::optional<std::string> {
        return calls++ == 0 ? "004http://moved.test/" : "000";
    };
    CVigilApp app(fake);
    ASSERT_TRUE(app.Startup());
    EXPECT_EQ(JudgeURL(app, W("http://x.test/"), std::nullopt, std::nullopt), 1);
    EXPECT_EQ(app.CheckURL(), "http://moved.test/");
    EXPECT_EQ(fake.OpenRequests(), 0);
}

TEST_F(CheckingService, RelocationIsPersistedAndAskedAgainAtTheNewAddress) {
    Start();
    Answer([](const std::string& url) {
        if (url.rfind(kServiceURL, 0) == 0) return std::string("004http://moved.test/chk");
        return std::string("001");
    });
    EXPECT_EQ(Judge("http://x.test/"), 0) << "the answer is the one of the new address";
    EXPECT_EQ(m_app->CheckURL(), "http://moved.test/chk");
    EXPECT_EQ(m_fake.RegString("checkURL"), "http://moved.test/chk") << "stored without the NUL";
    EXPECT_EQ(m_fake.Requests(), (std::vector<std::string>{
                                     Query("", "", "http://x.test/"),
                                     Query("", "", "http://x.test/", "http://moved.test/chk"),
                                 }));

    // Later verdicts go straight to the new address.
    EXPECT_EQ(Judge("http://y.test/"), 0);
    EXPECT_EQ(m_fake.Requests().back(), Query("", "", "http://y.test/", "http://moved.test/chk"));
    EXPECT_EQ(m_fake.Requests().size(), 3u);
}

TEST_F(CheckingService, RelocationRepeatsTheSameArguments) {
    m_fake.SetRegString("name", "family");
    Start();
    int calls = 0;
    Answer([&](const std::string&) { return std::string(calls++ == 0 ? "004http://moved.test/" : "000"); });
    EXPECT_EQ(JudgeURL(*m_app, W("http://x.test/"), std::nullopt, W("")), 1);
    EXPECT_EQ(m_fake.Requests(), (std::vector<std::string>{
                                     Query("family", "", "http://x.test/"),
                                     Query("family", "", "http://x.test/", "http://moved.test/"),
                                 }));
}

// A relocation outlasts the process and takes the account's password along, so only an absolute
// http(s) address is followed; anything else allows like an unreadable reply and changes nothing.
TEST_F(CheckingService, RelocationIsFollowedOnlyToAnAbsoluteHttpAddress) {
    const std::string refused[] = {
        "",
        "http://moved.test/\r\n",
        "http://moved.test/\r\nX-Injected: 1",
        " http://moved.test/",
        "http://moved test/",
        "http://moved.test/\tx",
        std::string("http://moved.test/\x01", 19),
        "http://moved.test/\x7f",
        "ftp://moved.test/",
        "file:///C:/checker",
        "javascript:alert(1)",
        "//moved.test/",
        "moved.test",
        "http://",
        "http:///path",
        "http://user@/",
        "http://:8080/",
        "https://[::1/",
        "http:moved.test",
    };
    Start();
    for (const std::string& rest : refused) {
        SCOPED_TRACE(rest);
        m_fake.requests.clear();
        AnswerAlways("004" + rest);
        EXPECT_EQ(Judge("http://x.test/"), 1);
        EXPECT_EQ(m_app->CheckURL(), kServiceURL);
        EXPECT_EQ(m_fake.RegString("checkURL"), kServiceURL);
        EXPECT_EQ(m_fake.Requests().size(), 1u) << "not asked again";
    }

    const std::pair<std::string, std::string> accepted[] = {
        {"HTTPS://moved.test:8443/c?x=1#f", "HTTPS://moved.test:8443/c?x=1#f"},
        {"http://u:p@[::1]:80/c", "http://u:p@[::1]:80/c"},
        {std::string("http://n.test/\0trailing", 23), "http://n.test/"}, // a NUL ends the reply
    };
    for (const auto& [reply, stored] : accepted) {
        SCOPED_TRACE(stored);
        int calls = 0;
        const std::string first = "004" + reply;
        m_fake.server = [&](const std::string&) { return calls++ == 0 ? first : std::string("001"); };
        EXPECT_EQ(Judge("http://x.test/"), 0);
        EXPECT_EQ(m_app->CheckURL(), stored);
        EXPECT_EQ(m_fake.RegString("checkURL"), stored);
        EXPECT_EQ(m_fake.Requests().back(), Query("", "", "http://x.test/", stored));
    }
}

TEST_F(CheckingService, EndlessRelocationsAreBoundedAndThenAllow) {
    Start();
    int calls = 0;
    Answer([&](const std::string&) { return "004http://hop" + std::to_string(++calls) + ".test/"; });
    EXPECT_EQ(Judge("http://x.test/"), 1);
    const int queries = 1 + kMaxRelocations;
    EXPECT_EQ(calls, queries);
    // Every relocation received is still recorded, the last one included.
    EXPECT_EQ(m_app->CheckURL(), "http://hop" + std::to_string(queries) + ".test/");
    EXPECT_EQ(m_fake.RegString("checkURL"), m_app->CheckURL());

    // The bound is per verdict: the next one may relocate as often again.
    calls = 0;
    Judge("http://x.test/");
    EXPECT_EQ(calls, queries);
}

TEST_F(CheckingService, ChainUpToTheBoundIsFollowed) {
    Start();
    int calls = 0;
    Answer([&](const std::string&) {
        ++calls;
        return calls <= kMaxRelocations ? "004http://hop" + std::to_string(calls) + ".test/"
                                        : std::string("001");
    });
    EXPECT_EQ(Judge("http://x.test/"), 0);
    EXPECT_EQ(calls, kMaxRelocations + 1);
}

TEST_F(CheckingService, RelocationRunsTheWholeVerdictAgainIncludingThePassFlag) {
    Start();
    Answer([&](const std::string&) {
        m_app->RaisePassOnce(); // another tab's guard attaches while we wait
        return std::string("004http://moved.test/");
    });
    EXPECT_EQ(Judge("http://x.test/"), 1);
    EXPECT_FALSE(m_app->PassOnceRaised());
    EXPECT_EQ(m_fake.Requests().size(), 1u);
}

TEST_F(CheckingService, FailedRegistryWriteStillRelocatesInMemory) {
    Start();
    m_fake.registryWritesFail = true;
    int calls = 0;
    Answer([&](const std::string&) { return std::string(calls++ == 0 ? "004http://moved.test/" : "000"); });
    EXPECT_EQ(Judge("http://x.test/"), 1);
    EXPECT_EQ(m_app->CheckURL(), "http://moved.test/");
    EXPECT_EQ(m_fake.RegString("checkURL"), kServiceURL);
    Judge("http://y.test/");
    EXPECT_EQ(m_fake.Requests().back(), Query("", "", "http://y.test/", "http://moved.test/"));
}

TEST_F(CheckingService, EveryFailureAllows) {
    Start();
    Prohibit("http://listed.test/");
    m_fake.server = [](const std::string&) { return std::nullopt; }; // unreachable host
    EXPECT_EQ(Judge("http://x.test/"), 1);
    EXPECT_EQ(Judge("http://listed.test/"), 0) << "the lists still work without the service";

    m_fake.server = nullptr;
    m_fake.sessionFails = true;
    CVigilApp& second = Start();
    second.m_data.Append(ListKind::Prohibited, "http://listed.test/");
    EXPECT_EQ(Judge("http://x.test/"), 1);
    EXPECT_EQ(Judge("http://listed.test/"), 0);

    m_fake.sessionFails = false;
    m_fake.SetRegString("checkURL", "");
    Start();
    EXPECT_EQ(Judge("http://x.test/"), 1);
}

TEST_F(CheckingService, NoLockIsHeldWhileWaitingForTheService) {
    Start();
    // The settings dialog edits lists and the schedule on another thread meanwhile. The writer is
    // only waited for, never joined, inside the reply: a held lock must fail the test, not hang it.
    std::future<std::string> writer;
    bool writerFinished = false;
    Answer([&](const std::string&) {
        writer = std::async(std::launch::async, [&] {
            m_app->m_data.Append(ListKind::Prohibited, "http://edited.test/");
            m_app->m_data.SetSchedule(Schedule{});
            return m_app->CheckURL();
        });
        writerFinished = writer.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
        return std::string("000");
    });
    EXPECT_EQ(Judge("http://x.test/"), 1);
    EXPECT_TRUE(writerFinished);
    ASSERT_TRUE(writer.valid());
    EXPECT_EQ(writer.get(), kServiceURL);
}

} // namespace
} // namespace pv::test
