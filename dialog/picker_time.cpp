#include "dialog/picker_time.h"

#include <commctrl.h>

#include <ctime>

namespace pv {

namespace {

bool Breakdown(__time64_t t, std::tm& out) { return t != -1 && ::_localtime64_s(&out, &t) == 0; }

} // namespace

SYSTEMTIME ScheduleTimeToSystemTime(int hour, int minute) {
    std::tm in{};
    in.tm_year = 2000 - 1900;
    in.tm_mon = 0;
    in.tm_mday = 1;
    in.tm_hour = hour;
    in.tm_min = minute;
    in.tm_sec = 0;
    in.tm_isdst = -1; // daylight saving as the local-time conversion sees it

    std::tm local{};
    if (!Breakdown(::_mktime64(&in), local)) {
        local = std::tm{};
        local.tm_year = 2000 - 1900;
        local.tm_mday = 1;
    }
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(local.tm_year + 1900);
    st.wMonth = static_cast<WORD>(local.tm_mon + 1);
    st.wDay = static_cast<WORD>(local.tm_mday);
    st.wDayOfWeek = static_cast<WORD>(local.tm_wday);
    st.wHour = static_cast<WORD>(local.tm_hour);
    st.wMinute = static_cast<WORD>(local.tm_min);
    st.wSecond = static_cast<WORD>(local.tm_sec);
    return st;
}

bool SetPickerTime(HWND picker, int hour, int minute) {
    SYSTEMTIME st = ScheduleTimeToSystemTime(hour, minute);
    return ::SendMessageA(picker, DTM_SETSYSTEMTIME, GDT_VALID, reinterpret_cast<LPARAM>(&st)) != 0;
}

TimeOfDay SystemTimeToScheduleTime(const SYSTEMTIME& time) {
    std::tm in{};
    in.tm_year = static_cast<int>(time.wYear) - 1900;
    in.tm_mon = static_cast<int>(time.wMonth) - 1;
    in.tm_mday = time.wDay;
    in.tm_hour = time.wHour;
    in.tm_min = time.wMinute;
    in.tm_sec = time.wSecond;
    in.tm_isdst = -1;
    std::tm local{};
    if (!Breakdown(::_mktime64(&in), local)) return {};
    return TimeOfDay{local.tm_hour, local.tm_min};
}

TimeOfDay ReadPickerTime(HWND picker) {
    SYSTEMTIME st{};
    if (!picker || ::SendMessageA(picker, DTM_GETSYSTEMTIME, 0, reinterpret_cast<LPARAM>(&st)) != GDT_VALID) {
        return {};
    }
    return SystemTimeToScheduleTime(st);
}

} // namespace pv
