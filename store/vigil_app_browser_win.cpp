// The current browser: the window whose guard connected most recently. Kept apart from the
// portable module state because it is a COM reference.
#include <windows.h>
#include <exdisp.h>

#include "platform/com_ptr.h"
#include "store/vigil_app.h"

namespace pv {

struct CVigilApp::BrowserSlot {
    std::mutex lock;
    ComPtr<IWebBrowser2> browser;
};

CVigilApp::BrowserSlot* CVigilApp::NewBrowserSlot() { return new BrowserSlot; }

void CVigilApp::BrowserSlotDelete::operator()(BrowserSlot* slot) const noexcept { delete slot; }

ComPtr<IWebBrowser2> CVigilApp::CurrentBrowser() const {
    std::lock_guard lock(m_currentBrowser->lock);
    return m_currentBrowser->browser;
}

void CVigilApp::SetCurrentBrowser(IWebBrowser2* browser) {
    ComPtr<IWebBrowser2> incoming(browser);
    {
        std::lock_guard lock(m_currentBrowser->lock);
        m_currentBrowser->browser.Swap(incoming);
    }
    // The previous browser's reference is released here, outside the lock: its Release may run
    // arbitrary browser code.
}

} // namespace pv
