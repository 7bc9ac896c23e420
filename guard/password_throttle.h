// Slows down guessing of the settings password: the first few wrong answers cost nothing, after
// that each one makes the next attempt wait twice as long as the one before, up to a ceiling. A
// right answer starts afresh. One per process, shared by every browser window's thread.
#pragma once

#include <chrono>
#include <mutex>

namespace pv {

class PasswordThrottle {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kFreeFailures = 3;
    static constexpr std::chrono::seconds kFirstWait{5};
    static constexpr std::chrono::seconds kMaxWait{300};

    // How long until the next attempt may be made; zero when it may be made now.
    std::chrono::seconds Wait(Clock::time_point now) const;
    void Failed(Clock::time_point now);
    void Succeeded();

private:
    mutable std::mutex m_lock;
    int m_failures = 0;
    Clock::time_point m_until{};
};

} // namespace pv
