#include "dialog/dialog_base.h"

#include <commctrl.h>

#include <exception>
#include <new>
#include <utility>

#include "platform/module_instance_win.h"
#include "platform/owner_window_win.h"
#include "store/file_error.h"
#include "store/vigil_app.h"

namespace pv {

namespace {

// The dialogs use tab controls and date-and-time pickers; their window classes exist only after
// the common-controls library registered them.
void RegisterControlClasses() {
    static const bool done = [] {
        INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_STANDARD_CLASSES | ICC_TAB_CLASSES | ICC_DATE_CLASSES};
        return ::InitCommonControlsEx(&icc) != FALSE;
    }();
    (void)done;
}

const DLGTEMPLATE* LoadTemplate(UINT id) {
    HINSTANCE module = ModuleInstance();
    HRSRC found = ::FindResourceA(module, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(5) /* RT_DIALOG */);
    if (!found) return nullptr;
    HGLOBAL loaded = ::LoadResource(module, found);
    if (!loaded) return nullptr;
    // Resources stay mapped with the module; there is nothing to free.
    return static_cast<const DLGTEMPLATE*>(::LockResource(loaded));
}

// The control a notification belongs to, for the notifications that are reflected back to it.
HWND ReflectionTarget(HWND dialog, UINT message, LPARAM lParam) {
    switch (message) {
    case WM_DRAWITEM: {
        auto* s = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
        return s && s->CtlType != ODT_MENU ? s->hwndItem : nullptr;
    }
    case WM_COMPAREITEM: {
        auto* s = reinterpret_cast<const COMPAREITEMSTRUCT*>(lParam);
        return s ? s->hwndItem : nullptr;
    }
    case WM_DELETEITEM: {
        auto* s = reinterpret_cast<const DELETEITEMSTRUCT*>(lParam);
        return s ? s->hwndItem : nullptr;
    }
    case WM_MEASUREITEM: {
        auto* s = reinterpret_cast<const MEASUREITEMSTRUCT*>(lParam);
        return s && s->CtlType != ODT_MENU ? ::GetDlgItem(dialog, static_cast<int>(s->CtlID)) : nullptr;
    }
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
        return reinterpret_cast<HWND>(lParam);
    default:
        return nullptr;
    }
}

// Messages whose dialog-procedure return value is the result itself rather than "handled".
bool ReturnsResultDirectly(UINT message) {
    switch (message) {
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
    case WM_COMPAREITEM:
    case WM_VKEYTOITEM:
    case WM_CHARTOITEM:
    case WM_QUERYDRAGICON:
    case WM_INITDIALOG:
        return true;
    default:
        return false;
    }
}

} // namespace

UINT ReflectMessageId() {
    static const UINT id = ::RegisterWindowMessageA("Pathvigil.ReflectedNotification");
    return id;
}

CDialogBase::CDialogBase(UINT templateId) : m_nTemplate(templateId) {}

CDialogBase::~CDialogBase() { DestroyWindowNow(); }

void CDialogBase::DestroyWindowNow() {
    if (!m_hWnd) return;
    // Nothing of this object may run once destruction has begun: detach first.
    ::SetWindowLongPtrA(m_hWnd, DWLP_USER, 0);
    OwnedWindow(std::exchange(m_hWnd, nullptr)).Reset();
}

bool CDialogBase::CreateChild(HWND parent) {
    if (m_hWnd) return false;
    RegisterControlClasses();
    const DLGTEMPLATE* tmpl = LoadTemplate(m_nTemplate);
    if (!tmpl) return false;
    HWND hwnd = ::CreateDialogIndirectParamA(ModuleInstance(), tmpl, parent, &CDialogBase::DialogProc,
                                             reinterpret_cast<LPARAM>(this));
    if (hwnd && m_bInitFailed) {
        DestroyWindowNow();
        return false;
    }
    return hwnd != nullptr;
}

bool CDialogBase::BeginModal() {
    if (m_hWnd || m_bModal) return false; // a dialog object runs once
    m_bModal = true;
    RegisterControlClasses();
    const DLGTEMPLATE* tmpl = LoadTemplate(m_nTemplate);
    if (!tmpl) return false;

    m_hOwner = FindModuleOwnerWindow();
    DisableOwner();

    HWND hwnd = ::CreateDialogIndirectParamA(ModuleInstance(), tmpl, m_hOwner, &CDialogBase::DialogProc,
                                             reinterpret_cast<LPARAM>(this));
    if (!hwnd) {
        m_hWnd = nullptr;
        return false;
    }
    if (m_bInitFailed) {
        // Half a dialog (a page missing, say) is not shown: the opener reports it instead.
        DestroyWindowNow();
        return false;
    }
    Centre();
    return true;
}

int CDialogBase::RunModal() {
    if (m_hWnd && !m_bEnded) {
        bool shown = false;
        try {
            while (!m_bEnded && m_hWnd) {
                MSG msg;
                if (!shown && !::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE)) {
                    // Shown when the loop first becomes idle: initialisation messages are through.
                    ::ShowWindow(m_hWnd, SW_SHOWNORMAL);
                    ::UpdateWindow(m_hWnd);
                    shown = true;
                    continue;
                }
                const BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
                if (got == 0) {
                    // Someone asked the thread to quit: pass the request on to the outer loop.
                    ::PostQuitMessage(static_cast<int>(msg.wParam));
                    m_nEndCode = -1;
                    break;
                }
                if (got == -1) {
                    m_nEndCode = -1;
                    break;
                }
                if (!m_hWnd || !::IsDialogMessageW(m_hWnd, &msg)) {
                    ::TranslateMessage(&msg);
                    ::DispatchMessageW(&msg);
                }
            }
        } catch (...) {
            m_nEndCode = -1;
        }
        m_bEnded = true;
    }

    if (m_hWnd) {
        ::SetWindowPos(m_hWnd, nullptr, 0, 0, 0, 0,
                       SWP_HIDEWINDOW | SWP_NOSIZE | SWP_NOMOVE | SWP_NOACTIVATE | SWP_NOZORDER);
    }
    // The owner becomes usable (and active) again before the dialog disappears, so activation
    // does not wander off to another application's window.
    m_ownerDisabled.Restore();
    if (m_hOwner && m_hWnd && ::GetActiveWindow() == m_hWnd) ::SetActiveWindow(m_hOwner);
    DestroyWindowNow();
    m_topDisabled.Restore();
    return m_nEndCode;
}

void CDialogBase::EndDialog(int code) {
    m_nEndCode = code;
    m_bEnded = true;
    // Wakes the loop if it is waiting for a message.
    if (m_hWnd) ::PostMessageW(m_hWnd, WM_NULL, 0, 0);
}

void CDialogBase::OnOK() { EndDialog(IDOK); }

void CDialogBase::OnCancel() { EndDialog(IDCANCEL); }

bool CDialogBase::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
    static const MessageMap<CDialogBase> map = MessageMap<CDialogBase>()
                                                   .Command(IDOK, BN_CLICKED, &CDialogBase::OnOK)
                                                   .Command(IDCANCEL, BN_CLICKED, &CDialogBase::OnCancel);
    return map.Dispatch(*this, message, wParam, lParam, result);
}

void CDialogBase::ReportError(const char* text) noexcept {
    HWND owner = m_hWnd && ::IsWindowVisible(m_hWnd) ? m_hWnd : FindModuleOwnerWindow();
    ::MessageBoxA(owner, text, TheApp().AppTitle().c_str(), MB_OK | MB_ICONSTOP);
}

void CDialogBase::DisableOwner() {
    if (!m_hOwner) return;
    HWND top = ::GetAncestor(m_hOwner, GA_ROOT);
    if (top != m_hOwner) m_topDisabled = DisabledWindow(top);
    if (m_hOwner != ::GetDesktopWindow()) m_ownerDisabled = DisabledWindow(m_hOwner);
}

void CDialogBase::Centre() {
    if (!m_hWnd) return;
    RECT dlg;
    ::GetWindowRect(m_hWnd, &dlg);
    const int w = dlg.right - dlg.left;
    const int h = dlg.bottom - dlg.top;

    MONITORINFO mi{};
    mi.cbSize = sizeof(mi);
    HMONITOR monitor = ::MonitorFromWindow(m_hOwner && ::IsWindowVisible(m_hOwner) ? m_hOwner : m_hWnd,
                                           MONITOR_DEFAULTTONEAREST);
    RECT work{0, 0, ::GetSystemMetrics(SM_CXSCREEN), ::GetSystemMetrics(SM_CYSCREEN)};
    if (monitor && ::GetMonitorInfoA(monitor, &mi)) work = mi.rcWork;

    RECT centre = work;
    if (m_hOwner && ::IsWindowVisible(m_hOwner) && !::IsIconic(m_hOwner)) ::GetWindowRect(m_hOwner, &centre);
    int x = centre.left + ((centre.right - centre.left) - w) / 2;
    int y = centre.top + ((centre.bottom - centre.top) - h) / 2;
    // Keep the whole dialog on the work area.
    if (x + w > work.right) x = work.right - w;
    if (y + h > work.bottom) y = work.bottom - h;
    if (x < work.left) x = work.left;
    if (y < work.top) y = work.top;
    ::SetWindowPos(m_hWnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

INT_PTR CALLBACK CDialogBase::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    CDialogBase* self = nullptr;
    if (message == WM_INITDIALOG) {
        self = reinterpret_cast<CDialogBase*>(lParam);
        ::SetWindowLongPtrA(hwnd, DWLP_USER, reinterpret_cast<LONG_PTR>(self));
        if (self) self->m_hWnd = hwnd;
    } else {
        self = reinterpret_cast<CDialogBase*>(::GetWindowLongPtrA(hwnd, DWLP_USER));
    }
    if (!self) return FALSE;

    const INT_PTR answer = self->HandleMessage(message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        ::SetWindowLongPtrA(hwnd, DWLP_USER, 0);
        self->m_hWnd = nullptr;
    }
    return answer;
}

INT_PTR CDialogBase::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        try {
            return OnInitDialog();
        } catch (...) {
            // A dialog that could not initialise is not shown: RunModal ends it with -1.
            m_nEndCode = -1;
            m_bEnded = true;
            m_bInitFailed = true;
            return FALSE;
        }
    }

    try {
        LRESULT result = 0;
        bool handled = false;
        if (HWND control = ReflectionTarget(m_hWnd, message, lParam)) {
            ReflectedMessage reflected{message, wParam, lParam, 0};
            if (::SendMessageA(control, ReflectMessageId(), message, reinterpret_cast<LPARAM>(&reflected))) {
                result = reflected.result;
                handled = true;
            }
        }
        if (!handled) handled = OnMessage(message, wParam, lParam, result);
        if (!handled) return FALSE;
        if (ReturnsResultDirectly(message)) return static_cast<INT_PTR>(result);
        if (m_hWnd) ::SetWindowLongPtrA(m_hWnd, DWLP_MSGRESULT, result);
        return TRUE;
    } catch (const FileException& e) {
        ReportError(e.Message().c_str());
    } catch (const std::bad_alloc&) {
        ReportError("Not enough memory to complete the operation.");
    } catch (...) {
        ReportError("The operation could not be completed.");
    }
    return TRUE;
}

} // namespace pv
