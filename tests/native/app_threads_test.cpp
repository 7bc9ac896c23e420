// The module state shared by several browser threads at once.
#include <gtest/gtest.h>

#include <barrier>
#include <set>

#include "tests/support/app_fixture.h"

namespace pv::test {
namespace {

constexpr int kThreads = 6;

class AppThreads : public ::testing::Test {
protected:
    void SetUp() override {
        m_app = std::make_unique<CVigilApp>(m_fake);
        ASSERT_TRUE(m_app->Startup());
    }
    // Runs body(i) on kThreads threads released together.
    template <class Body>
    void RunTogether(Body body) {
        std::barrier start(kThreads);
        std::vector<std::jthread> threads;
        for (int i = 0; i < kThreads; ++i)
            threads.emplace_back([&, i] {
                start.arrive_and_wait();
                body(i);
            });
    }
    RecordingPlatform m_fake;
    std::unique_ptr<CVigilApp> m_app;
};

TEST_F(AppThreads, ExactlyOneThreadTakesTheFirstRun) {
    std::atomic<int> winners{0};
    RunTogether([&](int) {
        if (m_app->TakeFirstRun()) ++winners;
    });
    EXPECT_EQ(winners.load(), 1);
    EXPECT_EQ(m_fake.Writes(), 1);
    EXPECT_EQ(m_app->First(), 1u);
}

TEST_F(AppThreads, EachRaiseOfThePassFlagIsConsumedExactlyOnce) {
    constexpr int kRounds = 300;
    std::atomic<int> consumed{0};
    std::barrier round(kThreads + 1);
    std::vector<std::jthread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&] {
            for (int r = 0; r < kRounds; ++r) {
                round.arrive_and_wait(); // the flag has been raised
                if (m_app->ConsumePassOnce()) ++consumed;
                round.arrive_and_wait(); // everybody has tried
            }
        });
    int wrong = 0;
    for (int r = 0; r < kRounds; ++r) {
        consumed = 0;
        m_app->RaisePassOnce();
        round.arrive_and_wait();
        round.arrive_and_wait();
        if (consumed.load() != 1) ++wrong;
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_FALSE(m_app->PassOnceRaised());
}

TEST_F(AppThreads, ThreadsArrivingTogetherShareOneSession) {
    m_fake.openDelay = std::chrono::milliseconds(20);
    std::vector<InternetHandle> seen(kThreads);
    RunTogether([&](int i) { seen[i] = m_app->Session(); });
    EXPECT_EQ(m_fake.sessionOpens, 1);
    EXPECT_EQ(std::set<InternetHandle>(seen.begin(), seen.end()).size(), 1u);
    EXPECT_NE(seen[0], nullptr);
}

TEST_F(AppThreads, SettingsReadWhileWrittenAreAlwaysWholeValues) {
    const std::string a(300, 'a'), b(200, 'b');
    std::atomic<int> torn{0};
    RunTogether([&](int i) {
        for (int n = 0; n < 200; ++n) {
            if (i % 2) {
                m_app->StoreName(n % 2 ? a : b);
                m_app->StoreCheckURL(n % 2 ? b : a);
            } else {
                std::string name = m_app->Name(), url = m_app->CheckURL();
                for (const std::string* s : {&name, &url})
                    if (!s->empty() && *s != a && *s != b) ++torn;
            }
        }
    });
    EXPECT_EQ(torn.load(), 0);
}

} // namespace
} // namespace pv::test
