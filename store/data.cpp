#include "store/data.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <mutex>

#include "store/archive.h"
#include "store/file_error.h"

namespace pv {

namespace {
constexpr std::size_t kRows = 7;

ScheduleEntry ReadRow(Archive& ar) {
    ScheduleEntry e;
    e.bEnabled = ar.ReadInt32();
    e.nFromHour = ar.ReadInt32();
    e.nFromMinute = ar.ReadInt32();
    e.nToHour = ar.ReadInt32();
    e.nToMinute = ar.ReadInt32();
    return e;
}

void WriteRow(Archive& ar, const ScheduleEntry& e) {
    ar.WriteInt32(e.bEnabled);
    ar.WriteInt32(e.nFromHour);
    ar.WriteInt32(e.nFromMinute);
    ar.WriteInt32(e.nToHour);
    ar.WriteInt32(e.nToMinute);
}

constexpr int32_t kTagAllowed = 1;
constexpr int32_t kTagProhibited = 2;
} // namespace

struct CData::Body {
    std::vector<ScheduleEntry> rows;
    bool haveCommonTime = false;
    bool haveTimeLimit = false;
    int32_t bCommonTime = 0;
    int32_t bTimeLimit = 0;
    StringList allowed;
    StringList prohibited;
    std::string longestAllowed;
    std::string longestProhibited;

    // Fills the body record by record, so that whatever was complete before a fault is kept.
    void Read(Archive& ar) {
        for (std::size_t i = 0; i < kRows; ++i) rows.push_back(ReadRow(ar));
        bCommonTime = ar.ReadInt32();
        haveCommonTime = true;
        bTimeLimit = ar.ReadInt32();
        haveTimeLimit = true;
        const int32_t count = ar.ReadInt32();
        // The entries stay in the bytes the archive read; both lists point into them.
        const std::shared_ptr<const StringList::Image> image = ar.Image();
        allowed.UseImage(image);
        prohibited.UseImage(image);
        std::string scratch;
        for (int32_t i = 0; i < count;) {
            i += ReadBuffered(ar, count - i);
            if (i == count) break;
            // A record that is not whole among the bytes read, or has a longer length prefix:
            // the general path, which also reads on.
            const int32_t tag = ar.ReadInt32();
            if (tag == kTagAllowed || tag == kTagProhibited) {
                const uint64_t at = ar.Position();
                const std::string_view text = ar.ReadString(scratch);
                const bool allow = tag == kTagAllowed;
                StringList& list = allow ? allowed : prohibited;
                if (list.Empty()) Reserve(ar, count - i, list, 0);
                // A wide string was converted into `scratch`; the list keeps a copy of that.
                const char* const bytes = image->data();
                if (text.data() >= bytes && text.data() <= bytes + image->size()) {
                    list.AppendFromImage(static_cast<std::size_t>(at), text, StringList::Hash(text));
                } else {
                    list.AppendUnindexed(text);
                }
                KeepLongest(allow ? longestAllowed : longestProhibited, text);
            } else {
                ar.SkipString();
            }
            ++i;
        }
    }

    // Takes the records that lie whole among the bytes read and have a one-byte length (nearly
    // all of them) straight from there; returns how many it took, at most `limit`.
    int32_t ReadBuffered(Archive& ar, int32_t limit) {
        const std::string_view buffer = ar.Peek();
        const uint64_t base = ar.Position();
        const auto* const start = reinterpret_cast<const unsigned char*>(buffer.data());
        const auto* const end = start + buffer.size();
        const auto* p = start;
        int32_t taken = 0;
        while (taken < limit && end - p >= 5) {
            const uint32_t tag = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                                 (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
            const std::size_t length = p[4];
            if (length == 0xFF || static_cast<std::size_t>(end - p) < 5 + length) break;
            const std::string_view text(reinterpret_cast<const char*>(p + 5), length);
            const uint64_t at = base + static_cast<uint64_t>(p + 4 - start);
            if (tag == kTagAllowed || tag == kTagProhibited) {
                Add(ar, limit - taken, tag == kTagAllowed, at, text, p + 5 + length - start);
            }
            p += 5 + length;
            ++taken;
        }
        ar.Skip(static_cast<std::size_t>(p - start));
        return taken;
    }

    // `at`: where the entry's length prefix is in the file. `used` counts bytes read that belong
    // to this record and the ones before it but are not consumed yet.
    void Add(Archive& ar, int32_t recordsLeft, bool allow, uint64_t at, std::string_view text,
             std::ptrdiff_t used) {
        StringList& list = allow ? allowed : prohibited;
        if (list.Empty()) Reserve(ar, recordsLeft, list, static_cast<uint64_t>(used));
        list.AppendFromImage(static_cast<std::size_t>(at), text, StringList::Hash(text));
        KeepLongest(allow ? longestAllowed : longestProhibited, text);
    }

    // Growing a list of a million entries step by step costs far more than the reading; what is
    // left of the file bounds what the list can still receive, so reserve that once. The excess
    // is given back in Finish.
    static void Reserve(Archive& ar, int32_t recordsLeft, StringList& list, uint64_t used) {
        constexpr uint64_t kSmallestRecord = 5; // tag and a one-byte length
        const uint64_t bytes = ar.Remaining() - used;
        const uint64_t entries =
            std::min<uint64_t>(static_cast<uint64_t>(recordsLeft), bytes / kSmallestRecord + 1);
        if (entries > std::numeric_limits<std::size_t>::max() / 8) return;
        try {
            list.Reserve(static_cast<std::size_t>(entries));
        } catch (const std::exception&) {
            // Only a hint: the list then grows as it goes.
        }
    }

    static void KeepLongest(std::string& longest, std::string_view text) {
        // Of several entries of the greatest length the first stays.
        if (text.size() > longest.size()) longest.assign(text);
    }

    // Indexes what was read and trims the reservations; runs after a fault too.
    void Finish() {
        for (StringList* list : {&allowed, &prohibited}) {
            list->IndexPending();
            list->ShrinkToFit();
        }
    }
};

CData::CData() = default;
CData::~CData() = default;

std::string CData::FilePath(Platform& platform) { return platform.SystemDirectory() + "\\" + kFileName; }

std::string CData::ReplacementPath(Platform& platform) { return FilePath(platform) + kReplacementSuffix; }

void CData::SetDefaultsLocked(bool clearSwitches) {
    if (m_arrSchedule.size() < kRows) m_arrSchedule.resize(kRows);
    if (clearSwitches) {
        m_bTimeLimit = 0;
        m_bCommonTime = 0;
    }
}

void CData::CommitLocked(Body& body) {
    m_arrSchedule.insert(m_arrSchedule.end(), body.rows.begin(), body.rows.end());
    if (body.haveCommonTime) m_bCommonTime = body.bCommonTime;
    if (body.haveTimeLimit) m_bTimeLimit = body.bTimeLimit;

    auto merge = [](StringList& into, std::string& longest, StringList& from, std::string& fromLongest) {
        if (into.Empty()) {
            into = std::move(from);
        } else {
            from.ForEach([&](std::string_view v) { into.Append(v); });
        }
        if (fromLongest.size() > longest.size()) longest = std::move(fromLongest);
    };
    merge(m_arrAllowed, m_strLongestAllowed, body.allowed, body.longestAllowed);
    merge(m_arrProhibited, m_strLongestProhibited, body.prohibited, body.longestProhibited);
}

void CData::Load(Platform& platform) {
    // Only a file of another version loses its switches; a file of this version that is cut or
    // damaged keeps everything read whole before the fault, switches included, because clearing
    // them would switch the time limit off.
    bool otherVersion = true;
    try {
        {
            // Load always starts from the fresh state, so a second call cannot stack old rows
            // in front of the file's.
            std::unique_lock lock(m_lock);
            m_strLongestProhibited.clear();
            m_strLongestAllowed.clear();
            m_arrProhibited.Clear();
            m_arrAllowed.Clear();
            m_arrSchedule.clear();
            m_bTimeLimit = 0;
            m_bCommonTime = 0;
        }
        const std::string path = FilePath(platform);
        std::unique_ptr<File> file = platform.OpenFile(path, FileOpen::Read);
        if (file) {
            Archive ar(file.get(), Archive::Mode::Load, path, &platform);
            otherVersion = ar.ReadString() != m_strVersion;
            Serialize(ar);
            ar.Close();
        }
    } catch (...) {
        // A damaged file must not stop the browser: keep what was read and use the defaults
        // for the rest.
    }
    try {
        std::unique_lock lock(m_lock);
        SetDefaultsLocked(otherVersion);
    } catch (...) {
        // Seven rows of five integers; if even that cannot be allocated, readers fall back to
        // zero rows through GetSchedule.
    }
}

void CData::WriteBodyLocked(Archive& ar) const {
    for (std::size_t i = 0; i < kRows; ++i) {
        WriteRow(ar, i < m_arrSchedule.size() ? m_arrSchedule[i] : ScheduleEntry{});
    }
    ar.WriteInt32(m_bCommonTime);
    ar.WriteInt32(m_bTimeLimit);
    const std::size_t count = m_arrAllowed.Size() + m_arrProhibited.Size();
    if (count > static_cast<std::size_t>(std::numeric_limits<int32_t>::max())) {
        throw FileException(FileStatus::Generic, ar.Path());
    }
    ar.WriteInt32(static_cast<int32_t>(count));
    m_arrAllowed.ForEach([&](std::string_view v) {
        ar.WriteInt32(kTagAllowed);
        ar.WriteString(v);
    });
    m_arrProhibited.ForEach([&](std::string_view v) {
        ar.WriteInt32(kTagProhibited);
        ar.WriteString(v);
    });
}

void CData::Serialize(Archive& ar) {
    if (ar.IsStoring()) {
        // Readers keep judging while the file is written; only writers wait.
        std::shared_lock lock(m_lock);
        WriteBodyLocked(ar);
        return;
    }
    // Built outside the lock; readers only wait for the hand-over.
    Body body;
    try {
        body.Read(ar);
    } catch (...) {
        body.Finish();
        std::unique_lock lock(m_lock);
        CommitLocked(body);
        throw;
    }
    body.Finish();
    std::unique_lock lock(m_lock);
    CommitLocked(body);
}

void CData::Save(Platform& platform) {
    const std::string path = FilePath(platform);
    const std::string replacement = ReplacementPath(platform);
    try {
        // pv.dat stays open, unshared, while its replacement is written: a second writer (or a
        // reader) is kept out exactly as when the file itself was written. Opening it never
        // truncates it, so whatever happens next the last complete save survives.
        std::unique_ptr<File> held = platform.OpenFile(path, FileOpen::WriteAlways);
        std::unique_ptr<File> file;
        if (held) file = platform.OpenFile(replacement, FileOpen::CreateTruncate);
        try {
            // Even without a file the content goes to the archive; its first flush reports the
            // error. Every error names pv.dat, the file the user knows.
            Archive ar(file.get(), Archive::Mode::Store, path, &platform);
            ar.WriteString(m_strVersion);
            Serialize(ar);
            ar.Close();
            if (const FileStatus status = file->Commit(); status != FileStatus::Ok)
                throw FileException(status, path);
        } catch (...) {
            // A half-written replacement must not keep the disk full; pv.dat is still held, so
            // no other writer can have a replacement of its own under this name.
            if (file) {
                file.reset();
                platform.RemoveFile(replacement);
            }
            throw;
        }
        file.reset();
        held.reset();
        // Another process may open pv.dat in between; the move then fails and is reported, and
        // pv.dat keeps a complete content either way.
        if (const FileStatus status = platform.MoveOver(replacement, path); status != FileStatus::Ok) {
            throw FileException(status, path);
        }
    } catch (const FileException&) {
        throw;
    } catch (const std::exception&) {
        // Callers handle file errors only; anything else that stopped the save is one too.
        throw FileException(FileStatus::Generic, path);
    }
}

Listed CData::Classify(std::string_view address) const {
    const uint32_t hash = StringList::Hash(address);
    std::shared_lock lock(m_lock);
    if (m_arrProhibited.Contains(address, hash)) return Listed::Prohibited;
    if (m_arrAllowed.Contains(address, hash)) return Listed::Allowed;
    return Listed::Neither;
}

std::vector<std::string> CData::Entries(ListKind kind) const {
    std::shared_lock lock(m_lock);
    return ListLocked(kind).ToVector();
}

void CData::ForEach(ListKind kind, const std::function<void(const std::string&)>& fn) const {
    std::shared_lock lock(m_lock);
    std::string entry;
    ListLocked(kind).ForEach([&](std::string_view v) {
        entry.assign(v);
        fn(entry);
    });
}

std::size_t CData::Count(ListKind kind) const {
    std::shared_lock lock(m_lock);
    return ListLocked(kind).Size();
}

std::string CData::Longest(ListKind kind) const {
    std::shared_lock lock(m_lock);
    return kind == ListKind::Prohibited ? m_strLongestProhibited : m_strLongestAllowed;
}

Schedule CData::GetSchedule() const {
    std::shared_lock lock(m_lock);
    Schedule s;
    for (std::size_t i = 0; i < kRows && i < m_arrSchedule.size(); ++i) s.rows[i] = m_arrSchedule[i];
    s.bTimeLimit = m_bTimeLimit;
    s.bCommonTime = m_bCommonTime;
    return s;
}

std::size_t CData::ScheduleRowCount() const {
    std::shared_lock lock(m_lock);
    return m_arrSchedule.size();
}

bool CData::Append(ListKind kind, std::string text) {
    const uint32_t hash = StringList::Hash(text);
    std::unique_lock lock(m_lock);
    ListLocked(kind).Append(text, hash);
    std::string& longest = LongestLocked(kind);
    if (text.size() <= longest.size()) return false;
    longest = std::move(text);
    return true;
}

std::size_t CData::RemoveAll(ListKind kind, std::string_view text) {
    std::unique_lock lock(m_lock);
    return ListLocked(kind).RemoveAll(text);
}

void CData::SetSchedule(const Schedule& schedule) {
    std::unique_lock lock(m_lock);
    if (m_arrSchedule.size() < kRows) m_arrSchedule.resize(kRows);
    for (std::size_t i = 0; i < kRows; ++i) m_arrSchedule[i] = schedule.rows[i];
    m_bTimeLimit = schedule.bTimeLimit;
    m_bCommonTime = schedule.bCommonTime;
}

} // namespace pv
