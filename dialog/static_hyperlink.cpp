#include "dialog/static_hyperlink.h"

#include <shellapi.h>

#include "dialog/hand_cursor.h"
#include "dialog/message_map.h"

namespace pv {

INT_PTR CLinkTarget::OpenLink() const {
    if (m_strTarget.empty()) return 0;
    HINSTANCE result = ::ShellExecuteA(nullptr, "open", m_strTarget.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    return reinterpret_cast<INT_PTR>(result);
}

CStaticHyperLink::CStaticHyperLink(const char* target)
    : m_pTarget(std::make_unique<CLinkTarget>(target ? target : "")) {}

// The window may outlive this object only detached, and with its own font again: the underlined
// font goes with the object.
CStaticHyperLink::~CStaticHyperLink() {
    HWND hwnd = GetSafeHwnd();
    if (hwnd && m_fontUnderline)
        ::SendMessageA(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(m_fontOriginal), FALSE);
    Unsubclass();
}

void CStaticHyperLink::SetLinkTarget(const char* target) { m_pTarget->SetTarget(target ? target : ""); }

void CStaticHyperLink::SetTargetObject(std::unique_ptr<CLinkTarget> target) {
    if (!target) return;
    target->SetTarget(m_pTarget->Target());
    m_pTarget = std::move(target);
}

bool CStaticHyperLink::OnControlMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
    static const MessageMap<CStaticHyperLink> map =
        MessageMap<CStaticHyperLink>()
            .Message(WM_NCHITTEST, &CStaticHyperLink::OnNcHitTest)
            .Message(WM_SETCURSOR, &CStaticHyperLink::OnSetCursor)
            .Message(WM_LBUTTONDOWN, &CStaticHyperLink::OnLButtonDown);
    return map.Dispatch(*this, message, wParam, lParam, result);
}

bool CStaticHyperLink::OnReflected(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
    static const MessageMap<CStaticHyperLink> map =
        MessageMap<CStaticHyperLink>().Reflected(WM_CTLCOLORSTATIC, &CStaticHyperLink::OnCtlColor);
    return map.DispatchReflected(*this, message, wParam, lParam, result);
}

// A static without SS_NOTIFY is transparent to the mouse; the link wants the clicks itself.
LRESULT CStaticHyperLink::OnNcHitTest(WPARAM, LPARAM) { return HTCLIENT; }

LRESULT CStaticHyperLink::OnSetCursor(WPARAM, LPARAM) {
    HCURSOR hand = HandCursor();
    if (!hand) return FALSE;
    ::SetCursor(hand);
    return TRUE;
}

LRESULT CStaticHyperLink::OnLButtonDown(WPARAM, LPARAM) {
    // The click is not passed on: the static has nothing to do with it.
    if (m_pTarget->Target().empty()) return 0;
    if (m_pTarget->OpenLink() > 32) {
        m_crText = kVisited;
        HWND hwnd = GetSafeHwnd();
        // The link paints transparently over its parent, so the parent repaints beneath it first;
        // otherwise the purple text would be drawn over the blue.
        if (HWND parent = ::GetParent(hwnd)) {
            RECT r;
            ::GetWindowRect(hwnd, &r);
            ::MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
            ::InvalidateRect(parent, &r, TRUE);
        }
        ::InvalidateRect(hwnd, nullptr, TRUE);
    }
    return 0;
}

LRESULT CStaticHyperLink::OnCtlColor(WPARAM wParam, LPARAM) {
    HWND hwnd = GetSafeHwnd();
    // Pictures and frames are left to the parent's colouring.
    const LONG_PTR style = ::GetWindowLongPtrA(hwnd, GWL_STYLE);
    if ((style & 0xFF) > SS_RIGHT) return 0;

    if (!m_fontUnderline) {
        HFONT current = reinterpret_cast<HFONT>(::SendMessageA(hwnd, WM_GETFONT, 0, 0));
        m_fontOriginal = current;
        if (!current) current = static_cast<HFONT>(::GetStockObject(DEFAULT_GUI_FONT));
        LOGFONTA lf{};
        if (::GetObjectA(current, sizeof(lf), &lf) == sizeof(lf)) {
            lf.lfUnderline = TRUE;
            m_fontUnderline.Reset(::CreateFontIndirectA(&lf));
            // Some static controls select their own font after asking for colours, which would
            // undo the selection below: make the underlined font the control's own as well.
            if (m_fontUnderline)
                ::SendMessageA(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(m_fontUnderline.Get()), FALSE);
        }
    }
    HDC dc = reinterpret_cast<HDC>(wParam);
    if (m_fontUnderline) ::SelectObject(dc, m_fontUnderline.Get());
    ::SetTextColor(dc, m_crText);
    ::SetBkMode(dc, TRANSPARENT);
    return reinterpret_cast<LRESULT>(::GetStockObject(NULL_BRUSH));
}

} // namespace pv
