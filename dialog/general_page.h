// The "Basic" page: banner, version, the maker's links and the checking-service account fields.
#pragma once

#include <windows.h>

#include <string>

#include "dialog/page.h"
#include "dialog/static_hyperlink.h"

namespace pv {

class CGeneralPage : public CPage {
public:
    static constexpr const char* kSiteAddress = "http://www.pathvigil.net/";
    static constexpr const char* kSupportMail = "support@pathvigil.net";
    static constexpr const char* kDownloadAddress = "http://www.pathvigil.net/download.htm";

    CGeneralPage();

    std::string LoginText() const;
    std::string PasswordText() const;
    // Whether the user changed the field while the dialog was open. The fields open empty, so an
    // untouched field says nothing about the stored account and must not overwrite it.
    bool LoginEdited() const;
    bool PasswordEdited() const;

    CStaticHyperLink& SiteLink() { return m_linkSite; }
    CStaticHyperLink& MailLink() { return m_linkMail; }
    CStaticHyperLink& DownloadLink() { return m_linkDownload; }

protected:
    BOOL OnInitDialog() override;
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

private:
    void OnLoginChange();
    void OnPasswordChange();
    void OnSettingsPassword();

    CStaticHyperLink m_linkSite;
    CStaticHyperLink m_linkMail;
    CStaticHyperLink m_linkDownload;
    HWND m_editLogin = nullptr;
    HWND m_editPassword = nullptr;
    bool m_bInitialised = false;
    bool m_bLoginEdited = false;
    bool m_bPasswordEdited = false;
};

} // namespace pv
