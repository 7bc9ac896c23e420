#include "tools/browser/box_watcher.h"

#include <chrono>
#include <utility>
#include <vector>

namespace pv::host {

namespace {

std::wstring ClassOf(HWND hwnd) {
    wchar_t name[64] = {};
    const int n = GetClassNameW(hwnd, name, 64);
    return std::wstring(name, n > 0 ? static_cast<std::size_t>(n) : 0);
}

std::wstring TextOf(HWND hwnd) {
    const int length = GetWindowTextLengthW(hwnd);
    if (length <= 0) return {};
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const int n = GetWindowTextW(hwnd, text.data(), length + 1);
    text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return text;
}

struct ChildScan {
    std::wstring text;
    bool hasOk = false;
    bool hasCancel = false;
};

BOOL CALLBACK ScanChild(HWND child, LPARAM param) {
    auto& scan = *reinterpret_cast<ChildScan*>(param);
    // Message boxes may keep the buttons of their other styles, hidden.
    if (!IsWindowVisible(child)) return TRUE;
    const std::wstring cls = ClassOf(child);
    if (_wcsicmp(cls.c_str(), L"Static") == 0) {
        // Pictures carry resource names, not words.
        const LONG_PTR kind = GetWindowLongPtrW(child, GWL_STYLE) & SS_TYPEMASK;
        if (kind == SS_ICON || kind == SS_BITMAP || kind == SS_ENHMETAFILE || kind == SS_OWNERDRAW)
            return TRUE;
        std::wstring text = TextOf(child);
        if (!text.empty()) {
            if (!scan.text.empty()) scan.text += L" / ";
            scan.text += text;
        }
    } else if (_wcsicmp(cls.c_str(), L"Button") == 0) {
        const int id = GetDlgCtrlID(child);
        if (id == IDOK) scan.hasOk = true;
        if (id == IDCANCEL) scan.hasCancel = true;
    }
    return TRUE;
}

struct TopScan {
    DWORD pid;
    std::vector<HWND> boxes;
};

BOOL CALLBACK ScanTop(HWND hwnd, LPARAM param) {
    auto& scan = *reinterpret_cast<TopScan*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid == scan.pid && IsWindowVisible(hwnd) && ClassOf(hwnd) == L"#32770") scan.boxes.push_back(hwnd);
    return TRUE;
}

} // namespace

BoxWatcher::BoxWatcher(std::function<void(const SeenBox&)> report)
    : m_report(std::move(report)), m_pid(GetCurrentProcessId()), m_thread([this] { Run(); }) {}

BoxWatcher::~BoxWatcher() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
}

void BoxWatcher::Run() {
    while (!m_stop) {
        Scan();
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMilliseconds));
    }
}

void BoxWatcher::Scan() {
    TopScan scan{m_pid, {}};
    EnumWindows(ScanTop, reinterpret_cast<LPARAM>(&scan));

    // Forget boxes that have gone (their handles may be reused later).
    for (auto it = m_pending.begin(); it != m_pending.end();) {
        if (!IsWindow(it->first))
            it = m_pending.erase(it);
        else
            ++it;
    }

    const ULONGLONG now = GetTickCount64();
    for (HWND box : scan.boxes) {
        auto it = m_pending.find(box);
        if (it == m_pending.end()) {
            SeenBox seen = Read(box);
            ++m_count;
            if (m_report) m_report(seen);
            Pending p;
            p.messageBox = seen.messageBox;
            p.attempts = 1;
            p.lastAttempt = now;
            m_pending.emplace(box, p);
            Dismiss(box, seen.messageBox);
            continue;
        }
        Pending& p = it->second;
        if (p.attempts > kMaxAttempts || now - p.lastAttempt < kRetryMilliseconds) continue;
        if (p.attempts == kMaxAttempts) {
            ++p.attempts;
            ++m_stuck;
            if (m_report) m_report(SeenBox{L"", L"(a box would not close)", false});
            continue;
        }
        ++p.attempts;
        p.lastAttempt = now;
        // A box that ignored OK is asked to close the plain way.
        Dismiss(box, p.messageBox && p.attempts <= 2);
    }
}

SeenBox BoxWatcher::Read(HWND box) {
    SeenBox seen;
    seen.caption = TextOf(box);
    ChildScan children;
    EnumChildWindows(box, ScanChild, reinterpret_cast<LPARAM>(&children));
    seen.text = children.text;
    seen.messageBox = children.hasOk && !children.hasCancel;
    return seen;
}

void BoxWatcher::Dismiss(HWND box, bool messageBox) {
    if (messageBox) {
        HWND ok = GetDlgItem(box, IDOK);
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(ok));
    } else {
        PostMessageW(box, WM_CLOSE, 0, 0);
    }
}

} // namespace pv::host
