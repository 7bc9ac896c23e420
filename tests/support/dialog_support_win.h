// Driving the settings dialog from a test: the dialog runs modally on the test's main thread (as
// on a browser window's thread), and a driver thread works its controls with window messages,
// reads message boxes and dismisses them. Every wait is bounded.
#pragma once

#include <windows.h>
#include <exdisp.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/com_ptr.h"
#include "platform/win32_platform_win.h"
#include "store/data.h"
#include "store/vigil_app.h"
#include "tests/support/win_test_files_win.h"
#include "tools/browser/web_browser_base.h"

namespace pv::dlgtest {

using namespace std::chrono_literals;

// --- environment -----------------------------------------------------------------------------

using wintest::ReadWholeFile;
using wintest::WindowsPath;
using wintest::WriteWholeFile;
// The build tree (PV_BUILD_DIR) as a Windows path; empty when unknown.
std::string BuildDir();
std::string PvDatPath();    // system directory + "\pv.dat"
std::string HelpFilePath(); // Windows directory + "\PathvigilHelp.chm"

// A registry value of HKEY_CLASSES_ROOT\Pathvigil.CVigil: its type and bytes.
struct RegValue {
    DWORD type = 0;
    std::string bytes;
};
std::optional<RegValue> ReadSetting(const char* value);
void WriteSettingString(const char* value, const std::string& text);
void WriteSettingDword(const char* value, DWORD number);
void DeleteSetting(const char* value);

// Puts the settings key, pv.dat and the help file back as they were when the guard was made.
class EnvironmentGuard {
public:
    EnvironmentGuard();
    ~EnvironmentGuard();
    EnvironmentGuard(const EnvironmentGuard&) = delete;
    EnvironmentGuard& operator=(const EnvironmentGuard&) = delete;

private:
    std::optional<RegValue> m_values[6];
    std::optional<std::string> m_pvdat;
    std::optional<std::string> m_help;
};

// Writes pv.dat with the given content, as the module itself would.
struct SampleData {
    std::vector<std::string> prohibited;
    std::vector<std::string> allowed;
    Schedule schedule;
};
void WritePvDat(const SampleData& data);
// Reads pv.dat as a fresh process would.
void LoadPvDat(CData& into);

// --- a browser stand-in ----------------------------------------------------------------------

// Shows a fixed address and records the Navigate2 calls it receives.
class FakeBrowser final : public host::WebBrowser2Base {
public:
    struct Navigation {
        std::wstring url;
        VARTYPE flagsType;
        std::wstring target;
        VARTYPE postDataType;
        VARTYPE headersType;
    };

    static ComPtr<FakeBrowser> Create(std::wstring location);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE get_LocationURL(BSTR* location) override;
    HRESULT STDMETHODCALLTYPE Navigate2(VARIANT* url, VARIANT* flags, VARIANT* target, VARIANT* postData,
                                        VARIANT* headers) override;

    std::vector<Navigation> Navigations() const;

private:
    explicit FakeBrowser(std::wstring location) : m_location(std::move(location)) {}
    std::atomic<ULONG> m_refs{1};
    std::wstring m_location;
    mutable std::mutex m_lock;
    std::vector<Navigation> m_navigations;
};

// --- the module state of the test process ----------------------------------------------------

// The module state as the module's attach builds it (pv.dat and the registry read afresh), with
// this thread recorded as the module's loading thread. Installed for TheApp() while it lives.
class TestModule {
public:
    TestModule();
    ~TestModule();
    CVigilApp& App() { return m_app; }

private:
    Win32Platform m_platform;
    CVigilApp m_app;
};

// --- screen ----------------------------------------------------------------------------------

struct Capture {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> pixels; // 0x00RRGGBB, top row first
    // Pixels of exactly this COLORREF (0x00BBGGRR).
    size_t Count(COLORREF colour) const;
};
// What the screen shows in a window's rectangle (rect relative to the window when given).
Capture CaptureWindow(HWND hwnd, const RECT* part = nullptr);
bool WritePng(const std::string& path, const Capture& capture);

// --- the driver ------------------------------------------------------------------------------

struct SeenBox {
    HWND hwnd = nullptr;
    std::string caption;
    std::string text;
    bool stopIcon = false;
    bool exclamationIcon = false;
};

class Ui {
public:
    // uiThread: the thread that runs the dialog; caption: its title.
    Ui(DWORD uiThread, HWND invoker);

    // Waits for the settings dialog to be shown; null after the timeout.
    HWND WaitForDialog(std::chrono::milliseconds timeout = 15s, const char* caption = "Pathvigil");
    HWND Dialog() const { return m_dialog; }
    // A control anywhere in the dialog (frame or page) by id.
    HWND Control(int id) const;
    // The page window that holds the control with this id.
    HWND PageOf(int id) const;

    std::string Text(int id) const;
    void SetText(int id, const std::string& text); // WM_SETTEXT, as an edit sees a paste
    void Type(int id, const std::string& text);    // WM_CHAR per character, as typing
    void Key(int id, UINT vk);                     // WM_KEYDOWN + WM_KEYUP through the loop
    void Click(int id);                            // BM_CLICK, posted
    bool Checked(int id) const;
    bool Enabled(int id) const;
    bool Visible(int id) const;
    // TCM_SETCURSEL and the TCN_SELCHANGE notification the user's click would send.
    void SelectTab(int tabId, int index);
    int TabCount(int tabId) const;
    std::string TabText(int tabId, int index) const;
    // The list box's entries in display order, and its selection.
    std::vector<std::string> ListItems(int listId) const;
    void SelectItem(int listId, int index);
    // DTM_SETSYSTEMTIME with 1 January 2000 at hour:minute.
    void SetPicker(int id, int hour, int minute);
    std::pair<int, int> PickerTime(int id) const;

    // Runs fn on the dialog's thread (between two of its messages) and waits for it.
    void OnUiThread(const std::function<void()>& fn);

    // A message box of this process other than the settings dialog; null after the timeout.
    std::optional<SeenBox> WaitForBox(std::chrono::milliseconds timeout = 15s);
    void Dismiss(const SeenBox& box);
    // True once the dialog window is gone.
    bool WaitClosed(std::chrono::milliseconds timeout = 15s);
    // Lets the dialog's thread handle everything sent so far.
    void Sync();
    // Closes whatever is still open (boxes first, then the dialog with Cancel).
    void CloseAll();

    void Screenshot(const std::string& name);

private:
    DWORD m_uiThread;
    HWND m_invoker;
    HWND m_dialog = nullptr;
};

// Runs open() on this thread (it returns when the dialog has closed) while drive(ui) works the
// dialog from a second thread. Whatever the driver leaves open is cancelled, so open() returns.
void RunDialog(const std::function<void()>& open, const std::function<void(Ui&)>& drive);

// Waits until predicate() holds (polled); false after the timeout.
bool WaitUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout = 10s);

} // namespace pv::dlgtest
