// Saving pv.dat: overwriting in place, and every way the write can fail reaching the caller as
// a file error with the full path, while the data in memory stay as they were.
#include <functional>
#include <utility>

#include "store/archive.h"
#include "store/file_error.h"
#include "tests/support/store_fixture.h"

namespace pv::test {
namespace {

class StoreSave : public StoreTest {
protected:
    void SetUp() override {
        Load();
        m_data.Append(ListKind::Prohibited, "http://p.test/");
        m_data.Append(ListKind::Allowed, "http://a.test/");
        Schedule s;
        s.bTimeLimit = 1;
        s.rows[2].bEnabled = 1;
        m_data.SetSchedule(s);
    }
    // Runs Save and returns the file error it raised.
    std::optional<FileException> SaveError() {
        try {
            m_data.Save(m_fake);
        } catch (const FileException& e) {
            return e;
        }
        return std::nullopt;
    }
    void ExpectDataUnchanged() {
        EXPECT_EQ(Prohibited(), std::vector<std::string>{"http://p.test/"});
        EXPECT_EQ(Allowed(), std::vector<std::string>{"http://a.test/"});
        EXPECT_EQ(m_data.GetSchedule().bTimeLimit, 1);
        EXPECT_EQ(m_data.GetSchedule().rows[2].bEnabled, 1);
    }
    // What Load makes of pv.dat as it is now.
    struct Loaded {
        std::vector<std::string> prohibited, allowed;
        Schedule schedule;
        friend bool operator==(const Loaded& a, const Loaded& b) {
            return a.prohibited == b.prohibited && a.allowed == b.allowed &&
                   a.schedule.rows == b.schedule.rows && a.schedule.bTimeLimit == b.schedule.bTimeLimit &&
                   a.schedule.bCommonTime == b.schedule.bCommonTime;
        }
    };
    Loaded LoadBack() {
        CData back;
        back.Load(m_fake);
        return {back.Entries(ListKind::Prohibited), back.Entries(ListKind::Allowed), back.GetSchedule()};
    }
    const std::string m_path = "C:\\WINDOWS\\system32\\pv.dat";
    const std::string m_replacement = m_path + ".new";
};

TEST_F(StoreSave, CreatesTheFileWhenAbsent) {
    ASSERT_FALSE(m_fake.files.count(m_path));
    m_data.Save(m_fake);
    ASSERT_TRUE(m_fake.files.count(m_path));
    CData back;
    back.Load(m_fake);
    EXPECT_EQ(back.Entries(ListKind::Prohibited), std::vector<std::string>{"http://p.test/"});
    EXPECT_EQ(back.GetSchedule().bTimeLimit, 1);
    EXPECT_FALSE(m_fake.lockedFiles.count(m_path)); // closed again
}

TEST_F(StoreSave, ShorterContentReplacesALongerFileWhole) {
    for (int i = 0; i < 500; ++i)
        m_data.Append(ListKind::Allowed, "http://long" + std::to_string(i) + ".test/");
    m_data.Save(m_fake);
    ASSERT_GT(File().size(), 4096u * 2);

    for (int i = 0; i < 500; ++i)
        m_data.RemoveAll(ListKind::Allowed, "http://long" + std::to_string(i) + ".test/");
    m_data.Append(ListKind::Prohibited, "new");
    m_data.Save(m_fake);
    const Schedule saved = m_data.GetSchedule();
    EXPECT_EQ(File(), PvDat()
                          .Version()
                          .Rows({saved.rows.begin(), saved.rows.end()})
                          .Switches(0, 1)
                          .I32(3)
                          .Record(1, "http://a.test/")
                          .Record(2, "http://p.test/")
                          .Record(2, "new")
                          .bytes);
    EXPECT_EQ(m_fake.files.size(), 1u) << "nothing left beside pv.dat";
}

TEST_F(StoreSave, NeitherOpenNorCreateIsNotFoundWithTheFullPath) {
    m_fake.createFails = true;
    std::optional<FileException> e = SaveError();
    ASSERT_TRUE(e);
    EXPECT_EQ(e->Cause(), FileStatus::NotFound);
    EXPECT_EQ(e->Path(), m_path);
    EXPECT_EQ(e->Message(), m_path + " was not found.");
    EXPECT_STREQ(e->what(), e->Message().c_str());
    ExpectDataUnchanged();
    EXPECT_FALSE(m_fake.files.count(m_path));
}

TEST_F(StoreSave, ContentBeyondOneBufferStillFailsAsNotFound) {
    for (int i = 0; i < 300; ++i) m_data.Append(ListKind::Prohibited, std::string(40, 'a' + i % 26));
    m_fake.createFails = true;
    std::optional<FileException> e = SaveError();
    ASSERT_TRUE(e);
    EXPECT_EQ(e->Message(), m_path + " was not found.");
    EXPECT_EQ(m_data.Count(ListKind::Prohibited), 301u);
}

TEST_F(StoreSave, FileHeldByAnotherOpenerFails) {
    PvDat old;
    old.Version().ZeroRows().Switches(0, 0).I32(0);
    Put(old);
    m_fake.lockedFiles.insert(m_path);
    std::optional<FileException> e = SaveError();
    ASSERT_TRUE(e);
    EXPECT_EQ(e->Message(), m_path + " was not found.");
    EXPECT_EQ(File(), old.bytes); // untouched
}

TEST_F(StoreSave, DiskFullIsReportedAndDataKept) {
    for (std::size_t capacity : {std::size_t{0}, std::size_t{100}, std::size_t{4096}, std::size_t{5000}}) {
        SCOPED_TRACE(capacity);
        for (int i = 0; i < 200; ++i)
            m_data.Append(ListKind::Allowed, "http://filler.test/" + std::to_string(i));
        m_fake.files.clear();
        m_fake.diskCapacity = capacity;
        std::optional<FileException> e = SaveError();
        ASSERT_TRUE(e);
        EXPECT_EQ(e->Cause(), FileStatus::DiskFull);
        EXPECT_EQ(e->Message(), "Disk full while accessing " + m_path + ".");
        EXPECT_EQ(m_data.Entries(ListKind::Prohibited), std::vector<std::string>{"http://p.test/"});
        EXPECT_FALSE(m_fake.lockedFiles.count(m_path)); // the file was closed despite the error
    }
    m_fake.diskCapacity.reset();
    m_data.Save(m_fake); // room again: the same object saves fine
}

// A save that fails at any point leaves the last complete save loading exactly as it was, with
// the error texts of an in-place write, and no half-written copy taking up the disk.
TEST_F(StoreSave, AFailedSaveLeavesTheLastCompleteSave) {
    for (int i = 0; i < 300; ++i)
        m_data.Append(ListKind::Prohibited, "http://banned" + std::to_string(i) + ".test/");
    m_data.Save(m_fake);
    const Loaded saved = LoadBack();
    ASSERT_EQ(saved.prohibited.size(), 301u);
    ASSERT_EQ(saved.schedule.bTimeLimit, 1);
    for (int i = 0; i < 100; ++i)
        m_data.Append(ListKind::Allowed, "http://more" + std::to_string(i) + ".test/");

    struct Case {
        const char* name;
        std::function<void()> arrange;
        FileStatus cause;
    };
    const std::size_t used = File().size();
    const Case cases[] = {
        {"disk full", [&] { m_fake.diskCapacity = used + 5000; }, FileStatus::DiskFull},
        {"disk full at the first flush", [&] { m_fake.diskCapacity = used + 100; }, FileStatus::DiskFull},
        {"full when made durable", [&] { m_fake.onCommit = [] { return FileStatus::DiskFull; }; },
         FileStatus::DiskFull},
        {"replacement not creatable", [&] { m_fake.lockedFiles.insert(m_replacement); },
         FileStatus::NotFound},
        {"move refused", [&] { m_fake.moveFails = FileStatus::AccessDenied; }, FileStatus::AccessDenied},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.arrange();
        std::optional<FileException> e = SaveError();
        m_fake.diskCapacity.reset();
        m_fake.onCommit = nullptr;
        m_fake.moveFails.reset();
        m_fake.lockedFiles.erase(m_replacement);
        ASSERT_TRUE(e);
        EXPECT_EQ(e->Cause(), c.cause);
        EXPECT_EQ(e->Path(), m_path);
        EXPECT_TRUE(LoadBack() == saved);
        EXPECT_EQ(m_data.Count(ListKind::Allowed), 101u) << "memory keeps the new values";
        if (c.cause != FileStatus::AccessDenied) {
            EXPECT_FALSE(m_fake.files.count(m_replacement));
        }
        EXPECT_TRUE(m_fake.lockedFiles.empty());
    }
    m_fake.diskCapacity = used;
    EXPECT_EQ(SaveError()->Message(), "Disk full while accessing " + m_path + ".");
    m_fake.diskCapacity.reset();
    m_data.Save(m_fake);
    EXPECT_EQ(LoadBack().allowed.size(), 101u);
}

TEST_F(StoreSave, PvDatStaysHeldWhileTheReplacementIsWritten) {
    m_data.Save(m_fake);
    const std::string before = File();
    bool heldDuringWrite = false;
    m_fake.onCommit = [&] {
        // Another process trying to save or load now finds pv.dat taken.
        heldDuringWrite = m_fake.OpenFile(m_path, FileOpen::Read) == nullptr &&
                          m_fake.OpenFile(m_path, FileOpen::WriteAlways) == nullptr;
        return FileStatus::Ok;
    };
    m_data.Append(ListKind::Prohibited, "http://second.test/");
    m_data.Save(m_fake);
    EXPECT_TRUE(heldDuringWrite);
    EXPECT_NE(File(), before);

    // A stale replacement left by a crash is written over, not appended to.
    m_fake.onCommit = nullptr;
    m_fake.files[m_replacement] = std::string(10000, 'x');
    m_data.Save(m_fake);
    EXPECT_EQ(LoadBack().prohibited.size(), 2u);
    EXPECT_FALSE(m_fake.files.count(m_replacement));
}

TEST_F(StoreSave, SaveBeforeAnyLoadWritesSevenZeroRows) {
    CData fresh; // no rows at all yet
    fresh.Append(ListKind::Prohibited, "x");
    fresh.Save(m_fake);
    EXPECT_EQ(File(), PvDat().Version().ZeroRows().Switches(0, 0).I32(1).Record(2, "x").bytes);
    CData other;
    Schedule s;
    s.rows[6].nToMinute = 30;
    other.SetSchedule(s); // grows the missing rows
    EXPECT_EQ(other.ScheduleRowCount(), 7u);
    EXPECT_EQ(other.GetSchedule().rows[6].nToMinute, 30);
}

TEST(StoreFileError, EveryCauseHasItsStandardText) {
    const std::string p = "D:\\dir\\pv.dat";
    EXPECT_EQ(FileException(FileStatus::NotFound, p).Message(), "D:\\dir\\pv.dat was not found.");
    EXPECT_EQ(FileException(FileStatus::DiskFull, p).Message(), "Disk full while accessing D:\\dir\\pv.dat.");
    EXPECT_EQ(FileException(FileStatus::AccessDenied, p).Message(), "Access to D:\\dir\\pv.dat was denied.");
    EXPECT_EQ(FileException(FileStatus::SharingViolation, p).Message(),
              "A sharing violation occurred while accessing D:\\dir\\pv.dat.");
    EXPECT_EQ(FileException(FileStatus::Generic, p).Message(),
              "A generic error occurred while accessing D:\\dir\\pv.dat.");
    // A path that itself contains the placeholder is inserted literally, not expanded again.
    EXPECT_EQ(FileException(FileStatus::NotFound, "C:\\%1").Message(), "C:\\%1 was not found.");
    // Ok never means success once it is an exception.
    EXPECT_NE(FileException(FileStatus::Ok, p).Message().find("error"), std::string::npos);
}

// A write error of an opened file carries its own cause, raised at the flush that met it.
TEST(StoreArchive, WriteErrorsCarryTheirCause) {
    class RefusingFile : public pv::File {
    public:
        explicit RefusingFile(FileStatus s) : m_status(s) {}
        FileStatus Read(void*, std::size_t, std::size_t* read) override {
            *read = 0;
            return FileStatus::Ok;
        }
        FileStatus Write(const void*, std::size_t size) override {
            writes.push_back(size);
            return m_status;
        }
        std::uint64_t Size() override { return 0; }
        std::vector<std::size_t> writes;

    private:
        FileStatus m_status;
    };
    const std::pair<FileStatus, const char*> causes[] = {
        {FileStatus::AccessDenied, "Access to E:\\pv.dat was denied."},
        {FileStatus::SharingViolation, "A sharing violation occurred while accessing E:\\pv.dat."},
        {FileStatus::Generic, "A generic error occurred while accessing E:\\pv.dat."},
    };
    for (const auto& [s, text] : causes) {
        RefusingFile f(s);
        Archive ar(&f, Archive::Mode::Store, "E:\\pv.dat");
        ar.WriteString("small");
        EXPECT_TRUE(f.writes.empty()); // buffered until the flush
        try {
            ar.Close();
            ADD_FAILURE() << "close succeeded";
        } catch (const FileException& e) {
            EXPECT_EQ(e.Cause(), s);
            EXPECT_EQ(e.Message(), text);
        }
    }
}

TEST(StoreArchive, BuffersInFourKilobyteWritesAndPassesLargeBlocksThrough) {
    class RecordingFile : public pv::File {
    public:
        FileStatus Read(void*, std::size_t, std::size_t* read) override {
            *read = 0;
            return FileStatus::Ok;
        }
        FileStatus Write(const void* p, std::size_t size) override {
            sizes.push_back(size);
            bytes.append(static_cast<const char*>(p), size);
            return FileStatus::Ok;
        }
        std::uint64_t Size() override { return bytes.size(); }
        std::vector<std::size_t> sizes;
        std::string bytes;
    };
    RecordingFile f;
    std::string expected;
    {
        Archive ar(&f, Archive::Mode::Store, "x");
        for (int i = 0; i < 1000; ++i) {
            ar.WriteInt32(i);
            expected.append(reinterpret_cast<const char*>(&i), 4); // little-endian hosts only
        }
        const std::string big(10000, 'b');
        ar.Write(big.data(), big.size());
        expected += big;
        ar.WriteUInt16(0xBEEF);
        expected += "\xEF\xBE";
        ar.Close();
    }
    EXPECT_EQ(f.bytes, expected);
    ASSERT_GE(f.sizes.size(), 2u);
    EXPECT_EQ(f.sizes[0], 4000u + 96u); // the first flush is a full buffer
}

} // namespace
} // namespace pv::test
