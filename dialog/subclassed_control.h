// A C++ object attached to an existing control window by subclassing (comctl32's
// SetWindowSubclass). The control's messages reach OnControlMessage first; notifications its
// parent dialog reflects back (see CDialogBase) reach OnReflected. Whatever neither handles goes on
// to the control's own window procedure.
#pragma once

#include <windows.h>

namespace pv {

class CSubclassedControl {
public:
    CSubclassedControl() = default;
    virtual ~CSubclassedControl();
    CSubclassedControl(const CSubclassedControl&) = delete;
    CSubclassedControl& operator=(const CSubclassedControl&) = delete;

    // Attaches to the control; false when already attached or the window is not there.
    bool Subclass(HWND control);
    // Attaches to the dialog's control with this id.
    bool SubclassDlgItem(int id, HWND dialog) { return Subclass(::GetDlgItem(dialog, id)); }
    // Detaches without destroying the window.
    void Unsubclass();
    HWND GetSafeHwnd() const { return m_hWnd; }

protected:
    // Return true when the message was handled; result is then the answer.
    virtual bool OnControlMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);
    virtual bool OnReflected(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);
    // Called once when the window is being destroyed, while it is still attached.
    virtual void OnDestroying() {}
    // The control's own processing of a message.
    LRESULT Default(UINT message, WPARAM wParam, LPARAM lParam);

private:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                 DWORD_PTR refData);

    HWND m_hWnd = nullptr;
};

} // namespace pv
