// The "Lists" page: shows and edits the Prohibited and Allowed lists of the module's filter data
// in place, so that an added or removed address counts for the next navigation at once.
#pragma once

#include <windows.h>

#include "dialog/llist.h"
#include "dialog/page.h"
#include "store/data.h"

namespace pv {

class CListPage : public CPage {
public:
    CListPage();
    ~CListPage() override;

    // Rebuilds the list box from the list of the current tab.
    void FillList();
    // Sets the list box's horizontal scroll range from the longest entry of that tab's list.
    void UpdateHorizontalExtent(int tab);

    int CurrentTab() const { return m_nCurTab; }
    CLList& List() { return m_list; }

protected:
    BOOL OnInitDialog() override;
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

private:
    LRESULT OnSelchangeTab(NMHDR*);
    void OnAdd();
    void OnRemove();
    ListKind CurrentKind() const { return m_nCurTab == 0 ? ListKind::Prohibited : ListKind::Allowed; }

    HWND m_tab = nullptr;
    CLList m_list;
    int m_nCurTab = 0;
    HWND m_edit = nullptr;
};

} // namespace pv
