// Damaged pv.dat files: start-up must survive every one of them, keep what was complete and
// never size anything by a length the file cannot back.
#include <algorithm>
#include <chrono>
#include <cstring>

#include "store/archive.h"
#include "store/file_error.h"
#include "tests/support/store_fixture.h"

namespace pv::test {
namespace {

class StoreMalformed : public StoreTest {};

// Cut a valid file at every length and check exactly which records survive.
TEST_F(StoreMalformed, EveryTruncationKeepsTheCompleteRecordsBeforeIt) {
    const std::vector<ScheduleEntry> rows = SampleRows();
    PvDat full;
    full.Version().Rows(rows).Switches(1, 1).I32(4);
    // Record ends, to know which records a cut leaves whole.
    std::vector<std::pair<std::size_t, std::string>> allowedEnds, prohibitedEnds;
    const std::pair<int, std::string> records[] = {
        {1, "http://a.test/"}, {2, std::string(300, 'p')}, {1, ""}, {2, "q"}};
    for (const auto& [tag, text] : records) {
        full.Record(tag, text);
        (tag == 1 ? allowedEnds : prohibitedEnds).emplace_back(full.bytes.size(), text);
    }
    const std::size_t rowsStart = 13;
    const std::size_t switchesEnd = rowsStart + 7 * 20 + 8;

    for (std::size_t cut = 0; cut <= full.bytes.size(); ++cut) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        m_fake.files[m_fake.PvDatPath()] = full.bytes.substr(0, cut);
        CData d;
        d.Load(m_fake);
        ASSERT_EQ(d.ScheduleRowCount(), 7u);
        Schedule s = d.GetSchedule();
        for (std::size_t r = 0; r < 7; ++r) {
            const bool whole = cut >= rowsStart + 20 * (r + 1);
            EXPECT_EQ(s.rows[r], whole ? rows[r] : ScheduleEntry{}) << "row " << r;
        }
        // A switch read whole is kept: a cut file must not lift the time limit.
        EXPECT_EQ(s.bCommonTime, cut >= switchesEnd - 4 ? 1 : 0);
        EXPECT_EQ(s.bTimeLimit, cut >= switchesEnd ? 1 : 0);
        auto expect = [&](const auto& ends) {
            std::vector<std::string> v;
            for (const auto& [end, text] : ends)
                if (cut >= end && cut >= switchesEnd) v.push_back(text);
            return v;
        };
        EXPECT_EQ(d.Entries(ListKind::Allowed), expect(allowedEnds));
        EXPECT_EQ(d.Entries(ListKind::Prohibited), expect(prohibitedEnds));
        // The index agrees with what was kept.
        for (const std::string& e : d.Entries(ListKind::Prohibited))
            EXPECT_EQ(d.Classify(e), Listed::Prohibited);
    }
}

TEST_F(StoreMalformed, HugeDeclaredLengthsAreRejectedWithoutReading) {
    struct Case {
        const char* name;
        PvDat string;
    };
    std::vector<Case> cases;
    cases.push_back({"uint32 4 GiB", PvDat().U8(0xFF).U16(0xFFFF).U32(0xFFFFFFFE)});
    cases.push_back({"uint64 31 bits", PvDat().U8(0xFF).U16(0xFFFF).U32(0xFFFFFFFF).U64(0x7FFFFFFF)});
    cases.push_back({"uint64 over 31 bits", PvDat().U8(0xFF).U16(0xFFFF).U32(0xFFFFFFFF).U64(0x80000000)});
    cases.push_back({"uint64 max", PvDat().U8(0xFF).U16(0xFFFF).U32(0xFFFFFFFF).U64(~0ull)});
    cases.push_back({"wide 4 GiB chars", PvDat().U8(0xFF).U16(0xFFFE).U8(0xFF).U16(0xFFFF).U32(0xFFFFFFFE)});
    cases.push_back({"one past the end", PvDat().U8(10).Raw("123456789")});
    cases.push_back({"wide odd byte", PvDat().U8(0xFF).U16(0xFFFE).U8(2).U16('a').U8('b')});
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        PvDat d;
        d.Version().Rows(SampleRows()).Switches(1, 1).I32(3).Record(2, "kept").I32(2);
        d.Raw(c.string.bytes); // the bad string is the last thing in the file
        Put(d);
        const auto start = std::chrono::steady_clock::now();
        CData loaded;
        loaded.Load(m_fake);
        // An allocation sized by the header would take seconds and gigabytes.
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
        EXPECT_EQ(loaded.Entries(ListKind::Prohibited), std::vector<std::string>{"kept"});
        EXPECT_EQ(loaded.GetSchedule().bTimeLimit, 1);
        EXPECT_EQ(loaded.ScheduleRowCount(), 7u);

        // At the archive level: the check comes before any byte of the body is touched.
        PvDat only = c.string;
        m_fake.files["C:\\x"] = only.bytes;
        auto file = m_fake.OpenFile("C:\\x", FileOpen::Read);
        ASSERT_TRUE(file);
        Archive ar(file.get(), Archive::Mode::Load, "C:\\x", &m_fake);
        std::string scratch;
        uint64_t before = 0;
        try {
            Archive::StringHeader h = ar.ReadStringHeader();
            before = ar.Remaining();
            (void)h;
        } catch (const ArchiveException&) {
            continue; // the header itself was impossible (more than 31 bits)
        }
        file.reset();
        m_fake.files["C:\\x"] = only.bytes;
        auto again = m_fake.OpenFile("C:\\x", FileOpen::Read);
        Archive ar2(again.get(), Archive::Mode::Load, "C:\\x", &m_fake);
        try {
            ar2.ReadString(scratch);
            ADD_FAILURE() << "no error";
        } catch (const ArchiveException& e) {
            EXPECT_EQ(e.GetCause(), ArchiveException::Cause::BadLength);
            EXPECT_EQ(ar2.Remaining(), before);
            EXPECT_NE(e.Message().find("C:\\x"), std::string::npos);
        }
    }
}

TEST_F(StoreMalformed, FaultInsideTheScheduleKeepsCompleteRowsAndPadsToSeven) {
    const std::vector<ScheduleEntry> rows = SampleRows();
    PvDat d;
    d.Version().Rows({rows[0], rows[1], rows[2]}).I32(1).I32(9); // row 3 stops after two fields
    Put(d);
    Load();
    EXPECT_EQ(m_data.ScheduleRowCount(), 7u);
    ExpectRows({rows[0], rows[1], rows[2]});
    EXPECT_TRUE(Allowed().empty());
}

TEST_F(StoreMalformed, BrokenVersionStringGivesTheDefaults) {
    for (std::string bytes : {std::string(""), std::string("\x0CVersion"), std::string("\xFF\x01")}) {
        m_fake.files[m_fake.PvDatPath()] = bytes;
        CData d;
        d.Load(m_fake);
        EXPECT_EQ(d.ScheduleRowCount(), 7u);
        EXPECT_EQ(d.Count(ListKind::Allowed) + d.Count(ListKind::Prohibited), 0u);
    }
}

TEST_F(StoreMalformed, CountLargerThanTheRecordsKeepsThemAll) {
    Put(PvDat().Version().ZeroRows().Switches(1, 1).I32(INT32_MAX).Record(1, "a").Record(2, "b").Record(1,
                                                                                                        "c"));
    Load();
    EXPECT_EQ(Allowed(), (std::vector<std::string>{"a", "c"}));
    EXPECT_EQ(Prohibited(), std::vector<std::string>{"b"});
    EXPECT_EQ(m_data.GetSchedule().bTimeLimit, 1);
    EXPECT_EQ(m_data.Longest(ListKind::Allowed), "a");
}

TEST_F(StoreMalformed, LockedOrUnreadableFileGivesTheDefaults) {
    Put(PvDat().Version().Rows(SampleRows()).Switches(1, 1).I32(1).Record(2, "p"));
    m_fake.lockedFiles.insert(m_fake.PvDatPath());
    Load();
    EXPECT_EQ(m_data.ScheduleRowCount(), 7u);
    ExpectRows({});
    EXPECT_TRUE(Prohibited().empty());
}

// A file whose reads fail part-way (a disk error) is treated like a damaged one.
TEST_F(StoreMalformed, ReadErrorPartWayKeepsWhatWasRead) {
    class FailingFile : public pv::File {
    public:
        explicit FailingFile(std::string bytes) : m_bytes(std::move(bytes)) {}
        FileStatus Read(void* buffer, std::size_t size, std::size_t* read) override {
            if (m_pos >= 4096) return FileStatus::Generic;
            std::size_t n = std::min({size, m_bytes.size() - m_pos, std::size_t{4096} - m_pos});
            std::memcpy(buffer, m_bytes.data() + m_pos, n);
            m_pos += n;
            *read = n;
            return FileStatus::Ok;
        }
        FileStatus Write(const void*, std::size_t) override { return FileStatus::AccessDenied; }
        std::uint64_t Size() override { return m_bytes.size(); }

    private:
        std::string m_bytes;
        std::size_t m_pos = 0;
    };
    class FailingPlatform : public FakePlatform {
    public:
        std::string content;
        std::unique_ptr<pv::File> OpenFile(const std::string&, FileOpen mode) override {
            if (mode != FileOpen::Read) return nullptr;
            return std::make_unique<FailingFile>(content);
        }
    };
    FailingPlatform p;
    PvDat d;
    d.Version().Rows(SampleRows()).Switches(1, 1).I32(400);
    for (int i = 0; i < 400; ++i) d.Record(2, "http://site" + std::to_string(i) + ".test/");
    p.content = d.bytes;
    CData loaded;
    loaded.Load(p);
    const std::size_t kept = loaded.Count(ListKind::Prohibited);
    EXPECT_GT(kept, 50u);
    EXPECT_LT(kept, 400u);
    EXPECT_EQ(loaded.Entries(ListKind::Prohibited).back(),
              "http://site" + std::to_string(kept - 1) + ".test/");
    EXPECT_EQ(loaded.GetSchedule().bTimeLimit, 1);
    EXPECT_EQ(loaded.ScheduleRowCount(), 7u);
}

} // namespace
} // namespace pv::test
