#include "dialog/general_page.h"

#include <string>

#include "dialog/password_prompt.h"
#include "resources/resource.h"
#include "store/vigil_app.h"

namespace pv {

CGeneralPage::CGeneralPage() : CPage(IDD_PV_GENERAL) {}

BOOL CGeneralPage::OnInitDialog() {
    HWND hwnd = GetSafeHwnd();
    m_linkSite.SubclassDlgItem(IDC_PV_LINK_SITE, hwnd);
    m_linkMail.SubclassDlgItem(IDC_PV_LINK_MAIL, hwnd);
    m_linkDownload.SubclassDlgItem(IDC_PV_LINK_DOWNLOAD, hwnd);
    m_editLogin = ::GetDlgItem(hwnd, IDC_PV_LOGIN);
    m_editPassword = ::GetDlgItem(hwnd, IDC_PV_PASSWORD);

    m_linkSite.SetLinkTarget(kSiteAddress);
    m_linkMail.SetLinkTarget((std::string("mailto:") + kSupportMail).c_str());
    m_linkDownload.SetLinkTarget(kDownloadAddress);

    // Changes count from here on: whatever happened while the controls were being made is not
    // the user's doing.
    m_bLoginEdited = false;
    m_bPasswordEdited = false;
    m_bInitialised = true;
    return TRUE;
}

bool CGeneralPage::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
    static const MessageMap<CGeneralPage> map =
        MessageMap<CGeneralPage>()
            .Command(IDC_PV_LOGIN, EN_CHANGE, &CGeneralPage::OnLoginChange)
            .Command(IDC_PV_PASSWORD, EN_CHANGE, &CGeneralPage::OnPasswordChange)
            .Command(IDC_PV_SETTINGS_PASSWORD, BN_CLICKED, &CGeneralPage::OnSettingsPassword);
    return map.Dispatch(*this, message, wParam, lParam, result) ||
           CPage::OnMessage(message, wParam, lParam, result);
}

void CGeneralPage::OnLoginChange() {
    if (m_bInitialised) m_bLoginEdited = true;
}

void CGeneralPage::OnPasswordChange() {
    if (m_bInitialised) m_bPasswordEdited = true;
}

// The settings password has a dialog of its own, which stores its result at once: it is not part
// of what the settings dialog's OK or Cancel decides.
void CGeneralPage::OnSettingsPassword() {
    CSettingsPasswordDialog dialog;
    if (!dialog.BeginModal()) TheApp().ShowMessage("Cannot create dialog!");
    dialog.RunModal();
}

std::string CGeneralPage::LoginText() const { return WindowTextA(m_editLogin); }

std::string CGeneralPage::PasswordText() const { return WindowTextA(m_editPassword); }

bool CGeneralPage::LoginEdited() const {
    return m_bLoginEdited || (m_editLogin && ::SendMessageA(m_editLogin, EM_GETMODIFY, 0, 0));
}

bool CGeneralPage::PasswordEdited() const {
    return m_bPasswordEdited || (m_editPassword && ::SendMessageA(m_editPassword, EM_GETMODIFY, 0, 0));
}

} // namespace pv
