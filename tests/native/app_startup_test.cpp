// Module start-up: the shell refusal, what is loaded and in which order, the title and help path.
#include <gtest/gtest.h>

#include "tests/support/app_fixture.h"

namespace pv::test {
namespace {

// A pv.dat holding one Allowed entry, so a test can tell whether the file was read.
std::string OneEntryFile() {
    std::string f;
    f.push_back(12);
    f += "Version: 1.2";
    f.append(7 * 5 * 4, '\0');
    f.append(8, '\0');                  // common time, time limit
    f += std::string("\x01\0\0\0", 4);  // count 1
    f += std::string("\x01\0\0\0", 4);  // tag 1: Allowed
    f.push_back(3);
    f += "a.b";
    return f;
}

class AppStartup : public ::testing::Test {
protected:
    void SetUp() override {
        fake.files[fake.PvDatPath()] = OneEntryFile();
        fake.SetRegString("name", "alice");
        fake.SetRegString("checkURL", "http://svc/c");
    }
    bool Start() {
        app = std::make_unique<CVigilApp>(fake);
        return app->Startup();
    }
    RecordingPlatform fake;
    std::unique_ptr<CVigilApp> app;
};

TEST_F(AppStartup, RefusesShellHostsWhateverTheCaseAndWherever) {
    for (const char* host : {"C:\\WINDOWS\\Explorer.EXE", "C:\\windows\\explorer.exe",
                             "D:\\explorer.exe.bak\\browser.exe", "C:\\x\\EXPLORER.EXE.bak\\loader.exe",
                             "C:\\My eXpLoReR.ExE files\\iexplore.exe"}) {
        SCOPED_TRACE(host);
        fake.hostPath = host;
        EXPECT_FALSE(Start());
    }
}

TEST_F(AppStartup, RefusedHostLoadsNothingAndOpensNothing) {
    fake.hostPath = "C:\\WINDOWS\\Explorer.EXE";
    ASSERT_FALSE(Start());
    EXPECT_EQ(fake.Calls(), std::vector<std::string>{"host"});
    EXPECT_EQ(app->m_data.Count(ListKind::Allowed), 0u);
    EXPECT_EQ(app->Name(), "");
    EXPECT_EQ(app->HelpFile(), "");
    EXPECT_TRUE(fake.Boxes().empty());
}

TEST_F(AppStartup, NearMissesOfTheShellNameAreAccepted) {
    for (const char* host : {"C:\\Program Files\\Internet Explorer\\iexplore.exe",   // "iexplore.exe"
                             "C:\\explorer\\exe\\browser.exe", "C:\\explorer.ex", "C:\\explorer_exe.exe",
                             "C:\\explorer .exe"}) {
        SCOPED_TRACE(host);
        fake.hostPath = host;
        EXPECT_TRUE(Start());
    }
}

TEST_F(AppStartup, RunsItsStepsInOrderAndLeavesTheSessionForLater) {
    ASSERT_TRUE(Start());
    // Where pv.dat's path is built is the file's own business; the order of the steps is not.
    std::vector<std::string> calls = fake.Calls();
    std::erase(calls, "sysdir");
    const std::vector<std::string> expected = {
        "host",
        "open " + fake.PvDatPath(),
        "get Pathvigil.CVigil\\first",
        "get Pathvigil.CVigil\\name",
        "get Pathvigil.CVigil\\ps",
        "get Pathvigil.CVigil\\checkURL",
        "get Pathvigil.CVigil\\errURL",
        "windir",
        "module",
    };
    EXPECT_EQ(calls, expected);
    EXPECT_EQ(fake.sessionOpens, 0);
    EXPECT_EQ(fake.Writes(), 0) << "start-up writes nothing";
    EXPECT_EQ(app->m_data.Entries(ListKind::Allowed), std::vector<std::string>{"a.b"});
    EXPECT_EQ(app->Name(), "alice");
    EXPECT_EQ(app->CheckURL(), "http://svc/c");
}

TEST_F(AppStartup, NothingPresentGivesTheDefaults) {
    RecordingPlatform empty;
    CVigilApp bare(empty);
    ASSERT_TRUE(bare.Startup());
    EXPECT_EQ(bare.m_data.Count(ListKind::Allowed), 0u);
    EXPECT_EQ(bare.m_data.Count(ListKind::Prohibited), 0u);
    EXPECT_EQ(bare.m_data.ScheduleRowCount(), 7u);
    Schedule s = bare.m_data.GetSchedule();
    for (const ScheduleEntry& row : s.rows) EXPECT_EQ(row, ScheduleEntry{});
    EXPECT_EQ(s.bTimeLimit, 0);
    EXPECT_EQ(s.bCommonTime, 0);
    EXPECT_EQ(bare.Name(), "");
    EXPECT_EQ(bare.Password(), "");
    EXPECT_EQ(bare.CheckURL(), "");
    EXPECT_EQ(bare.ErrURL(), "");
    EXPECT_EQ(bare.First(), 0u);
    EXPECT_FALSE(bare.PassOnceRaised());
    EXPECT_EQ(empty.sessionOpens, 0);
}

TEST_F(AppStartup, TitleIsTheModuleFileNameWithoutDirectoryOrExtension) {
    struct Case {
        const char* path;
        const char* title;
    };
    for (const Case& c : {Case{"D:\\x\\Filter.dll", "Filter"}, Case{"Pathvigil.dll", "Pathvigil"},
                          Case{"C:\\a.b\\Name", "Name"}, Case{"C:\\dir\\two.dots.dll", "two.dots"},
                          Case{"\\\\server\\share\\Mixed.DLL", "Mixed"}, Case{"C:\\dir\\.dll", ""},
                          Case{"C:Relative.dll", "Relative"}}) {
        SCOPED_TRACE(c.path);
        fake.modulePath = c.path;
        ASSERT_TRUE(Start());
        EXPECT_EQ(app->AppTitle(), c.title);
    }
}

TEST_F(AppStartup, HelpFileLiesInTheWindowsDirectoryWhereverTheModuleIs) {
    fake.modulePath = "D:\\x\\Filter.dll";
    fake.windowsDir = "E:\\WINNT";
    ASSERT_TRUE(Start());
    EXPECT_EQ(app->HelpFile(), "E:\\WINNT\\PathvigilHelp.chm");
}

TEST_F(AppStartup, MessagesAreExclamationBoxesCaptionedWithTheTitle) {
    fake.modulePath = "D:\\x\\Filter.dll";
    ASSERT_TRUE(Start());
    app->ShowMessage("hello");
    auto boxes = fake.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "hello");
    EXPECT_EQ(boxes[0].caption, "Filter");
    EXPECT_EQ(boxes[0].style, kMbOk | kMbIconExclamation);
}

TEST_F(AppStartup, StartUpLowersAPassFlagRaisedBeforeIt) {
    app = std::make_unique<CVigilApp>(fake);
    app->RaisePassOnce();
    ASSERT_TRUE(app->Startup());
    EXPECT_FALSE(app->PassOnceRaised());
}

TEST_F(AppStartup, SessionIsOpenedOnFirstUseOnlyAndClosedWithTheState) {
    ASSERT_TRUE(Start());
    InternetHandle s = app->Session();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(app->Session(), s);
    EXPECT_EQ(fake.sessionOpens, 1);
    auto calls = fake.Calls();
    EXPECT_EQ(calls.back(), "inet open Pathvigil");
    app.reset();
    EXPECT_EQ(fake.Closed(), std::vector<InternetHandle>{s});
}

TEST_F(AppStartup, FailedSessionIsRetriedAtTheNextUse) {
    ASSERT_TRUE(Start());
    fake.sessionFails = true;
    EXPECT_EQ(app->Session(), nullptr);
    EXPECT_EQ(app->Session(), nullptr);
    EXPECT_EQ(fake.sessionOpens, 2);
    fake.sessionFails = false;
    InternetHandle s = app->Session();
    EXPECT_NE(s, nullptr);
    EXPECT_EQ(app->Session(), s);
    EXPECT_EQ(fake.sessionOpens, 3);
}

TEST_F(AppStartup, NeverOpenedSessionIsNotClosed) {
    ASSERT_TRUE(Start());
    app.reset();
    EXPECT_TRUE(fake.Closed().empty());
}

} // namespace
} // namespace pv::test
