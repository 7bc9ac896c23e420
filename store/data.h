// The filter data: Prohibited and Allowed lists, the weekly schedule and its two switches,
// kept in pv.dat in the Windows system directory.
//
// One CData lives in the module state and is shared by every browser window's thread and by the
// settings dialog. All access goes through the member functions below, which take the object's
// reader/writer lock; no lock is ever held across a network request or a modal loop, because
// callers only hold it inside these calls.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "store/string_list.h"
#include "store/writer_first_mutex.h"

namespace pv {

class Archive;

struct ScheduleEntry {
    int32_t bEnabled = 0;
    int32_t nFromHour = 0;
    int32_t nFromMinute = 0;
    int32_t nToHour = 0;
    int32_t nToMinute = 0;
    friend bool operator==(const ScheduleEntry&, const ScheduleEntry&) = default;
};

// Index matches the Lists page's tab index.
enum class ListKind : int { Prohibited = 0, Allowed = 1 };

// Where an address stands; Prohibited wins when it is on both lists.
enum class Listed { Neither, Prohibited, Allowed };

// The seven rows (Monday first) and the switches, read or written as one consistent unit.
struct Schedule {
    std::array<ScheduleEntry, 7> rows{};
    int32_t bTimeLimit = 0;
    int32_t bCommonTime = 0;
};

class CData {
public:
    static constexpr const char* kVersion = "Version: 1.2";
    static constexpr const char* kFileName = "pv.dat";
    // Save writes the new content under this name beside pv.dat, then moves it over pv.dat.
    static constexpr const char* kReplacementSuffix = ".new";

    CData();
    ~CData();
    CData(const CData&) = delete;
    CData& operator=(const CData&) = delete;

    // The path of pv.dat: system directory + "\pv.dat".
    static std::string FilePath(Platform& platform);
    static std::string ReplacementPath(Platform& platform);

    // Fills this object from pv.dat, or with the defaults. Never throws and never fails start-up:
    // a malformed file keeps every complete record and switch read before the fault and makes
    // sure seven schedule rows exist; a file of another version also has both switches cleared.
    void Load(Platform& platform);
    // Writes this object to pv.dat. The old file is replaced only by a complete new one, so a
    // failed save (a full disk) leaves the last complete save in place.
    // Throws FileException (store/file_error.h) carrying pv.dat's full path.
    void Save(Platform& platform);

    // Body of the file after the version string. Reading throws ArchiveException on malformed input.
    void Serialize(Archive& ar);

    // --- readers (shared lock) ---
    Listed Classify(std::string_view address) const;
    std::vector<std::string> Entries(ListKind kind) const; // stored order
    // Calls fn for every entry in stored order under the shared lock (fn must not re-enter CData).
    void ForEach(ListKind kind, const std::function<void(const std::string&)>& fn) const;
    std::size_t Count(ListKind kind) const;
    std::string Longest(ListKind kind) const;
    Schedule GetSchedule() const;
    std::size_t ScheduleRowCount() const; // rows held (0 before Load, at least 7 after)

    // --- writers (exclusive lock) ---
    // Appends at the end; replaces the longest entry when the text is strictly longer.
    // Returns true when the longest entry changed.
    bool Append(ListKind kind, std::string text);
    // Removes every entry equal to text; the others keep their order. Longest entry unchanged.
    std::size_t RemoveAll(ListKind kind, std::string_view text);
    // Overwrites rows 0..6 and both switches.
    void SetSchedule(const Schedule& schedule);

private:
    struct Body; // what one read of the file produced, committed in one step

    // Pads the schedule to seven rows; with clearSwitches also lowers both switches.
    void SetDefaultsLocked(bool clearSwitches);
    void CommitLocked(Body& body);
    void WriteBodyLocked(Archive& ar) const;
    StringList& ListLocked(ListKind kind) {
        return kind == ListKind::Prohibited ? m_arrProhibited : m_arrAllowed;
    }
    const StringList& ListLocked(ListKind kind) const {
        return kind == ListKind::Prohibited ? m_arrProhibited : m_arrAllowed;
    }
    std::string& LongestLocked(ListKind kind) {
        return kind == ListKind::Prohibited ? m_strLongestProhibited : m_strLongestAllowed;
    }

    mutable WriterFirstMutex m_lock;
    std::string m_strLongestProhibited;
    std::string m_strLongestAllowed;
    StringList m_arrProhibited;
    StringList m_arrAllowed;
    std::vector<ScheduleEntry> m_arrSchedule;
    int32_t m_bTimeLimit = 0;
    int32_t m_bCommonTime = 0;
    std::string m_strVersion = kVersion;
};

} // namespace pv
