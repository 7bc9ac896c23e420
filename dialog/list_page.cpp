#include "dialog/list_page.h"

#include <commctrl.h>
#include <exdisp.h>
#include <oleauto.h>

#include <string>
#include <vector>

#include "platform/com_ptr.h"
#include "platform/handles_win.h"
#include "resources/resource.h"
#include "store/vigil_app.h"

namespace pv {

namespace {

// The address the module's current browser shows, as ANSI text; empty when there is none.
std::string CurrentBrowserAddress() {
    ComPtr<IWebBrowser2> browser = TheApp().CurrentBrowser();
    if (!browser) return {};
    Bstr location;
    if (FAILED(browser->get_LocationURL(location.Put())) || !location.Get()) return {};
    const std::wstring_view text = location.View();
    std::u16string wide(reinterpret_cast<const char16_t*>(text.data()), text.size());
    return TheApp().GetPlatform().WideToAnsi(wide).value_or(std::string());
}

void InsertTab(HWND tab, int index, const char* text) {
    TCITEMA item{};
    item.mask = TCIF_TEXT;
    item.pszText = const_cast<char*>(text);
    ::SendMessageA(tab, TCM_INSERTITEMA, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&item));
}

} // namespace

CListPage::CListPage() : CPage(IDD_PV_LISTS) {}

// The window goes first: its list box must not outlive the copies its items point to.
CListPage::~CListPage() { DestroyWindowNow(); }

BOOL CListPage::OnInitDialog() {
    HWND hwnd = GetSafeHwnd();
    m_tab = ::GetDlgItem(hwnd, IDC_PV_LIST_TAB);
    m_edit = ::GetDlgItem(hwnd, IDC_PV_LIST_EDIT);
    InsertTab(m_tab, 0, "Prohibited");
    InsertTab(m_tab, 1, "Allowed");
    // The list box lies on the tab control's display area: keep the tab control beneath it.
    ::SetWindowPos(m_tab, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    m_list.SubclassDlgItem(IDC_PV_LIST, hwnd);

    ::SetWindowTextA(m_edit, CurrentBrowserAddress().c_str());

    m_nCurTab = 0;
    FillList();
    return TRUE;
}

bool CListPage::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
    static const MessageMap<CListPage> map =
        MessageMap<CListPage>()
            .Notify(IDC_PV_LIST_TAB, TCN_SELCHANGE, &CListPage::OnSelchangeTab)
            .Command(IDC_PV_LIST_ADD, BN_CLICKED, &CListPage::OnAdd)
            .Command(IDC_PV_LIST_REMOVE, BN_CLICKED, &CListPage::OnRemove);
    return map.Dispatch(*this, message, wParam, lParam, result) ||
           CPage::OnMessage(message, wParam, lParam, result);
}

LRESULT CListPage::OnSelchangeTab(NMHDR*) {
    const int selection = static_cast<int>(::SendMessageA(m_tab, TCM_GETCURSEL, 0, 0));
    m_nCurTab = selection == 1 ? 1 : 0;
    FillList();
    return 0;
}

void CListPage::FillList() {
    HWND list = m_list.GetSafeHwnd();
    if (!list) return;
    const std::vector<std::string> entries = TheApp().m_data.Entries(CurrentKind());
    ::SendMessageA(list, WM_SETREDRAW, FALSE, 0);
    ::SendMessageA(list, LB_RESETCONTENT, 0, 0);
    for (const std::string& entry : entries) m_list.AddEntry(entry);
    ::SendMessageA(list, WM_SETREDRAW, TRUE, 0);
    ::InvalidateRect(list, nullptr, TRUE);
    UpdateHorizontalExtent(m_nCurTab);
}

void CListPage::UpdateHorizontalExtent(int tab) {
    HWND list = m_list.GetSafeHwnd();
    if (!list) return;
    const std::string longest = TheApp().m_data.Longest(tab == 0 ? ListKind::Prohibited : ListKind::Allowed);
    TEXTMETRICA tm{};
    SIZE size{};
    {
        WindowDC dc(list);
        if (!dc) return;
        SelectedObject font(dc.Get(), reinterpret_cast<HFONT>(::SendMessageA(list, WM_GETFONT, 0, 0)));
        ::GetTextMetricsA(dc.Get(), &tm);
        ::GetTextExtentPoint32A(dc.Get(), longest.data(), static_cast<int>(longest.size()), &size);
    }
    ::SendMessageA(list, LB_SETHORIZONTALEXTENT, static_cast<WPARAM>(size.cx + tm.tmAveCharWidth), 0);
}

void CListPage::OnAdd() {
    // Taken as typed: no trimming, no case change, duplicates allowed.
    const std::string text = WindowTextA(m_edit);
    if (text.empty()) return;
    const int index = m_list.AddEntry(text);
    if (TheApp().m_data.Append(CurrentKind(), text)) UpdateHorizontalExtent(m_nCurTab);
    if (index >= 0) ::SendMessageA(m_list.GetSafeHwnd(), LB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

void CListPage::OnRemove() {
    const int selection = m_list.Selection();
    if (selection == LB_ERR) return;
    const char* data = m_list.EntryText(selection);
    const std::string text = data ? data : "";
    TheApp().m_data.RemoveAll(CurrentKind(), text);
    ::SendMessageA(m_list.GetSafeHwnd(), LB_DELETESTRING, static_cast<WPARAM>(selection), 0);
}

} // namespace pv
