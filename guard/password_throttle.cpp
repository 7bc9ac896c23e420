#include "guard/password_throttle.h"

namespace pv {

std::chrono::seconds PasswordThrottle::Wait(Clock::time_point now) const {
    std::lock_guard<std::mutex> lock(m_lock);
    if (now >= m_until) return std::chrono::seconds(0);
    // Rounded up: "0 seconds" must never be shown while attempts are still refused.
    return std::chrono::ceil<std::chrono::seconds>(m_until - now);
}

void PasswordThrottle::Failed(Clock::time_point now) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_failures < 1000) ++m_failures;
    if (m_failures < kFreeFailures) return;
    std::chrono::seconds wait = kFirstWait;
    for (int i = kFreeFailures; i < m_failures && wait < kMaxWait; ++i) wait *= 2;
    if (wait > kMaxWait) wait = kMaxWait;
    m_until = now + wait;
}

void PasswordThrottle::Succeeded() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_failures = 0;
    m_until = Clock::time_point{};
}

} // namespace pv
