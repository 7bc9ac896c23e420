#include "dialog/settings_dialog.h"

#include <commctrl.h>

#include <stdexcept>
#include <string>

#include "resources/resource.h"
#include "store/vigil_app.h"

namespace pv {

namespace {

// HTML Help lives in hhctrl.ocx. It is loaded on first use, as the help library's own static
// stub does, so the module does not depend on it being present when it is loaded.
using HtmlHelpFn = HWND(WINAPI*)(HWND, LPCSTR, UINT, DWORD_PTR);
constexpr UINT kHhDisplayTopic = 0x0000; // HH_DISPLAY_TOPIC

HtmlHelpFn HtmlHelpEntry() {
    static const HtmlHelpFn entry = []() -> HtmlHelpFn {
        HMODULE library = ::LoadLibraryA("hhctrl.ocx");
        if (!library) return nullptr;
        return reinterpret_cast<HtmlHelpFn>(reinterpret_cast<void*>(::GetProcAddress(library, "HtmlHelpA")));
    }();
    return entry;
}

} // namespace

CSettingsDialog::CSettingsDialog() : CDialogBase(IDD_PV_SETTINGS) {}

// The window (and with it the pages' windows) goes before the page objects do.
CSettingsDialog::~CSettingsDialog() { DestroyWindowNow(); }

template <class Page>
Page* CSettingsDialog::AddPage(std::unique_ptr<Page> page, const char* title) {
    if (!page->CreateChild(GetSafeHwnd())) throw std::runtime_error("page window not created");
    TCITEMA item{};
    item.mask = TCIF_TEXT;
    item.pszText = const_cast<char*>(title);
    ::SendMessageA(m_tab, TCM_INSERTITEMA, m_arrPages.size(), reinterpret_cast<LPARAM>(&item));
    Page* raw = page.get();
    m_arrPages.push_back(std::move(page));
    PlacePage(raw->GetSafeHwnd());
    return raw;
}

void CSettingsDialog::PlacePage(HWND page) {
    HWND hwnd = GetSafeHwnd();
    RECT tab0{};
    ::SendMessageA(m_tab, TCM_GETITEMRECT, 0, reinterpret_cast<LPARAM>(&tab0));
    ::MapWindowPoints(m_tab, hwnd, reinterpret_cast<POINT*>(&tab0), 2);
    RECT control{};
    ::GetWindowRect(m_tab, &control);
    ::MapWindowPoints(nullptr, hwnd, reinterpret_cast<POINT*>(&control), 2);
    const int width = (control.right - control.left) - 4;
    const int height = (control.bottom - control.top) - (tab0.bottom - tab0.top) - 6;
    ::SetWindowPos(page, nullptr, tab0.left, tab0.bottom + 2, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

BOOL CSettingsDialog::OnInitDialog() {
    m_tab = Item(IDC_PV_TAB);
    if (!m_tab) throw std::runtime_error("tab control missing");

    m_pGeneralPage = AddPage(std::make_unique<CGeneralPage>(), "Basic");
    m_pListPage = AddPage(std::make_unique<CListPage>(), "Lists");
    m_pTimerPage = AddPage(std::make_unique<CTimerPage>(), "Schedule");

    // The pages lie on the tab control's display area: keep the tab control beneath them.
    ::SetWindowPos(m_tab, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    m_nCurPage = 0;
    ::ShowWindow(m_arrPages[0]->GetSafeHwnd(), SW_SHOW);
    return TRUE;
}

bool CSettingsDialog::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
    static const MessageMap<CSettingsDialog> map =
        MessageMap<CSettingsDialog>()
            .Notify(IDC_PV_TAB, TCN_SELCHANGE, &CSettingsDialog::OnSelchangeTab)
            .Command(IDOK, BN_CLICKED, &CSettingsDialog::OnBnClickedOk)
            .Command(IDC_PV_HELP, BN_CLICKED, &CSettingsDialog::OnBnClickedHelp);
    return map.Dispatch(*this, message, wParam, lParam, result) ||
           CDialogBase::OnMessage(message, wParam, lParam, result);
}

// Pages are only hidden and shown, never rebuilt, so what was typed into them stays.
LRESULT CSettingsDialog::OnSelchangeTab(NMHDR*) {
    const int selection = static_cast<int>(::SendMessageA(m_tab, TCM_GETCURSEL, 0, 0));
    if (selection < 0 || selection >= static_cast<int>(m_arrPages.size()) || selection == m_nCurPage)
        return 0;
    ::ShowWindow(m_arrPages[static_cast<size_t>(m_nCurPage)]->GetSafeHwnd(), SW_HIDE);
    ::ShowWindow(m_arrPages[static_cast<size_t>(selection)]->GetSafeHwnd(), SW_SHOW);
    m_nCurPage = selection;
    return 0;
}

void CSettingsDialog::OnBnClickedOk() {
    CVigilApp& app = TheApp();
    // Everything below goes through the module state's own locked writers: browser threads may
    // be judging navigations with these values at this moment.
    app.m_data.SetSchedule(m_pTimerPage->ReadSchedule());
    // The account fields open empty. Only a field the user edited replaces the stored value (an
    // edited field left empty stores the empty value); an untouched one keeps the account.
    if (m_pGeneralPage->LoginEdited()) app.StoreName(m_pGeneralPage->LoginText());
    if (m_pGeneralPage->PasswordEdited()) app.StorePassword(m_pGeneralPage->PasswordText());
    // A failed save raises a file error; the dialog's dispatch shows it and the dialog stays open.
    app.m_data.Save(app.GetPlatform());
    CDialogBase::OnOK();
}

void CSettingsDialog::OnBnClickedHelp() {
    // Help belongs to the top-level window at the end of the owner chain: the browser window when
    // the dialog has an owner, else the dialog itself.
    HWND caller = GetSafeHwnd();
    while (HWND owner = ::GetWindow(caller, GW_OWNER)) caller = owner;
    if (HWND root = ::GetAncestor(caller, GA_ROOT)) caller = root;

    const std::string file = TheApp().HelpFile();
    HWND help = nullptr;
    if (HtmlHelpFn htmlHelp = HtmlHelpEntry()) {
        HCURSOR previous = ::SetCursor(::LoadCursorA(nullptr, MAKEINTRESOURCEA(32514) /* IDC_WAIT */));
        help = htmlHelp(caller, file.c_str(), kHhDisplayTopic, 0);
        ::SetCursor(previous);
    }
    if (!help) TheApp().ShowMessage(kHelpFailed);
}

} // namespace pv
