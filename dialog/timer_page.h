// The "Schedule" page: the weekly schedule of allowed Internet time in controls. It changes
// nothing by itself; the settings dialog's OK reads the controls back.
#pragma once

#include <windows.h>

#include <vector>

#include "dialog/page.h"
#include "store/data.h"

namespace pv {

class CTimerPage : public CPage {
public:
    // The controls of one weekday: check box, "from:" picker, "to" picker.
    struct DayRow {
        HWND check;
        HWND from;
        HWND to;
    };
    static constexpr int kDays = 7;

    CTimerPage();

    // Row i (0 = Monday) as the controls show it; -1 for an hour or minute that cannot be read.
    ScheduleEntry ReadRow(int day) const;
    bool CommonTimeChecked() const;
    bool TimeLimitChecked() const;
    // Everything OnBnClickedOk stores: the seven rows and both switches.
    Schedule ReadSchedule() const;

    // The enabling rules of the two switches.
    void OnCommonTime();
    void OnTimeLimitation();

    const std::vector<DayRow>& Days() const { return m_arrDays; }

protected:
    BOOL OnInitDialog() override;
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

private:
    std::vector<DayRow> m_arrDays;
    HWND m_checkCommonTime = nullptr;
    HWND m_checkTimeLimit = nullptr;
};

} // namespace pv
