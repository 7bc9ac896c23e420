#include "store/string_list.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <iterator>
#include <memory>
#include <stdexcept>

namespace pv {

namespace {
constexpr std::size_t npos = static_cast<std::size_t>(-1);
constexpr std::size_t kMinSlots = 16;
// Entry numbers are stored in 32 bits next to the hash; 0 is reserved for "free".
constexpr std::size_t kMaxEntries = 0xFFFFFFFEu;
// Below this many pending entries, sorting them first costs more than it saves.
constexpr std::size_t kBulkThreshold = 4096;
// Text offsets are 32-bit.
constexpr std::size_t kMaxBytes = 0xFFFFFFFFu;
} // namespace

std::size_t StringList::SlotsFor(std::size_t distinct) noexcept {
    std::size_t size = kMinSlots;
    while (size / 4 * 3 < distinct) size *= 2;
    return size;
}

std::size_t StringList::Hash(std::string_view s) noexcept {
    return std::hash<std::string_view>{}(s);
}

uint32_t StringList::Fold(std::size_t hash) noexcept {
    const uint64_t h = static_cast<uint64_t>(hash);
    return static_cast<uint32_t>(h ^ (h >> 32));
}

std::string_view StringList::At(std::size_t i) const noexcept {
    const std::size_t begin = Begin(i);
    return std::string_view(m_bytes.data() + begin, m_ends[i] - begin);
}

std::size_t StringList::Find(std::string_view s, uint32_t folded) const noexcept {
    if (m_slots.empty()) return npos;
    const std::size_t mask = m_slots.size() - 1;
    for (std::size_t i = folded & mask;; i = (i + 1) & mask) {
        const Slot& slot = m_slots[i];
        if (slot.entry == 0) return npos;
        if (slot.hash == folded && At(slot.entry - 1) == s) return i;
    }
}

bool StringList::Contains(std::string_view s, std::size_t hash) const noexcept {
    if (Find(s, Fold(hash)) != npos) return true;
    // Entries of an unfinished bulk load are not in the table yet.
    for (std::size_t i = m_indexed; i < Size(); ++i) {
        if (At(i) == s) return true;
    }
    return false;
}

void StringList::Grow(std::size_t atLeast) {
    std::size_t size = m_slots.empty() ? kMinSlots : m_slots.size() * 2;
    while (size < atLeast) size *= 2;
    detail::PodBuffer<Slot> slots;
    slots.AssignZeroed(size);
    const std::size_t mask = size - 1;
    // Every text in the table is distinct, so re-placing needs no comparisons.
    for (const Slot& old : m_slots) {
        if (old.entry == 0) continue;
        std::size_t i = old.hash & mask;
        while (slots[i].entry != 0) i = (i + 1) & mask;
        slots[i] = old;
    }
    m_slots.swap(slots);
}

void StringList::Reserve(std::size_t entries, std::size_t bytes) {
    m_ends.reserve(m_ends.size() + entries);
    m_pendingHashes.reserve(m_pendingHashes.size() + entries);
    m_bytes.reserve(m_bytes.size() + bytes);
}

void StringList::ShrinkToFit() {
    m_bytes.shrink_to_fit();
    m_ends.shrink_to_fit();
}

void StringList::StoreBytes(std::string_view s) {
    if (m_ends.size() >= kMaxEntries) throw std::length_error("list too long");
    if (s.size() > kMaxBytes - m_bytes.size()) throw std::length_error("list too large");
    // s may point into this list (an entry appended again); copy it before the block moves.
    std::string alias;
    if (!m_bytes.empty() && s.data() >= m_bytes.data() && s.data() < m_bytes.data() + m_bytes.size()) {
        alias.assign(s);
        s = alias;
    }
    m_bytes.Append(s.data(), s.size());
    try {
        m_ends.push_back(static_cast<uint32_t>(m_bytes.size()));
    } catch (...) {
        m_bytes.truncate(m_bytes.size() - s.size());
        throw;
    }
}

void StringList::IndexEntry(std::size_t index, uint32_t folded) noexcept {
    const std::size_t mask = m_slots.size() - 1;
    std::size_t i = folded & mask;
    for (; m_slots[i].entry != 0; i = (i + 1) & mask) {
        if (m_slots[i].hash == folded && At(m_slots[i].entry - 1) == At(index)) return;   // a duplicate
    }
    m_slots[i] = Slot{static_cast<uint32_t>(index + 1), folded};
    ++m_distinct;
}

void StringList::Append(std::string_view s, std::size_t hash) {
    if (m_indexed < Size()) IndexPending();
    // Table first, storage second: a failure leaves both as they were.
    if (SlotsFor(m_distinct + 1) > m_slots.size()) Grow();
    StoreBytes(s);
    IndexEntry(Size() - 1, Fold(hash));
    m_indexed = Size();
}

void StringList::AppendUnindexed(std::string_view s) {
    const uint32_t folded = Fold(Hash(s));
    StoreBytes(s);
    try {
        m_pendingHashes.push_back(folded);
    } catch (...) {
        // Without its hash the entry is hashed again when it is indexed.
        m_pendingHashes.clear();
    }
}

void StringList::IndexPending() {
    const std::size_t first = m_indexed;
    const std::size_t pending = Size() - first;
    if (pending == 0) return;
    const std::size_t wanted = SlotsFor(m_distinct + pending);
    if (wanted > m_slots.size()) Grow(wanted);

    if (pending < kBulkThreshold) {
        const bool hashed = m_pendingHashes.size() == pending;
        for (std::size_t i = first; i < Size(); ++i) {
            IndexEntry(i, hashed ? m_pendingHashes[i - first] : Fold(Hash(At(i))));
        }
        m_pendingHashes = {};
        m_indexed = Size();
        return;
    }

    // Inserting a million entries in list order would touch the table at random, one cache miss
    // each. Grouped by the top bits of their home slot first (a stable counting sort, so the
    // earliest entry of a text wins), each group fills a stretch of the table small enough to
    // stay in the cache. Few groups keep the sort's scattered writes few streams.
    detail::PodBuffer<uint32_t> hashes;
    hashes.swap(m_pendingHashes);
    if (hashes.size() != pending) {
        hashes.clear();
        hashes.reserve(pending);
        for (std::size_t i = first; i < Size(); ++i) hashes.push_back(Fold(Hash(At(i))));
    }
    struct Item {
        uint32_t folded;
        uint32_t index;
    };
    std::unique_ptr<Item[]> items(new Item[pending]);
    const std::size_t mask = m_slots.size() - 1;
    constexpr unsigned kGroupBits = 8;
    unsigned bits = 0;
    while ((std::size_t{1} << bits) < m_slots.size()) ++bits;
    const unsigned shift = bits > kGroupBits ? bits - kGroupBits : 0;
    std::size_t start[(std::size_t{1} << kGroupBits) + 1] = {};
    for (std::size_t k = 0; k < pending; ++k) ++start[((hashes[k] & mask) >> shift) + 1];
    for (std::size_t g = 1; g < std::size(start); ++g) start[g] += start[g - 1];
    for (std::size_t k = 0; k < pending; ++k) {
        const uint32_t folded = hashes[k];
        items[start[(folded & mask) >> shift]++] = Item{folded, static_cast<uint32_t>(first + k)};
    }
    hashes = {};
    for (std::size_t j = 0; j < pending; ++j) IndexEntry(items[j].index, items[j].folded);
    m_indexed = Size();
}

void StringList::EraseSlot(std::size_t hole) noexcept {
    // Backward-shift deletion keeps every probe chain unbroken without tombstones.
    const std::size_t mask = m_slots.size() - 1;
    std::size_t j = hole;
    for (;;) {
        j = (j + 1) & mask;
        if (m_slots[j].entry == 0) break;
        const std::size_t home = m_slots[j].hash & mask;
        // The element at j may move back to the hole unless its home lies cyclically in (hole, j].
        const bool stays = hole <= j ? (home > hole && home <= j) : (home > hole || home <= j);
        if (!stays) {
            m_slots[hole] = m_slots[j];
            hole = j;
        }
    }
    m_slots[hole] = Slot{};
    --m_distinct;
}

std::size_t StringList::RemoveAll(std::string_view s) {
    IndexPending();
    const std::size_t slot = Find(s, Fold(Hash(s)));
    if (slot == npos) return 0;

    auto matches = [&](std::size_t begin, std::size_t len) {
        // memcmp only on real bytes: a list of empty entries has no block at all.
        return len == s.size() && (len == 0 || std::memcmp(m_bytes.data() + begin, s.data(), len) == 0);
    };
    // Counted first, so that nothing can fail once entries start moving.
    std::vector<uint32_t> removed;
    {
        std::size_t n = 0, begin = 0;
        for (std::size_t end : m_ends) {
            n += matches(begin, end - begin);
            begin = end;
        }
        removed.reserve(n);
    }

    // One pass: slide the kept entries down over the removed ones, noting where those were.
    std::size_t write = 0;   // bytes kept so far
    std::size_t kept = 0;    // entries kept so far
    std::size_t begin = 0;
    const std::size_t count = m_ends.size();
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t end = m_ends[i];
        const std::size_t len = end - begin;
        if (matches(begin, len)) {
            removed.push_back(static_cast<uint32_t>(i));
        } else {
            if (write != begin && len) std::memmove(m_bytes.data() + write, m_bytes.data() + begin, len);
            write += len;
            m_ends[kept++] = static_cast<uint32_t>(write);
        }
        begin = end;
    }
    m_bytes.truncate(write);
    m_ends.truncate(kept);
    m_indexed = kept;

    // The slot still names a removed entry; drop it before renumbering the others.
    EraseSlot(slot);
    // Entries after a removed one moved down by the number of removed entries before them.
    const uint32_t first = removed.front();
    for (Slot& sl : m_slots) {
        if (sl.entry == 0 || sl.entry - 1 < first) continue;
        const uint32_t index = sl.entry - 1;
        const auto shift = std::lower_bound(removed.begin(), removed.end(), index) - removed.begin();
        sl.entry -= static_cast<uint32_t>(shift);
    }
    return removed.size();
}

void StringList::Clear() noexcept {
    m_bytes.clear();
    m_ends.clear();
    m_pendingHashes.clear();
    m_slots.clear();
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
    return m_bytes.capacity() + m_ends.capacity() * sizeof(uint32_t) +
           m_slots.capacity() * sizeof(Slot);
}

} // namespace pv
