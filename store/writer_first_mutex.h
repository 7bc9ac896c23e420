// A reader/writer lock on which a waiting writer keeps new readers out. The lists are read on
// every navigation of every browser window, and a change (the settings dialog's OK, a save)
// must not wait for a moment when no window happens to be judging: the standard shared mutex
// may let readers that keep coming starve a writer. A reader pays one atomic load while no
// writer waits. Not recursive: a thread holding it shared must not take it again.
#pragma once

#include <atomic>
#include <shared_mutex>
#include <thread>

namespace pv {

class WriterFirstMutex {
public:
    void lock() {
        m_writersWaiting.fetch_add(1, std::memory_order_acq_rel);
        m_lock.lock();
        m_writersWaiting.fetch_sub(1, std::memory_order_release);
    }
    void unlock() { m_lock.unlock(); }

    void lock_shared() {
        while (m_writersWaiting.load(std::memory_order_acquire) != 0) std::this_thread::yield();
        m_lock.lock_shared();
    }
    void unlock_shared() { m_lock.unlock_shared(); }

private:
    std::shared_mutex m_lock;
    std::atomic<int> m_writersWaiting{0};
};

} // namespace pv
