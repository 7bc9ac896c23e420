// A dialog built from one of the module's dialog templates: either a child page inside another
// dialog, or a modal dialog run in two halves (BeginModal, RunModal) with its own message loop.
//
// Handlers are found through per-class message maps (OnMessage); notifications that belong to a
// control (owner drawing, item comparison and deletion, static colouring) are reflected back to
// the control's CSubclassedControl before the dialog's own map sees them. No C++ exception leaves
// the dialog procedure: a failure inside a handler is shown in a box with the stop icon and the
// dialog stays open.
#pragma once

#include <windows.h>

#include "dialog/message_map.h"
#include "platform/handles_win.h"

namespace pv {

class CDialogBase {
public:
    explicit CDialogBase(UINT templateId);
    virtual ~CDialogBase();
    CDialogBase(const CDialogBase&) = delete;
    CDialogBase& operator=(const CDialogBase&) = delete;

    HWND GetSafeHwnd() const { return m_hWnd; }
    UINT TemplateId() const { return m_nTemplate; }
    HWND Item(int id) const { return m_hWnd ? ::GetDlgItem(m_hWnd, id) : nullptr; }

    // --- child page ---
    // Creates the window from the template as a child of parent (hidden unless the template says
    // otherwise). False when the template is missing or the window cannot be created.
    bool CreateChild(HWND parent);

    // --- modal run ---
    // Loads the template, disables the owner (the module thread's active window; none on other
    // threads), creates and centres the window. False when the template or the window is missing.
    bool BeginModal();
    // Runs the modal loop unless the dialog already ended, then hides and destroys the window and
    // re-enables what BeginModal disabled. Returns the end code: IDOK, IDCANCEL or -1 after an error.
    int RunModal();
    // Ends the modal loop with the given code once the current message is handled.
    void EndDialog(int code);
    bool HasEnded() const { return m_bEnded; }
    // The window BeginModal chose as owner (null when there is none).
    HWND Owner() const { return m_hOwner; }

    // Destroys the window now if it still exists (used by owners before they free objects the
    // window's controls refer to).
    void DestroyWindowNow();

protected:
    // WM_INITDIALOG. Return TRUE to let the system set the focus.
    virtual BOOL OnInitDialog() { return TRUE; }
    // The standard OK and Cancel: end the dialog with IDOK (1) / IDCANCEL (2).
    virtual void OnOK();
    virtual void OnCancel();
    // Derived classes search their own map first and then chain to their base class.
    virtual bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);
    // Shows an error that escaped a handler: stop icon, the dialog as owner.
    void ReportError(const char* text) noexcept;

private:
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void DisableOwner();
    void Centre();

    const UINT m_nTemplate;
    HWND m_hWnd = nullptr;
    bool m_bModal = false;
    bool m_bEnded = false;
    bool m_bInitFailed = false; // OnInitDialog raised an error
    int m_nEndCode = 0;
    HWND m_hOwner = nullptr;
    // What BeginModal disabled: the owner and its top-level window. RunModal enables them again;
    // a dialog object that goes without it (an exception between the two) does so as it goes.
    DisabledWindow m_ownerDisabled;
    DisabledWindow m_topDisabled;
};

// Identifier of the message a dialog sends to one of its controls to reflect a notification back
// (wParam: the original message; lParam: ReflectedMessage*). The control answers TRUE when it
// handled the notification and stored the result.
UINT ReflectMessageId();
struct ReflectedMessage {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    LRESULT result;
};

} // namespace pv
