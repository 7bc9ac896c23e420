#include "dialog/password_prompt.h"

#include "dialog/page.h"
#include "dialog/settings_lock_win.h"
#include "guard/settings_password_win.h"
#include "resources/resource.h"
#include "store/vigil_app.h"

namespace pv {

namespace {

// The edit's text, and the edit emptied: a password does not stay in a control longer than needed.
std::string TakeText(HWND dialog, int id) {
    HWND edit = ::GetDlgItem(dialog, id);
    std::string text = WindowTextA(edit);
    if (edit) ::SetWindowTextA(edit, "");
    return text;
}

} // namespace

CPasswordPrompt::CPasswordPrompt() : CDialogBase(IDD_PV_PASSWORD_PROMPT) {}

CPasswordPrompt::~CPasswordPrompt() {
    DestroyWindowNow();
    settings_password::Wipe(m_password);
}

std::string CPasswordPrompt::TakePassword() {
    std::string password = std::move(m_password);
    settings_password::Wipe(m_password);
    return password;
}

void CPasswordPrompt::OnOK() {
    settings_password::Wipe(m_password);
    m_password = TakeText(GetSafeHwnd(), IDC_PV_PROMPT_PASSWORD);
    CDialogBase::OnOK();
}

CSettingsPasswordDialog::CSettingsPasswordDialog() : CDialogBase(IDD_PV_PASSWORD_CHANGE) {}

CSettingsPasswordDialog::~CSettingsPasswordDialog() { DestroyWindowNow(); }

BOOL CSettingsPasswordDialog::OnInitDialog() {
    m_record = SettingsPasswordRecord();
    // Nothing to ask for while no password is set.
    ::EnableWindow(Item(IDC_PV_CURRENT_PASSWORD), !m_record.empty());
    return TRUE;
}

void CSettingsPasswordDialog::OnOK() {
    HWND hwnd = GetSafeHwnd();
    std::string current = TakeText(hwnd, IDC_PV_CURRENT_PASSWORD);
    std::string fresh = TakeText(hwnd, IDC_PV_NEW_PASSWORD);
    std::string confirmation = TakeText(hwnd, IDC_PV_CONFIRM_PASSWORD);
    bool done = false;
    if (!m_record.empty() &&
        (!SettingsPasswordAttemptAllowed() || !CheckSettingsPassword(m_record, current))) {
        // refused: the message has been shown
    } else if (fresh != confirmation) {
        TheApp().ShowMessage(kMismatch);
    } else if (fresh.empty()) {
        done = StoreSettingsPasswordRecord("");
        if (!done) TheApp().ShowMessage(kNotStored);
    } else if (std::optional<std::string> record = settings_password::MakeRecord(fresh);
               record && StoreSettingsPasswordRecord(*record)) {
        done = true;
    } else {
        TheApp().ShowMessage(kNotStored);
    }
    settings_password::Wipe(current);
    settings_password::Wipe(fresh);
    settings_password::Wipe(confirmation);
    if (done) CDialogBase::OnOK();
}

} // namespace pv
