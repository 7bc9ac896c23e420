#include "guard/schedule_check.h"

#include "store/vigil_app.h"

namespace pv {

namespace {

// Seconds from midnight of a schedule time; 64-bit so that any stored pair of integers, including
// the -1 a failed picker leaves behind, takes part in the comparison without overflow.
int64_t SecondsOfDay(int32_t hour, int32_t minute) {
    return static_cast<int64_t>(hour) * 3600 + static_cast<int64_t>(minute) * 60;
}

bool Plausible(const LocalTime& t) {
    return t.weekday >= 0 && t.weekday <= 6 && t.hour >= 0 && t.hour <= 23 && t.minute >= 0 && t.minute <= 59;
}

} // namespace

bool ScheduleAllows(const Schedule& schedule, const std::optional<LocalTime>& now) {
    if (!schedule.bTimeLimit) return true;
    if (!now || !Plausible(*now)) return false;
    const ScheduleEntry* row = nullptr;
    if (schedule.bCommonTime) {
        row = &schedule.rows[0]; // Monday's times for every day; no enabled flag counts
    } else {
        const int day = now->weekday == 0 ? 6 : now->weekday - 1; // Monday 0 .. Sunday 6
        if (schedule.rows[day].bEnabled) row = &schedule.rows[day];
    }
    if (!row) return false;
    const int64_t moment = SecondsOfDay(now->hour, now->minute); // seconds dropped
    return SecondsOfDay(row->nFromHour, row->nFromMinute) <= moment &&
           moment <= SecondsOfDay(row->nToHour, row->nToMinute);
}

int32_t IsTimeAllowed(CVigilApp& app) {
    if (app.ConsumePassOnce()) return 1;
    // One snapshot: the settings dialog may be replacing the schedule on another thread.
    const Schedule schedule = app.m_data.GetSchedule();
    if (!schedule.bTimeLimit) return 1;
    // The clock is read only for a limiting schedule. The guard's following redirection passes
    // on the pass flag, so a refusal cannot loop.
    if (ScheduleAllows(schedule, app.GetPlatform().LocalNow())) return 1;
    app.ShowMessage(kTimeLimitMessage);
    return 0;
}

} // namespace pv
