// The owner-drawn list box of the Lists page: a sorted column of blue entries that look like
// links, with the hand cursor over them; a double-click opens the entry in a new browser window.
//
// The list box keeps no strings: each item's data is a pointer to a private copy of its text.
// The copies belong to this object and are freed as their items leave the list box (deletion,
// reset, destruction of the window).
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <unordered_map>

#include "dialog/subclassed_control.h"

namespace pv {

class CLList : public CSubclassedControl {
public:
    static constexpr COLORREF kEntryColour = 0x00FF0000; // blue

    CLList() = default;
    ~CLList() override;

    // Adds an item holding a copy of text; the list box places it by CompareItem.
    // Returns its index, or a negative value (LB_ERR, LB_ERRSPACE) on failure.
    int AddEntry(const std::string& text);
    // The text of an item (null for an index out of range).
    const char* EntryText(int index) const;
    int Count() const;
    int Selection() const;
    // How many private copies are alive (every one of them belongs to an item in the list box).
    size_t CopyCount() const { return m_copies.size(); }

protected:
    bool OnControlMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;
    bool OnReflected(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;
    void OnDestroying() override;

private:
    LRESULT OnMouseMove(WPARAM, LPARAM);
    LRESULT OnLButtonDblClk(WPARAM, LPARAM);
    LRESULT OnDeleteString(WPARAM, LPARAM);
    LRESULT OnResetContent(WPARAM, LPARAM);
    LRESULT DrawItem(WPARAM, LPARAM);
    LRESULT CompareItem(WPARAM, LPARAM);
    LRESULT OnDeleteItem(WPARAM, LPARAM);

    void Release(ULONG_PTR itemData);

    std::unordered_map<const char*, std::unique_ptr<char[]>> m_copies;
};

// Opens the address in a new window of the module's current browser ("_BLANK" target).
// Returns false when there is no browser or the address cannot be converted.
bool OpenInNewBrowserWindow(const std::string& address);

} // namespace pv
