// The module state: one per process, shared by every browser window of the process and by the
// settings dialog.
//
// Browsers run one thread per tab, so everything here is safe to use from several threads at once:
// the pass flag and first-run flag are atomics, the strings sit behind a mutex and are handed out as
// copies, the filter data has its own reader/writer lock. No lock is held across a network request
// or a modal loop.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/platform.h"
#include "store/data.h"

#ifdef _WIN32
struct IWebBrowser2;
#endif

namespace pv {

#ifdef _WIN32
template <class T>
class ComPtr; // platform/com_ptr.h, for whoever takes the current browser
#endif

class CVigilApp {
public:
    // Registry key of the settings values, below HKEY_CLASSES_ROOT.
    static constexpr const char* kSettingsKey = "Pathvigil.CVigil";
    static constexpr const char* kAgent = "Pathvigil";
    static constexpr const char* kHelpFileName = "\\PathvigilHelp.chm";
    // Characters a registry string value is read into (plus a terminating NUL).
    static constexpr uint32_t kRegistryCapacity = 512;

    explicit CVigilApp(Platform& platform);
    ~CVigilApp();
    CVigilApp(const CVigilApp&) = delete;
    CVigilApp& operator=(const CVigilApp&) = delete;

    // Start-up, in order: refuse a host path containing "explorer.exe" (returns false), Load,
    // LoadRegistrySettings, help path, application title. The Internet session is opened lazily
    // by the first query (WinINet must not be called under the loader lock).
    bool Startup();
    int LoadRegistrySettings();

    // --- one-shot pass flag ---
    void RaisePassOnce();
    // Exactly one caller gets true for each raise.
    bool ConsumePassOnce();
    bool PassOnceRaised() const;

    // --- registry-backed settings; each writer updates the copy and the registry together ---
    std::string Name() const;
    std::string Password() const;
    std::string CheckURL() const;
    std::string ErrURL() const;
    uint32_t First() const;
    // Writes "name" (and m_strName) / "ps" (and m_strPs) as REG_SZ without the NUL.
    void StoreName(const std::string& name);
    void StorePassword(const std::string& password);
    // Relocation: writes "checkURL" then replaces the copy.
    void StoreCheckURL(const std::string& url);
    // First-run: when the flag is 0, sets it to 1, writes "first" = 1 (REG_DWORD) and returns true.
    // Exactly one caller per process gets true.
    bool TakeFirstRun();

    // --- Internet session: opened once on first use; retried at the next query if it failed ---
    InternetHandle Session();

    // --- presentation ---
    const std::string& AppTitle() const { return m_strAppTitle; }
    const std::string& HelpFile() const { return m_strHelpFile; }
    // OK box with the exclamation icon, captioned with the application title.
    void ShowMessage(const std::string& text);

    Platform& GetPlatform() { return m_platform; }

#ifdef _WIN32
    // The current browser: the window whose guard connected most recently. A COM reference, so
    // the Windows code keeps it (vigil_app_browser_win.cpp) and the portable core's sources see
    // no COM header.
    ComPtr<IWebBrowser2> CurrentBrowser() const;
    void SetCurrentBrowser(IWebBrowser2* browser);
#endif

    CData m_data;

private:
    std::string ReadRegistryString(const char* value);
    void WriteRegistryString(const char* value, const std::string& text);

    Platform& m_platform;
    std::string m_strAppTitle;
    std::string m_strHelpFile;

    std::atomic<int32_t> m_bPassOnce{0};
    std::atomic<uint32_t> m_dwFirst{0};

    mutable std::mutex m_settingsLock; // guards the four strings below
    std::string m_strName;
    std::string m_strPs;
    std::string m_strCheckURL;
    std::string m_strErrURL;

    std::mutex m_sessionLock; // guards m_session
    UniqueInternetHandle m_session;

#ifdef _WIN32
    struct BrowserSlot;
    struct BrowserSlotDelete {
        void operator()(BrowserSlot* slot) const noexcept;
    };
    static BrowserSlot* NewBrowserSlot();
    // Last, so that the browser's reference is released first when the state goes.
    std::unique_ptr<BrowserSlot, BrowserSlotDelete> m_currentBrowser{NewBrowserSlot()};
#endif
};

// The process's module state. Valid between the module's attach and detach.
CVigilApp& TheApp();
// Installs the process's module state (the module's attach, or a test program); null removes it.
void SetTheApp(CVigilApp* app);

} // namespace pv
