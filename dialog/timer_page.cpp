#include "dialog/timer_page.h"

#include <commctrl.h>

#include "dialog/picker_time.h"
#include "resources/resource.h"
#include "store/vigil_app.h"

namespace pv {

namespace {

struct DayIds {
    int check;
    int from;
    int to;
};

// Monday first, as the schedule rows.
constexpr DayIds kDayIds[CTimerPage::kDays] = {
    {IDC_PV_MONDAY, IDC_PV_FROM_MON, IDC_PV_TO_MON},    {IDC_PV_TUESDAY, IDC_PV_FROM_TUE, IDC_PV_TO_TUE},
    {IDC_PV_WEDNESDAY, IDC_PV_FROM_WED, IDC_PV_TO_WED}, {IDC_PV_THURSDAY, IDC_PV_FROM_THU, IDC_PV_TO_THU},
    {IDC_PV_FRIDAY, IDC_PV_FROM_FRI, IDC_PV_TO_FRI},    {IDC_PV_SATURDAY, IDC_PV_FROM_SAT, IDC_PV_TO_SAT},
    {IDC_PV_SUNDAY, IDC_PV_FROM_SUN, IDC_PV_TO_SUN},
};

bool Checked(HWND box) { return box && ::SendMessageA(box, BM_GETCHECK, 0, 0) == BST_CHECKED; }

void Enable(HWND control, bool enable) {
    if (control) ::EnableWindow(control, enable ? TRUE : FALSE);
}

} // namespace

CTimerPage::CTimerPage() : CPage(IDD_PV_SCHEDULE) {}

BOOL CTimerPage::OnInitDialog() {
    HWND hwnd = GetSafeHwnd();
    m_checkCommonTime = ::GetDlgItem(hwnd, IDC_PV_COMMON_TIME);
    m_checkTimeLimit = ::GetDlgItem(hwnd, IDC_PV_TIME_LIMIT);

    m_arrDays.clear();
    for (const DayIds& ids : kDayIds) {
        m_arrDays.push_back(
            DayRow{::GetDlgItem(hwnd, ids.check), ::GetDlgItem(hwnd, ids.from), ::GetDlgItem(hwnd, ids.to)});
    }

    const Schedule schedule = TheApp().m_data.GetSchedule();
    for (int i = 0; i < kDays; ++i) {
        const DayRow& row = m_arrDays[static_cast<size_t>(i)];
        const ScheduleEntry& entry = schedule.rows[static_cast<size_t>(i)];
        // Hour without a leading zero, 24-hour form, two-digit minutes.
        ::SendMessageA(row.from, DTM_SETFORMATA, 0, reinterpret_cast<LPARAM>("H:mm"));
        ::SendMessageA(row.to, DTM_SETFORMATA, 0, reinterpret_cast<LPARAM>("H:mm"));
        if (entry.bEnabled != 0) ::SendMessageA(row.check, BM_SETCHECK, BST_CHECKED, 0);
        SetPickerTime(row.from, entry.nFromHour, entry.nFromMinute);
        SetPickerTime(row.to, entry.nToHour, entry.nToMinute);
    }
    if (schedule.bCommonTime != 0) ::SendMessageA(m_checkCommonTime, BM_SETCHECK, BST_CHECKED, 0);
    if (schedule.bTimeLimit != 0) ::SendMessageA(m_checkTimeLimit, BM_SETCHECK, BST_CHECKED, 0);

    OnCommonTime();
    OnTimeLimitation();
    return TRUE;
}

bool CTimerPage::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
    static const MessageMap<CTimerPage> map =
        MessageMap<CTimerPage>()
            .Command(IDC_PV_COMMON_TIME, BN_CLICKED, &CTimerPage::OnCommonTime)
            .Command(IDC_PV_TIME_LIMIT, BN_CLICKED, &CTimerPage::OnTimeLimitation);
    return map.Dispatch(*this, message, wParam, lParam, result) ||
           CPage::OnMessage(message, wParam, lParam, result);
}

// With common time, Monday's times stand for every day and no day's check box is consulted.
void CTimerPage::OnCommonTime() {
    const bool e = !Checked(m_checkCommonTime);
    for (size_t i = 0; i < m_arrDays.size(); ++i) {
        const DayRow& row = m_arrDays[i];
        Enable(row.check, e);
        if (i == 0) continue; // Monday's pickers stay as they are
        Enable(row.from, e);
        Enable(row.to, e);
    }
}

// Without the limitation no schedule applies at all.
void CTimerPage::OnTimeLimitation() {
    const bool on = Checked(m_checkTimeLimit);
    for (const DayRow& row : m_arrDays) {
        Enable(row.check, on);
        Enable(row.from, on);
        Enable(row.to, on);
    }
    Enable(m_checkCommonTime, on);
    if (on) OnCommonTime();
}

ScheduleEntry CTimerPage::ReadRow(int day) const {
    ScheduleEntry entry;
    if (day < 0 || day >= static_cast<int>(m_arrDays.size())) return entry;
    const DayRow& row = m_arrDays[static_cast<size_t>(day)];
    entry.bEnabled = Checked(row.check) ? 1 : 0; // an indeterminate box counts as unchecked
    const TimeOfDay from = ReadPickerTime(row.from);
    const TimeOfDay to = ReadPickerTime(row.to);
    entry.nFromHour = from.hour;
    entry.nFromMinute = from.minute;
    entry.nToHour = to.hour;
    entry.nToMinute = to.minute;
    return entry;
}

bool CTimerPage::CommonTimeChecked() const { return Checked(m_checkCommonTime); }

bool CTimerPage::TimeLimitChecked() const { return Checked(m_checkTimeLimit); }

Schedule CTimerPage::ReadSchedule() const {
    Schedule schedule;
    for (int i = 0; i < kDays; ++i) schedule.rows[static_cast<size_t>(i)] = ReadRow(i);
    schedule.bCommonTime = CommonTimeChecked() ? 1 : 0;
    schedule.bTimeLimit = TimeLimitChecked() ? 1 : 0;
    return schedule;
}

} // namespace pv
