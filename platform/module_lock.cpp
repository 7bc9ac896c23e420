#include "platform/module_lock.h"

#include <atomic>

namespace pv {

namespace {
std::atomic<long> g_locks{0};
}

void ModuleLock() { g_locks.fetch_add(1, std::memory_order_relaxed); }
void ModuleUnlock() { g_locks.fetch_sub(1, std::memory_order_relaxed); }
long ModuleLockCount() { return g_locks.load(std::memory_order_relaxed); }

} // namespace pv
