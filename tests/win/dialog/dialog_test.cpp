// The settings dialog under Wine, run modally on the test's main thread the way a browser window's
// thread runs it, and driven from a second thread with window messages.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "dialog/picker_time.h"
#include "dialog/settings_dialog.h"
#include "dialog/settings_launcher.h"
#include "guard/verdict.h"
#include "platform/handles_win.h"
#include "platform/module_instance_win.h"
#include "resources/resource.h"
#include "tests/support/dialog_support_win.h"

namespace pv::dlgtest {
namespace {

constexpr int kFrom[7] = {IDC_PV_FROM_MON, IDC_PV_FROM_TUE, IDC_PV_FROM_WED, IDC_PV_FROM_THU,
                          IDC_PV_FROM_FRI, IDC_PV_FROM_SAT, IDC_PV_FROM_SUN};
constexpr int kTo[7] = {IDC_PV_TO_MON, IDC_PV_TO_TUE, IDC_PV_TO_WED, IDC_PV_TO_THU,
                        IDC_PV_TO_FRI, IDC_PV_TO_SAT, IDC_PV_TO_SUN};
constexpr int kDay[7] = {IDC_PV_MONDAY, IDC_PV_TUESDAY,  IDC_PV_WEDNESDAY, IDC_PV_THURSDAY,
                         IDC_PV_FRIDAY, IDC_PV_SATURDAY, IDC_PV_SUNDAY};

Schedule SampleSchedule() {
    Schedule s;
    s.rows = {{{1, 8, 5, 23, 0},
               {0, 9, 30, 17, 45},
               {1, 0, 0, 23, 59},
               {1, 6, 15, 7, 20},
               {0, 12, 1, 12, 2},
               {1, 10, 0, 22, 30},
               {0, 21, 10, 5, 5}}};
    s.bTimeLimit = 1;
    s.bCommonTime = 0;
    return s;
}

bool SameSchedule(const Schedule& a, const Schedule& b) {
    return a.rows == b.rows && a.bTimeLimit == b.bTimeLimit && a.bCommonTime == b.bCommonTime;
}

// A string value as the module reads it: the text before the first NUL (the registry may add
// one to a value stored without it).
std::string StringValue(const char* value) {
    auto v = ReadSetting(value);
    if (!v) return "<absent>";
    return v->bytes.substr(0, v->bytes.find('\0'));
}

// A link target that records its opens and answers a fixed shell result.
class RecordingTarget : public CLinkTarget {
public:
    RecordingTarget(INT_PTR answer, std::atomic<int>& opens) : m_answer(answer), m_opens(opens) {}
    INT_PTR OpenLink() const override {
        ++m_opens;
        return m_answer;
    }

private:
    INT_PTR m_answer;
    std::atomic<int>& m_opens;
};

class SettingsDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_env = std::make_unique<EnvironmentGuard>();
        for (const char* v : {"first", "name", "ps", "checkURL", "errURL"}) DeleteSetting(v);
    }
    void TearDown() override {
        m_module.reset();
        m_env.reset();
    }
    // pv.dat with this content, then the module state as a freshly started process builds it.
    void Start(const SampleData& data = SampleData{{}, {}, SampleSchedule()}) {
        m_data = data;
        WritePvDat(data);
        m_module = std::make_unique<TestModule>();
    }
    CVigilApp& App() { return m_module->App(); }

    std::unique_ptr<EnvironmentGuard> m_env;
    std::unique_ptr<TestModule> m_module;
    SampleData m_data;
};

void OpenByLauncher() { OpenSettingsDialog(); }

// ---------------------------------------------------------------------------------------------

TEST_F(SettingsDialogTest, OpensOnBasicWithTheOtherPagesHiddenAndPlacedInTheTabControl) {
    Start();
    RunDialog(OpenByLauncher, [&](Ui& ui) {
        ASSERT_TRUE(ui.WaitForDialog());
        EXPECT_EQ(ui.TabCount(IDC_PV_TAB), 3);
        EXPECT_EQ(ui.TabText(IDC_PV_TAB, 0), "Basic");
        EXPECT_EQ(ui.TabText(IDC_PV_TAB, 1), "Lists");
        EXPECT_EQ(ui.TabText(IDC_PV_TAB, 2), "Schedule");
        EXPECT_TRUE(::IsWindowVisible(ui.PageOf(IDC_PV_LOGIN)));
        EXPECT_FALSE(::IsWindowVisible(ui.PageOf(IDC_PV_LIST)));
        EXPECT_FALSE(::IsWindowVisible(ui.PageOf(IDC_PV_FROM_MON)));

        // Every page is a child of the dialog (not of the tab control), inside the tab's display
        // area, below the tab headers.
        RECT tab, page, header;
        ::GetWindowRect(ui.Control(IDC_PV_TAB), &tab);
        ::SendMessageA(ui.Control(IDC_PV_TAB), TCM_GETITEMRECT, 0, reinterpret_cast<LPARAM>(&header));
        for (int id : {IDC_PV_LOGIN, IDC_PV_LIST, IDC_PV_FROM_MON}) {
            HWND p = ui.PageOf(id);
            EXPECT_EQ(::GetParent(p), ui.Dialog());
            ::GetWindowRect(p, &page);
            EXPECT_GE(page.left, tab.left);
            EXPECT_LE(page.right, tab.right);
            EXPECT_GE(page.top, tab.top + (header.bottom - header.top));
            EXPECT_LE(page.bottom, tab.bottom);
            EXPECT_EQ(page.right - page.left, (tab.right - tab.left) - 4);
        }

        EXPECT_EQ(ui.Text(IDC_PV_LOGIN), "");
        EXPECT_EQ(ui.Text(IDC_PV_PASSWORD), "");
        EXPECT_TRUE(::GetWindowLongPtrA(ui.Control(IDC_PV_PASSWORD), GWL_STYLE) & ES_PASSWORD);
        EXPECT_EQ(ui.Text(IDC_PV_VERSION), "Version 2.0.3.5");
        EXPECT_EQ(ui.Text(IDC_PV_LINK_MAIL), "support@pathvigil.net");
        // The banner shows the module's bitmap.
        HWND banner = ::GetWindow(ui.PageOf(IDC_PV_LOGIN), GW_CHILD);
        EXPECT_NE(::SendMessageA(banner, STM_GETIMAGE, IMAGE_BITMAP, 0), 0);
        EXPECT_EQ(::GetWindow(ui.Dialog(), GW_OWNER), nullptr) << "no active window: no owner";
        ui.Screenshot("settings-basic");
        ui.Click(IDCANCEL);
        EXPECT_TRUE(ui.WaitClosed());
    });
}

TEST_F(SettingsDialogTest, SwitchingPagesKeepsWhatWasEntered) {
    Start();
    RunDialog(OpenByLauncher, [&](Ui& ui) {
        ASSERT_TRUE(ui.WaitForDialog());
        ui.SetText(IDC_PV_LOGIN, "typed-login");
        ui.SelectTab(IDC_PV_TAB, 2);
        EXPECT_FALSE(::IsWindowVisible(ui.PageOf(IDC_PV_LOGIN)));
        EXPECT_TRUE(::IsWindowVisible(ui.PageOf(IDC_PV_FROM_MON)));
        ui.SetPicker(IDC_PV_FROM_TUE, 7, 45);
        ui.SelectTab(IDC_PV_TAB, 1);
        ui.SelectTab(IDC_PV_TAB, 0);
        EXPECT_TRUE(::IsWindowVisible(ui.PageOf(IDC_PV_LOGIN)));
        EXPECT_FALSE(::IsWindowVisible(ui.PageOf(IDC_PV_FROM_MON)));
        EXPECT_FALSE(::IsWindowVisible(ui.PageOf(IDC_PV_LIST)));
        EXPECT_EQ(ui.Text(IDC_PV_LOGIN), "typed-login");
        ui.SelectTab(IDC_PV_TAB, 2);
        EXPECT_EQ(ui.PickerTime(IDC_PV_FROM_TUE), std::make_pair(7, 45));
        ui.Key(IDC_PV_FROM_TUE, VK_ESCAPE); // Escape anywhere is Cancel
        EXPECT_TRUE(ui.WaitClosed());
    });
    // Cancelled: nothing of it reached the module state.
    EXPECT_EQ(App().Name(), "");
    EXPECT_TRUE(SameSchedule(App().m_data.GetSchedule(), SampleSchedule()));
}

TEST_F(SettingsDialogTest, OkWithoutVisitingScheduleWritesAllSevenRowsAndBothSwitchesFromThePage) {
    Schedule sample = SampleSchedule();
    sample.bCommonTime = 1;
    Start(SampleData{{}, {}, sample});
    RunDialog(OpenByLauncher, [&](Ui& ui) {
        ASSERT_TRUE(ui.WaitForDialog());
        // Overwrite the shared data while the dialog is open: OK must put back what the (never
        // shown) Schedule page holds, not leave the data alone.
        ui.OnUiThread([&] { App().m_data.SetSchedule(Schedule{}); });
        ui.Click(IDOK);
        EXPECT_TRUE(ui.WaitClosed());
    });
    EXPECT_TRUE(SameSchedule(App().m_data.GetSchedule(), sample));
    CData saved;
    LoadPvDat(saved);
    EXPECT_TRUE(SameSchedule(saved.GetSchedule(), sample));
}

TEST_F(SettingsDialogTest, ScheduleEditsReachDataAndFileOnOkOnly) {
    Start();
    // Cancel first: the edits are dropped.
    RunDialog(OpenByLauncher, [&](Ui& ui) {
        ASSERT_TRUE(ui.WaitForDialog());
        ui.SelectTab(IDC_PV_TAB, 2);
        ui.SetPicker(IDC_PV_FROM_MON, 4, 4);
        ::SendMessageA(ui.Control(IDC_PV_TUESDAY), BM_CLICK, 0, 0);
        ::PostMessageA(ui.Dialog(), WM_CLOSE, 0, 0); // the close box is Cancel too
        EXPECT_TRUE(ui.WaitClosed());
    });
    EXPECT_TRUE(SameSchedule(App().m_data.GetSchedule(), SampleSchedule()));

    RunDialog(OpenByLauncher, [&](Ui& ui) {
        ASSERT_TRUE(ui.WaitForDialog());
        ui.SelectTab(IDC_PV_TAB, 2);
        // The page opened afresh from the data: the cancelled edits are gone.
        EXPECT_EQ(ui.PickerTime(IDC_PV_FROM_MON), std::make_pair(8, 5));
        EXPECT_FALSE(ui.Checked(IDC_PV_TUESDAY));
        ui.SetPicker(IDC_PV_FROM_MON, 4, 4);
        ui.SetPicker(IDC_PV_TO_SUN, 23, 59);
        ::SendMessageA(ui.Control(IDC_PV_TUESDAY), BM_CLICK, 0, 0);
        ::SendMessageA(ui.Control(IDC_PV_COMMON_TIME), BM_CLICK, 0, 0);
        ui.Screenshot("settings-schedule");
        ui.Click(IDOK);
        EXPECT_TRUE(ui.WaitClosed());
    });
    Schedule expected = SampleSchedule();
    expected.rows[0].nFromHour = 4;
    expected.rows[0].nFromMinute = 4;
    expected.rows[6].nToHour = 23;
    expected.rows[6].nToMinute = 59;
    expected.rows[1].bEnabled = 1;
    expected.bCommonTime = 1;
    EXPECT_TRUE(SameSchedule(App().m_data.GetSchedule(), expected));
    CData saved;
    LoadPvDat(saved);
    EXPECT_TRUE(SameSchedule(saved.GetSchedule(), expected));
}

TEST_F(SettingsDialogTest, PickersShowStoredTimesAndNormaliseOutOfRangeValues) {
    Schedule s = SampleSchedule();
    s.rows[2] = {1, 25, 0, -1, 30}; // 25:00 is 1:00 next day, -1:30 is 23:30 the day before
    Start(SampleData{{}, {}, s});
    RunDialog(OpenByLauncher, [&](Ui& ui) {
        ASSERT_TRUE(ui.WaitForDialog());
        ui.SelectTab(IDC_PV_TAB, 2);
        for (int i = 0; i < 7; ++i) {
            if (i == 2) continue;
            EXPECT_EQ(ui.PickerTime(kFrom[i]), std::make_pair(s.rows[i].nFromHour, s.rows[i].nFromMinute))
                << i;
            EXPECT_EQ(ui.PickerTime(kTo[i]), std::make_pair(s.rows[i].nToHour, s.rows[i].nToMinute)) << i;
            EXPECT_EQ(ui.Checked(kDay[i]), s.rows[i].bEnabled != 0) << i;
        }
        EXPECT_EQ(ui.PickerTime(IDC_PV_FROM_WED), std::make_pair(1, 0));
        EXPECT_EQ(ui.PickerTime(IDC_PV_TO_WED), std::make_pair(23, 30));
        // "H:mm": no leading zero for the hour, two digits for the minutes.
        const std::string shown = ui.Text(IDC_PV_FROM_MON);
        if (!shown.empty()) {
            EXPECT_EQ(shown, "8:05");
            EXPECT_EQ(ui.Text(IDC_PV_TO_MON), "23:00");
        }
        ui.Click(IDOK);
        EXPECT_TRUE(ui.WaitClosed());
    });
    const Schedule stored = App().m_data.GetSchedule();
    EXPECT_EQ(stored.rows[2], (ScheduleEntry{1, 1, 0, 23, 30}));
    EXPECT_EQ(stored.rows[0], s.rows[0]);
}

// Enabled states: rows and the common-time box follow the two switches; values never change.
void ExpectEnabledStates(Ui& ui, bool limit, bool common) {
    SCOPED_TRACE(testing::Message() << "limitation " << limit << ", common time " << common);
    EXPECT_TRUE(ui.Enabled(IDC_PV_TIME_LIMIT));
    EXPECT_EQ(ui.Enabled(IDC_PV_COMMON_TIME), limit);
    EXPECT_EQ(ui.Enabled(IDC_PV_MONDAY), limit && !common);
    EXPECT_EQ(ui.Enabled(IDC_PV_FROM_MON), limit);
    EXPECT_EQ(ui.Enabled(IDC_PV_TO_MON), limit);
    for (int i = 1; i < 7; ++i) {
        EXPECT_EQ(ui.Enabled(kDay[i]), limit && !common) << i;
        EXPECT_EQ(ui.Enabled(kFrom[i]), limit && !common) << i;
        EXPECT_EQ(ui.Enabled(kTo[i]), limit && !common) << i;
    }
    EXPECT_EQ(ui.Checked(IDC_PV_TIME_LIMIT), limit);
    EXPECT_EQ(ui.Checked(IDC_PV_COMMON_TIME), common);
}

TEST_F(SettingsDialogTest, EnabledStatesFollowTheTwoSwitches) {
    for (int start = 0; start < 3; ++start) {
        const bool limit = start != 0;
        const bool common = start == 2;
        Schedule s = SampleSchedule();
        s.bTimeLimit = limit;
        s.bCommonTime = common;
        m_module.reset();
        Start(SampleData{{}, {}, s});
        RunDialog(OpenByLauncher, [&](Ui& ui) {
            ASSERT_TRUE(ui.WaitForDialog());
            ui.SelectTab(IDC_PV_TAB, 2);
            ExpectEnabledStates(ui, limit, common);
            if (start != 2) {
                ui.Click(IDCANCEL);
                return;
            }
            auto click = [&](int id) { ::SendMessageA(ui.Control(id), BM_CLICK, 0, 0); };
            click(IDC_PV_COMMON_TIME);
            ExpectEnabledStates(ui, true, false);
            click(IDC_PV_TIME_LIMIT);
            ExpectEnabledStates(ui, false, false);
            click(IDC_PV_TIME_LIMIT);
            ExpectEnabledStates(ui, true, false);
            click(IDC_PV_COMMON_TIME);
            ExpectEnabledStates(ui, true, true);
            click(IDC_PV_TIME_LIMIT);
            ExpectEnabledStates(ui, false, true);
            // Checking a day changes no enabled state; switches never touch the values.
            click(IDC_PV_TIME_LIMIT);
            click(IDC_PV_COMMON_TIME);
            click(IDC_PV_SATURDAY);
            ExpectEnabledStates(ui, true, false);
            for (int i = 0; i < 7; ++i) {
                const bool expected = (i == 5) ? !s.rows[5].bEnabled : s.rows[i].bEnabled != 0;
                EXPECT_EQ(ui.Checked(kDay[i]), expected) << i;
                EXPECT_EQ(ui.PickerTime(kFrom[i]),
                          std::make_pair(s.rows[i].nFromHour, s.rows[i].nFromMinute));
            }
            ui.Click(IDCANCEL);
        });
    }
}

TEST_F(SettingsDialogTest, ListsPageEditsTheSharedListsInPlace) {
    SampleData data{{}, {}, SampleSchedule()};
    data.prohibited = {"http://b/", "alpha", "Zeta", "http://dup/", "http://dup/"};
    data.allowed = {"http://allowed/"};
    Start(data);
    const std::string address = "http://current.example/page?a=1&b=2";
    ComPtr<FakeBrowser> browser = FakeBrowser::Create(L"http://current.example/page?a=1&b=2");
    App().SetCurrentBrowser(browser.Get());

    std::unique_ptr<CSettingsDialog> dialog;
    size_t copiesAfterClose = 99;
    RunDialog(
        [&] {
            dialog = std::make_unique<CSettingsDialog>();
            ASSERT_TRUE(dialog->BeginModal());
            EXPECT_EQ(dialog->RunModal(), IDOK);
            copiesAfterClose = dialog->ListPage()->List().CopyCount();
        },
        [&](Ui& ui) {
            ASSERT_TRUE(ui.WaitForDialog());
            ui.SelectTab(IDC_PV_TAB, 1);
            HWND list = ui.Control(IDC_PV_LIST);
            EXPECT_EQ(ui.Text(IDC_PV_LIST_EDIT), address);
            EXPECT_EQ(ui.TabText(IDC_PV_LIST_TAB, 0), "Prohibited");
            EXPECT_EQ(ui.TabText(IDC_PV_LIST_TAB, 1), "Allowed");
            EXPECT_EQ(::SendMessageA(ui.Control(IDC_PV_LIST_TAB), TCM_GETCURSEL, 0, 0), 0);
            // Sorted by byte value: upper case before lower case.
            EXPECT_EQ(ui.ListItems(IDC_PV_LIST),
                      (std::vector<std::string>{"Zeta", "alpha", "http://b/", "http://dup/", "http://dup/"}));
            EXPECT_FALSE(ui.Enabled(IDC_PV_LIST_REMOVE));
            const LRESULT extent0 = ::SendMessageA(list, LB_GETHORIZONTALEXTENT, 0, 0);
            EXPECT_GT(extent0, 0);

            // Add the browser's address: into the list box, selected, and into the shared list.
            ::SendMessageA(ui.Control(IDC_PV_LIST_ADD), BM_CLICK, 0, 0);
            std::vector<std::string> items = ui.ListItems(IDC_PV_LIST);
            ASSERT_EQ(items.size(), 6u);
            const LRESULT selected = ::SendMessageA(list, LB_GETCURSEL, 0, 0);
            ASSERT_GE(selected, 0);
            EXPECT_EQ(items[static_cast<size_t>(selected)], address);
            EXPECT_EQ(App().m_data.Classify(address), Listed::Prohibited);
            const LRESULT extent1 = ::SendMessageA(list, LB_GETHORIZONTALEXTENT, 0, 0);
            EXPECT_GT(extent1, extent0) << "a longer entry widens the scroll range";
            EXPECT_TRUE(WaitUntil([&] { return ui.Enabled(IDC_PV_LIST_REMOVE); }, 5s))
                << "Remove is enabled once the selected item is drawn";

            // Taken as typed: duplicates and blanks are stored; a shorter text keeps the extent.
            ::SendMessageA(ui.Control(IDC_PV_LIST_ADD), BM_CLICK, 0, 0);
            ui.SetText(IDC_PV_LIST_EDIT, "  spaced  ");
            ::SendMessageA(ui.Control(IDC_PV_LIST_ADD), BM_CLICK, 0, 0);
            EXPECT_EQ(::SendMessageA(list, LB_GETHORIZONTALEXTENT, 0, 0), extent1);
            ui.SetText(IDC_PV_LIST_EDIT, "");
            ::SendMessageA(ui.Control(IDC_PV_LIST_ADD), BM_CLICK, 0, 0); // empty: nothing
            EXPECT_EQ(ui.ListItems(IDC_PV_LIST).size(), 8u);
            EXPECT_EQ(App().m_data.Entries(ListKind::Prohibited),
                      (std::vector<std::string>{"http://b/", "alpha", "Zeta", "http://dup/", "http://dup/",
                                                address, address, "  spaced  "}));

            // Remove a text listed twice: both leave the list; only the selected row leaves the box.
            items = ui.ListItems(IDC_PV_LIST);
            int dup = -1;
            for (size_t i = 0; i < items.size(); ++i)
                if (items[i] == "http://dup/") dup = static_cast<int>(i);
            ASSERT_GE(dup, 0);
            ui.SelectItem(IDC_PV_LIST, dup);
            ::SendMessageA(ui.Control(IDC_PV_LIST_REMOVE), BM_CLICK, 0, 0);
            EXPECT_EQ(App().m_data.Count(ListKind::Prohibited), 6u);
            EXPECT_EQ(App().m_data.Classify("http://dup/"), Listed::Neither);
            items = ui.ListItems(IDC_PV_LIST);
            EXPECT_EQ(std::count(items.begin(), items.end(), "http://dup/"), 1) << "the other row stays";
            EXPECT_EQ(::SendMessageA(list, LB_GETHORIZONTALEXTENT, 0, 0), extent1);
            ui.Screenshot("settings-lists");

            // The other tab shows the other list; coming back rebuilds this one, selection gone.
            ui.SelectTab(IDC_PV_LIST_TAB, 1);
            EXPECT_EQ(ui.ListItems(IDC_PV_LIST), std::vector<std::string>{"http://allowed/"});
            ui.SelectTab(IDC_PV_LIST_TAB, 0);
            items = ui.ListItems(IDC_PV_LIST);
            EXPECT_EQ(std::count(items.begin(), items.end(), "http://dup/"), 0);
            EXPECT_EQ(items.size(), 6u);
            EXPECT_EQ(::SendMessageA(list, LB_GETCURSEL, 0, 0), LB_ERR);
            // Every item owns exactly one private copy, whatever was added, removed and rebuilt.
            size_t copies = 0;
            ui.OnUiThread([&] { copies = dialog->ListPage()->List().CopyCount(); });
            EXPECT_EQ(copies, items.size());

            // Enter in the edit field is the dialog's OK, not Add.
            ui.SetText(IDC_PV_LIST_EDIT, "http://not-added/");
            ui.Key(IDC_PV_LIST_EDIT, VK_RETURN);
            EXPECT_TRUE(ui.WaitClosed());
        });
    EXPECT_EQ(copiesAfterClose, 0u) << "copies freed with the list box";
    EXPECT_EQ(App().m_data.Classify("http://not-added/"), Listed::Neither);
    CData saved;
    LoadPvDat(saved);
    EXPECT_EQ(saved.Entries(ListKind::Prohibited), App().m_data.Entries(ListKind::Prohibited));
    EXPECT_EQ(saved.Entries(ListKind::Allowed), std::vector<std::string>{"http://allowed/"});
    App().SetCurrentBrowser(nullptr);
}

TEST_F(SettingsDialogTest, CancelAfterAddKeepsTheAddressInEffectAndTheFileUnchanged) {
    SampleData data{{}, {}, SampleSchedule()};
    data.prohibited = {"http://old/"};
    Start(data);
    const auto before = ReadWholeFile(PvDatPath());
    ASSERT_TRUE(before);
    RunDialog(OpenByLauncher, [&](Ui& ui) {
        ASSERT_TRUE(ui.WaitForDialog());
        ui.SelectTab(IDC_PV_TAB, 1);
        EXPECT_EQ(ui.Text(IDC_PV_LIST_EDIT), "") << "no current browser: empty field";
        ui.SetText(IDC_PV_LIST_EDIT, "http://added/");
        ::SendMessageA(ui.Control(IDC_PV_LIST_ADD), BM_CLICK, 0, 0);
        ui.Click(IDCANCEL);
        EXPECT_TRUE(ui.WaitClosed());
    });
    EXPECT_EQ(App().m_data.Classify("http://added/"), Listed::Prohibited);
    EXPECT_EQ(JudgeURL(App(), std::u16string(u"http://added/"), std::nullopt, std::nullopt), 0)
        << "forbidden for the next navigation";
    EXPECT_EQ(ReadWholeFile(PvDatPath()), before) << "Cancel does not save";

    RunDialog(OpenByLauncher, [&](Ui& ui) {
        ASSERT_TRUE(ui.WaitForDialog());
        ui.Click(IDOK);
        EXPECT_TRUE(ui.WaitClosed());
    });
    CData saved;
    LoadPvDat(saved);
    EXPECT_EQ(saved.Entries(ListKind::Prohibited),
              (std::vector<std::string>{"http://old/", "http://added/"}));
}

TEST_F(SettingsDialogTest, DoubleClickOpensTheEntryInANewWindowOfTheCurrentBrowser) {
    SampleData data{{}, {}, SampleSchedule()};
    data.allowed = {"http://open.me/"};
    Start(data);
    ComPtr<FakeBrowser> browser = FakeBrowser::Create(L"http://here/");
    App().SetCurrentBrowser(browser.Get());
    RunDialog(OpenByLauncher, [&](Ui& ui) {
        ASSERT_TRUE(ui.WaitForDialog());
        ui.SelectTab(IDC_PV_TAB, 1);
        ui.SelectTab(IDC_PV_LIST_TAB, 1);
        HWND list = ui.Control(IDC_PV_LIST);
        ::SendMessageA(list, WM_LBUTTONDBLCLK, 0, MAKELPARAM(300, 300)); // no selection: nothing
        EXPECT_TRUE(browser->Navigations().empty());
        ui.SelectItem(IDC_PV_LIST, 0);
        RECT item;
        ::SendMessageA(list, LB_GETITEMRECT, 0, reinterpret_cast<LPARAM>(&item));
        ::SendMessageA(list, WM_LBUTTONDBLCLK, MK_LBUTTON, MAKELPARAM(item.left + 5, item.top + 2));
        ui.Click(IDCANCEL);
        EXPECT_TRUE(ui.WaitClosed());
    });
    const auto navigations = browser->Navigations();
    ASSERT_EQ(navigations.size(), 1u);
    EXPECT_EQ(navigations[0].url, L"http://open.me/");
    EXPECT_EQ(navigations[0].target, L"_BLANK");
    EXPECT_EQ(navigations[0].flagsType, VT_EMPTY);
    EXPECT_EQ(navigations[0].postDataType, VT_EMPTY);
    EXPECT_EQ(navigations[0].headersType, VT_EMPTY);
    App().SetCurrentBrowser(nullptr);
}

TEST_F(SettingsDialogTest, EnterOrOkInsideAPageRunsTheDialogsOk) {
    Start();
    RunDialog(OpenByLauncher, [&](Ui& ui) {
        ASSERT_TRUE(ui.WaitForDialog());
        ui.SetText(IDC_PV_LOGIN, "enter-user");
        ui.Key(IDC_PV_LOGIN, VK_RETURN);
        EXPECT_TRUE(ui.WaitClosed());
    });
    EXPECT_EQ(App().Name(), "enter-user");
    EXPECT_EQ(StringValue("name"), "enter-user");

    // The page's own OK command is sent on to the dialog.
    RunDialog(OpenByLauncher, [&](Ui& ui) {
        ASSERT_TRUE(ui.WaitForDialog());
        ui.SelectTab(IDC_PV_TAB, 2);
        ui.SetPicker(IDC_PV_TO_FRI, 13, 13);
        ::PostMessageA(ui.PageOf(IDC_PV_TO_FRI), WM_COMMAND, IDOK, 0);
        EXPECT_TRUE(ui.WaitClosed());
    });
    EXPECT_EQ(App().m_data.GetSchedule().rows[4].nToHour, 13);
}

TEST_F(SettingsDialogTest, FailedSaveIsShownWithTheStopIconAndTheDialogStaysOpen) {
    Start();
    const std::string path = PvDatPath();
    // Held open without sharing: the dialog can neither open nor create the file.
    KernelHandle held(::CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    RunDialog(OpenByLauncher, [&](Ui& ui) {
        ASSERT_TRUE(ui.WaitForDialog());
        ui.SetText(IDC_PV_LOGIN, "eve");
        ui.SelectTab(IDC_PV_TAB, 2);
        ui.SetPicker(IDC_PV_FROM_MON, 6, 15);
        ui.Click(IDOK);
        auto box = ui.WaitForBox();
        ASSERT_TRUE(box);
        EXPECT_EQ(box->text, path + " was not found.");
        EXPECT_EQ(box->caption, App().AppTitle());
        EXPECT_TRUE(box->stopIcon);
        ui.Dismiss(*box);
        EXPECT_TRUE(::IsWindow(ui.Dialog()) && ::IsWindowVisible(ui.Dialog())) << "the dialog stays open";
        EXPECT_TRUE(::IsWindowVisible(ui.PageOf(IDC_PV_FROM_MON))) << "and its page stays shown";
        // What came before the save took effect.
        EXPECT_EQ(App().Name(), "eve");
        EXPECT_EQ(StringValue("name"), "eve");
        EXPECT_EQ(App().m_data.GetSchedule().rows[0].nFromHour, 6);

        held.Reset(); // the file is free again: the next save succeeds
        ui.Click(IDOK);
        EXPECT_TRUE(ui.WaitClosed());
    });
    held.Reset();
    CData saved;
    LoadPvDat(saved);
    EXPECT_EQ(saved.GetSchedule().rows[0].nFromMinute, 15);
}

TEST_F(SettingsDialogTest, HelpWithoutTheHelpFileReportsFailureAndStaysOpen) {
    ::DeleteFileA(HelpFilePath().c_str());
    Start();
    RunDialog(OpenByLauncher, [&](Ui& ui) {
        ASSERT_TRUE(ui.WaitForDialog());
        ui.Click(IDC_PV_HELP);
        auto box = ui.WaitForBox();
        ASSERT_TRUE(box);
        EXPECT_EQ(box->text, "Failed to launch help.");
        EXPECT_EQ(box->caption, App().AppTitle());
        ui.Dismiss(*box);
        EXPECT_TRUE(::IsWindowVisible(ui.Dialog()));
        ui.Click(IDCANCEL);
        EXPECT_TRUE(ui.WaitClosed());
    });
}

std::string BuiltHelpFile() {
    return BuildDir().empty() ? std::string() : BuildDir() + "\\PathvigilHelp.chm";
}

TEST(HelpFile, IsACompiledHelpFileWithATopicForEachPageAndForBlockedPages) {
    if (BuildDir().empty()) GTEST_SKIP() << "PV_BUILD_DIR not set";
    const auto chm = ReadWholeFile(BuiltHelpFile());
    ASSERT_TRUE(chm) << BuiltHelpFile();
    EXPECT_EQ(chm->substr(0, 4), "ITSF");
    for (const char* name : {"/#SYSTEM", "/overview.htm", "/basic.htm", "/lists.htm", "/schedule.htm",
                             "/blocked.htm", "/PathvigilHelp.hhc", "/PathvigilHelp.hhk"}) {
        EXPECT_NE(chm->find(name), std::string::npos) << name;
    }
}

struct WindowOfClass {
    const char* cls;
    HWND found;
};

HWND FindProcessWindow(const char* cls) {
    WindowOfClass w{cls, nullptr};
    ::EnumWindows(
        [](HWND h, LPARAM p) -> BOOL {
            auto& w = *reinterpret_cast<WindowOfClass*>(p);
            DWORD pid = 0;
            ::GetWindowThreadProcessId(h, &pid);
            char name[64] = {};
            ::GetClassNameA(h, name, sizeof name);
            if (pid == ::GetCurrentProcessId() && std::string(name) == w.cls) {
                w.found = h;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&w));
    return w.found;
}

TEST_F(SettingsDialogTest, HelpWithTheHelpFileShowsItWithoutAFailureMessage) {
    if (BuildDir().empty()) GTEST_SKIP() << "PV_BUILD_DIR not set";
    const auto chm = ReadWholeFile(BuiltHelpFile());
    ASSERT_TRUE(chm);
    ASSERT_TRUE(WriteWholeFile(HelpFilePath(), *chm));
    Start();
    RunDialog(OpenByLauncher, [&](Ui& ui) {
        ASSERT_TRUE(ui.WaitForDialog());
        ui.Click(IDC_PV_HELP);
        HWND help = nullptr;
        EXPECT_TRUE(WaitUntil([&] { return (help = FindProcessWindow("HH Parent")) != nullptr; }, 15s))
            << "the help viewer opens";
        if (help) {
            std::this_thread::sleep_for(1500ms); // let the viewer lay out its panes
            WritePng(BuildDir() + "\\screenshots\\help-viewer.png", CaptureWindow(help));
        }
        auto box = ui.WaitForBox(2s);
        EXPECT_FALSE(box) << box->text;
        if (box) ui.Dismiss(*box);
        if (help) ::PostMessageA(help, WM_CLOSE, 0, 0);
        WaitUntil([] { return FindProcessWindow("HH Parent") == nullptr; }, 10s);
        ui.Click(IDCANCEL);
        EXPECT_TRUE(ui.WaitClosed());
    });
}

TEST_F(SettingsDialogTest, LinksAreUnderlinedBlueAndTurnPurpleOnlyAfterASuccessfulOpen) {
    Start();
    std::atomic<int> siteOpens{0}, mailOpens{0}, downloadOpens{0};
    std::unique_ptr<CSettingsDialog> dialog;
    RunDialog(
        [&] {
            dialog = std::make_unique<CSettingsDialog>();
            ASSERT_TRUE(dialog->BeginModal());
            CGeneralPage& page = *dialog->GeneralPage();
            EXPECT_EQ(page.SiteLink().LinkTarget(), "http://www.pathvigil.net/");
            EXPECT_EQ(page.MailLink().LinkTarget(), "mailto:support@pathvigil.net");
            EXPECT_EQ(page.DownloadLink().LinkTarget(), "http://www.pathvigil.net/download.htm");
            // No real shell here: the site opens, the mail program fails, the download link is empty.
            page.SiteLink().SetTargetObject(std::make_unique<RecordingTarget>(42, siteOpens));
            page.MailLink().SetTargetObject(std::make_unique<RecordingTarget>(2, mailOpens));
            page.DownloadLink().SetTargetObject(std::make_unique<RecordingTarget>(42, downloadOpens));
            page.DownloadLink().SetLinkTarget(nullptr);
            dialog->RunModal();
        },
        [&](Ui& ui) {
            ASSERT_TRUE(ui.WaitForDialog());
            ui.Screenshot("settings-basic-links");
            const COLORREF blue = CStaticHyperLink::kUnvisited, purple = CStaticHyperLink::kVisited;
            for (int id : {IDC_PV_LINK_SITE, IDC_PV_LINK_MAIL, IDC_PV_LINK_DOWNLOAD}) {
                HWND link = ui.Control(id);
                Capture c = CaptureWindow(link);
                EXPECT_GT(c.Count(blue), 20u) << id;
                EXPECT_EQ(c.Count(purple), 0u) << id;
                // Underlined: one pixel row that is blue along most of the text.
                size_t longest = 0;
                for (int y = 0; y < c.height; ++y) {
                    size_t run = 0;
                    for (int x = 0; x < c.width; ++x) {
                        const uint32_t p = c.pixels[static_cast<size_t>(y * c.width + x)] & 0xFFFFFF;
                        run = p == 0x0000FF ? run + 1 : 0;
                        longest = std::max(longest, run);
                    }
                }
                EXPECT_GT(longest, 40u) << "underline of " << id;
                EXPECT_EQ(::SendMessageA(link, WM_NCHITTEST, 0, 0), HTCLIENT);
                EXPECT_EQ(::SendMessageA(link, WM_SETCURSOR, reinterpret_cast<WPARAM>(link),
                                         MAKELPARAM(HTCLIENT, WM_MOUSEMOVE)),
                          TRUE);
            }
            for (int id : {IDC_PV_LINK_SITE, IDC_PV_LINK_MAIL, IDC_PV_LINK_DOWNLOAD})
                ::SendMessageA(ui.Control(id), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(3, 3));
            EXPECT_EQ(siteOpens.load(), 1);
            EXPECT_EQ(mailOpens.load(), 1);
            EXPECT_EQ(downloadOpens.load(), 0) << "an empty target opens nothing";
            ui.Sync();
            ui.Screenshot("settings-basic-visited");
            Capture site = CaptureWindow(ui.Control(IDC_PV_LINK_SITE));
            EXPECT_GT(site.Count(purple), 20u);
            EXPECT_EQ(site.Count(blue), 0u);
            EXPECT_GT(CaptureWindow(ui.Control(IDC_PV_LINK_MAIL)).Count(blue), 20u)
                << "failed open: stays blue";
            EXPECT_GT(CaptureWindow(ui.Control(IDC_PV_LINK_DOWNLOAD)).Count(blue), 20u);
            ui.Click(IDCANCEL);
            EXPECT_TRUE(ui.WaitClosed());
        });
    // Reopened, every link starts blue again.
    RunDialog(OpenByLauncher, [&](Ui& ui) {
        ASSERT_TRUE(ui.WaitForDialog());
        ui.Sync();
        std::this_thread::sleep_for(200ms);
        Capture site = CaptureWindow(ui.Control(IDC_PV_LINK_SITE));
        EXPECT_GT(site.Count(CStaticHyperLink::kUnvisited), 20u);
        EXPECT_EQ(site.Count(CStaticHyperLink::kVisited), 0u);
        ui.Click(IDCANCEL);
    });
}

TEST_F(SettingsDialogTest, ShellOpenFailureLeavesTheLinkUnvisited) {
    Start();
    std::unique_ptr<CSettingsDialog> dialog;
    RunDialog(
        [&] {
            dialog = std::make_unique<CSettingsDialog>();
            ASSERT_TRUE(dialog->BeginModal());
            // The real shell, asked to open a file that does not exist.
            dialog->GeneralPage()->SiteLink().SetLinkTarget("C:\\no such folder\\no such file.pvx");
            dialog->RunModal();
        },
        [&](Ui& ui) {
            ASSERT_TRUE(ui.WaitForDialog());
            HWND link = ui.Control(IDC_PV_LINK_SITE);
            ::SendMessageA(link, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(3, 3));
            ui.Sync();
            Capture site = CaptureWindow(link);
            EXPECT_GT(site.Count(CStaticHyperLink::kUnvisited), 20u);
            EXPECT_EQ(site.Count(CStaticHyperLink::kVisited), 0u);
            ui.Click(IDCANCEL);
            EXPECT_TRUE(ui.WaitClosed());
        });
}

// Obvious fault mended: the account fields open empty, so OK must not wipe the stored account
// unless the user edited a field.
TEST_F(SettingsDialogTest, OkKeepsTheStoredAccountUnlessAFieldWasEdited) {
    WriteSettingString("name", "alice");
    WriteSettingString("ps", "secret");
    Start();
    RunDialog(OpenByLauncher, [&](Ui& ui) {
        ASSERT_TRUE(ui.WaitForDialog());
        ui.SelectTab(IDC_PV_TAB, 2); // someone changing only the schedule
        ui.SetPicker(IDC_PV_FROM_MON, 9, 0);
        ui.Click(IDOK);
        EXPECT_TRUE(ui.WaitClosed());
    });
    EXPECT_EQ(App().Name(), "alice");
    EXPECT_EQ(App().Password(), "secret");
    EXPECT_EQ(StringValue("name"), "alice");
    EXPECT_EQ(StringValue("ps"), "secret");

    RunDialog(OpenByLauncher, [&](Ui& ui) {
        ASSERT_TRUE(ui.WaitForDialog());
        ui.Type(IDC_PV_LOGIN, "bob");
        ui.Click(IDOK);
        EXPECT_TRUE(ui.WaitClosed());
    });
    EXPECT_EQ(StringValue("name"), "bob");
    EXPECT_EQ(StringValue("ps"), "secret") << "only the edited field is stored";

    RunDialog(OpenByLauncher, [&](Ui& ui) {
        ASSERT_TRUE(ui.WaitForDialog());
        ui.Type(IDC_PV_PASSWORD, "x\b"); // typed and deleted again: edited, left empty
        EXPECT_EQ(ui.Text(IDC_PV_PASSWORD), "");
        ui.Click(IDOK);
        EXPECT_TRUE(ui.WaitClosed());
    });
    EXPECT_EQ(App().Password(), "");
    auto ps = ReadSetting("ps");
    ASSERT_TRUE(ps);
    EXPECT_EQ(ps->type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(ps->bytes.substr(0, ps->bytes.find('\0')), "");
    EXPECT_EQ(StringValue("name"), "bob");
}

TEST_F(SettingsDialogTest, FirstTitleChangeRecordsTheFlagBeforeOpeningAndOpensOncePerProcess) {
    Start();
    ASSERT_EQ(App().First(), 0u);
    RunDialog([] { FirstRunCheck(); },
              [&](Ui& ui) {
                  ASSERT_TRUE(ui.WaitForDialog());
                  auto first = ReadSetting("first");
                  ASSERT_TRUE(first);
                  EXPECT_EQ(first->type, static_cast<DWORD>(REG_DWORD));
                  EXPECT_EQ(first->bytes, std::string("\1\0\0\0", 4));
                  EXPECT_EQ(App().First(), 1u);
                  // A title change reported while the dialog is open (nested in its loop) opens nothing.
                  ui.OnUiThread([] { FirstRunCheck(); });
                  ui.Click(IDCANCEL);
                  EXPECT_TRUE(ui.WaitClosed());
              });
    RunDialog([] { FirstRunCheck(); },
              [&](Ui& ui) { EXPECT_EQ(ui.WaitForDialog(1500ms), nullptr) << "opens once per process"; });

    // A process that starts with "first" = 1 never opens it by itself.
    m_module.reset();
    m_module = std::make_unique<TestModule>();
    EXPECT_EQ(App().First(), 1u);
    RunDialog([] { FirstRunCheck(); }, [&](Ui& ui) { EXPECT_EQ(ui.WaitForDialog(1500ms), nullptr); });
}

OwnedWindow MakeBrowserWindow() {
    static const ATOM atom = [] {
        WNDCLASSA wc{};
        wc.lpfnWndProc = &::DefWindowProcA;
        wc.hInstance = ::GetModuleHandleA(nullptr);
        wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
        wc.lpszClassName = "PvDialogTestBrowser";
        return ::RegisterClassA(&wc);
    }();
    (void)atom;
    OwnedWindow window(::CreateWindowA("PvDialogTestBrowser", "Browser", WS_OVERLAPPEDWINDOW, 50, 50, 700,
                                       500, nullptr, nullptr, ::GetModuleHandleA(nullptr), nullptr));
    HWND hwnd = window.Get();
    ::ShowWindow(hwnd, SW_SHOW);
    ::SetForegroundWindow(hwnd);
    ::SetActiveWindow(hwnd);
    MSG msg;
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageA(&msg);
    return window;
}

TEST_F(SettingsDialogTest, OnTheModuleThreadTheActiveWindowOwnsTheDialogAndIsDisabledMeanwhile) {
    Start();
    const OwnedWindow window = MakeBrowserWindow();
    HWND browser = window.Get();
    ASSERT_EQ(::GetActiveWindow(), browser);
    RunDialog(OpenByLauncher, [&](Ui& ui) {
        ASSERT_TRUE(ui.WaitForDialog());
        EXPECT_EQ(::GetWindow(ui.Dialog(), GW_OWNER), browser);
        EXPECT_FALSE(::IsWindowEnabled(browser));
        ui.Click(IDCANCEL);
        EXPECT_TRUE(ui.WaitClosed());
    });
    EXPECT_TRUE(::IsWindowEnabled(browser));
    EXPECT_EQ(::GetActiveWindow(), browser);
}

TEST_F(SettingsDialogTest, OnAnotherThreadTheDialogHasNoOwnerAndTheWindowStaysUsable) {
    Start();
    std::thread other([&] {
        const OwnedWindow window = MakeBrowserWindow();
        HWND browser = window.Get();
        RunDialog(OpenByLauncher, [&](Ui& ui) {
            ASSERT_TRUE(ui.WaitForDialog());
            EXPECT_EQ(::GetWindow(ui.Dialog(), GW_OWNER), nullptr);
            EXPECT_TRUE(::IsWindowEnabled(browser));
            ui.Click(IDCANCEL);
            EXPECT_TRUE(ui.WaitClosed());
        });
        EXPECT_TRUE(::IsWindowEnabled(browser));
    });
    other.join();
}

TEST_F(SettingsDialogTest, MissingTemplateShowsCannotCreateDialog) {
    Start();
    // A module without the dialog templates stands in for the module's own resources.
    SetModuleInstance(::GetModuleHandleA("kernel32.dll"));
    RunDialog(OpenByLauncher, [&](Ui& ui) {
        auto box = ui.WaitForBox();
        ASSERT_TRUE(box);
        EXPECT_EQ(box->text, "Cannot create dialog!");
        EXPECT_EQ(box->caption, App().AppTitle());
        EXPECT_TRUE(box->exclamationIcon);
        ui.Dismiss(*box);
    });
    SetModuleInstance(nullptr);
}

// ---------------------------------------------------------------------------------------------
// The picker's time conversions, without a dialog.

TEST(PickerTime, ScheduleValuesBecomeTimesOnTheFirstOfJanuary2000) {
    SYSTEMTIME st = ScheduleTimeToSystemTime(8, 5);
    EXPECT_EQ(st.wYear, 2000);
    EXPECT_EQ(st.wMonth, 1);
    EXPECT_EQ(st.wDay, 1);
    EXPECT_EQ(st.wHour, 8);
    EXPECT_EQ(st.wMinute, 5);
    EXPECT_EQ(st.wSecond, 0);
    st = ScheduleTimeToSystemTime(25, 0);
    EXPECT_EQ(st.wDay, 2);
    EXPECT_EQ(st.wHour, 1);
    st = ScheduleTimeToSystemTime(-1, 30);
    EXPECT_EQ(st.wYear, 1999);
    EXPECT_EQ(st.wHour, 23);
    EXPECT_EQ(st.wMinute, 30);
    st = ScheduleTimeToSystemTime(10, 75);
    EXPECT_EQ(st.wHour, 11);
    EXPECT_EQ(st.wMinute, 15);
    // Beyond what the local-time conversion can represent: shown as 0:00, not garbage.
    st = ScheduleTimeToSystemTime(INT_MAX, INT_MAX);
    EXPECT_EQ(st.wHour, 0);
    EXPECT_EQ(st.wMinute, 0);
}

TEST(PickerTime, PickerTimesBreakDownToHourAndMinuteOrMinusOne) {
    for (int h : {0, 8, 12, 23})
        for (int m : {0, 5, 59}) {
            const TimeOfDay t = SystemTimeToScheduleTime(ScheduleTimeToSystemTime(h, m));
            EXPECT_EQ(t.hour, h);
            EXPECT_EQ(t.minute, m);
        }
    SYSTEMTIME early{};
    early.wYear = 1000;
    early.wMonth = 1;
    early.wDay = 1;
    const TimeOfDay none = SystemTimeToScheduleTime(early);
    EXPECT_EQ(none.hour, -1);
    EXPECT_EQ(none.minute, -1);
    EXPECT_EQ(ReadPickerTime(nullptr).hour, -1);
}

} // namespace
} // namespace pv::dlgtest
