// The settings store on the real registry and file system: registry values, pv.dat in the system
// directory, and start-up.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "platform/handles_win.h"
#include "platform/win32_platform_win.h"
#include "store/data.h"
#include "store/file_error.h"
#include "store/vigil_app.h"
#include "tests/support/store_support_win.h"

namespace pv::wintest {
namespace {

class WinSettings : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* v : {"first", "name", "ps", "checkURL", "errURL"}) DeleteRaw(v);
    }
    CVigilApp& Start() {
        m_app = std::make_unique<CVigilApp>(m_platform);
        EXPECT_TRUE(m_app->Startup());
        return *m_app;
    }
    Win32Platform m_platform{nullptr};
    SettingsKeyGuard m_keyGuard;
    FileGuard m_fileGuard{CData::FilePath(m_platform)};
    std::unique_ptr<CVigilApp> m_app;
};

TEST_F(WinSettings, AbsentValuesGiveEmptyStringsAndFlagZero) {
    Start();
    EXPECT_EQ(m_app->First(), 0u);
    EXPECT_EQ(m_app->Name(), "");
    EXPECT_EQ(m_app->Password(), "");
    EXPECT_EQ(m_app->CheckURL(), "");
    EXPECT_EQ(m_app->ErrURL(), "");
}

TEST_F(WinSettings, ValuesAreReadWhateverTheirTypeAndTerminator) {
    WriteRaw("first", REG_DWORD, std::string("\x01\x00\x00\x00", 4));
    WriteRaw("name", REG_SZ, "bob");                          // stored without a NUL
    WriteRaw("ps", REG_SZ, std::string("pw\0", 3));           // with one
    WriteRaw("checkURL", REG_BINARY, "http://bin.test/c");    // text in a binary value
    WriteRaw("errURL", REG_SZ, std::string(600, 'e') + '\0'); // longer than 512
    ASSERT_EQ(StoredWideChars("name"), 3u) << "the value really has no terminator";
    Start();
    EXPECT_EQ(m_app->First(), 1u);
    EXPECT_EQ(m_app->Name(), "bob");
    EXPECT_EQ(m_app->Password(), "pw");
    EXPECT_EQ(m_app->CheckURL(), "http://bin.test/c");
    EXPECT_EQ(m_app->ErrURL(), std::string(512, 'e'));
}

TEST_F(WinSettings, WritersStoreRegSzWithoutTheNulAndTheNextStartReadsThem) {
    Start();
    m_app->StoreName("carol");
    m_app->StorePassword("");
    m_app->StoreCheckURL("http://relocated.test/");
    EXPECT_TRUE(m_app->TakeFirstRun());

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
    EXPECT_EQ(m_app->Name(), "carol");
    EXPECT_EQ(m_app->Password(), "");
    EXPECT_EQ(m_app->CheckURL(), "http://relocated.test/");
    EXPECT_EQ(m_app->First(), 1u);
    EXPECT_FALSE(m_app->TakeFirstRun());
}

TEST_F(WinSettings, StartUpFixesTitleAndHelpPathAndLeavesTheSessionForLater) {
    Start();
    EXPECT_EQ(m_app->AppTitle(), "pv_store_win_tests");
    EXPECT_EQ(m_app->HelpFile(), m_platform.WindowsDirectory() + "\\PathvigilHelp.chm");
    InternetHandle session = m_app->Session();
    EXPECT_NE(session, nullptr);
    EXPECT_EQ(m_app->Session(), session);
}

TEST_F(WinSettings, DataFileLivesInTheSystemDirectoryAndRoundTrips) {
    const std::string path = CData::FilePath(m_platform);
    EXPECT_EQ(path, m_platform.SystemDirectory() + "\\pv.dat");
    ::DeleteFileA(path.c_str());
    {
        CData data;
        data.Load(m_platform);
        EXPECT_EQ(data.Count(ListKind::Allowed), 0u);
        EXPECT_EQ(data.ScheduleRowCount(), 7u);
        data.Append(ListKind::Allowed, "http://allowed.test/");
        data.Append(ListKind::Prohibited, std::string(300, 'p'));
        data.Append(ListKind::Prohibited, "http://bad.test/");
        Schedule s;
        s.rows[2] = {1, 8, 30, 17, 45};
        s.bTimeLimit = 1;
        data.SetSchedule(s);
        ASSERT_NO_THROW(data.Save(m_platform));
    }
    auto bytes = ReadWholeFile(path);
    ASSERT_TRUE(bytes.has_value());
    EXPECT_EQ(bytes->substr(0, 13), std::string("\x0CVersion: 1.2"));
    EXPECT_EQ(bytes->size(), 165u + 3 * 4 + (1 + 20) + (3 + 300) + (1 + 16));

    CData again;
    again.Load(m_platform);
    EXPECT_EQ(again.Entries(ListKind::Allowed), std::vector<std::string>{"http://allowed.test/"});
    EXPECT_EQ(again.Entries(ListKind::Prohibited),
              (std::vector<std::string>{std::string(300, 'p'), "http://bad.test/"}));
    Schedule s = again.GetSchedule();
    EXPECT_EQ(s.rows[2], (ScheduleEntry{1, 8, 30, 17, 45}));
    EXPECT_EQ(s.bTimeLimit, 1);
    EXPECT_EQ(s.bCommonTime, 0);
}

// Save writes a replacement beside pv.dat and moves it over the old file, holding pv.dat unshared
// meanwhile so that no second writer or reader gets in.
TEST_F(WinSettings, SaveReplacesTheFileWholeAndHoldsItMeanwhile) {
    class WatchingPlatform : public Win32Platform {
    public:
        WatchingPlatform() : Win32Platform(nullptr) {}
        std::unique_ptr<File> OpenFile(const std::string& path, FileOpen mode) override {
            if (path == CData::ReplacementPath(*this)) {
                const std::string held = CData::FilePath(*this);
                const KernelHandle h(::CreateFileA(held.c_str(), GENERIC_READ,
                                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                                   nullptr, OPEN_EXISTING, 0, nullptr));
                const DWORD error = ::GetLastError();
                heldWhileWriting = heldWhileWriting && !h && error == ERROR_SHARING_VIOLATION;
            }
            return Win32Platform::OpenFile(path, mode);
        }
        bool heldWhileWriting = true;
    };
    WatchingPlatform watching;
    const std::string path = CData::FilePath(m_platform);
    {
        CData data;
        data.Load(m_platform);
        for (int i = 0; i < 20; ++i)
            data.Append(ListKind::Allowed, "http://long-entry-" + std::to_string(i) + ".test/");
        data.Save(watching);
    }
    const auto longSize = ReadWholeFile(path)->size();
    {
        CData data;
        data.Load(m_platform);
        for (int i = 1; i < 20; ++i)
            data.RemoveAll(ListKind::Allowed, "http://long-entry-" + std::to_string(i) + ".test/");
        data.Save(watching);
    }
    EXPECT_TRUE(watching.heldWhileWriting);
    const std::size_t shortSize = 165u + 4 + 1 + std::string("http://long-entry-0.test/").size();
    ASSERT_GT(longSize, shortSize);
    EXPECT_EQ(ReadWholeFile(path)->size(), shortSize) << "no tail of the longer file is left";
    EXPECT_EQ(::GetFileAttributesA(CData::ReplacementPath(m_platform).c_str()), INVALID_FILE_ATTRIBUTES);
    CData again;
    again.Load(m_platform);
    EXPECT_EQ(again.Entries(ListKind::Allowed), std::vector<std::string>{"http://long-entry-0.test/"});
}

TEST_F(WinSettings, LockedDataFileGivesDefaultsOnLoadAndAnErrorOnSave) {
    const std::string path = CData::FilePath(m_platform);
    {
        CData data;
        data.Load(m_platform);
        data.Append(ListKind::Allowed, "http://kept.test/");
        data.Save(m_platform);
    }
    KernelHandle held(::CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    CData data;
    data.Load(m_platform);
    EXPECT_EQ(data.Count(ListKind::Allowed), 0u);
    EXPECT_EQ(data.ScheduleRowCount(), 7u);
    bool raised = false;
    try {
        data.Save(m_platform);
    } catch (const FileException& e) {
        raised = true;
        EXPECT_EQ(e.Path(), path);
    }
    held.Reset();
    EXPECT_TRUE(raised);
    CData after;
    after.Load(m_platform);
    EXPECT_EQ(after.Entries(ListKind::Allowed), std::vector<std::string>{"http://kept.test/"});
}

} // namespace
} // namespace pv::wintest

namespace pv::wintest {
namespace {

// pv.dat on a file system that fills up (with_small_disk.sh provides it).
class SmallDiskPlatform : public Win32Platform {
public:
    explicit SmallDiskPlatform(std::string dir) : Win32Platform(nullptr), m_dir(std::move(dir)) {}
    std::string SystemDirectory() override { return m_dir; }

private:
    std::string m_dir;
};

// Writes until the disk refuses, in ever smaller pieces, so that no room is left.
void FillDisk(const std::string& path) {
    const KernelHandle h(::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(h);
    const std::string chunk(65536, 'f');
    for (DWORD size = 65536; size > 0; size /= 2) {
        DWORD written = 0;
        while (::WriteFile(h.Get(), chunk.data(), size, &written, nullptr) && written == size) {}
    }
}

TEST(WinFullDisk, ASaveThatRunsOutOfRoomLeavesTheLastCompleteSave) {
    const char* dir = std::getenv("PV_SMALL_DISK");
    if (!dir || !*dir) GTEST_SKIP() << "needs a small file system of its own (with_small_disk.sh)";
    SmallDiskPlatform platform(WindowsPath(dir));
    const std::string path = CData::FilePath(platform);
    const std::string filler = WindowsPath(dir) + "\\filler";

    CData data;
    data.Load(platform);
    Schedule s;
    s.bTimeLimit = 1;
    s.rows[0] = {1, 8, 0, 16, 30};
    data.SetSchedule(s);
    for (int i = 0; i < 300; ++i)
        data.Append(ListKind::Prohibited, "http://banned" + std::to_string(i) + ".test/");
    for (int i = 0; i < 20; ++i) data.Append(ListKind::Allowed, "http://ok" + std::to_string(i) + ".test/");
    ASSERT_NO_THROW(data.Save(platform));

    FillDisk(filler);
    // Allowed entries are written first: an in-place write would lose Prohibited ones.
    for (int i = 20; i < 200; ++i) data.Append(ListKind::Allowed, "http://ok" + std::to_string(i) + ".test/");
    try {
        data.Save(platform);
        ADD_FAILURE() << "a save onto a full disk succeeded";
    } catch (const FileException& e) {
        EXPECT_EQ(e.Cause(), FileStatus::DiskFull);
        EXPECT_EQ(e.Message(), "Disk full while accessing " + path + ".");
    }
    {
        CData back;
        back.Load(platform);
        EXPECT_EQ(back.Count(ListKind::Prohibited), 300u);
        EXPECT_EQ(back.Count(ListKind::Allowed), 20u);
        EXPECT_EQ(back.GetSchedule().bTimeLimit, 1);
        EXPECT_EQ(back.GetSchedule().rows[0], (ScheduleEntry{1, 8, 0, 16, 30}));
    }
    EXPECT_EQ(::GetFileAttributesA(CData::ReplacementPath(platform).c_str()), INVALID_FILE_ATTRIBUTES)
        << "the half-written replacement is removed";

    ::DeleteFileA(filler.c_str());
    ASSERT_NO_THROW(data.Save(platform));
    CData back;
    back.Load(platform);
    EXPECT_EQ(back.Count(ListKind::Allowed), 200u);
    ::DeleteFileA(path.c_str());
}

} // namespace
} // namespace pv::wintest
