#include "dialog/page.h"

#include <vector>

namespace pv {

void CPage::OnOK() {
    if (HWND parent = ::GetParent(GetSafeHwnd())) ::SendNotifyMessageA(parent, WM_COMMAND, IDOK, 1);
}

void CPage::OnCancel() {
    if (HWND parent = ::GetParent(GetSafeHwnd())) ::SendNotifyMessageA(parent, WM_COMMAND, IDCANCEL, 0);
}

std::string WindowTextA(HWND hwnd) {
    if (!hwnd) return {};
    const int length = ::GetWindowTextLengthA(hwnd);
    if (length <= 0) return {};
    std::vector<char> buffer(static_cast<size_t>(length) + 1, '\0');
    const int got = ::GetWindowTextA(hwnd, buffer.data(), length + 1);
    return std::string(buffer.data(), got > 0 ? static_cast<size_t>(got) : 0);
}

} // namespace pv
