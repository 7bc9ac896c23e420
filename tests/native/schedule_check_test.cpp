#include <climits>

#include "tests/support/verdict_fixture.h"

namespace pv::test {
namespace {

// C weekday numbering, as the clock reports it.
enum Weekday { Sun = 0, Mon, Tue, Wed, Thu, Fri, Sat };

class ScheduleCheck : public GuardFixture {
protected:
    void SetUp() override {
        GuardFixture::SetUp();
        Start();
        schedule.bTimeLimit = 1;
    }

    void At(int weekday, int hour, int minute, int second = 0) {
        std::lock_guard lock(fake.mutex);
        fake.now = LocalTime{2026, 12, 6 + weekday, weekday, hour, minute, second};
    }
    static ScheduleEntry Row(int enabled, int fromH, int fromM, int toH, int toM) {
        return ScheduleEntry{enabled, fromH, fromM, toH, toM};
    }
    // Applies the schedule, asks once and checks that a refusal, and only a refusal, told the user.
    int32_t Check() {
        app->m_data.SetSchedule(schedule);
        const std::size_t before = fake.Boxes().size();
        const int32_t result = IsTimeAllowed(*app);
        const auto boxes = fake.Boxes();
        EXPECT_EQ(boxes.size(), before + (result ? 0 : 1));
        if (!result && boxes.size() == before + 1) {
            EXPECT_EQ(boxes.back().text, "You Internet operation time is limited at the moment!");
            EXPECT_EQ(boxes.back().caption, "Pathvigil");
            EXPECT_EQ(boxes.back().style, kMbOk | kMbIconExclamation);
        }
        return result;
    }

    Schedule schedule;
};

TEST_F(ScheduleCheck, WindowIsClosedAtBothEndsWithMinuteGrain) {
    schedule.rows[0] = Row(1, 8, 0, 17, 30);
    At(Mon, 7, 59, 59);
    EXPECT_EQ(Check(), 0);
    At(Mon, 8, 0, 0);
    EXPECT_EQ(Check(), 1);
    At(Mon, 12, 0);
    EXPECT_EQ(Check(), 1);
    At(Mon, 17, 30, 59);
    EXPECT_EQ(Check(), 1);
    At(Mon, 17, 31, 0);
    EXPECT_EQ(Check(), 0);
    At(Mon, 0, 0);
    EXPECT_EQ(Check(), 0);
}

TEST_F(ScheduleCheck, NoTimeLimitAllowsWhateverTheRowsHold) {
    schedule.bTimeLimit = 0;   // every row disabled, times 00:00
    for (int day = Sun; day <= Sat; ++day) {
        At(day, 12, 0);
        EXPECT_EQ(Check(), 1);
    }
    {
        std::lock_guard lock(fake.mutex);
        fake.now.reset();   // the clock is not even needed
    }
    EXPECT_EQ(Check(), 1);
}

TEST_F(ScheduleCheck, EachDayUsesItsOwnRowMondayFirst) {
    // Row d allows only the hour d + 1, so the row used is visible in the answer.
    for (int row = 0; row < 7; ++row) schedule.rows[row] = Row(1, row + 1, 0, row + 1, 59);
    const int weekdays[7] = {Mon, Tue, Wed, Thu, Fri, Sat, Sun};
    for (int row = 0; row < 7; ++row) {
        for (int hour = 0; hour < 9; ++hour) {
            At(weekdays[row], hour, 30);
            EXPECT_EQ(Check(), hour == row + 1 ? 1 : 0) << "weekday " << weekdays[row] << " hour " << hour;
        }
    }
}

TEST_F(ScheduleCheck, DisabledDayIsRefusedAllDay) {
    schedule.rows[2] = Row(0, 0, 0, 23, 59);
    schedule.rows[1] = Row(1, 0, 0, 23, 59);
    At(Wed, 0, 0);
    EXPECT_EQ(Check(), 0);
    At(Wed, 12, 0);
    EXPECT_EQ(Check(), 0);
    At(Tue, 12, 0);
    EXPECT_EQ(Check(), 1);
}

TEST_F(ScheduleCheck, CommonTimeUsesMondaysTimesAndIgnoresEnabledFlags) {
    schedule.bCommonTime = 1;
    schedule.rows[0] = Row(0, 9, 0, 10, 0);        // Monday itself not enabled
    for (int row = 1; row < 7; ++row) schedule.rows[row] = Row(1, 0, 0, 23, 59);
    for (int day = Sun; day <= Sat; ++day) {
        At(day, 9, 30);
        EXPECT_EQ(Check(), 1) << "weekday " << day;
        At(day, 12, 0);
        EXPECT_EQ(Check(), 0) << "weekday " << day << ": other rows' times do not count";
    }
}

TEST_F(ScheduleCheck, WindowEndingBeforeItStartsNeverOpens) {
    schedule.rows[0] = Row(1, 22, 0, 6, 0);
    for (int hour : {0, 3, 6, 12, 21, 22, 23}) {
        At(Mon, hour, 0);
        EXPECT_EQ(Check(), 0) << hour;
    }
}

TEST_F(ScheduleCheck, WindowOfOneMinute) {
    schedule.rows[0] = Row(1, 12, 0, 12, 0);
    At(Mon, 11, 59, 59);
    EXPECT_EQ(Check(), 0);
    At(Mon, 12, 0, 0);
    EXPECT_EQ(Check(), 1);
    At(Mon, 12, 0, 59);
    EXPECT_EQ(Check(), 1);
    At(Mon, 12, 1, 0);
    EXPECT_EQ(Check(), 0);
}

TEST_F(ScheduleCheck, FailedPickerValuesTakePartInTheArithmetic) {
    schedule.rows[0] = Row(1, 0, 0, -1, -1);   // an end of -1:-1 closes the day
    At(Mon, 0, 0);
    EXPECT_EQ(Check(), 0);
    schedule.rows[0] = Row(1, -1, -1, 0, 0);   // a start of -1:-1 opens it from midnight
    EXPECT_EQ(Check(), 1);
    At(Mon, 0, 1);
    EXPECT_EQ(Check(), 0);
}

TEST_F(ScheduleCheck, ExtremeStoredValuesDoNotOverflow) {
    // pv.dat may hold any 32-bit values; the comparison is done in 64 bits.
    schedule.rows[0] = Row(1, INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX);
    At(Mon, 23, 59);
    EXPECT_EQ(Check(), 1);
    schedule.rows[0] = Row(1, INT32_MAX, INT32_MAX, INT32_MIN, INT32_MIN);
    EXPECT_EQ(Check(), 0);
    schedule.rows[0] = Row(INT32_MIN, 0, 0, 23, 59);   // any nonzero enables
    EXPECT_EQ(Check(), 1);
}

TEST_F(ScheduleCheck, PassFlagLetsOneCallThroughSilently) {
    schedule.rows[0] = Row(0, 0, 0, 0, 0);
    app->m_data.SetSchedule(schedule);
    At(Mon, 12, 0);
    app->RaisePassOnce();
    EXPECT_EQ(IsTimeAllowed(*app), 1);
    EXPECT_TRUE(fake.Boxes().empty());
    EXPECT_FALSE(app->PassOnceRaised());
    EXPECT_EQ(Check(), 0);

    // Consumed here, the flag no longer saves a prohibited address from the verdict.
    app->RaisePassOnce();
    app->m_data.Append(ListKind::Prohibited, "http://bad.test/");
    schedule.bTimeLimit = 0;
    EXPECT_EQ(Check(), 1);
    EXPECT_EQ(Judge("http://bad.test/"), 0);
}

TEST_F(ScheduleCheck, BrokenClockRefuses) {
    schedule.rows[0] = Row(1, 0, 0, 23, 59);
    {
        std::lock_guard lock(fake.mutex);
        fake.now.reset();
    }
    EXPECT_EQ(Check(), 0);

    // A breakdown outside any real calendar is no better than none.
    At(7, 12, 0);
    EXPECT_EQ(Check(), 0);
    At(-1, 12, 0);
    EXPECT_EQ(Check(), 0);
    At(Mon, 24, 0);
    EXPECT_EQ(Check(), 0);
    At(Mon, 12, 60);
    EXPECT_EQ(Check(), 0);
    At(Mon, 12, 0);
    EXPECT_EQ(Check(), 1);
}

} // namespace
} // namespace pv::test
