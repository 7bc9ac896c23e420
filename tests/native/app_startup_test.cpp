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
    f.append(8, '\0');                 // common time, time limit
    f += std::string("\x01\0\0\0", 4); // count 1
    f += std::string("\x01\0\0\0", 4); // tag 1: Allowed
    f.push_back(3);
    f += "a.b";
    return f;
}

class AppStartup : public ::testing::Test {
protected:
    void SetUp() override {
        m_fake.files[m_fake.PvDatPath()] = OneEntryFile();
        m_fake.SetRegString("name", "alice");
        m_fake.SetRegString("checkURL", "http://svc/c");
    }
    bool Start() {
        m_app = std::make_unique<CVigilApp>(m_fake);
        return m_app->Startup();
    }
    RecordingPlatform m_fake;
    std::unique_ptr<CVigilApp> m_app;
};

TEST_F(AppStartup, RefusesShellHostsWhateverTheCaseAndWherever) {
    for (const char* host :
         {"C:\\WINDOWS\\Explorer.EXE", "C:\\windows\\explorer.exe", "D:\\explorer.exe.bak\\browser.exe",
          "C:\\x\\EXPLORER.EXE.bak\\loader.exe", "C:\\My eXpLoReR.ExE files\\iexplore.exe"}) {
        SCOPED_TRACE(host);
        m_fake.hostPath = host;
        EXPECT_FALSE(Start());
    }
}

TEST_F(AppStartup, RefusedHostLoadsNothingAndOpensNothing) {
    m_fake.hostPath = "C:\\WINDOWS\\Explorer.EXE";
    ASSERT_FALSE(Start());
    EXPECT_EQ(m_fake.Calls(), std::vector<std::string>{"host"});
    EXPECT_EQ(m_app->m_data.Count(ListKind::Allowed), 0u);
    EXPECT_EQ(m_app->Name(), "");
    EXPECT_EQ(m_app->HelpFile(), "");
    EXPECT_TRUE(m_fake.Boxes().empty());
}

TEST_F(AppStartup, NearMissesOfTheShellNameAreAccepted) {
    for (const char* host :
         {"C:\\Program Files\\Internet Explorer\\iexplore.exe", // "iexplore.exe"
          "C:\\explorer\\exe\\browser.exe", "C:\\explorer.ex", "C:\\explorer_exe.exe", "C:\\explorer .exe"}) {
        SCOPED_TRACE(host);
        m_fake.hostPath = host;
        EXPECT_TRUE(Start());
    }
}

TEST_F(AppStartup, RunsItsStepsInOrderAndLeavesTheSessionForLater) {
    ASSERT_TRUE(Start());
    // Where pv.dat's path is built is the file's own business; the order of the steps is not.
    std::vector<std::string> calls = m_fake.Calls();
    std::erase(calls, "sysdir");
    const std::vector<std::string> expected = {
        "host",
        "open " + m_fake.PvDatPath(),
        "get Pathvigil.CVigil\\first",
        "get Pathvigil.CVigil\\name",
        "get Pathvigil.CVigil\\ps",
        "get Pathvigil.CVigil\\checkURL",
        "get Pathvigil.CVigil\\errURL",
        "windir",
        "module",
    };
    EXPECT_EQ(calls, expected);
    EXPECT_EQ(m_fake.sessionOpens, 0);
    EXPECT_EQ(m_fake.Writes(), 0) << "start-up writes nothing";
    EXPECT_EQ(m_app->m_data.Entries(ListKind::Allowed), std::vector<std::string>{"a.b"});
    EXPECT_EQ(m_app->Name(), "alice");
    EXPECT_EQ(m_app->CheckURL(), "http://svc/c");
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
        m_fake.modulePath = c.path;
        ASSERT_TRUE(Start());
        EXPECT_EQ(m_app->AppTitle(), c.title);
    }
}

TEST_F(AppStartup, HelpFileLiesInTheWindowsDirectoryWhereverTheModuleIs) {
    m_fake.modulePath = "D:\\x\\Filter.dll";
    m_fake.windowsDir = "E:\\WINNT";
    ASSERT_TRUE(Start());
    EXPECT_EQ(m_app->HelpFile(), "E:\\WINNT\\PathvigilHelp.chm");
}

TEST_F(AppStartup, MessagesAreExclamationBoxesCaptionedWithTheTitle) {
    m_fake.modulePath = "D:\\x\\Filter.dll";
    ASSERT_TRUE(Start());
    m_app->ShowMessage("hello");
    auto boxes = m_fake.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "hello");
    EXPECT_EQ(boxes[0].caption, "Filter");
    EXPECT_EQ(boxes[0].style, kMbOk | kMbIconExclamation);
}

TEST_F(AppStartup, StartUpLowersAPassFlagRaisedBeforeIt) {
    m_app = std::make_unique<CVigilApp>(m_fake);
    m_app->RaisePassOnce();
    ASSERT_TRUE(m_app->Startup());
    EXPECT_FALSE(m_app->PassOnceRaised());
}

TEST_F(AppStartup, SessionIsOpenedOnFirstUseOnlyAndClosedWithTheState) {
    ASSERT_TRUE(Start());
    InternetHandle s = m_app->Session();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(m_app->Session(), s);
    EXPECT_EQ(m_fake.sessionOpens, 1);
    auto calls = m_fake.Calls();
    EXPECT_EQ(calls.back(), "inet open Pathvigil");
    m_app.reset();
    EXPECT_EQ(m_fake.Closed(), std::vector<InternetHandle>{s});
}

TEST_F(AppStartup, FailedSessionIsRetriedAtTheNextUse) {
    ASSERT_TRUE(Start());
    m_fake.sessionFails = true;
    EXPECT_EQ(m_app->Session(), nullptr);
    EXPECT_EQ(m_app->Session(), nullptr);
    EXPECT_EQ(m_fake.sessionOpens, 2);
    m_fake.sessionFails = false;
    InternetHandle s = m_app->Session();
    EXPECT_NE(s, nullptr);
    EXPECT_EQ(m_app->Session(), s);
    EXPECT_EQ(m_fake.sessionOpens, 3);
}

TEST_F(AppStartup, NeverOpenedSessionIsNotClosed) {
    ASSERT_TRUE(Start());
    m_app.reset();
    EXPECT_TRUE(m_fake.Closed().empty());
}

} // namespace
} // namespace pv::test
