#include "dialog/subclassed_control.h"

#include <commctrl.h>

#include "dialog/dialog_base.h"

namespace pv {

namespace {
// One subclass slot per object: the object's address tells the slots apart.
UINT_PTR SlotOf(const CSubclassedControl* control) { return reinterpret_cast<UINT_PTR>(control); }
} // namespace

CSubclassedControl::~CSubclassedControl() { Unsubclass(); }

bool CSubclassedControl::Subclass(HWND control) {
    if (m_hWnd || !control || !::IsWindow(control)) return false;
    if (!::SetWindowSubclass(control, &CSubclassedControl::Proc, SlotOf(this),
                             reinterpret_cast<DWORD_PTR>(this))) {
        return false;
    }
    m_hWnd = control;
    return true;
}

void CSubclassedControl::Unsubclass() {
    if (!m_hWnd) return;
    ::RemoveWindowSubclass(m_hWnd, &CSubclassedControl::Proc, SlotOf(this));
    m_hWnd = nullptr;
}

bool CSubclassedControl::OnControlMessage(UINT, WPARAM, LPARAM, LRESULT&) { return false; }

bool CSubclassedControl::OnReflected(UINT, WPARAM, LPARAM, LRESULT&) { return false; }

LRESULT CSubclassedControl::Default(UINT message, WPARAM wParam, LPARAM lParam) {
    return m_hWnd ? ::DefSubclassProc(m_hWnd, message, wParam, lParam) : 0;
}

LRESULT CALLBACK CSubclassedControl::Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                          DWORD_PTR refData) {
    auto* self = reinterpret_cast<CSubclassedControl*>(refData);
    if (!self || self->m_hWnd != hwnd) return ::DefSubclassProc(hwnd, message, wParam, lParam);

    if (message == WM_NCDESTROY) {
        try {
            self->OnDestroying();
        } catch (...) {
            // The window is going away whatever happens; nothing to report here.
        }
        self->Unsubclass();
        return ::DefSubclassProc(hwnd, message, wParam, lParam);
    }

    try {
        LRESULT result = 0;
        if (message == ReflectMessageId() && lParam) {
            auto* reflected = reinterpret_cast<ReflectedMessage*>(lParam);
            if (self->OnReflected(reflected->message, reflected->wParam, reflected->lParam, result)) {
                reflected->result = result;
                return TRUE;
            }
            return FALSE;
        }
        if (self->OnControlMessage(message, wParam, lParam, result)) return result;
    } catch (...) {
        // A control handler that failed leaves the message to the control's own processing.
    }
    return ::DefSubclassProc(hwnd, message, wParam, lParam);
}

} // namespace pv
