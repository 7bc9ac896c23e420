#include "store/string_list.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace pv {

namespace {
constexpr std::size_t kNpos = static_cast<std::size_t>(-1);
constexpr std::size_t kMinSlots = 16;
// Entry numbers are stored in 32 bits; 0 is reserved for "free".
constexpr std::size_t kMaxEntries = 0xFFFFFFFEu;
// How many inserts ahead a slot's memory is asked for: a million random slots are otherwise a
// million waits for memory, one after the other.
constexpr std::size_t kAhead = 16;

void Prefetch(const void* p) noexcept {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(p, 1);
#else
    (void)p;
#endif
}

uint16_t LoadLE16(const char* p) noexcept {
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return static_cast<uint16_t>(b[0] | (b[1] << 8));
}

uint32_t LoadLE32(const char* p) noexcept {
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
           (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
}
} // namespace

std::size_t StringList::SlotsFor(std::size_t distinct) noexcept {
    std::size_t size = kMinSlots;
    while (size / 4 * 3 < distinct) size *= 2;
    return size;
}

unsigned StringList::EntryBitsFor(std::size_t slots, std::size_t entries) noexcept {
    // As many bits as the table has index bits leaves the hash bits above them for the slot:
    // those are exactly the ones the home slot does not already tell apart.
    const unsigned bits = std::max<unsigned>(std::bit_width(slots - 1), std::bit_width(entries));
    return std::min(bits, 32u);
}

std::string_view StringList::LongText(const char* prefix) noexcept {
    // Every form that holds one-byte characters (wide ones are converted, never pointed at).
    const uint16_t w = LoadLE16(prefix + 1);
    if (w < 0xFFFF) return std::string_view(prefix + 3, w);
    const uint32_t d = LoadLE32(prefix + 3);
    if (d < 0xFFFFFFFFu) return std::string_view(prefix + 7, d);
    return std::string_view(prefix + 15, LoadLE32(prefix + 7)); // 64 bits whose value fits in 31
}

void StringList::UseImage(std::shared_ptr<const Image> image) {
    if (m_image && m_image != image &&
        std::any_of(m_offsets.begin(), m_offsets.end(), [](uint32_t at) { return !(at & kOwnBit); })) {
        throw std::logic_error("entries point into another image");
    }
    m_image = std::move(image);
}

void StringList::StoreOwn(std::string_view s) {
    if (Size() >= kMaxEntries) throw std::length_error("list too long");
    const std::size_t at = m_own.size();
    if (s.size() >= 0xFFFFFFFFu || s.size() + 7 >= kOwnBit - at) throw std::length_error("list too large");
    // The same length prefix as the file's, so that one decoder reads every entry.
    char prefix[7];
    std::size_t length = 0;
    const std::size_t n = s.size();
    if (n < 0xFF) {
        prefix[length++] = static_cast<char>(n);
    } else {
        prefix[length++] = static_cast<char>(0xFF);
        // As the file's writer: 0xFFFE would mark a wide string.
        const uint16_t w = n < 0xFFFE ? static_cast<uint16_t>(n) : 0xFFFF;
        prefix[length++] = static_cast<char>(w & 0xFF);
        prefix[length++] = static_cast<char>(w >> 8);
        if (w == 0xFFFF) {
            for (int i = 0; i < 4; ++i) prefix[length++] = static_cast<char>((n >> (8 * i)) & 0xFF);
        }
    }
    // s may point into m_own (an entry appended again); copy it before the block moves.
    std::string alias;
    if (!m_own.empty() && s.data() >= m_own.data() && s.data() < m_own.data() + m_own.size()) {
        alias.assign(s);
        s = alias;
    }
    char* const dst = m_own.Extend(length + n);
    std::memcpy(dst, prefix, length);
    if (n) std::memcpy(dst + length, s.data(), n);
    try {
        m_offsets.push_back(static_cast<uint32_t>(at) | kOwnBit);
    } catch (...) {
        m_own.Truncate(at);
        throw;
    }
}

void StringList::AppendFromImageSlow(std::size_t at, std::string_view text, uint32_t hash) {
    if (at < kOwnBit) {
        if (Size() >= kMaxEntries) throw std::length_error("list too long");
        m_offsets.push_back(static_cast<uint32_t>(at));
    } else {
        // Beyond what an offset can address in the image: the entry gets a copy of its own.
        StoreOwn(text);
    }
    if (m_pendingHashes.size() + 1 != PendingCount()) return; // hashed again when indexed
    try {
        m_pendingHashes.push_back(hash);
    } catch (...) {
        m_pendingHashes = {};
    }
}

void StringList::AppendUnindexed(std::string_view s, uint32_t hash) {
    StoreOwn(s);
    if (m_pendingHashes.size() + 1 != PendingCount()) return;
    try {
        m_pendingHashes.push_back(hash);
    } catch (...) {
        m_pendingHashes = {};
    }
}

void StringList::Reserve(std::size_t entries) {
    m_offsets.reserve(m_offsets.size() + entries);
    m_pendingHashes.reserve(m_pendingHashes.size() + entries);
}

void StringList::ShrinkToFit() {
    m_own.shrink_to_fit();
    m_offsets.shrink_to_fit();
}

std::size_t StringList::Find(std::string_view s, uint32_t hash) const noexcept {
    if (m_slots.empty()) return kNpos;
    const std::size_t mask = m_slots.size() - 1;
    const uint32_t high = HighMask();
    const uint32_t tag = hash & high;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
        const uint32_t slot = m_slots[i];
        if (slot == 0) return kNpos;
        if ((slot & high) == tag && At((slot & ~high) - 1) == s) return i;
    }
}

bool StringList::Contains(std::string_view s, uint32_t hash) const noexcept {
    if (Find(s, hash) != kNpos) return true;
    // Entries of an unfinished bulk load are not in the table yet.
    for (std::size_t i = m_indexed; i < Size(); ++i) {
        if (At(i) == s) return true;
    }
    return false;
}

bool StringList::SameText(uint32_t slot, std::size_t index) const noexcept {
    return At((slot & ~HighMask()) - 1) == At(index);
}

void StringList::IndexEntry(std::size_t index, uint32_t hash) noexcept {
    const std::size_t mask = m_slots.size() - 1;
    const uint32_t high = HighMask();
    const uint32_t tag = hash & high;
    std::size_t i = hash & mask;
    for (; m_slots[i] != 0; i = (i + 1) & mask) {
        const uint32_t slot = m_slots[i];
        if ((slot & high) == tag && SameText(slot, index)) return; // a duplicate
    }
    m_slots[i] = tag | static_cast<uint32_t>(index + 1);
    ++m_distinct;
}

void StringList::InsertAll(std::size_t first, const detail::PodBuffer<uint32_t>& hashes) noexcept {
    const std::size_t count = hashes.size();
    const std::size_t mask = m_slots.size() - 1;
    const uint32_t high = HighMask();
    uint32_t* const slots = m_slots.data();
    std::size_t distinct = m_distinct;
    // In list order, so the earliest entry of a text is the one indexed; IndexEntry's loop, kept
    // here so that the comparison, which is rarely needed, stays out of the way.
    for (std::size_t k = 0; k < count; ++k) {
        if (k + kAhead < count) Prefetch(&slots[hashes[k + kAhead] & mask]);
        const uint32_t hash = hashes[k];
        const uint32_t tag = hash & high;
        for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
            const uint32_t slot = slots[i];
            if (slot == 0) {
                slots[i] = tag | static_cast<uint32_t>(first + k + 1);
                ++distinct;
                break;
            }
            if ((slot & high) == tag && SameText(slot, first + k)) break; // a duplicate
        }
    }
    m_distinct = distinct;
}

void StringList::Rebuild(std::size_t slots, std::size_t entries, detail::PodBuffer<uint32_t>& pending) {
    // The slots keep only some bits of each hash, so a new table hashes the texts again (the
    // pending ones were hashed while they were read).
    detail::PodBuffer<uint32_t> hashes;
    if (m_indexed == 0 && pending.size() == Size()) {
        hashes.swap(pending);
    } else {
        const bool hashed = pending.size() == PendingCount();
        hashes.reserve(Size());
        for (std::size_t i = 0; i < Size(); ++i) {
            hashes.push_back(hashed && i >= m_indexed ? pending[i - m_indexed] : Hash(At(i)));
        }
    }
    detail::PodBuffer<uint32_t> table;
    table.AssignZeroed(slots);
    m_slots.swap(table);
    table = {};
    pending = {};
    m_entryBits = EntryBitsFor(slots, entries);
    m_distinct = 0;
    InsertAll(0, hashes);
    m_indexed = Size();
}

void StringList::Append(std::string_view s, uint32_t hash) {
    IndexPending();
    // Table first, storage second: a failure leaves both as they were.
    const std::size_t slots = std::max(SlotsFor(m_distinct + 1), m_slots.size());
    if (slots > m_slots.size() || EntryBitsFor(slots, Size() + 1) > m_entryBits) {
        // The table doubles, and so does the room for entry numbers, so rebuilding stays rare.
        detail::PodBuffer<uint32_t> none;
        Rebuild(slots, Size() + 1, none);
    }
    StoreOwn(s);
    IndexEntry(Size() - 1, hash);
    m_indexed = Size();
}

void StringList::IndexPending() {
    const std::size_t first = m_indexed;
    const std::size_t pending = Size() - first;
    if (pending == 0) return;
    const std::size_t slots = std::max(SlotsFor(m_distinct + pending), m_slots.size());
    if (slots > m_slots.size() || EntryBitsFor(slots, Size()) > m_entryBits) {
        Rebuild(slots, Size(), m_pendingHashes);
        return;
    }
    detail::PodBuffer<uint32_t> hashes;
    hashes.swap(m_pendingHashes);
    if (hashes.size() != pending) {
        hashes.clear();
        hashes.reserve(pending);
        for (std::size_t i = first; i < Size(); ++i) hashes.push_back(Hash(At(i)));
    }
    InsertAll(first, hashes);
    m_indexed = Size();
}

void StringList::EraseSlot(std::size_t hole) noexcept {
    // Backward-shift deletion keeps every probe chain unbroken without tombstones. A slot does
    // not hold its home, so the texts after the hole are hashed again; the run is short.
    const std::size_t mask = m_slots.size() - 1;
    const uint32_t high = HighMask();
    std::size_t j = hole;
    for (;;) {
        j = (j + 1) & mask;
        const uint32_t slot = m_slots[j];
        if (slot == 0) break;
        const std::size_t home = Hash(At((slot & ~high) - 1)) & mask;
        // The element at j may move back to the hole unless its home lies cyclically in (hole, j].
        const bool stays = hole <= j ? (home > hole && home <= j) : (home > hole || home <= j);
        if (!stays) {
            m_slots[hole] = slot;
            hole = j;
        }
    }
    m_slots[hole] = 0;
    --m_distinct;
}

std::size_t StringList::RemoveAll(std::string_view s) {
    IndexPending();
    const std::size_t slot = Find(s, Hash(s));
    if (slot == kNpos) return 0;

    // Counted first, so that nothing can fail once entries start moving.
    std::vector<uint32_t> removed;
    removed.reserve(static_cast<std::size_t>(
        std::count_if(m_offsets.begin(), m_offsets.end(), [&](uint32_t at) { return Text(at) == s; })));
    // While the entries are where the table says (the shift hashes the texts it moves).
    EraseSlot(slot);

    // One pass: slide the kept entries down over the removed ones, noting where those were. The
    // texts stay where they are; a removed text of the list's own is not reclaimed (entries are
    // removed by hand, one at a time).
    std::size_t kept = 0;
    const std::size_t count = Size();
    for (std::size_t i = 0; i < count; ++i) {
        const uint32_t at = m_offsets[i];
        if (Text(at) == s) {
            removed.push_back(static_cast<uint32_t>(i));
        } else {
            m_offsets[kept++] = at;
        }
    }
    m_offsets.Truncate(kept);
    m_indexed = kept;

    // Entries after a removed one moved down by the number of removed entries before them; the
    // number sits in the low bits, so subtracting leaves the hash bits alone.
    const uint32_t high = HighMask();
    const uint32_t first = removed.front();
    for (uint32_t& sl : m_slots) {
        if (sl == 0) continue;
        const uint32_t index = (sl & ~high) - 1;
        if (index < first) continue;
        const auto shift = std::lower_bound(removed.begin(), removed.end(), index) - removed.begin();
        sl -= static_cast<uint32_t>(shift);
    }
    return removed.size();
}

void StringList::Clear() noexcept {
    m_image.reset();
    m_own.clear();
    m_offsets.clear();
    m_pendingHashes.clear();
    m_slots.clear();
    m_entryBits = 0;
    m_distinct = 0;
    m_indexed = 0;
}

std::vector<std::string> StringList::ToVector() const {
    std::vector<std::string> out;
    out.reserve(Size());
    ForEach([&](std::string_view v) { out.emplace_back(v); });
    return out;
}

std::size_t StringList::MemoryBytes() const noexcept {
    return m_own.capacity() +
           (m_offsets.capacity() + m_pendingHashes.capacity() + m_slots.capacity()) * sizeof(uint32_t);
}

} // namespace pv
