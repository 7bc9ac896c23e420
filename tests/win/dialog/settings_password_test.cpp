// The settings password: its record, and the prompt in front of the settings dialog, opened by the
// launcher as the toolbar button and the first run open it. Each test runs in a process of its
// own (CMakeLists.txt): wrong answers slow down every later attempt in the process.
#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <string>

#include "dialog/password_prompt.h"
#include "dialog/settings_launcher.h"
#include "dialog/settings_lock_win.h"
#include "guard/settings_password_win.h"
#include "resources/resource.h"
#include "tests/support/dialog_support_win.h"

namespace pv::dlgtest {
namespace {

// A top-level dialog of this process with this caption; null after the timeout.
HWND WaitForCaption(const std::string& caption, std::chrono::milliseconds timeout = 15s) {
    struct Search {
        const std::string* caption;
        HWND found;
    } search{&caption, nullptr};
    WaitUntil(
        [&] {
            search.found = nullptr;
            ::EnumWindows(
                [](HWND h, LPARAM p) -> BOOL {
                    auto* s = reinterpret_cast<Search*>(p);
                    DWORD pid = 0;
                    ::GetWindowThreadProcessId(h, &pid);
                    char text[256] = {};
                    ::GetWindowTextA(h, text, sizeof text);
                    if (pid == ::GetCurrentProcessId() && ::IsWindowVisible(h) && *s->caption == text) {
                        s->found = h;
                        return FALSE;
                    }
                    return TRUE;
                },
                reinterpret_cast<LPARAM>(&search));
            return search.found != nullptr;
        },
        timeout);
    return search.found;
}

// The text of the message box the module shows (captioned with the application title), which is
// then dismissed; empty when none came.
std::string TakeMessage() {
    HWND box = WaitForCaption(TheApp().AppTitle());
    if (!box) return {};
    char text[512] = {};
    ::GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
    ::PostMessageA(box, WM_COMMAND, IDOK, 0);
    WaitUntil([&] { return !::IsWindow(box); });
    return text;
}

void Enter(HWND dialog, int id, const char* text) {
    ::SendMessageA(::GetDlgItem(dialog, id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
}
void Press(HWND dialog, int id) { ::PostMessageA(::GetDlgItem(dialog, id), BM_CLICK, 0, 0); }

// Answers the prompt with password; false when no prompt came.
bool AnswerPrompt(const char* password) {
    HWND prompt = WaitForCaption(CPasswordPrompt::kCaption);
    if (!prompt) return false;
    Enter(prompt, IDC_PV_PROMPT_PASSWORD, password);
    Press(prompt, IDOK);
    return true;
}

void OpenByLauncher() { OpenSettingsDialog(); }

class SettingsPassword : public ::testing::Test {
protected:
    void SetUp() override {
        m_env = std::make_unique<EnvironmentGuard>();
        DeleteSetting(settings_password::kRecordValue);
        WritePvDat(SampleData{});
        m_module = std::make_unique<TestModule>();
    }
    void TearDown() override {
        m_module.reset();
        m_env.reset();
    }
    void SetPassword(const char* password) {
        auto record = settings_password::MakeRecord(password);
        ASSERT_TRUE(record);
        ASSERT_TRUE(StoreSettingsPasswordRecord(*record));
    }
    std::unique_ptr<EnvironmentGuard> m_env;
    std::unique_ptr<TestModule> m_module;
};

TEST_F(SettingsPassword, RecordsAreSaltedSlowHashesThatOnlyTheRightPasswordMatches) {
    const auto start = std::chrono::steady_clock::now();
    auto a = settings_password::MakeRecord("Tr0ub4dor&3");
    const auto took = std::chrono::steady_clock::now() - start;
    auto b = settings_password::MakeRecord("Tr0ub4dor&3");
    ASSERT_TRUE(a && b);
    std::printf("one record of %u iterations: %lld ms\n", settings_password::kIterations,
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
    const std::string prefix = "pbkdf2-sha256$" + std::to_string(settings_password::kIterations) + "$";
    EXPECT_EQ(a->rfind(prefix, 0), 0u) << *a;
    EXPECT_EQ(a->find("Tr0ub4dor"), std::string::npos);
    EXPECT_NE(*a, *b) << "a fresh salt each time";
    EXPECT_TRUE(settings_password::Matches(*a, "Tr0ub4dor&3"));
    EXPECT_TRUE(settings_password::Matches(*b, "Tr0ub4dor&3"));
    EXPECT_FALSE(settings_password::Matches(*a, "Tr0ub4dor&4"));
    EXPECT_FALSE(settings_password::Matches(*a, ""));

    // Damaged or planted records match nothing, not even an empty password.
    const std::string salt = a->substr(prefix.size(), 2 * settings_password::kSaltBytes);
    const std::string key = a->substr(prefix.size() + salt.size() + 1);
    for (const std::string& bad :
         {std::string(), std::string("Tr0ub4dor&3"), "md5$1$" + salt + "$00",
          "pbkdf2-sha256$0$" + salt + "$" + key, "pbkdf2-sha256$99999999999$" + salt + "$00",
          prefix + salt + "$", prefix + "zz$" + key, a->substr(0, a->size() - 1), *a + "$"}) {
        EXPECT_FALSE(settings_password::Matches(bad, "Tr0ub4dor&3")) << bad;
        EXPECT_FALSE(settings_password::Matches(bad, "")) << bad;
    }
}

TEST_F(SettingsPassword, NoneSetOpensTheSettingsAtOnce) {
    StoreSettingsPasswordRecord(""); // switched off counts as none
    RunDialog(OpenByLauncher, [&](Ui& ui) {
        ASSERT_TRUE(ui.WaitForDialog());
        ui.Click(IDCANCEL);
        EXPECT_TRUE(ui.WaitClosed());
    });
}

TEST_F(SettingsPassword, AWrongPasswordOpensNothingAndTheRightOneOpensTheSettings) {
    SetPassword("right-one");
    RunDialog(OpenByLauncher, [&](Ui& ui) {
        ASSERT_TRUE(AnswerPrompt("wrong-one"));
        EXPECT_EQ(TakeMessage(), kWrongSettingsPassword);
        EXPECT_EQ(ui.WaitForDialog(1500ms), nullptr) << "nothing opens after a wrong password";
    });
    RunDialog(OpenByLauncher, [&](Ui& ui) {
        HWND prompt = WaitForCaption(CPasswordPrompt::kCaption);
        ASSERT_NE(prompt, nullptr);
        Press(prompt, IDCANCEL);
        EXPECT_EQ(ui.WaitForDialog(1500ms), nullptr) << "Cancel opens nothing either";
    });
    RunDialog(OpenByLauncher, [&](Ui& ui) {
        ASSERT_TRUE(AnswerPrompt("right-one"));
        ASSERT_TRUE(ui.WaitForDialog());
        ui.Click(IDCANCEL);
        EXPECT_TRUE(ui.WaitClosed());
    });
}

TEST_F(SettingsPassword, RepeatedWrongPasswordsMustWaitBeforeTheNextAttempt) {
    SetPassword("right-one");
    for (int i = 0; i < 3; ++i) {
        RunDialog(OpenByLauncher, [&](Ui&) {
            ASSERT_TRUE(AnswerPrompt("guess"));
            EXPECT_EQ(TakeMessage(), kWrongSettingsPassword);
        });
    }
    // Even the right password is not asked for while the wait lasts.
    RunDialog(OpenByLauncher, [&](Ui& ui) {
        const std::string message = TakeMessage();
        EXPECT_EQ(message.rfind("Too many wrong settings passwords. Try again in ", 0), 0u) << message;
        EXPECT_EQ(WaitForCaption(CPasswordPrompt::kCaption, 500ms), nullptr);
        EXPECT_EQ(ui.WaitForDialog(500ms), nullptr);
    });
}

TEST_F(SettingsPassword, ChangingItNeedsTheCurrentOneAndAnEmptyOneSwitchesItOff) {
    SetPassword("old-pw");
    const std::string before = SettingsPasswordRecord();
    RunDialog(OpenByLauncher, [&](Ui& ui) {
        ASSERT_TRUE(AnswerPrompt("old-pw"));
        ASSERT_TRUE(ui.WaitForDialog());
        ui.Click(IDC_PV_SETTINGS_PASSWORD);
        HWND change = WaitForCaption(CSettingsPasswordDialog::kCaption);
        ASSERT_NE(change, nullptr);
        EXPECT_TRUE(::IsWindowEnabled(::GetDlgItem(change, IDC_PV_CURRENT_PASSWORD)));

        Enter(change, IDC_PV_CURRENT_PASSWORD, "not-it");
        Enter(change, IDC_PV_NEW_PASSWORD, "new-pw");
        Enter(change, IDC_PV_CONFIRM_PASSWORD, "new-pw");
        Press(change, IDOK);
        EXPECT_EQ(TakeMessage(), kWrongSettingsPassword);
        EXPECT_TRUE(::IsWindow(change)) << "stays open after a refusal";
        EXPECT_EQ(SettingsPasswordRecord(), before);

        Enter(change, IDC_PV_CURRENT_PASSWORD, "old-pw");
        Enter(change, IDC_PV_NEW_PASSWORD, "new-pw");
        Enter(change, IDC_PV_CONFIRM_PASSWORD, "new-pq");
        Press(change, IDOK);
        EXPECT_EQ(TakeMessage(), CSettingsPasswordDialog::kMismatch);
        EXPECT_EQ(SettingsPasswordRecord(), before);

        Enter(change, IDC_PV_CURRENT_PASSWORD, "old-pw");
        Enter(change, IDC_PV_NEW_PASSWORD, "new-pw");
        Enter(change, IDC_PV_CONFIRM_PASSWORD, "new-pw");
        Press(change, IDOK);
        EXPECT_TRUE(WaitUntil([&] { return !::IsWindow(change); }));
        const std::string after = SettingsPasswordRecord();
        EXPECT_TRUE(settings_password::Matches(after, "new-pw"));
        EXPECT_FALSE(settings_password::Matches(after, "old-pw"));
        EXPECT_EQ(after.find("new-pw"), std::string::npos);

        // Switched off with the current password and an empty new one.
        ui.Click(IDC_PV_SETTINGS_PASSWORD);
        change = WaitForCaption(CSettingsPasswordDialog::kCaption);
        ASSERT_NE(change, nullptr);
        Enter(change, IDC_PV_CURRENT_PASSWORD, "new-pw");
        Press(change, IDOK);
        EXPECT_TRUE(WaitUntil([&] { return !::IsWindow(change); }));
        EXPECT_EQ(SettingsPasswordRecord(), "");
        ui.Click(IDCANCEL);
        EXPECT_TRUE(ui.WaitClosed());
    });
    // Off: the next opening asks for nothing.
    RunDialog(OpenByLauncher, [&](Ui& ui) {
        ASSERT_TRUE(ui.WaitForDialog());
        ui.Click(IDCANCEL);
        EXPECT_TRUE(ui.WaitClosed());
    });
}

} // namespace
} // namespace pv::dlgtest
