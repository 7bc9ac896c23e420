#include <gtest/gtest.h>

#include "guard/password_throttle.h"

namespace pv {
namespace {

using std::chrono::seconds;
using Clock = PasswordThrottle::Clock;

TEST(PasswordThrottle, FreeFailuresThenDoublingWaitsUpToTheCeilingAndASuccessStartsAfresh) {
    PasswordThrottle throttle;
    const Clock::time_point t0 = Clock::now();
    for (int i = 1; i < PasswordThrottle::kFreeFailures; ++i) {
        throttle.Failed(t0);
        EXPECT_EQ(throttle.Wait(t0), seconds(0)) << "failure " << i << " is free";
    }
    throttle.Failed(t0);
    EXPECT_EQ(throttle.Wait(t0), PasswordThrottle::kFirstWait);
    // Part of a second still to go is shown as a whole second, never as zero.
    EXPECT_EQ(throttle.Wait(t0 + PasswordThrottle::kFirstWait - std::chrono::milliseconds(300)), seconds(1));
    EXPECT_EQ(throttle.Wait(t0 + PasswordThrottle::kFirstWait), seconds(0));

    Clock::time_point t = t0 + seconds(10);
    throttle.Failed(t);
    EXPECT_EQ(throttle.Wait(t), 2 * PasswordThrottle::kFirstWait);
    for (int i = 0; i < 40; ++i) throttle.Failed(t);
    EXPECT_EQ(throttle.Wait(t), PasswordThrottle::kMaxWait);

    throttle.Succeeded();
    EXPECT_EQ(throttle.Wait(t), seconds(0));
    throttle.Failed(t);
    EXPECT_EQ(throttle.Wait(t), seconds(0)) << "counting starts again after a right answer";
}

} // namespace
} // namespace pv
