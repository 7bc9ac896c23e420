#include "tests/support/dialog_support_win.h"

#include <commctrl.h>
#include <oleauto.h>
#include <shlwapi.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>

#include "platform/handles_win.h"
#include "platform/owner_window_win.h"

namespace pv::dlgtest {

// ---------------------------------------------------------------------------------------------
// environment

std::string BuildDir() {
    const char* dir = std::getenv("PV_BUILD_DIR");
    return dir ? WindowsPath(dir) : std::string();
}

std::string PvDatPath() {
    char dir[MAX_PATH + 1] = {};
    ::GetSystemDirectoryA(dir, sizeof dir);
    return std::string(dir) + "\\pv.dat";
}

std::string HelpFilePath() {
    char dir[MAX_PATH + 1] = {};
    ::GetWindowsDirectoryA(dir, sizeof dir);
    return std::string(dir) + "\\PathvigilHelp.chm";
}

namespace {
constexpr const char* kValues[6] = {"first", "name", "ps", "checkURL", "errURL", "settingsPassword"};
}

std::optional<RegValue> ReadSetting(const char* value) {
    RegKey key;
    if (::RegOpenKeyExA(HKEY_CLASSES_ROOT, CVigilApp::kSettingsKey, 0, KEY_QUERY_VALUE, key.Put()) !=
        ERROR_SUCCESS)
        return std::nullopt;
    std::optional<RegValue> result;
    DWORD type = 0, size = 0;
    if (::RegQueryValueExA(key.Get(), value, nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
        RegValue v;
        v.type = type;
        v.bytes.resize(size);
        if (::RegQueryValueExA(key.Get(), value, nullptr, &type, reinterpret_cast<BYTE*>(v.bytes.data()),
                               &size) == ERROR_SUCCESS) {
            v.bytes.resize(size);
            result = std::move(v);
        }
    }
    return result;
}

void WriteSettingString(const char* value, const std::string& text) {
    ::SHSetValueA(HKEY_CLASSES_ROOT, CVigilApp::kSettingsKey, value, REG_SZ, text.data(),
                  static_cast<DWORD>(text.size()));
}

void WriteSettingDword(const char* value, DWORD number) {
    ::SHSetValueA(HKEY_CLASSES_ROOT, CVigilApp::kSettingsKey, value, REG_DWORD, &number, sizeof number);
}

void DeleteSetting(const char* value) { ::SHDeleteValueA(HKEY_CLASSES_ROOT, CVigilApp::kSettingsKey, value); }

EnvironmentGuard::EnvironmentGuard() {
    for (int i = 0; i < 6; ++i) m_values[i] = ReadSetting(kValues[i]);
    m_pvdat = ReadWholeFile(PvDatPath());
    m_help = ReadWholeFile(HelpFilePath());
}

EnvironmentGuard::~EnvironmentGuard() {
    for (int i = 0; i < 6; ++i) {
        if (m_values[i]) {
            ::SHSetValueA(HKEY_CLASSES_ROOT, CVigilApp::kSettingsKey, kValues[i], m_values[i]->type,
                          m_values[i]->bytes.data(), static_cast<DWORD>(m_values[i]->bytes.size()));
        } else {
            DeleteSetting(kValues[i]);
        }
    }
    if (m_pvdat)
        WriteWholeFile(PvDatPath(), *m_pvdat);
    else
        ::DeleteFileA(PvDatPath().c_str());
    if (m_help)
        WriteWholeFile(HelpFilePath(), *m_help);
    else
        ::DeleteFileA(HelpFilePath().c_str());
}

void WritePvDat(const SampleData& data) {
    ::DeleteFileA(PvDatPath().c_str());
    Win32Platform platform(nullptr);
    CData cdata;
    cdata.Load(platform); // defaults: seven rows
    for (const auto& s : data.prohibited) cdata.Append(ListKind::Prohibited, s);
    for (const auto& s : data.allowed) cdata.Append(ListKind::Allowed, s);
    cdata.SetSchedule(data.schedule);
    cdata.Save(platform);
}

void LoadPvDat(CData& into) {
    Win32Platform platform(nullptr);
    into.Load(platform);
}

// ---------------------------------------------------------------------------------------------
// browser stand-in

ComPtr<FakeBrowser> FakeBrowser::Create(std::wstring location) {
    return ComPtr<FakeBrowser>::Attach(new FakeBrowser(std::move(location)));
}

HRESULT FakeBrowser::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
        IsEqualIID(riid, IID_IWebBrowser) || IsEqualIID(riid, IID_IWebBrowserApp) ||
        IsEqualIID(riid, IID_IWebBrowser2)) {
        *ppv = static_cast<IWebBrowser2*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG FakeBrowser::AddRef() { return ++m_refs; }

ULONG FakeBrowser::Release() {
    const ULONG left = --m_refs;
    if (left == 0) std::unique_ptr<FakeBrowser> destroy(this);
    return left;
}

HRESULT FakeBrowser::get_LocationURL(BSTR* location) {
    if (!location) return E_POINTER;
    *location = ::SysAllocStringLen(m_location.data(), static_cast<UINT>(m_location.size()));
    return S_OK;
}

namespace {
std::wstring BstrOf(const VARIANT* v) {
    if (!v || V_VT(v) != VT_BSTR || !V_BSTR(v)) return {};
    return std::wstring(V_BSTR(v), ::SysStringLen(V_BSTR(v)));
}
VARTYPE TypeOf(const VARIANT* v) { return v ? V_VT(v) : VARTYPE(0xFFFF); }
} // namespace

HRESULT FakeBrowser::Navigate2(VARIANT* url, VARIANT* flags, VARIANT* target, VARIANT* postData,
                               VARIANT* headers) {
    std::lock_guard lock(m_lock);
    m_navigations.push_back(
        Navigation{BstrOf(url), TypeOf(flags), BstrOf(target), TypeOf(postData), TypeOf(headers)});
    return S_OK;
}

std::vector<FakeBrowser::Navigation> FakeBrowser::Navigations() const {
    std::lock_guard lock(m_lock);
    return m_navigations;
}

// ---------------------------------------------------------------------------------------------
// module state

TestModule::TestModule() : m_platform(nullptr), m_app(m_platform) {
    RecordModuleThread(::GetCurrentThreadId());
    m_app.Startup();
    SetTheApp(&m_app);
}

TestModule::~TestModule() { SetTheApp(nullptr); }

// ---------------------------------------------------------------------------------------------
// screen

size_t Capture::Count(COLORREF colour) const {
    const uint32_t rgb = (GetRValue(colour) << 16) | (GetGValue(colour) << 8) | GetBValue(colour);
    size_t n = 0;
    for (uint32_t p : pixels)
        if ((p & 0xFFFFFF) == rgb) ++n;
    return n;
}

Capture CaptureWindow(HWND hwnd, const RECT* part) {
    Capture c;
    RECT r{};
    if (!::GetWindowRect(hwnd, &r)) return c;
    if (part) {
        RECT p = *part;
        ::OffsetRect(&p, r.left, r.top);
        r = p;
    }
    c.width = r.right - r.left;
    c.height = r.bottom - r.top;
    if (c.width <= 0 || c.height <= 0) return Capture{};
    WindowDC screen(nullptr);
    MemoryDC mem(::CreateCompatibleDC(screen.Get()));
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
    bi.bmiHeader.biWidth = c.width;
    bi.bmiHeader.biHeight = -c.height; // top row first
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    GdiObject<HBITMAP> bmp(::CreateDIBSection(screen.Get(), &bi, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (bmp && bits) {
        SelectedObject selected(mem.Get(), bmp.Get());
        ::BitBlt(mem.Get(), 0, 0, c.width, c.height, screen.Get(), r.left, r.top, SRCCOPY);
        ::GdiFlush();
        const auto* px = static_cast<const uint32_t*>(bits);
        c.pixels.assign(px, px + static_cast<size_t>(c.width) * static_cast<size_t>(c.height));
    }
    return c;
}

namespace {

uint32_t Crc32(const unsigned char* data, size_t n, uint32_t crc = 0) {
    static uint32_t table[256];
    static bool ready = false;
    if (!ready) {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[i] = c;
        }
        ready = true;
    }
    crc = ~crc;
    for (size_t i = 0; i < n; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

void PutBe32(std::string& out, uint32_t v) {
    out += static_cast<char>(v >> 24);
    out += static_cast<char>(v >> 16);
    out += static_cast<char>(v >> 8);
    out += static_cast<char>(v);
}

void Chunk(std::string& out, const char* tag, const std::string& data) {
    PutBe32(out, static_cast<uint32_t>(data.size()));
    std::string body = std::string(tag, 4) + data;
    out += body;
    PutBe32(out, Crc32(reinterpret_cast<const unsigned char*>(body.data()), body.size()));
}

} // namespace

// PNG with stored (uncompressed) deflate blocks: no compression library needed.
bool WritePng(const std::string& path, const Capture& c) {
    if (c.width <= 0 || c.height <= 0) return false;
    std::string raw;
    raw.reserve(static_cast<size_t>(c.height) * (static_cast<size_t>(c.width) * 3 + 1));
    for (int y = 0; y < c.height; ++y) {
        raw += '\0';
        for (int x = 0; x < c.width; ++x) {
            const uint32_t p =
                c.pixels[static_cast<size_t>(y) * static_cast<size_t>(c.width) + static_cast<size_t>(x)];
            raw += static_cast<char>((p >> 16) & 0xFF);
            raw += static_cast<char>((p >> 8) & 0xFF);
            raw += static_cast<char>(p & 0xFF);
        }
    }
    std::string z = "\x78\x01";
    uint32_t a = 1, b = 0;
    for (unsigned char ch : raw) {
        a = (a + ch) % 65521;
        b = (b + a) % 65521;
    }
    for (size_t pos = 0; pos < raw.size() || pos == 0;) {
        const size_t n = std::min<size_t>(65535, raw.size() - pos);
        const bool last = pos + n >= raw.size();
        z += static_cast<char>(last ? 1 : 0);
        z += static_cast<char>(n & 0xFF);
        z += static_cast<char>(n >> 8);
        z += static_cast<char>(~n & 0xFF);
        z += static_cast<char>((~n >> 8) & 0xFF);
        z.append(raw, pos, n);
        pos += n;
        if (last) break;
    }
    PutBe32(z, (b << 16) | a);

    std::string png = "\x89PNG\r\n\x1a\n";
    std::string ihdr;
    PutBe32(ihdr, static_cast<uint32_t>(c.width));
    PutBe32(ihdr, static_cast<uint32_t>(c.height));
    ihdr += std::string("\x08\x02\x00\x00\x00", 5); // 8 bits, RGB
    Chunk(png, "IHDR", ihdr);
    Chunk(png, "IDAT", z);
    Chunk(png, "IEND", "");
    return WriteWholeFile(path, png);
}

// ---------------------------------------------------------------------------------------------
// driver

bool WaitUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

namespace {

constexpr UINT kRunOnUi = WM_APP + 0x4D;
constexpr UINT kPostedSync = WM_APP + 0x4E;
constexpr DWORD kSendTimeoutMs = 15000;

std::string ClassOf(HWND hwnd) {
    char name[64] = {};
    const int n = ::GetClassNameA(hwnd, name, sizeof name);
    return std::string(name, n > 0 ? static_cast<size_t>(n) : 0);
}

std::string TextOf(HWND hwnd) {
    char text[1024] = {};
    DWORD_PTR length = 0;
    ::SendMessageTimeoutA(hwnd, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text), SMTO_NORMAL,
                          kSendTimeoutMs, &length);
    return std::string(text, std::min<size_t>(length, sizeof text - 1));
}

LRESULT Send(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    if (!::SendMessageTimeoutA(hwnd, message, wParam, lParam, SMTO_NORMAL, kSendTimeoutMs, &result)) {
        ADD_FAILURE() << "message " << message << " to window " << hwnd << " timed out";
    }
    return static_cast<LRESULT>(result);
}

struct FindById {
    int id;
    HWND found = nullptr;
};

BOOL CALLBACK FindChild(HWND hwnd, LPARAM param) {
    auto& find = *reinterpret_cast<FindById*>(param);
    if (::GetDlgCtrlID(hwnd) == find.id && ClassOf(hwnd) != "#32770") {
        find.found = hwnd;
        return FALSE;
    }
    return TRUE;
}

struct TopWindows {
    DWORD thread;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectTop(HWND hwnd, LPARAM param) {
    auto& scan = *reinterpret_cast<TopWindows*>(param);
    scan.found.push_back(hwnd);
    return TRUE;
}

std::vector<HWND> ProcessDialogs() {
    TopWindows scan{0, {}};
    ::EnumWindows(&CollectTop, reinterpret_cast<LPARAM>(&scan));
    std::vector<HWND> out;
    for (HWND h : scan.found) {
        DWORD pid = 0;
        ::GetWindowThreadProcessId(h, &pid);
        if (pid == ::GetCurrentProcessId() && ::IsWindowVisible(h) && ClassOf(h) == "#32770")
            out.push_back(h);
    }
    return out;
}

struct BoxScan {
    SeenBox* box;
};

// The words of a message box are its text statics; its icon is the static showing a system icon.
BOOL CALLBACK ScanBoxChild(HWND child, LPARAM param) {
    SeenBox& box = *reinterpret_cast<BoxScan*>(param)->box;
    if (!::IsWindowVisible(child) || ClassOf(child) != "Static") return TRUE;
    const LONG_PTR kind = ::GetWindowLongPtrA(child, GWL_STYLE) & SS_TYPEMASK;
    if (kind == SS_ICON) {
        DWORD_PTR icon = 0;
        ::SendMessageTimeoutA(child, STM_GETICON, 0, 0, SMTO_NORMAL, kSendTimeoutMs, &icon);
        const auto shown = reinterpret_cast<HICON>(icon);
        if (shown && shown == ::LoadIconA(nullptr, MAKEINTRESOURCEA(32513))) box.stopIcon = true;
        if (shown && shown == ::LoadIconA(nullptr, MAKEINTRESOURCEA(32515))) box.exclamationIcon = true;
        return TRUE;
    }
    if (kind == SS_BITMAP || kind == SS_ENHMETAFILE || kind == SS_OWNERDRAW) return TRUE;
    const std::string text = TextOf(child);
    if (!text.empty()) box.text += (box.text.empty() ? "" : " / ") + text;
    return TRUE;
}

void ScanBox(HWND hwnd, SeenBox& box) {
    BoxScan scan{&box};
    ::EnumChildWindows(hwnd, &ScanBoxChild, reinterpret_cast<LPARAM>(&scan));
}

LRESULT CALLBACK InvokerProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kRunOnUi) {
        auto* fn = reinterpret_cast<const std::function<void()>*>(lParam);
        if (fn) (*fn)();
        return 1;
    }
    if (message == kPostedSync) {
        ::SetEvent(reinterpret_cast<HANDLE>(lParam));
        return 1;
    }
    return ::DefWindowProcA(hwnd, message, wParam, lParam);
}

OwnedWindow CreateInvoker() {
    static const ATOM atom = [] {
        WNDCLASSA wc{};
        wc.lpfnWndProc = &InvokerProc;
        wc.hInstance = ::GetModuleHandleA(nullptr);
        wc.lpszClassName = "PvDialogTestInvoker";
        return ::RegisterClassA(&wc);
    }();
    (void)atom;
    return OwnedWindow(::CreateWindowA("PvDialogTestInvoker", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                       ::GetModuleHandleA(nullptr), nullptr));
}

} // namespace

Ui::Ui(DWORD uiThread, HWND invoker) : m_uiThread(uiThread), m_invoker(invoker) {}

HWND Ui::WaitForDialog(std::chrono::milliseconds timeout, const char* caption) {
    HWND found = nullptr;
    WaitUntil(
        [&] {
            for (HWND h : ProcessDialogs()) {
                if (::GetWindowThreadProcessId(h, nullptr) == m_uiThread && TextOf(h) == caption &&
                    ::GetDlgItem(h, 3001)) {
                    found = h;
                    return true;
                }
            }
            return false;
        },
        timeout);
    m_dialog = found;
    if (found) Sync();
    return found;
}

HWND Ui::Control(int id) const {
    if (!m_dialog) return nullptr;
    FindById find{id};
    ::EnumChildWindows(m_dialog, &FindChild, reinterpret_cast<LPARAM>(&find));
    return find.found;
}

HWND Ui::PageOf(int id) const {
    HWND control = Control(id);
    return control ? ::GetParent(control) : nullptr;
}

std::string Ui::Text(int id) const { return TextOf(Control(id)); }

void Ui::SetText(int id, const std::string& text) {
    Send(Control(id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

void Ui::Type(int id, const std::string& text) {
    HWND control = Control(id);
    for (unsigned char ch : text) ::PostMessageA(control, WM_CHAR, ch, 1);
    // A sent message overtakes posted ones, so only a posted one shows that the characters
    // have been taken.
    KernelHandle taken(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (taken && ::PostMessageA(m_invoker, kPostedSync, 0, reinterpret_cast<LPARAM>(taken.Get())) &&
        ::WaitForSingleObject(taken.Get(), kSendTimeoutMs) != WAIT_OBJECT_0) {
        (void)taken.Detach(); // left open on a time-out: the window may still signal it
    }
    Sync();
}

void Ui::Key(int id, UINT vk) {
    HWND control = Control(id);
    const UINT scan = ::MapVirtualKeyA(vk, 0);
    ::PostMessageA(control, WM_KEYDOWN, vk, 1 | (scan << 16));
    ::PostMessageA(control, WM_KEYUP, vk, 1 | (scan << 16) | 0xC0000000u);
}

void Ui::Click(int id) { ::PostMessageA(Control(id), BM_CLICK, 0, 0); }

bool Ui::Checked(int id) const { return Send(Control(id), BM_GETCHECK, 0, 0) == BST_CHECKED; }

bool Ui::Enabled(int id) const { return ::IsWindowEnabled(Control(id)) != FALSE; }

bool Ui::Visible(int id) const { return ::IsWindowVisible(Control(id)) != FALSE; }

void Ui::SelectTab(int tabId, int index) {
    HWND tab = Control(tabId);
    Send(tab, TCM_SETCURSEL, static_cast<WPARAM>(index), 0);
    NMHDR hdr{tab, static_cast<UINT_PTR>(tabId), static_cast<UINT>(TCN_SELCHANGE)};
    Send(::GetParent(tab), WM_NOTIFY, static_cast<WPARAM>(tabId), reinterpret_cast<LPARAM>(&hdr));
}

int Ui::TabCount(int tabId) const { return static_cast<int>(Send(Control(tabId), TCM_GETITEMCOUNT, 0, 0)); }

std::string Ui::TabText(int tabId, int index) const {
    char text[128] = {};
    TCITEMA item{};
    item.mask = TCIF_TEXT;
    item.pszText = text;
    item.cchTextMax = sizeof text;
    Send(Control(tabId), TCM_GETITEMA, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&item));
    return text;
}

std::vector<std::string> Ui::ListItems(int listId) const {
    std::vector<std::string> items;
    HWND list = Control(listId);
    const int count = static_cast<int>(Send(list, LB_GETCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
        // The items' data are the list's private copies, in this process's memory.
        const LRESULT data = Send(list, LB_GETITEMDATA, static_cast<WPARAM>(i), 0);
        items.push_back(data && data != LB_ERR ? reinterpret_cast<const char*>(data) : "<null>");
    }
    return items;
}

void Ui::SelectItem(int listId, int index) {
    Send(Control(listId), LB_SETCURSEL, static_cast<WPARAM>(index), 0);
    Sync();
}

void Ui::SetPicker(int id, int hour, int minute) {
    SYSTEMTIME st{};
    st.wYear = 2000;
    st.wMonth = 1;
    st.wDay = 1;
    st.wDayOfWeek = 6;
    st.wHour = static_cast<WORD>(hour);
    st.wMinute = static_cast<WORD>(minute);
    Send(Control(id), DTM_SETSYSTEMTIME, GDT_VALID, reinterpret_cast<LPARAM>(&st));
}

std::pair<int, int> Ui::PickerTime(int id) const {
    SYSTEMTIME st{};
    if (Send(Control(id), DTM_GETSYSTEMTIME, 0, reinterpret_cast<LPARAM>(&st)) != GDT_VALID) return {-1, -1};
    return {st.wHour, st.wMinute};
}

void Ui::OnUiThread(const std::function<void()>& fn) {
    Send(m_invoker, kRunOnUi, 0, reinterpret_cast<LPARAM>(&fn));
}

void Ui::Sync() {
    OnUiThread([] {});
}

std::optional<SeenBox> Ui::WaitForBox(std::chrono::milliseconds timeout) {
    std::optional<SeenBox> seen;
    WaitUntil(
        [&] {
            for (HWND h : ProcessDialogs()) {
                if (h == m_dialog || ::GetDlgItem(h, 3001)) continue; // a settings dialog
                SeenBox box;
                box.hwnd = h;
                box.caption = TextOf(h);
                ScanBox(h, box);
                seen = box;
                return true;
            }
            return false;
        },
        timeout);
    return seen;
}

void Ui::Dismiss(const SeenBox& box) {
    ::PostMessageA(box.hwnd, WM_COMMAND, IDOK, 0);
    WaitUntil([&] { return !::IsWindow(box.hwnd) || !::IsWindowVisible(box.hwnd); });
}

bool Ui::WaitClosed(std::chrono::milliseconds timeout) {
    return WaitUntil([&] { return !m_dialog || !::IsWindow(m_dialog); }, timeout);
}

void Ui::CloseAll() {
    for (int round = 0; round < 20; ++round) {
        bool any = false;
        for (HWND h : ProcessDialogs()) {
            if (::GetWindowThreadProcessId(h, nullptr) != m_uiThread) continue;
            any = true;
            // Boxes first: the dialog under a box does not answer until the box is gone.
            if (::GetDlgItem(h, 3001)) continue;
            ::PostMessageA(h, WM_COMMAND, IDOK, 0);
        }
        if (!any) return;
        std::this_thread::sleep_for(100ms);
        for (HWND h : ProcessDialogs()) {
            if (::GetWindowThreadProcessId(h, nullptr) == m_uiThread && ::GetDlgItem(h, 3001) &&
                ::IsWindowEnabled(h)) {
                ::PostMessageA(h, WM_COMMAND, IDCANCEL, 0);
            }
        }
        std::this_thread::sleep_for(100ms);
    }
}

void Ui::Screenshot(const std::string& name) {
    const std::string dir = BuildDir();
    if (dir.empty() || !m_dialog) return;
    const std::string folder = dir + "\\screenshots";
    ::CreateDirectoryA(folder.c_str(), nullptr);
    // The screen shows what was painted: let every pending paint happen first.
    OnUiThread([this] {
        ::RedrawWindow(m_dialog, nullptr, nullptr,
                       RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    });
    std::this_thread::sleep_for(300ms);
    Sync();
    Capture c = CaptureWindow(m_dialog);
    EXPECT_TRUE(WritePng(folder + "\\" + name + ".png", c)) << name;
}

void RunDialog(const std::function<void()>& open, const std::function<void(Ui&)>& drive) {
    const OwnedWindow invoker = CreateInvoker();
    ASSERT_TRUE(invoker);
    const DWORD uiThread = ::GetCurrentThreadId();
    std::atomic<bool> opened{false};
    std::thread driver([&] {
        Ui ui(uiThread, invoker.Get());
        drive(ui);
        ui.CloseAll();
    });
    open();
    opened = true;
    // The driver may still be waiting for a window that will not come; its waits are bounded.
    driver.join();
}

} // namespace pv::dlgtest
