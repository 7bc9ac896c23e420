// Time-of-day values of the Schedule page's date-and-time pickers, through the C runtime's local
// time, as the schedule is stored: hour and minute of a day.
#pragma once

#include <windows.h>

namespace pv {

struct TimeOfDay {
    int hour = -1;
    int minute = -1;
};

// 1 January 2000, hour:minute:00 in local time, as the picker's date and time. Values outside
// 0-23 and 0-59 are normalised by the local-time conversion into another time of day (25:00 shows
// 1:00, -1:00 shows 23:00); a value no conversion can represent shows 0:00.
SYSTEMTIME ScheduleTimeToSystemTime(int hour, int minute);
bool SetPickerTime(HWND picker, int hour, int minute);

// The picker's time taken as a calendar time in local time and broken down again; hour and
// minute are -1 where the picker has no valid time or the breakdown fails.
TimeOfDay SystemTimeToScheduleTime(const SYSTEMTIME& time);
TimeOfDay ReadPickerTime(HWND picker);

} // namespace pv
