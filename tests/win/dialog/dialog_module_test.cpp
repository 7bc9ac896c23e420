// The dialog as the browser reaches it: through the built module's toolbar command (the module
// loaded into this process), and through the substitute browser after registration (toolbar
// button and first title change).
// Each of these runs in a process of its own (the module reads its settings once per process).
#include <gtest/gtest.h>

#include <windows.h>
#include <docobj.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/com_ptr.h"
#include "platform/handles_win.h"
#include "resources/resource.h"
#include "server/guids.h"
#include "tests/support/dialog_support_win.h"

namespace pv::dlgtest {

std::string g_modulePath;  // --dll
std::string g_browserPath; // --browser

namespace {

using GetClassObjectFn = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);

CLSID ComponentClsid() {
    CLSID clsid{};
    std::wstring text;
    for (const char* p = kClsidString; *p; ++p) text.push_back(static_cast<wchar_t>(*p));
    ::CLSIDFromString(text.c_str(), &clsid);
    return clsid;
}

// A string value as the module reads it: the text before the first NUL (the registry may add
// one to a value stored without it).
std::string StringValue(const char* value) {
    auto v = ReadSetting(value);
    if (!v) return "<absent>";
    return v->bytes.substr(0, v->bytes.find('\0'));
}

std::optional<DWORD> DwordValue(const char* value) {
    auto v = ReadSetting(value);
    if (!v || v->type != REG_DWORD || v->bytes.size() != 4) return std::nullopt;
    DWORD d = 0;
    std::memcpy(&d, v->bytes.data(), 4);
    return d;
}

class ModuleDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (g_modulePath.empty()) GTEST_SKIP() << "no --dll given";
        m_env = std::make_unique<EnvironmentGuard>();
        ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    }
    void TearDown() override {
        m_target = nullptr;
        ::CoUninitialize();
        m_env.reset();
    }
    // Loads the module (its start-up reads pv.dat and the registry now) and makes one object.
    void LoadModule() {
        m_module = ::LoadLibraryA(g_modulePath.c_str());
        ASSERT_NE(m_module, nullptr);
        auto getClassObject = reinterpret_cast<GetClassObjectFn>(
            reinterpret_cast<void*>(::GetProcAddress(m_module, "DllGetClassObject")));
        ASSERT_NE(getClassObject, nullptr);
        ComPtr<IClassFactory> factory;
        ASSERT_EQ(getClassObject(ComponentClsid(), IID_IClassFactory, factory.PutVoid()), S_OK);
        ASSERT_EQ(factory->CreateInstance(nullptr, IID_IOleCommandTarget, m_target.PutVoid()), S_OK);
    }
    std::unique_ptr<EnvironmentGuard> m_env;
    HMODULE m_module = nullptr; // stays loaded: objects of it may live until process end
    ComPtr<IOleCommandTarget> m_target;
};

TEST_F(ModuleDialogTest, ToolbarCommandOpensTheModulesDialogOverTheActiveWindow) {
    WriteSettingDword("first", 1);
    WriteSettingString("name", "kept");
    WriteSettingString("ps", "kept-secret");
    LoadModule();

    // The browser window: active on the thread that loaded the module.
    WNDCLASSA wc{};
    wc.lpfnWndProc = &::DefWindowProcA;
    wc.hInstance = ::GetModuleHandleA(nullptr);
    wc.lpszClassName = "PvModuleTestBrowser";
    ::RegisterClassA(&wc);
    const OwnedWindow window(::CreateWindowA("PvModuleTestBrowser", "Browser", WS_OVERLAPPEDWINDOW, 40, 40,
                                             760, 560, nullptr, nullptr, ::GetModuleHandleA(nullptr),
                                             nullptr));
    HWND browser = window.Get();
    ::ShowWindow(browser, SW_SHOW);
    ::SetForegroundWindow(browser);
    ::SetActiveWindow(browser);

    HRESULT hr = E_FAIL;
    RunDialog([&] { hr = m_target->Exec(nullptr, 0, 0, nullptr, nullptr); },
              [&](Ui& ui) {
                  ASSERT_TRUE(ui.WaitForDialog());
                  EXPECT_EQ(::GetWindow(ui.Dialog(), GW_OWNER), browser);
                  EXPECT_FALSE(::IsWindowEnabled(browser));
                  EXPECT_EQ(ui.TabCount(IDC_PV_TAB), 3);
                  // The module's own pictures are in use.
                  HWND banner = ::GetWindow(ui.PageOf(IDC_PV_LOGIN), GW_CHILD);
                  EXPECT_NE(::SendMessageA(banner, STM_GETIMAGE, IMAGE_BITMAP, 0), 0);
                  EXPECT_NE(::LoadCursorA(m_module, MAKEINTRESOURCEA(IDC_PV_HAND)), nullptr);
                  ui.Screenshot("module-toolbar-basic");
                  ui.Type(IDC_PV_LOGIN, "via-toolbar");
                  ui.Click(IDOK);
                  EXPECT_TRUE(ui.WaitClosed());
              });
    EXPECT_EQ(hr, S_OK);
    EXPECT_TRUE(::IsWindowEnabled(browser));
    EXPECT_EQ(StringValue("name"), "via-toolbar");
    EXPECT_EQ(StringValue("ps"), "kept-secret");
}

// ---------------------------------------------------------------------------------------------
// Through the substitute browser, in its own process.

// A child process, ended if it still runs when the test lets go of it.
struct Process {
    ProcessInformation pi;
    ~Process() {
        if (pi && ::WaitForSingleObject(pi.Process(), 0) == WAIT_TIMEOUT)
            ::TerminateProcess(pi.Process(), 99);
    }
    DWORD Wait(DWORD ms) {
        if (::WaitForSingleObject(pi.Process(), ms) != WAIT_OBJECT_0) return 0xFFFFFFFF;
        DWORD code = 0;
        ::GetExitCodeProcess(pi.Process(), &code);
        return code;
    }
};

bool Start(Process& p, std::string commandLine) {
    STARTUPINFOA si{};
    si.cb = sizeof si;
    return ::CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                            p.pi.Put()) != FALSE;
}

DWORD RunToEnd(const std::string& commandLine, DWORD ms = 60000) {
    Process p;
    if (!Start(p, commandLine)) return 0xFFFFFFFE;
    return p.Wait(ms);
}

std::string ClassName(HWND hwnd) {
    char name[64] = {};
    const int n = ::GetClassNameA(hwnd, name, sizeof name);
    return std::string(name, n > 0 ? static_cast<size_t>(n) : 0);
}

struct Search {
    DWORD pid;
    HWND found;
};

BOOL CALLBACK FindSettings(HWND hwnd, LPARAM param) {
    auto& s = *reinterpret_cast<Search*>(param);
    DWORD pid = 0;
    ::GetWindowThreadProcessId(hwnd, &pid);
    char caption[64] = {};
    ::GetWindowTextA(hwnd, caption, sizeof caption);
    if (pid == s.pid && ::IsWindowVisible(hwnd) && ClassName(hwnd) == "#32770" &&
        std::strcmp(caption, "Pathvigil") == 0 && ::GetDlgItem(hwnd, IDC_PV_TAB)) {
        s.found = hwnd;
        return FALSE;
    }
    return TRUE;
}

HWND WaitForSettings(DWORD pid, std::chrono::milliseconds timeout) {
    Search s{pid, nullptr};
    WaitUntil(
        [&] {
            s.found = nullptr;
            ::EnumWindows(&FindSettings, reinterpret_cast<LPARAM>(&s));
            return s.found != nullptr;
        },
        timeout);
    return s.found;
}

HWND Descendant(HWND dialog, int id) {
    struct F {
        int id;
        HWND h;
    } f{id, nullptr};
    ::EnumChildWindows(
        dialog,
        [](HWND h, LPARAM p) -> BOOL {
            auto& f = *reinterpret_cast<F*>(p);
            if (::GetDlgCtrlID(h) == f.id) {
                f.h = h;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&f));
    return f.h;
}

class BrowserDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (g_modulePath.empty() || g_browserPath.empty()) GTEST_SKIP() << "needs --dll and --browser";
        m_env = std::make_unique<EnvironmentGuard>();
        ASSERT_EQ(RunToEnd("regsvr32.exe /s \"" + g_modulePath + "\""), 0u) << "registration";
        m_registered = true;
    }
    void TearDown() override {
        if (m_registered) RunToEnd("regsvr32.exe /u /s \"" + g_modulePath + "\"");
        m_env.reset();
    }
    // Runs the substitute browser over a script; returns it running.
    bool Browse(Process& p, const std::string& script) {
        m_script = BuildDir().empty() ? std::string("C:\\pv_dialog_script.txt")
                                      : BuildDir() + "\\pv_dialog_script.txt";
        if (!WriteWholeFile(m_script, script)) return false;
        return Start(p, "\"" + g_browserPath + "\" --no-title --timeout 90 --script \"" + m_script + "\"");
    }

    std::unique_ptr<EnvironmentGuard> m_env;
    bool m_registered = false;
    std::string m_script;
};

TEST_F(BrowserDialogTest, ToolbarButtonOpensTheDialogAndOkStoresTheAccount) {
    WriteSettingDword("first", 1);
    Process browser;
    ASSERT_TRUE(Browse(browser, "toolbar\nquit\n"));
    HWND dialog = WaitForSettings(browser.pi.ProcessId(), 60s);
    ASSERT_NE(dialog, nullptr) << "the toolbar command shows the dialog";
    HWND login = Descendant(dialog, IDC_PV_LOGIN);
    ASSERT_NE(login, nullptr);
    DWORD_PTR ignored = 0;
    ::SendMessageTimeoutA(login, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("from-the-toolbar"), SMTO_NORMAL,
                          10000, &ignored);
    ::PostMessageA(Descendant(dialog, IDOK), BM_CLICK, 0, 0);
    EXPECT_EQ(browser.Wait(60000), 0u) << "the browser finishes once the dialog is closed";
    EXPECT_EQ(StringValue("name"), "from-the-toolbar");
}

TEST_F(BrowserDialogTest, FirstTitleChangeOpensTheDialogOnceWithFirstRecorded) {
    DeleteSetting("first");
    Process browser;
    ASSERT_TRUE(Browse(browser, "title\ntitle\nquit\n"));
    HWND dialog = WaitForSettings(browser.pi.ProcessId(), 60s);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(DwordValue("first"), 1u) << "recorded before the dialog opened";
    ::PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
    // The second title change opens nothing: the browser runs to its end.
    EXPECT_EQ(browser.Wait(60000), 0u);
}

} // namespace
} // namespace pv::dlgtest

int main(int argc, char** argv) {
    std::vector<char*> args(argv, argv + argc);
    for (size_t i = 1; i + 1 < args.size();) {
        if (std::strcmp(args[i], "--dll") == 0 || std::strcmp(args[i], "--browser") == 0) {
            std::string& target =
                std::strcmp(args[i], "--dll") == 0 ? pv::dlgtest::g_modulePath : pv::dlgtest::g_browserPath;
            target = pv::dlgtest::WindowsPath(args[i + 1]);
            args.erase(args.begin() + static_cast<std::ptrdiff_t>(i),
                       args.begin() + static_cast<std::ptrdiff_t>(i) + 2);
        } else {
            ++i;
        }
    }
    int n = static_cast<int>(args.size());
    ::testing::InitGoogleTest(&n, args.data());
    return RUN_ALL_TESTS();
}
