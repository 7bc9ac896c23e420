// The current browser: the window whose guard connected most recently. Kept apart from the
// portable module state because it is a COM reference.
#include <windows.h>
#include <exdisp.h>

#include "store/vigil_app.h"

namespace pv {

ComPtr<IWebBrowser2> CVigilApp::CurrentBrowser() const {
    std::lock_guard lock(m_browserLock);
    return m_spCurrentBrowser;
}

void CVigilApp::SetCurrentBrowser(IWebBrowser2* browser) {
    ComPtr<IWebBrowser2> incoming(browser);
    {
        std::lock_guard lock(m_browserLock);
        m_spCurrentBrowser.Swap(incoming);
    }
    // The previous browser's reference is released here, outside the lock: its Release may run
    // arbitrary browser code.
}

} // namespace pv
