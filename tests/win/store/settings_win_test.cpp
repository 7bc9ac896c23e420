// The settings store on the real registry and file system: registry values, pv.dat in the system
// directory, and start-up.
#include <gtest/gtest.h>

#include <memory>

#include "platform/win32_platform_win.h"
#include "store/data.h"
#include "store/file_error.h"
#include "store/vigil_app.h"
#include "tests/win/store/store_win_test.h"

namespace pv::wintest {
namespace {

class WinSettings : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* v : {"first", "name", "ps", "checkURL", "errURL"}) DeleteRaw(v);
    }
    CVigilApp& Start() {
        app = std::make_unique<CVigilApp>(platform);
        EXPECT_TRUE(app->Startup());
        return *app;
    }
    Win32Platform platform{nullptr};
    SettingsKeyGuard keyGuard;
    FileGuard fileGuard{CData::FilePath(platform)};
    std::unique_ptr<CVigilApp> app;
};

TEST_F(WinSettings, AbsentValuesGiveEmptyStringsAndFlagZero) {
    Start();
    EXPECT_EQ(app->First(), 0u);
    EXPECT_EQ(app->Name(), "");
    EXPECT_EQ(app->Password(), "");
    EXPECT_EQ(app->CheckURL(), "");
    EXPECT_EQ(app->ErrURL(), "");
}

TEST_F(WinSettings, ValuesAreReadWhateverTheirTypeAndTerminator) {
    WriteRaw("first", REG_DWORD, std::string("\x01\x00\x00\x00", 4));
    WriteRaw("name", REG_SZ, "bob");                                  // stored without a NUL
    WriteRaw("ps", REG_SZ, std::string("pw\0", 3));                   // with one
    WriteRaw("checkURL", REG_BINARY, "http://bin.test/c");             // text in a binary value
    WriteRaw("errURL", REG_SZ, std::string(600, 'e') + '\0');          // longer than 512
    ASSERT_EQ(StoredWideChars("name"), 3u) << "the value really has no terminator";
    Start();
    EXPECT_EQ(app->First(), 1u);
    EXPECT_EQ(app->Name(), "bob");
    EXPECT_EQ(app->Password(), "pw");
    EXPECT_EQ(app->CheckURL(), "http://bin.test/c");
    EXPECT_EQ(app->ErrURL(), std::string(512, 'e'));
}

TEST_F(WinSettings, WritersStoreRegSzWithoutTheNulAndTheNextStartReadsThem) {
    Start();
    app->StoreName("carol");
    app->StorePassword("");
    app->StoreCheckURL("http://relocated.test/");
    EXPECT_TRUE(app->TakeFirstRun());

    auto name = ReadRaw("name");
    ASSERT_TRUE(name.has_value());
    EXPECT_EQ(name->type, static_cast<DWORD>(REG_SZ));
    // The byte count excludes the NUL; the registry itself may still add one, because the text's
    // buffer ends in a NUL (the count itself is checked on the fake platform).
    EXPECT_TRUE(name->bytes == "carol" || name->bytes == std::string("carol\0", 6)) << name->bytes;
    auto ps = ReadRaw("ps");
    ASSERT_TRUE(ps.has_value());
    EXPECT_EQ(ps->type, static_cast<DWORD>(REG_SZ));
    auto first = ReadRaw("first");
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(first->bytes, std::string("\x01\x00\x00\x00", 4));

    Start();
    EXPECT_EQ(app->Name(), "carol");
    EXPECT_EQ(app->Password(), "");
    EXPECT_EQ(app->CheckURL(), "http://relocated.test/");
    EXPECT_EQ(app->First(), 1u);
    EXPECT_FALSE(app->TakeFirstRun());
}

TEST_F(WinSettings, StartUpFixesTitleAndHelpPathAndLeavesTheSessionForLater) {
    Start();
    EXPECT_EQ(app->AppTitle(), "pv_store_win_tests");
    EXPECT_EQ(app->HelpFile(), platform.WindowsDirectory() + "\\PathvigilHelp.chm");
    InternetHandle session = app->Session();
    EXPECT_NE(session, nullptr);
    EXPECT_EQ(app->Session(), session);
}

TEST_F(WinSettings, DataFileLivesInTheSystemDirectoryAndRoundTrips) {
    const std::string path = CData::FilePath(platform);
    EXPECT_EQ(path, platform.SystemDirectory() + "\\pv.dat");
    ::DeleteFileA(path.c_str());
    {
        CData data;
        data.Load(platform);
        EXPECT_EQ(data.Count(ListKind::Allowed), 0u);
        EXPECT_EQ(data.ScheduleRowCount(), 7u);
        data.Append(ListKind::Allowed, "http://allowed.test/");
        data.Append(ListKind::Prohibited, std::string(300, 'p'));
        data.Append(ListKind::Prohibited, "http://bad.test/");
        Schedule s;
        s.rows[2] = {1, 8, 30, 17, 45};
        s.bTimeLimit = 1;
        data.SetSchedule(s);
        ASSERT_NO_THROW(data.Save(platform));
    }
    auto bytes = ReadWholeFile(path);
    ASSERT_TRUE(bytes.has_value());
    EXPECT_EQ(bytes->substr(0, 13), std::string("\x0CVersion: 1.2"));
    EXPECT_EQ(bytes->size(), 165u + 3 * 4 + (1 + 20) + (3 + 300) + (1 + 16));

    CData again;
    again.Load(platform);
    EXPECT_EQ(again.Entries(ListKind::Allowed), std::vector<std::string>{"http://allowed.test/"});
    EXPECT_EQ(again.Entries(ListKind::Prohibited), (std::vector<std::string>{std::string(300, 'p'), "http://bad.test/"}));
    Schedule s = again.GetSchedule();
    EXPECT_EQ(s.rows[2], (ScheduleEntry{1, 8, 30, 17, 45}));
    EXPECT_EQ(s.bTimeLimit, 1);
    EXPECT_EQ(s.bCommonTime, 0);
}

TEST_F(WinSettings, ShorterContentOverALongerFileKeepsItsLengthAndReadsBackNew) {
    const std::string path = CData::FilePath(platform);
    {
        CData data;
        data.Load(platform);
        for (int i = 0; i < 20; ++i) data.Append(ListKind::Allowed, "http://long-entry-" + std::to_string(i) + ".test/");
        data.Save(platform);
    }
    const auto longSize = ReadWholeFile(path)->size();
    {
        CData data;
        data.Load(platform);
        data.RemoveAll(ListKind::Allowed, "http://long-entry-0.test/");
        for (int i = 2; i < 20; ++i) data.RemoveAll(ListKind::Allowed, "http://long-entry-" + std::to_string(i) + ".test/");
        data.Save(platform);
    }
    EXPECT_EQ(ReadWholeFile(path)->size(), longSize);
    CData again;
    again.Load(platform);
    EXPECT_EQ(again.Entries(ListKind::Allowed), std::vector<std::string>{"http://long-entry-1.test/"});
}

TEST_F(WinSettings, LockedDataFileGivesDefaultsOnLoadAndAnErrorOnSave) {
    const std::string path = CData::FilePath(platform);
    {
        CData data;
        data.Load(platform);
        data.Append(ListKind::Allowed, "http://kept.test/");
        data.Save(platform);
    }
    HANDLE held = ::CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    CData data;
    data.Load(platform);
    EXPECT_EQ(data.Count(ListKind::Allowed), 0u);
    EXPECT_EQ(data.ScheduleRowCount(), 7u);
    bool raised = false;
    try {
        data.Save(platform);
    } catch (const FileException& e) {
        raised = true;
        EXPECT_EQ(e.Path(), path);
    }
    ::CloseHandle(held);
    EXPECT_TRUE(raised);
    CData after;
    after.Load(platform);
    EXPECT_EQ(after.Entries(ListKind::Allowed), std::vector<std::string>{"http://kept.test/"});
}

} // namespace
} // namespace pv::wintest
