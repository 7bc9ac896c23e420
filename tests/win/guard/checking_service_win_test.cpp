// The checking-service client through real WinINet, against the loopback test service, with the
// module's settings in the real registry of the prefix. Run by with_service.sh, which passes
// --service <base address> --log <request log> --rules <rules file>.
#include <windows.h>
#include <gtest/gtest.h>
#include <shlwapi.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "guard/verdict.h"
#include "platform/win32_platform_win.h"
#include "store/vigil_app.h"

namespace pv::wintest {
namespace {

std::string g_service; // http://127.0.0.1:<port>
std::string g_log;
std::string g_rules;

// Answers by path; "{port}" is the service's own port.
constexpr const char* kRules = R"({
  "default": {"body": "000"},
  "rules": [
    {"path": "/forbid", "body": "001"},
    {"path": "/forbid-text", "body": "001 not for children\r\n"},
    {"path": "/other-code", "body": "002"},
    {"path": "/blank-first", "body": " 001"},
    {"path": "/error-page", "status": 500, "content_type": "text/html",
     "body": "<html><head><title>500 Internal Server Error</title></head><body>001</body></html>"},
    {"path": "/forbid-404", "status": 404, "body": "001"},
    {"path": "/empty", "body": ""},
    {"path": "/relocate", "body": "004http://127.0.0.1:{port}/moved"},
    {"path": "/moved", "url": "http://bad.test/", "body": "001"},
    {"path": "/relocate-bare", "body": "004"},
    {"path": "/relocate-crlf", "body": "004http://127.0.0.1:{port}/moved\r\nX-Injected: 1\r\n"},
    {"path": "/relocate-relative", "body": "004/moved"},
    {"path": "/changing", "times": 1, "body": "001"}
  ]
})";

std::vector<std::string> RequestLines() {
    std::ifstream in(g_log, std::ios::binary);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

std::optional<std::string> ReadValue(const char* value) {
    char buffer[2048];
    DWORD type = 0;
    DWORD size = sizeof buffer;
    if (::SHGetValueA(HKEY_CLASSES_ROOT, CVigilApp::kSettingsKey, value, &type, buffer, &size) !=
        ERROR_SUCCESS)
        return std::nullopt;
    std::string text(buffer, size);
    while (!text.empty() && text.back() == '\0') text.pop_back(); // the terminator, if stored
    return text;
}

void WriteValue(const char* value, const std::string& text) {
    ::SHSetValueA(HKEY_CLASSES_ROOT, CVigilApp::kSettingsKey, value, REG_SZ, text.c_str(),
                  static_cast<DWORD>(text.size() + 1));
}

// Puts the account and service values back as they were.
class RegistryValuesGuard {
public:
    RegistryValuesGuard() {
        for (std::size_t i = 0; i < std::size(kValues); ++i) m_saved[i] = ReadValue(kValues[i]);
    }
    ~RegistryValuesGuard() {
        for (std::size_t i = 0; i < std::size(kValues); ++i) {
            if (m_saved[i])
                WriteValue(kValues[i], *m_saved[i]);
            else
                ::SHDeleteValueA(HKEY_CLASSES_ROOT, CVigilApp::kSettingsKey, kValues[i]);
        }
    }

private:
    static constexpr const char* kValues[] = {"checkURL", "name", "ps"};
    std::optional<std::string> m_saved[std::size(kValues)];
};

std::u16string Wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

class WinCheckingService : public ::testing::Test {
protected:
    // A module state started on the real platform with this checking address and account.
    CVigilApp& Start(const std::string& checkURL, const std::string& name = "", const std::string& ps = "") {
        WriteValue("checkURL", checkURL);
        WriteValue("name", name);
        WriteValue("ps", ps);
        m_app = std::make_unique<CVigilApp>(m_platform);
        EXPECT_TRUE(m_app->Startup());
        return *m_app;
    }
    int32_t Judge(const std::string& address) {
        return JudgeURL(*m_app, Wide(address), std::nullopt, std::nullopt);
    }
    // The request lines received since the test began.
    std::vector<std::string> NewRequests() const {
        std::vector<std::string> lines = RequestLines();
        lines.erase(lines.begin(),
                    lines.begin() + static_cast<std::ptrdiff_t>(std::min(m_seen, lines.size())));
        return lines;
    }

    RegistryValuesGuard m_registryGuard;
    Win32Platform m_platform{nullptr};
    std::unique_ptr<CVigilApp> m_app;

private:
    std::size_t m_seen = RequestLines().size();
};

TEST_F(WinCheckingService, RequestLineIsTheQueryAsBuilt) {
    Start(g_service + "/query", "kid", "s&cret=1");
    EXPECT_EQ(Judge("http://site.test/a?b=1&c=2"), 1);
    EXPECT_EQ(NewRequests(), std::vector<std::string>{
                                 "GET /query?log=kid&pwd=s&cret=1&url=http://site.test/a?b=1&c=2 HTTP/1.1"});
}

TEST_F(WinCheckingService, EmptyAndGivenAccountValues) {
    Start(g_service + "/query");
    EXPECT_EQ(Judge("http://site.test/"), 1);
    EXPECT_EQ(JudgeURL(*m_app, Wide("http://site.test/"), Wide("guest"), Wide("")), 1);
    EXPECT_EQ(NewRequests(), (std::vector<std::string>{
                                 "GET /query?log=&pwd=&url=http://site.test/ HTTP/1.1",
                                 "GET /query?log=guest&pwd=&url=http://site.test/ HTTP/1.1",
                             }));
}

TEST_F(WinCheckingService, RepliesAndWhatTheyMean) {
    struct Case {
        const char* path;
        int32_t expected;
    };
    const Case cases[] = {
        {"/forbid", 0},     {"/forbid-text", 0}, {"/forbid-404", 0}, {"/allow", 1},
        {"/other-code", 1}, {"/blank-first", 1}, {"/error-page", 1}, {"/empty", 1},
    };
    for (const Case& c : cases) {
        Start(g_service + c.path);
        EXPECT_EQ(Judge("http://site.test/"), c.expected) << c.path;
    }
    EXPECT_EQ(NewRequests().size(), std::size(cases));
}

TEST_F(WinCheckingService, AnswersAreNeverTakenFromACache) {
    Start(g_service + "/changing");
    EXPECT_EQ(Judge("http://same.test/"), 0);
    EXPECT_EQ(Judge("http://same.test/"), 1);
    EXPECT_EQ(NewRequests().size(), 2u);
}

TEST_F(WinCheckingService, UnreachableServiceAllows) {
    // Port 1 on the loopback interface: nothing listens, the connection is refused at once.
    Start("http://127.0.0.1:1/checker");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Judge("http://site.test/"), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));

    Start("");
    EXPECT_EQ(Judge("http://site.test/"), 1);
    Start("not an address");
    EXPECT_EQ(Judge("http://site.test/"), 1);
}

TEST_F(WinCheckingService, RelocationIsPersistedAndUsedByTheNextQuery) {
    const std::string moved = g_service + "/moved";
    Start(g_service + "/relocate");
    EXPECT_EQ(Judge("http://bad.test/"), 0) << "the verdict is the one of the new address";
    EXPECT_EQ(m_app->CheckURL(), moved);
    EXPECT_EQ(ReadValue("checkURL"), moved);
    EXPECT_EQ(NewRequests(), (std::vector<std::string>{
                                 "GET /relocate?log=&pwd=&url=http://bad.test/ HTTP/1.1",
                                 "GET /moved?log=&pwd=&url=http://bad.test/ HTTP/1.1",
                             }));

    // A module started afterwards reads the new address and asks there directly.
    m_app = std::make_unique<CVigilApp>(m_platform);
    ASSERT_TRUE(m_app->Startup());
    EXPECT_EQ(m_app->CheckURL(), moved);
    EXPECT_EQ(Judge("http://good.test/"), 1);
    EXPECT_EQ(NewRequests().back(), "GET /moved?log=&pwd=&url=http://good.test/ HTTP/1.1");
    EXPECT_EQ(NewRequests().size(), 3u);
}

// A reply that does not name an absolute http(s) address is unreadable: allowed, nothing kept.
TEST_F(WinCheckingService, RelocationToAnythingButAnAbsoluteHttpAddressChangesNothing) {
    for (const char* path : {"/relocate-bare", "/relocate-crlf", "/relocate-relative"}) {
        SCOPED_TRACE(path);
        Start(g_service + path);
        const std::optional<std::string> stored = ReadValue("checkURL");
        EXPECT_EQ(Judge("http://site.test/"), 1);
        EXPECT_EQ(m_app->CheckURL(), g_service + path);
        EXPECT_EQ(ReadValue("checkURL"), stored);
    }
    EXPECT_EQ(NewRequests().size(), 3u) << "none was followed";
}

// The thread's code page here is a single-byte one without Cyrillic letters.
TEST_F(WinCheckingService, AddressTheCodePageCannotCarryIsForbiddenWithoutAsking) {
    Start(g_service + "/query");
    EXPECT_EQ(JudgeURL(*m_app, std::u16string(u"http://\u0416\u0416.test/"), std::nullopt, std::nullopt), 0);
    EXPECT_EQ(JudgeURL(*m_app, std::u16string(u"http://site.test/\u00e9"), std::nullopt, std::nullopt), 1)
        << "a letter of the code page converts";
    EXPECT_EQ(NewRequests().size(), 1u);
}

std::string Arg(std::vector<char*>& args, const char* name) {
    for (std::size_t i = 1; i + 1 < args.size(); ++i) {
        if (std::strcmp(args[i], name) == 0) {
            std::string value = args[i + 1];
            args.erase(args.begin() + static_cast<std::ptrdiff_t>(i),
                       args.begin() + static_cast<std::ptrdiff_t>(i) + 2);
            return value;
        }
    }
    return {};
}

} // namespace
} // namespace pv::wintest

int main(int argc, char** argv) {
    using namespace pv::wintest;
    std::vector<char*> args(argv, argv + argc);
    g_service = Arg(args, "--service");
    g_log = Arg(args, "--log");
    g_rules = Arg(args, "--rules");
    if (g_service.empty() || g_log.empty() || g_rules.empty()) {
        std::fprintf(stderr, "usage: %s --service <http://host:port> --log <file> --rules <file>\n", argv[0]);
        return 2;
    }
    {
        std::ofstream rules(g_rules, std::ios::binary | std::ios::trunc);
        rules << kRules;
        if (!rules) return 2;
    }
    int n = static_cast<int>(args.size());
    ::testing::InitGoogleTest(&n, args.data());
    return RUN_ALL_TESTS();
}
