// Several browser threads judging while the settings dialog's thread edits the lists and the
// schedule. Runs under ThreadSanitizer in the native-tsan tree.
#include <atomic>
#include <barrier>
#include <thread>

#include "tests/support/verdict_fixture.h"

namespace pv::test {
namespace {

constexpr int kJudges = 4;

class VerdictThreads : public GuardFixture {
protected:
    void SetUp() override {
        GuardFixture::SetUp();
        Start();
        AnswerAlways("000");
    }
};

// Two schedules that both allow the present moment (a Monday noon): one switches the limitation
// off over rows that are all closed, the other limits to Monday's 11:00-13:00 for every day with no
// day enabled. Any mixture of the two (switches of one, rows of the other) refuses, so a torn read
// of the schedule shows as a refusal.
Schedule Unlimited() {
    Schedule s;
    s.bTimeLimit = 0;
    s.bCommonTime = 0;
    for (auto& row : s.rows) row = ScheduleEntry{0, 22, 0, 6, 0};
    return s;
}
Schedule CommonTime() {
    Schedule s;
    s.bTimeLimit = 1;
    s.bCommonTime = 1;
    s.rows[0] = ScheduleEntry{0, 11, 0, 13, 0};
    for (int i = 1; i < 7; ++i) s.rows[i] = ScheduleEntry{0, 0, 0, 0, 0};
    return s;
}

TEST_F(VerdictThreads, JudgingWhileListsAndScheduleChange) {
    Prohibit("http://always-bad.test/");
    Allow("http://always-good.test/");
    m_app->m_data.SetSchedule(Unlimited());

    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    std::atomic<int> judgesReady{0};
    std::thread editor([&] {
        while (judgesReady < kJudges) std::this_thread::yield();
        for (int round = 0; round < 1000; ++round) {
            m_app->m_data.Append(ListKind::Prohibited, "http://flicker.test/");
            m_app->m_data.Append(ListKind::Allowed, "http://flicker-" + std::to_string(round) + ".test/");
            m_app->m_data.SetSchedule(round % 2 ? Unlimited() : CommonTime());
            m_app->m_data.RemoveAll(ListKind::Prohibited, "http://flicker.test/");
            m_app->m_data.RemoveAll(ListKind::Allowed, "http://flicker-" + std::to_string(round) + ".test/");
        }
        stop = true;
    });
    std::vector<std::thread> judges;
    for (int t = 0; t < kJudges; ++t) {
        judges.emplace_back([&] {
            ++judgesReady;
            int iterations = 0;
            do {
                if (IsTimeAllowed(*m_app) != 1) ++wrong;
                if (Judge("http://always-bad.test/") != 0) ++wrong;
                if (Judge("http://always-good.test/") != 1) ++wrong;
                const int32_t flicker = Judge("http://flicker.test/");
                if (flicker != 0 && flicker != 1) ++wrong;
            } while (++iterations < 100 || !stop);
        });
    }
    editor.join();
    for (auto& j : judges) j.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_TRUE(m_fake.Boxes().empty());
    EXPECT_EQ(m_app->m_data.Count(ListKind::Prohibited), 1u);
    EXPECT_EQ(m_app->m_data.Count(ListKind::Allowed), 1u);
}

TEST_F(VerdictThreads, EachRaiseOfThePassFlagIsConsumedExactlyOnce) {
    // Outside the allowed time and on the Prohibited list: only the pass flag answers 1, whether it
    // is met by the schedule check or by the verdict.
    Prohibit("http://bad.test/");
    Schedule closed;
    closed.bTimeLimit = 1;
    m_app->m_data.SetSchedule(closed);

    constexpr int kRounds = 200;
    std::atomic<int> passes{0};
    std::atomic<int> roundsWithOnePass{0};
    std::barrier sync(kJudges, [&]() noexcept {
        // Runs on one thread between rounds: check the round just ended, raise for the next.
        if (passes.exchange(0) == 1) ++roundsWithOnePass;
        m_app->RaisePassOnce();
    });
    m_app->RaisePassOnce();
    std::vector<std::thread> judges;
    for (int t = 0; t < kJudges; ++t) {
        judges.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                passes += (t % 2) ? IsTimeAllowed(*m_app) : Judge("http://bad.test/");
                sync.arrive_and_wait();
            }
        });
    }
    for (auto& j : judges) j.join();
    EXPECT_EQ(roundsWithOnePass.load(), kRounds);
    EXPECT_TRUE(m_fake.Requests().empty());
    EXPECT_TRUE(m_app->PassOnceRaised()) << "the raise after the last round is still pending";
}

} // namespace
} // namespace pv::test
