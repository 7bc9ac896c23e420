// Helpers for the pv.dat tests: a byte builder that can spell every length-prefix form the
// reader must accept, and a fixture with a fake system directory.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "store/data.h"
#include "tests/support/fake_platform.h"

namespace pv::test {

class PvDat {
public:
    PvDat& U8(uint8_t v) {
        bytes.push_back(static_cast<char>(v));
        return *this;
    }
    PvDat& U16(uint16_t v) { return U8(v & 0xFF).U8(v >> 8); }
    PvDat& U32(uint32_t v) { return U16(v & 0xFFFF).U16(v >> 16); }
    PvDat& I32(int32_t v) { return U32(static_cast<uint32_t>(v)); }
    PvDat& U64(uint64_t v) { return U32(static_cast<uint32_t>(v)).U32(static_cast<uint32_t>(v >> 32)); }
    PvDat& Raw(std::string_view s) {
        bytes.append(s);
        return *this;
    }
    // The shortest prefix, as the writer produces it.
    PvDat& Str(std::string_view s) {
        if (s.size() < 0xFF)
            U8(static_cast<uint8_t>(s.size()));
        else if (s.size() < 0xFFFE)
            U8(0xFF).U16(static_cast<uint16_t>(s.size()));
        else
            U8(0xFF).U16(0xFFFF).U32(static_cast<uint32_t>(s.size()));
        return Raw(s);
    }
    // Wide form: 0xFF, 0xFFFE, then a one-byte or 0xFF + uint16 length in characters.
    PvDat& Wide(std::u16string_view s, bool longPrefix = false) {
        U8(0xFF).U16(0xFFFE);
        if (longPrefix || s.size() >= 0xFF)
            U8(0xFF).U16(static_cast<uint16_t>(s.size()));
        else
            U8(static_cast<uint8_t>(s.size()));
        for (char16_t c : s) U16(c);
        return *this;
    }
    PvDat& Version(std::string_view v = CData::kVersion) { return Str(v); }
    PvDat& Row(const ScheduleEntry& e) {
        return I32(e.bEnabled).I32(e.nFromHour).I32(e.nFromMinute).I32(e.nToHour).I32(e.nToMinute);
    }
    PvDat& Rows(const std::vector<ScheduleEntry>& rows) {
        for (const ScheduleEntry& e : rows) Row(e);
        return *this;
    }
    PvDat& ZeroRows() { return Rows(std::vector<ScheduleEntry>(7)); }
    // Common-time switch first, as in the file.
    PvDat& Switches(int32_t commonTime, int32_t timeLimit) { return I32(commonTime).I32(timeLimit); }
    PvDat& Record(int32_t tag, std::string_view s) { return I32(tag).Str(s); }

    std::string bytes;
};

// Seven distinct rows, so a swapped or shifted field shows.
inline std::vector<ScheduleEntry> SampleRows() {
    std::vector<ScheduleEntry> rows;
    for (int32_t d = 0; d < 7; ++d) rows.push_back({d % 2, 8 + d, 5 * d, 17 + d % 3, 59 - d});
    return rows;
}

class StoreTest : public ::testing::Test {
protected:
    std::string& File() { return m_fake.files[m_fake.PvDatPath()]; }
    void Put(const PvDat& d) { m_fake.files[m_fake.PvDatPath()] = d.bytes; }
    void Load() { m_data.Load(m_fake); }
    std::vector<std::string> Prohibited() const { return m_data.Entries(ListKind::Prohibited); }
    std::vector<std::string> Allowed() const { return m_data.Entries(ListKind::Allowed); }
    void ExpectRows(const std::vector<ScheduleEntry>& rows) {
        ASSERT_GE(m_data.ScheduleRowCount(), 7u);
        Schedule s = m_data.GetSchedule();
        for (std::size_t i = 0; i < 7; ++i) {
            ScheduleEntry want = i < rows.size() ? rows[i] : ScheduleEntry{};
            EXPECT_EQ(s.rows[i], want) << "row " << i;
        }
    }

    FakePlatform m_fake;
    CData m_data;
};

} // namespace pv::test
