// The settings dialog: a modal dialog with a tab control hosting the pages Basic, Lists and
// Schedule, and the buttons OK, Cancel and Help. OK puts the account and the schedule into the
// module state, writes the registry values and saves pv.dat.
#pragma once

#include <windows.h>

#include <memory>
#include <vector>

#include "dialog/dialog_base.h"
#include "dialog/general_page.h"
#include "dialog/list_page.h"
#include "dialog/timer_page.h"

namespace pv {

class CSettingsDialog : public CDialogBase {
public:
    static constexpr const char* kHelpFailed = "Failed to launch help.";

    // The dialog has no parent window and chooses its owner in BeginModal.
    CSettingsDialog();
    ~CSettingsDialog() override;

    CGeneralPage* GeneralPage() const { return m_pGeneralPage; }
    CListPage* ListPage() const { return m_pListPage; }
    CTimerPage* TimerPage() const { return m_pTimerPage; }
    int CurrentPage() const { return m_nCurPage; }
    size_t PageCount() const { return m_arrPages.size(); }

protected:
    BOOL OnInitDialog() override;
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

private:
    // Creates the page's window as a child of the dialog, adds its tab and places it once below
    // the tabs. Returns the page, still owned by the dialog.
    template <class Page>
    Page* AddPage(std::unique_ptr<Page> page, const char* title);
    void PlacePage(HWND page);

    LRESULT OnSelchangeTab(NMHDR*);
    void OnBnClickedOk();
    void OnBnClickedHelp();

    std::vector<std::unique_ptr<CPage>> m_arrPages;
    CGeneralPage* m_pGeneralPage = nullptr;
    CListPage* m_pListPage = nullptr;
    CTimerPage* m_pTimerPage = nullptr;
    int m_nCurPage = 0;
    HWND m_tab = nullptr;
};

} // namespace pv
