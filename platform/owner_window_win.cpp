#include "platform/owner_window_win.h"

#include <atomic>

namespace pv {

namespace {
std::atomic<DWORD> g_moduleThread{0};
} // namespace

void RecordModuleThread(DWORD threadId) { g_moduleThread.store(threadId, std::memory_order_release); }

DWORD ModuleThread() { return g_moduleThread.load(std::memory_order_acquire); }

HWND FindModuleOwnerWindow() {
    const DWORD loader = ModuleThread();
    if (loader == 0 || loader != ::GetCurrentThreadId()) return nullptr;
    // GetActiveWindow answers for the calling thread's queue only, which is why the rule is
    // limited to the loading thread.
    HWND active = ::GetActiveWindow();
    if (!active) return nullptr;
    return ::GetLastActivePopup(active);
}

} // namespace pv
