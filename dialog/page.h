// A page of the settings dialog: a child dialog whose OK and Cancel belong to the dialog around it.
#pragma once

#include <windows.h>

#include <string>

#include "dialog/dialog_base.h"

namespace pv {

class CPage : public CDialogBase {
public:
    using CDialogBase::CDialogBase;

protected:
    // OK inside the page (Enter on one of its controls) is the settings dialog's OK: sent on as
    // WM_COMMAND IDOK (lParam 1) to the parent. The page does not end itself: ending a child
    // dialog hides it, which would leave an empty tab whenever the dialog stays open.
    void OnOK() override;
    // Cancel inside the page likewise belongs to the settings dialog.
    void OnCancel() override;
};

// The whole text of a window as ANSI characters.
std::string WindowTextA(HWND hwnd);

} // namespace pv
