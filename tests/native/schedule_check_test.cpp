#include <climits>

#include "tests/support/verdict_fixture.h"

namespace pv::test {
namespace {

// C weekday numbering, as the clock reports it.
enum Weekday { kSun = 0, kMon, kTue, kWed, kThu, kFri, kSat };

class ScheduleCheck : public GuardFixture {
protected:
    void SetUp() override {
        GuardFixture::SetUp();
        Start();
        m_schedule.bTimeLimit = 1;
    }

    void At(int weekday, int hour, int minute, int second = 0) {
        std::lock_guard lock(m_fake.mutex);
        m_fake.now = LocalTime{2026, 12, 6 + weekday, weekday, hour, minute, second};
    }
    static ScheduleEntry Row(int enabled, int fromH, int fromM, int toH, int toM) {
        return ScheduleEntry{enabled, fromH, fromM, toH, toM};
    }
    // Applies the schedule, asks once and checks that a refusal, and only a refusal, told the user.
    int32_t Check() {
        m_app->m_data.SetSchedule(m_schedule);
        const std::size_t before = m_fake.Boxes().size();
        const int32_t result = IsTimeAllowed(*m_app);
        const auto boxes = m_fake.Boxes();
        EXPECT_EQ(boxes.size(), before + (result ? 0 : 1));
        if (!result && boxes.size() == before + 1) {
            EXPECT_EQ(boxes.back().text, "You Internet operation time is limited at the moment!");
            EXPECT_EQ(boxes.back().caption, "Pathvigil");
            EXPECT_EQ(boxes.back().style, kMbOk | kMbIconExclamation);
        }
        return result;
    }

    Schedule m_schedule;
};

TEST_F(ScheduleCheck, WindowIsClosedAtBothEndsWithMinuteGrain) {
    m_schedule.rows[0] = Row(1, 8, 0, 17, 30);
    At(kMon, 7, 59, 59);
    EXPECT_EQ(Check(), 0);
    At(kMon, 8, 0, 0);
    EXPECT_EQ(Check(), 1);
    At(kMon, 12, 0);
    EXPECT_EQ(Check(), 1);
    At(kMon, 17, 30, 59);
    EXPECT_EQ(Check(), 1);
    At(kMon, 17, 31, 0);
    EXPECT_EQ(Check(), 0);
    At(kMon, 0, 0);
    EXPECT_EQ(Check(), 0);
}

TEST_F(ScheduleCheck, NoTimeLimitAllowsWhateverTheRowsHold) {
    m_schedule.bTimeLimit = 0; // every row disabled, times 00:00
    for (int day = kSun; day <= kSat; ++day) {
        At(day, 12, 0);
        EXPECT_EQ(Check(), 1);
    }
    {
        std::lock_guard lock(m_fake.mutex);
        m_fake.now.reset(); // the clock is not even needed
    }
    EXPECT_EQ(Check(), 1);
}

TEST_F(ScheduleCheck, EachDayUsesItsOwnRowMondayFirst) {
    // Row d allows only the hour d + 1, so the row used is visible in the answer.
    for (int row = 0; row < 7; ++row) m_schedule.rows[row] = Row(1, row + 1, 0, row + 1, 59);
    const int weekdays[7] = {kMon, kTue, kWed, kThu, kFri, kSat, kSun};
    for (int row = 0; row < 7; ++row) {
        for (int hour = 0; hour < 9; ++hour) {
            At(weekdays[row], hour, 30);
            EXPECT_EQ(Check(), hour == row + 1 ? 1 : 0) << "weekday " << weekdays[row] << " hour " << hour;
        }
    }
}

TEST_F(ScheduleCheck, DisabledDayIsRefusedAllDay) {
    m_schedule.rows[2] = Row(0, 0, 0, 23, 59);
    m_schedule.rows[1] = Row(1, 0, 0, 23, 59);
    At(kWed, 0, 0);
    EXPECT_EQ(Check(), 0);
    At(kWed, 12, 0);
    EXPECT_EQ(Check(), 0);
    At(kTue, 12, 0);
    EXPECT_EQ(Check(), 1);
}

TEST_F(ScheduleCheck, CommonTimeUsesMondaysTimesAndIgnoresEnabledFlags) {
    m_schedule.bCommonTime = 1;
    m_schedule.rows[0] = Row(0, 9, 0, 10, 0); // Monday itself not enabled
    for (int row = 1; row < 7; ++row) m_schedule.rows[row] = Row(1, 0, 0, 23, 59);
    for (int day = kSun; day <= kSat; ++day) {
        At(day, 9, 30);
        EXPECT_EQ(Check(), 1) << "weekday " << day;
        At(day, 12, 0);
        EXPECT_EQ(Check(), 0) << "weekday " << day << ": other rows' times do not count";
    }
}

TEST_F(ScheduleCheck, WindowEndingBeforeItStartsNeverOpens) {
    m_schedule.rows[0] = Row(1, 22, 0, 6, 0);
    for (int hour : {0, 3, 6, 12, 21, 22, 23}) {
        At(kMon, hour, 0);
        EXPECT_EQ(Check(), 0) << hour;
    }
}

TEST_F(ScheduleCheck, WindowOfOneMinute) {
    m_schedule.rows[0] = Row(1, 12, 0, 12, 0);
    At(kMon, 11, 59, 59);
    EXPECT_EQ(Check(), 0);
    At(kMon, 12, 0, 0);
    EXPECT_EQ(Check(), 1);
    At(kMon, 12, 0, 59);
    EXPECT_EQ(Check(), 1);
    At(kMon, 12, 1, 0);
    EXPECT_EQ(Check(), 0);
}

TEST_F(ScheduleCheck, FailedPickerValuesTakePartInTheArithmetic) {
    m_schedule.rows[0] = Row(1, 0, 0, -1, -1); // an end of -1:-1 closes the day
    At(kMon, 0, 0);
    EXPECT_EQ(Check(), 0);
    m_schedule.rows[0] = Row(1, -1, -1, 0, 0); // a start of -1:-1 opens it from midnight
    EXPECT_EQ(Check(), 1);
    At(kMon, 0, 1);
    EXPECT_EQ(Check(), 0);
}

TEST_F(ScheduleCheck, ExtremeStoredValuesDoNotOverflow) {
    // pv.dat may hold any 32-bit values; the comparison is done in 64 bits.
    m_schedule.rows[0] = Row(1, INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX);
    At(kMon, 23, 59);
    EXPECT_EQ(Check(), 1);
    m_schedule.rows[0] = Row(1, INT32_MAX, INT32_MAX, INT32_MIN, INT32_MIN);
    EXPECT_EQ(Check(), 0);
    m_schedule.rows[0] = Row(INT32_MIN, 0, 0, 23, 59); // any nonzero enables
    EXPECT_EQ(Check(), 1);
}

TEST_F(ScheduleCheck, PassFlagLetsOneCallThroughSilently) {
    m_schedule.rows[0] = Row(0, 0, 0, 0, 0);
    m_app->m_data.SetSchedule(m_schedule);
    At(kMon, 12, 0);
    m_app->RaisePassOnce();
    EXPECT_EQ(IsTimeAllowed(*m_app), 1);
    EXPECT_TRUE(m_fake.Boxes().empty());
    EXPECT_FALSE(m_app->PassOnceRaised());
    EXPECT_EQ(Check(), 0);

    // Consumed here, the flag no longer saves a prohibited address from the verdict.
    m_app->RaisePassOnce();
    m_app->m_data.Append(ListKind::Prohibited, "http://bad.test/");
    m_schedule.bTimeLimit = 0;
    EXPECT_EQ(Check(), 1);
    EXPECT_EQ(Judge("http://bad.test/"), 0);
}

TEST_F(ScheduleCheck, BrokenClockRefuses) {
    m_schedule.rows[0] = Row(1, 0, 0, 23, 59);
    {
        std::lock_guard lock(m_fake.mutex);
        m_fake.now.reset();
    }
    EXPECT_EQ(Check(), 0);

    // A breakdown outside any real calendar is no better than none.
    At(7, 12, 0);
    EXPECT_EQ(Check(), 0);
    At(-1, 12, 0);
    EXPECT_EQ(Check(), 0);
    At(kMon, 24, 0);
    EXPECT_EQ(Check(), 0);
    At(kMon, 12, 60);
    EXPECT_EQ(Check(), 0);
    At(kMon, 12, 0);
    EXPECT_EQ(Check(), 1);
}

} // namespace
} // namespace pv::test
