// pvbrowser: a substitute browser. It does with browser helper objects what the browser does, so
// that a helper can be exercised without the real browser and without anybody at the screen.
//
// Usage: pvbrowser [options] [url ...]
//
//   --script FILE       run the commands of FILE after the addresses given on the command line
//   --unattended        report and dismiss every message box and dialog this process shows
//   --status            print every status text a helper sets
//   --trace             print every event delivered and every Navigate2 request received
//   --helper ID         create this helper (a {CLSID} or a ProgID) for every window instead of
//                       those registered under the "Browser Helper Objects" key
//                       (HKLM, SOFTWARE\Microsoft\Windows\CurrentVersion\Explorer); repeatable
//   --no-title          no TitleChange after a completed navigation
//   --timeout SECONDS   give up after this long (default 120)
//
// Script: one command per line; blank lines and lines starting with '#' are ignored.
//
//   navigate URL        navigate the current window to URL
//   title [TEXT]        the current window reports a title change
//   toolbar             press every toolbar button registered under
//                       HKLM\SOFTWARE\Microsoft\Internet Explorer\Extensions ("ClsidExtension":
//                       created, then QueryStatus and Exec)
//   window              open another window, with helpers of its own; it becomes current
//   quit                close the current window (OnQuit, then SetSite(NULL)); the one opened
//                       before it becomes current
//
// Window 1 opens at start; every window still open at the end is closed as by "quit".
//
// Each window gets a browser object of its own and one instance of every helper, which is handed
// the browser through IObjectWithSite::SetSite. A navigation fires BeforeNavigate2 and, if no
// helper superseded or cancelled it, TitleChange. A Navigate2 that a helper calls meanwhile is
// a new navigation delivered at once, nested in the first (as the real browser may do); nesting
// deeper than 8 is reported as a redirect loop.
//
// One line per navigation:
//   http://x/  ->  allowed
//   http://y/  ->  forbidden, redirected to http://host/forbidden.htm
//   http://z/  ->  time-limited, redirected to about:blank
// ("forbidden" when the helper set a status text before redirecting, "time-limited" when it
// redirected without one.) Lines of windows other than window 1 start with "[n]".
//
// Exit status: 0 done; 1 usage; 2 a helper could not be created or sited; 3 a redirect loop;
// 4 timed out; 5 a box would not close.

#include <windows.h>
#include <docobj.h>
#include <fcntl.h>
#include <io.h>
#include <objbase.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/com_ptr.h"
#include "platform/handles_win.h"
#include "tools/browser/box_watcher.h"
#include "tools/browser/host_browser.h"

using pv::ComPtr;
using pv::host::BoxWatcher;
using pv::host::HostBrowser;
using pv::host::Navigation;
using pv::host::SeenBox;
using pv::host::Utf8;
using pv::host::Wide;

namespace {

constexpr const wchar_t* kHelperKey =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects";
constexpr const wchar_t* kExtensionsKey = L"SOFTWARE\\Microsoft\\Internet Explorer\\Extensions";

enum ExitCode { kOk = 0, kUsage = 1, kSetupFailed = 2, kLoop = 3, kTimedOut = 4, kStuckBox = 5 };

std::mutex g_printLock;

void Print(const std::string& line) {
    std::lock_guard<std::mutex> lock(g_printLock);
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string Hex(HRESULT hr) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08lX", static_cast<unsigned long>(hr));
    return buf;
}

std::string GuidText(const GUID& id) {
    wchar_t buf[64] = {};
    StringFromGUID2(id, buf, 64);
    return Utf8(buf);
}

std::string EventName(DISPID id) {
    switch (id) {
    case 113:
        return "TitleChange";
    case 250:
        return "BeforeNavigate2";
    case 253:
        return "OnQuit";
    default:
        return "event " + std::to_string(id);
    }
}

// ---------------------------------------------------------------------------------------------
// Registry

// A key opened for reading; absent when it cannot be opened.
class KeyReader {
public:
    KeyReader(HKEY root, const std::wstring& path) {
        if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, m_key.Put()) != ERROR_SUCCESS)
            m_key = pv::RegKey();
    }
    explicit operator bool() const { return m_key.Get() != nullptr; }

    std::vector<std::wstring> Subkeys() const {
        std::vector<std::wstring> names;
        for (DWORD i = 0; m_key.Get(); ++i) {
            wchar_t name[256];
            DWORD len = 256;
            const LONG r = RegEnumKeyExW(m_key.Get(), i, name, &len, nullptr, nullptr, nullptr, nullptr);
            if (r == ERROR_NO_MORE_ITEMS) break;
            if (r == ERROR_SUCCESS) names.emplace_back(name, len);
        }
        return names;
    }

    std::optional<std::wstring> String(const wchar_t* value) const {
        if (!m_key.Get()) return std::nullopt;
        DWORD type = 0;
        DWORD bytes = 0;
        if (RegQueryValueExW(m_key.Get(), value, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS ||
            (type != REG_SZ && type != REG_EXPAND_SZ))
            return std::nullopt;
        std::wstring text(bytes / sizeof(wchar_t) + 1, L'\0');
        DWORD size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
        if (RegQueryValueExW(m_key.Get(), value, nullptr, &type, reinterpret_cast<BYTE*>(text.data()),
                             &size) != ERROR_SUCCESS)
            return std::nullopt;
        text.resize(size / sizeof(wchar_t));
        while (!text.empty() && text.back() == L'\0') text.pop_back();
        return text;
    }

private:
    pv::RegKey m_key;
};

std::optional<CLSID> ParseClassId(const std::wstring& text) {
    CLSID id{};
    if (!text.empty() && text.front() == L'{') {
        if (SUCCEEDED(CLSIDFromString(text.c_str(), &id))) return id;
        return std::nullopt;
    }
    if (SUCCEEDED(CLSIDFromProgID(text.c_str(), &id))) return id;
    return std::nullopt;
}

// ---------------------------------------------------------------------------------------------
// Script

struct Command {
    std::string verb;
    std::string argument;
    int line = 0;
};

bool ParseScript(std::istream& in, std::vector<Command>& out, std::string& error) {
    std::string text;
    int number = 0;
    while (std::getline(in, text)) {
        ++number;
        while (!text.empty() && (text.back() == '\r' || text.back() == ' ' || text.back() == '\t'))
            text.pop_back();
        std::size_t start = text.find_first_not_of(" \t");
        if (start == std::string::npos || text[start] == '#') continue;
        text = text.substr(start);
        Command c;
        c.line = number;
        const std::size_t space = text.find_first_of(" \t");
        c.verb = text.substr(0, space);
        if (space != std::string::npos) {
            const std::size_t arg = text.find_first_not_of(" \t", space);
            if (arg != std::string::npos) c.argument = text.substr(arg);
        }
        if (c.verb == "navigate") {
            if (c.argument.empty()) {
                error = "line " + std::to_string(number) + ": navigate needs an address";
                return false;
            }
        } else if (c.verb != "title" && c.verb != "toolbar" && c.verb != "window" && c.verb != "quit") {
            error = "line " + std::to_string(number) + ": unknown command \"" + c.verb + "\"";
            return false;
        }
        out.push_back(std::move(c));
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Windows

struct Options {
    bool unattended = false;
    bool status = false;
    bool trace = false;
    bool title = true;
    int timeoutSeconds = 120;
    std::vector<std::wstring> helperIds;
    std::vector<Command> commands;
};

class Host;

struct Window {
    int number = 0;
    ComPtr<HostBrowser> browser;
    std::vector<ComPtr<IObjectWithSite>> helpers;
};

class Host {
public:
    Host(const Options& options, BoxWatcher* watcher) : m_options(options), m_watcher(watcher) {}

    bool FindHelpers();
    int Run();

private:
    Window& OpenWindow();
    void CloseWindow(Window& window);
    void NavigateIn(Window& window, const std::wstring& url);
    void Report(const Window& window, const Navigation& nav, const std::string& prefix = {});
    std::string Describe(const Navigation& nav);
    void PressToolbar();
    std::string Tag(const Window& window) const {
        return window.number == 1 ? std::string() : "[" + std::to_string(window.number) + "] ";
    }

    const Options& m_options;
    BoxWatcher* m_watcher;
    std::vector<CLSID> m_helpers;
    std::vector<std::unique_ptr<Window>> m_windows;
    int m_nextWindow = 1;
    bool m_loop = false;
    bool m_setupFailed = false;
};

bool Host::FindHelpers() {
    if (!m_options.helperIds.empty()) {
        for (const std::wstring& id : m_options.helperIds) {
            if (auto clsid = ParseClassId(id)) {
                m_helpers.push_back(*clsid);
            } else {
                Print("pvbrowser: unknown helper " + Utf8(id));
                return false;
            }
        }
        return true;
    }
    KeyReader key(HKEY_LOCAL_MACHINE, kHelperKey);
    for (const std::wstring& name : key.Subkeys()) {
        if (auto clsid = ParseClassId(name)) m_helpers.push_back(*clsid);
    }
    if (m_helpers.empty()) Print("pvbrowser: no browser helper objects registered");
    return true;
}

Window& Host::OpenWindow() {
    auto window = std::make_unique<Window>();
    window->number = m_nextWindow++;
    window->browser = HostBrowser::Create();
    HostBrowser& browser = *window->browser.Get();
    browser.titleAfterNavigation = m_options.title;
    if (m_watcher) browser.boxCount = [w = m_watcher] { return w->Count(); };
    const std::string tag = Tag(*window);
    if (m_options.status)
        browser.onStatusText = [tag](const std::wstring& t) { Print(tag + "  status: " + Utf8(t)); };
    if (m_options.trace) {
        browser.onEvent = [tag](DISPID id, HRESULT hr) {
            Print(tag + "  " + EventName(id) + " delivered, answer " + Hex(hr));
        };
        browser.onNavigate2 = [tag](const pv::host::Navigate2Call& call) {
            Print(tag + "  Navigate2 " + Utf8(call.url) +
                  (call.targetFrame.empty() ? "" : " (target " + Utf8(call.targetFrame) + ")"));
        };
    }
    Window* raw = window.get();
    browser.onNewWindow = [this](const std::wstring& url) {
        Window& opened = OpenWindow();
        NavigateIn(opened, url);
    };
    browser.onUnsolicited = [this, raw](const Navigation& nav) {
        Report(*raw, nav, "(requested by a helper) ");
    };

    for (const CLSID& clsid : m_helpers) {
        ComPtr<IObjectWithSite> helper;
        HRESULT hr =
            CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IObjectWithSite, helper.PutVoid());
        if (FAILED(hr) || !helper) {
            Print(tag + "window " + std::to_string(raw->number) + ": helper " + GuidText(clsid) +
                  " could not be created: " + Hex(hr));
            m_setupFailed = true;
            continue;
        }
        hr = helper->SetSite(static_cast<IWebBrowser2*>(window->browser.Get()));
        if (FAILED(hr)) {
            Print(tag + "window " + std::to_string(raw->number) + ": helper " + GuidText(clsid) +
                  " refused the window: " + Hex(hr));
            m_setupFailed = true;
        }
        window->helpers.push_back(std::move(helper));
    }
    Print(tag + "window " + std::to_string(raw->number) + " opened with " +
          std::to_string(window->helpers.size()) + " helper(s), " + std::to_string(browser.SinkCount()) +
          " subscribed");
    m_windows.push_back(std::move(window));
    return *raw;
}

void Host::CloseWindow(Window& window) {
    ComPtr<HostBrowser> browser = window.browser;
    browser->FireOnQuit();
    for (auto& helper : window.helpers) helper->SetSite(nullptr);
    window.helpers.clear();
    const std::size_t left = browser->SinkCount();
    browser->DropSinks();
    Print(Tag(window) + "window " + std::to_string(window.number) + " closed" +
          (left ? ", " + std::to_string(left) + " subscription(s) left after OnQuit" : ""));
}

std::string Host::Describe(const Navigation& nav) {
    if (nav.loop) {
        m_loop = true;
        return "redirect loop: more than " + std::to_string(HostBrowser::kDefaultMaxDepth) +
               " nested navigations, stopped";
    }
    if (nav.next) {
        const std::string why = nav.statusTexts.empty() ? "time-limited" : "forbidden";
        std::string text = why + ", redirected to " + Utf8(nav.next->url);
        const Navigation& next = *nav.next;
        if (next.next || next.loop || next.cancelled) text += "  ->  " + Describe(next);
        return text;
    }
    if (nav.cancelled) return "cancelled";
    return "allowed";
}

void Host::Report(const Window& window, const Navigation& nav, const std::string& prefix) {
    Print(Tag(window) + prefix + Utf8(nav.url) + "  ->  " + Describe(nav));
}

void Host::NavigateIn(Window& window, const std::wstring& url) {
    ComPtr<HostBrowser> browser = window.browser;
    auto nav = browser->Navigate(url);
    Report(window, *nav);
}

void Host::PressToolbar() {
    KeyReader extensions(HKEY_LOCAL_MACHINE, kExtensionsKey);
    int pressed = 0;
    for (const std::wstring& name : extensions.Subkeys()) {
        KeyReader entry(HKEY_LOCAL_MACHINE, std::wstring(kExtensionsKey) + L"\\" + name);
        auto target = entry.String(L"ClsidExtension");
        if (!target) continue;
        const std::string label = Utf8(entry.String(L"ButtonText").value_or(name));
        auto clsid = ParseClassId(*target);
        if (!clsid) {
            Print("toolbar \"" + label + "\": ClsidExtension is not a class id");
            continue;
        }
        ++pressed;
        ComPtr<IOleCommandTarget> command;
        HRESULT hr =
            CoCreateInstance(*clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IOleCommandTarget, command.PutVoid());
        if (FAILED(hr) || !command) {
            Print("toolbar \"" + label + "\": command object could not be created: " + Hex(hr));
            m_setupFailed = true;
            continue;
        }
        OLECMD cmd{0, 0};
        const HRESULT status = command->QueryStatus(nullptr, 1, &cmd, nullptr);
        Print("toolbar \"" + label + "\": QueryStatus " + Hex(status) + ", cmdf " + std::to_string(cmd.cmdf));
        const HRESULT exec = command->Exec(nullptr, 0, OLECMDEXECOPT_DODEFAULT, nullptr, nullptr);
        Print("toolbar \"" + label + "\": Exec " + Hex(exec));
    }
    if (pressed == 0) Print("toolbar: no button registered");
}

// Delivers what the helpers posted to this thread meanwhile, as a browser's message loop would.
void PumpMessages() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

int Host::Run() {
    OpenWindow();
    for (const Command& c : m_options.commands) {
        PumpMessages();
        if (m_windows.empty() && c.verb != "window") {
            Print("line " + std::to_string(c.line) + ": no window open, \"" + c.verb + "\" skipped");
            continue;
        }
        if (c.verb == "navigate") {
            NavigateIn(*m_windows.back(), Wide(c.argument));
        } else if (c.verb == "title") {
            Window& w = *m_windows.back();
            ComPtr<HostBrowser> browser = w.browser;
            const std::wstring text = c.argument.empty() ? browser->Location() : Wide(c.argument);
            browser->FireTitleChange(text);
            Print(Tag(w) + "title changed to \"" + Utf8(text) + "\"");
        } else if (c.verb == "toolbar") {
            PressToolbar();
        } else if (c.verb == "window") {
            OpenWindow();
        } else if (c.verb == "quit") {
            std::unique_ptr<Window> closing = std::move(m_windows.back());
            m_windows.pop_back();
            CloseWindow(*closing);
        }
    }
    PumpMessages();
    while (!m_windows.empty()) {
        std::unique_ptr<Window> closing = std::move(m_windows.back());
        m_windows.pop_back();
        CloseWindow(*closing);
    }
    if (m_loop) return kLoop;
    if (m_setupFailed) return kSetupFailed;
    return kOk;
}

// ---------------------------------------------------------------------------------------------

class Watchdog {
public:
    explicit Watchdog(int seconds)
        : m_thread([this, seconds] {
              std::unique_lock<std::mutex> lock(m_lock);
              if (m_wake.wait_for(lock, std::chrono::seconds(seconds), [this] { return m_done; })) return;
              Print("pvbrowser: timed out after " + std::to_string(seconds) + " s");
              TerminateProcess(GetCurrentProcess(), kTimedOut);
          }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_done = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    std::mutex m_lock;
    std::condition_variable m_wake;
    bool m_done = false;
    std::thread m_thread;
};

void Usage() {
    Print("usage: pvbrowser [--script FILE] [--unattended] [--status] [--trace] [--helper ID]...\n"
          "                 [--no-title] [--timeout SECONDS] [url ...]");
}

std::optional<Options> ParseArguments(int argc, wchar_t** argv) {
    Options options;
    std::vector<Command> fromCommandLine;
    std::optional<std::wstring> script;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        auto value = [&]() -> std::optional<std::wstring> {
            if (i + 1 >= argc) return std::nullopt;
            return std::wstring(argv[++i]);
        };
        if (arg == L"--unattended") {
            options.unattended = true;
        } else if (arg == L"--status") {
            options.status = true;
        } else if (arg == L"--trace") {
            options.trace = true;
        } else if (arg == L"--no-title") {
            options.title = false;
        } else if (arg == L"--script") {
            script = value();
            if (!script) return std::nullopt;
        } else if (arg == L"--helper") {
            auto id = value();
            if (!id) return std::nullopt;
            options.helperIds.push_back(*id);
        } else if (arg == L"--timeout") {
            auto v = value();
            if (!v) return std::nullopt;
            options.timeoutSeconds = _wtoi(v->c_str());
            if (options.timeoutSeconds <= 0) return std::nullopt;
        } else if (arg.rfind(L"--", 0) == 0) {
            return std::nullopt;
        } else {
            fromCommandLine.push_back(Command{"navigate", Utf8(arg), 0});
        }
    }
    options.commands = std::move(fromCommandLine);
    if (script) {
        std::ifstream in{std::filesystem::path(*script)};
        if (!in) {
            Print("pvbrowser: cannot read " + Utf8(*script));
            return std::nullopt;
        }
        std::string error;
        if (!ParseScript(in, options.commands, error)) {
            Print("pvbrowser: " + Utf8(*script) + ": " + error);
            return std::nullopt;
        }
    }
    return options;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    // Plain line ends: the output is read by scripts on the other side of the emulator too.
    _setmode(_fileno(stdout), _O_BINARY);
    std::optional<Options> options = ParseArguments(argc, argv);
    if (!options) {
        Usage();
        return kUsage;
    }
    Watchdog watchdog(options->timeoutSeconds);

    std::unique_ptr<BoxWatcher> watcher;
    if (options->unattended) {
        watcher = std::make_unique<BoxWatcher>([](const SeenBox& box) {
            Print(std::string(box.messageBox ? "message box" : "dialog") + " \"" + Utf8(box.caption) +
                  "\": " + Utf8(box.text));
        });
    }

    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
        Print("pvbrowser: COM could not be initialised");
        return kSetupFailed;
    }
    int code = kOk;
    {
        Host host(*options, watcher.get());
        code = host.FindHelpers() ? host.Run() : kUsage;
    }
    CoFreeUnusedLibraries();
    CoUninitialize();
    if (watcher) {
        const int stuck = watcher->Stuck();
        watcher.reset();
        if (stuck > 0 && code == kOk) code = kStuckBox;
    }
    return code;
}
