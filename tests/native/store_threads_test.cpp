// Readers judging addresses while the dialog's thread edits the lists and saves: answers for
// entries nobody touches never waver, and nothing tears (this suite also runs under TSan).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "store/data.h"
#include "store/file_error.h"
#include "tests/support/fake_platform.h"

namespace pv {
namespace {

TEST(DataThreads, ReadersSeeStableAnswersWhileListsChangeAndSave) {
    test::FakePlatform fake;
    CData d;
    d.Load(fake);
    d.Append(ListKind::Prohibited, "http://always-bad.test/");
    d.Append(ListKind::Allowed, "http://always-good.test/");

    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&] {
            while (!stop.load()) {
                if (d.Classify("http://always-bad.test/") != Listed::Prohibited) ++wrong;
                if (d.Classify("http://always-good.test/") != Listed::Allowed) ++wrong;
                d.Classify("http://churn7.test/");
                Schedule s = d.GetSchedule();
                if (s.rows[0].nFromHour != s.rows[0].nToHour) ++wrong; // written as one unit
                if (d.Count(ListKind::Allowed) == 0) ++wrong;
            }
        });
    }
    for (int i = 0; i < 2000; ++i) {
        const std::string churn = "http://churn" + std::to_string(i % 50) + ".test/";
        d.Append(i % 2 ? ListKind::Prohibited : ListKind::Allowed, churn);
        if (i % 3 == 0) d.RemoveAll(ListKind::Prohibited, churn);
        Schedule s;
        s.rows[0].nFromHour = s.rows[0].nToHour = i % 24;
        d.SetSchedule(s);
        if (i % 200 == 0) d.Save(fake);
    }
    stop = true;
    for (auto& r : readers) r.join();
    EXPECT_EQ(wrong.load(), 0);

    CData back;
    back.Load(fake);
    EXPECT_EQ(back.Classify("http://always-bad.test/"), Listed::Prohibited);
}

} // namespace
} // namespace pv
