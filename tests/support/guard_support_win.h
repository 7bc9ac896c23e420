// What the in-process guard tests share: the settings values they change (and put back), the
// module state they run against, and a browser window with its guard.
#pragma once

#include <windows.h>

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "pathvigil_h.h"
#include "platform/com_ptr.h"
#include "platform/handles_win.h"
#include "server/vigil_factory.h"
#include "tools/browser/box_watcher.h"
#include "tools/browser/host_browser.h"

namespace pv::test {

// The settings values under HKEY_CLASSES_ROOT\Pathvigil.CVigil, saved on construction and put
// back (absent ones deleted, a key that did not exist removed) on destruction.
class SettingsSnapshot {
public:
    SettingsSnapshot();
    ~SettingsSnapshot();
    SettingsSnapshot(const SettingsSnapshot&) = delete;
    SettingsSnapshot& operator=(const SettingsSnapshot&) = delete;

    static void SetString(const char* value, const std::optional<std::string>& text);
    static void SetDword(const char* value, DWORD data);

private:
    struct Saved {
        DWORD type = 0;
        std::vector<BYTE> bytes;
    };
    bool m_keyExisted = false;
    std::map<std::string, std::optional<Saved>> m_values;
};

// The boxes the watcher dismissed, for assertions.
class BoxLog {
public:
    void Add(const host::SeenBox& box);
    std::vector<std::wstring> Texts() const;
    std::size_t Count() const;

private:
    mutable std::mutex m_lock;
    std::vector<std::wstring> m_texts;
};

BoxLog& Boxes();
host::BoxWatcher& Watcher();

// One browser window with its guard, closed the browser's way on destruction.
struct Window {
    Window();
    ~Window();
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    HRESULT Site(); // SetSite with the browser
    void Quit();    // OnQuit, then SetSite(NULL)

    ComPtr<host::HostBrowser> browser;
    ComPtr<ICVigil> guard;
    bool quit = false;
};

ComPtr<ICVigil> NewGuard();
IUnknown* AsUnknown(host::HostBrowser* browser);

// BeforeNavigate2 arguments as the browser lays them out, with room to break them.
struct NavigateArgs {
    explicit NavigateArgs(const std::wstring& url, IDispatch* frame = nullptr);
    NavigateArgs(const NavigateArgs&) = delete;
    NavigateArgs& operator=(const NavigateArgs&) = delete;

    DISPPARAMS Params(UINT count = 7) { return DISPPARAMS{args, nullptr, count, 0}; }

    Variant url;      // what argument 5 refers to
    Variant other[4]; // flags, frame name, post data, headers
    VARIANT_BOOL cancel = VARIANT_FALSE;
    VARIANT args[7]; // refer to the values above (and the frame) without owning them
};

} // namespace pv::test
