#include "dialog/llist.h"

#include <exdisp.h>
#include <mbstring.h>
#include <oleauto.h>
#include <windowsx.h>

#include <cstring>
#include <string_view>

#include "dialog/hand_cursor.h"
#include "dialog/message_map.h"
#include "platform/com_ptr.h"
#include "platform/handles_win.h"
#include "resources/resource.h"
#include "store/vigil_app.h"

namespace pv {

namespace {

const char* ItemText(ULONG_PTR data) { return data ? reinterpret_cast<const char*>(data) : ""; }

} // namespace

bool OpenInNewBrowserWindow(const std::string& address) {
    ComPtr<IWebBrowser2> browser = TheApp().CurrentBrowser();
    if (!browser) return false;
    std::optional<WideString> wide = TheApp().GetPlatform().AnsiToWide(address);
    if (!wide) return false;
    Variant url{std::u16string_view(*wide)};
    if (url.Type() != VT_BSTR) return false;
    Variant flags;
    Variant target(u"_BLANK");
    Variant postData;
    Variant headers;
    browser->Navigate2(url.Get(), flags.Get(), target.Get(), postData.Get(), headers.Get());
    return true;
}

CLList::~CLList() { Unsubclass(); }

int CLList::AddEntry(const std::string& text) {
    HWND hwnd = GetSafeHwnd();
    if (!hwnd) return LB_ERR;
    auto copy = std::make_unique<char[]>(text.size() + 1);
    std::memcpy(copy.get(), text.c_str(), text.size() + 1);
    const char* key = copy.get();
    m_copies.emplace(key, std::move(copy));
    const LRESULT index = ::SendMessageA(hwnd, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(key));
    // An item the list box refused never refers to its copy.
    if (index < 0) m_copies.erase(key);
    return static_cast<int>(index);
}

const char* CLList::EntryText(int index) const {
    HWND hwnd = GetSafeHwnd();
    if (!hwnd || index < 0 || index >= Count()) return nullptr;
    const LRESULT data = ::SendMessageA(hwnd, LB_GETITEMDATA, static_cast<WPARAM>(index), 0);
    if (data == LB_ERR) return nullptr;
    return ItemText(static_cast<ULONG_PTR>(data));
}

int CLList::Count() const {
    HWND hwnd = GetSafeHwnd();
    return hwnd ? static_cast<int>(::SendMessageA(hwnd, LB_GETCOUNT, 0, 0)) : 0;
}

int CLList::Selection() const {
    HWND hwnd = GetSafeHwnd();
    return hwnd ? static_cast<int>(::SendMessageA(hwnd, LB_GETCURSEL, 0, 0)) : LB_ERR;
}

void CLList::Release(ULONG_PTR itemData) {
    if (itemData) m_copies.erase(reinterpret_cast<const char*>(itemData));
}

bool CLList::OnControlMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
    static const MessageMap<CLList> map = MessageMap<CLList>()
                                              .Message(WM_MOUSEMOVE, &CLList::OnMouseMove)
                                              .Message(WM_LBUTTONDBLCLK, &CLList::OnLButtonDblClk)
                                              .Message(LB_DELETESTRING, &CLList::OnDeleteString)
                                              .Message(LB_RESETCONTENT, &CLList::OnResetContent);
    return map.Dispatch(*this, message, wParam, lParam, result);
}

bool CLList::OnReflected(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
    static const MessageMap<CLList> map = MessageMap<CLList>()
                                              .Reflected(WM_DRAWITEM, &CLList::DrawItem)
                                              .Reflected(WM_COMPAREITEM, &CLList::CompareItem)
                                              .Reflected(WM_DELETEITEM, &CLList::OnDeleteItem);
    return map.DispatchReflected(*this, message, wParam, lParam, result);
}

void CLList::OnDestroying() { m_copies.clear(); }

LRESULT CLList::OnDeleteString(WPARAM wParam, LPARAM lParam) {
    const LRESULT data = ::SendMessageA(GetSafeHwnd(), LB_GETITEMDATA, wParam, 0);
    const LRESULT result = Default(LB_DELETESTRING, wParam, lParam);
    if (result != LB_ERR && data != LB_ERR) Release(static_cast<ULONG_PTR>(data));
    return result;
}

LRESULT CLList::OnResetContent(WPARAM wParam, LPARAM lParam) {
    const LRESULT result = Default(LB_RESETCONTENT, wParam, lParam);
    m_copies.clear();
    return result;
}

// The list box announces every item that leaves it; its copy goes with it.
LRESULT CLList::OnDeleteItem(WPARAM, LPARAM lParam) {
    auto* s = reinterpret_cast<const DELETEITEMSTRUCT*>(lParam);
    if (s) Release(s->itemData);
    return TRUE;
}

LRESULT CLList::DrawItem(WPARAM, LPARAM lParam) {
    auto* s = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
    // An empty list box asks for its focus rectangle with no item; there is no text to draw.
    if (s && s->itemID != static_cast<UINT>(-1)) {
        HDC dc = s->hDC;
        const COLORREF oldText = ::GetTextColor(dc);
        const COLORREF oldBack = ::GetBkColor(dc);
        ::SetTextColor(dc, kEntryColour);
        const COLORREF fill = (s->itemState & ODS_SELECTED) ? ::GetSysColor(COLOR_HIGHLIGHT) : oldBack;
        ::SetBkColor(dc, fill);
        RECT rc = s->rcItem;
        ::ExtTextOutA(dc, 0, 0, ETO_OPAQUE, &rc, nullptr, 0, nullptr);
        // DT_NOPREFIX: addresses contain '&', which must be shown, not turned into an underline.
        ::DrawTextA(dc, ItemText(s->itemData), -1, &rc, DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX);
        ::SetTextColor(dc, oldText);
        ::SetBkColor(dc, oldBack);
    }
    HWND hwnd = GetSafeHwnd();
    if (HWND remove = ::GetDlgItem(::GetParent(hwnd), IDC_PV_LIST_REMOVE)) {
        ::EnableWindow(remove, ::SendMessageA(hwnd, LB_GETCURSEL, 0, 0) != LB_ERR);
    }
    return TRUE;
}

// Ascending, case-sensitive order of the ANSI code page (capitals before small letters).
LRESULT CLList::CompareItem(WPARAM, LPARAM lParam) {
    auto* s = reinterpret_cast<const COMPAREITEMSTRUCT*>(lParam);
    if (!s) return 0;
    const int c = ::_mbscmp(reinterpret_cast<const unsigned char*>(ItemText(s->itemData1)),
                            reinterpret_cast<const unsigned char*>(ItemText(s->itemData2)));
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

LRESULT CLList::OnMouseMove(WPARAM wParam, LPARAM lParam) {
    HWND hwnd = GetSafeHwnd();
    if (HCURSOR hand = HandCursor()) {
        const LRESULT hit = ::SendMessageA(hwnd, LB_ITEMFROMPOINT, 0, lParam);
        const int index = LOWORD(hit);
        RECT rc;
        const POINT pt{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
        if (index < Count() &&
            ::SendMessageA(hwnd, LB_GETITEMRECT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&rc)) !=
                LB_ERR &&
            ::PtInRect(&rc, pt)) {
            ::SetCursor(hand);
        }
    }
    return Default(WM_MOUSEMOVE, wParam, lParam);
}

LRESULT CLList::OnLButtonDblClk(WPARAM wParam, LPARAM lParam) {
    const int selection = Selection();
    if (selection != LB_ERR) {
        if (const char* text = EntryText(selection)) OpenInNewBrowserWindow(text);
    }
    return Default(WM_LBUTTONDBLCLK, wParam, lParam);
}

} // namespace pv
