// An ordered list of ANSI strings (duplicates allowed) with an index for exact lookup.
//
// Lists can hold a million addresses and are consulted on every navigation. Loading one must
// cost little more than reading the file, so the entries of a loaded list stay where they were
// read: in the file's bytes (the image, shared by the lists read from it), each entry being the
// 32-bit offset of its length prefix there. Entries added later go, in the same encoding, into a
// block of the list's own. An open-addressing table maps each distinct text to one of its
// entries: lookup is one hash and, nearly always, one comparison. A slot is one 32-bit word, the
// entry's number in the low bits and, above them, the same bits of the text's hash, so a probe
// rejects other texts without looking at them. Memory beyond the file is 4 bytes per entry and
// 4 per table slot (1.33 to 2.67 slots per distinct text).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "store/pod_buffer.h"

namespace pv {

class StringList {
public:
    // Bytes holding entries, each behind a length prefix in pv.dat's one-byte-character form.
    using Image = detail::PodBuffer<char>;

    StringList() = default;
    StringList(const StringList&) = default;
    StringList(StringList&&) noexcept = default;
    StringList& operator=(const StringList&) = default;
    StringList& operator=(StringList&&) noexcept = default;

    // 32 bits of a 64-bit multiply-rotate hash taking 16 bytes a step: loading a million entries
    // hashes some 50 MB, and a navigation hashes its address once for both lists.
    static uint32_t Hash(std::string_view s) noexcept;

    std::size_t Size() const noexcept { return m_offsets.size(); }
    bool Empty() const noexcept { return m_offsets.empty(); }
    // Valid until the list changes.
    std::string_view At(std::size_t i) const noexcept { return Text(m_offsets[i]); }

    void Append(std::string_view s) { Append(s, Hash(s)); }
    // `hash` must be Hash(s).
    void Append(std::string_view s, uint32_t hash);

    // Bulk loading. Entries appended this way are not indexed yet (lookups still find them, by a
    // linear scan) until IndexPending adds them all at once; the caller hashes each text while
    // it is still in the cache. `hash` must be Hash(text).
    //
    // The image the list's entries may point into; only while the list has no entries from
    // another. It may still grow (the entries point below its end), never change.
    void UseImage(std::shared_ptr<const Image> image);
    // The entry whose length prefix (one byte, or 0xFF and a 16-, 32- or 64-bit length) starts
    // at `at` in the image, its text wholly inside the image.
    void AppendFromImage(std::size_t at, std::string_view text, uint32_t hash) {
        if (at < kOwnBit && Size() < m_offsets.capacity() &&
            m_pendingHashes.size() < m_pendingHashes.capacity() && m_pendingHashes.size() == PendingCount()) {
            m_offsets.PushUnchecked(static_cast<uint32_t>(at));
            m_pendingHashes.PushUnchecked(hash);
            return;
        }
        AppendFromImageSlow(at, text, hash);
    }
    // A text of the list's own (one converted while reading, say).
    void AppendUnindexed(std::string_view s) { AppendUnindexed(s, Hash(s)); }
    void AppendUnindexed(std::string_view s, uint32_t hash);
    // Room for `entries` more entries (storage only; the index is sized when they are indexed).
    void Reserve(std::size_t entries);
    void IndexPending();
    std::size_t PendingCount() const noexcept { return Size() - m_indexed; }
    // Gives back storage reserved beyond what the entries use (usually without copying).
    void ShrinkToFit();

    bool Contains(std::string_view s) const noexcept { return Contains(s, Hash(s)); }
    // `hash` must be Hash(s); lets one hash serve several lists.
    bool Contains(std::string_view s, uint32_t hash) const noexcept;

    // Removes every entry equal to s, keeping the order of the rest; returns how many went.
    std::size_t RemoveAll(std::string_view s);
    void Clear() noexcept;

    template <class F>
    void ForEach(F&& f) const {
        for (uint32_t at : m_offsets) f(Text(at));
    }
    std::vector<std::string> ToVector() const;

    // Distinct texts held (for tests and measurements).
    std::size_t DistinctCount() const noexcept { return m_distinct; }
    // Heap bytes reserved by the list and its index, not counting the shared image.
    std::size_t MemoryBytes() const noexcept;

private:
    // Offsets with this bit point into m_own, the others into the image.
    static constexpr uint32_t kOwnBit = 0x80000000u;

    std::string_view Text(uint32_t at) const noexcept {
        const char* p = at & kOwnBit ? m_own.data() + (at & ~kOwnBit) : m_image->data() + at;
        const auto first = static_cast<unsigned char>(*p);
        if (first < 0xFF) return std::string_view(p + 1, first);
        return LongText(p);
    }
    static std::string_view LongText(const char* prefix) noexcept;
    void AppendFromImageSlow(std::size_t at, std::string_view text, uint32_t hash);
    // Stores s in m_own behind its length prefix and appends the entry.
    void StoreOwn(std::string_view s);

    uint32_t HighMask() const noexcept { return m_entryBits >= 32 ? 0 : ~uint32_t{0} << m_entryBits; }
    // Slot holding s, or npos.
    std::size_t Find(std::string_view s, uint32_t hash) const noexcept;
    // Replaces the table by one of `slots` slots with room for `entries` entry numbers and
    // indexes every entry. `pending` holds the hashes of the entries from m_indexed on (or is
    // empty); it is used up.
    void Rebuild(std::size_t slots, std::size_t entries, detail::PodBuffer<uint32_t>& pending);
    // Indexes entries [first, first + hashes.size()) into the table, which has room for them.
    void InsertAll(std::size_t first, const detail::PodBuffer<uint32_t>& hashes) noexcept;
    // Puts entry `index` into the table unless its text is there already.
    void IndexEntry(std::size_t index, uint32_t hash) noexcept;
    // Whether the entry in `slot` has the text of entry `index` (the rare case of equal hash bits).
    bool SameText(uint32_t slot, std::size_t index) const noexcept;
    void EraseSlot(std::size_t slot) noexcept;

    // Slots for `distinct` texts: a power of two, at most three quarters full.
    static std::size_t SlotsFor(std::size_t distinct) noexcept;
    // Bits for entry numbers (plus one) in a table of `slots` slots holding `entries` entries.
    static unsigned EntryBitsFor(std::size_t slots, std::size_t entries) noexcept;

    std::shared_ptr<const Image> m_image;
    Image m_own;                                 // texts of the list's own, each behind its prefix
    detail::PodBuffer<uint32_t> m_offsets;       // each entry's length prefix, in stored order
    detail::PodBuffer<uint32_t> m_pendingHashes; // hashes of entries not yet indexed
    // Power-of-two size, at most three quarters full. 0 is a free slot; otherwise the low
    // m_entryBits bits hold an entry's number plus one and the others the same bits of its hash.
    detail::PodBuffer<uint32_t> m_slots;
    unsigned m_entryBits = 0;
    std::size_t m_distinct = 0;
    std::size_t m_indexed = 0; // entries [0, m_indexed) are in the table
};

namespace detail {
inline uint64_t HashLoad64(const char* p) noexcept {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline uint64_t HashLoad32(const char* p) noexcept {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline constexpr uint64_t kHashPrime1 = 0x9E3779B185EBCA87ull;
inline constexpr uint64_t kHashPrime2 = 0xC2B2AE3D27D4EB4Full;
inline constexpr uint64_t kHashPrime3 = 0x165667B19E3779F9ull;
// The rotation brings the product's well-mixed high bits down for the next step.
inline uint64_t HashRound(uint64_t acc, uint64_t word) noexcept {
    return std::rotl((acc ^ word) * kHashPrime1, 29);
}
} // namespace detail

// Inline: the loader hashes every entry in its innermost loop.
inline uint32_t StringList::Hash(std::string_view s) noexcept {
    using namespace detail;
    const char* p = s.data();
    const std::size_t n = s.size();
    // Two independent lanes of one multiplication per 8 bytes, so that consecutive entries'
    // hashes overlap in the processor; the last step re-reads bytes of the one before instead of
    // branching over the tail.
    // The length goes in multiplied, so that it cannot cancel against the bytes of a word.
    uint64_t a = kHashPrime1 ^ (n * kHashPrime2);
    uint64_t b = kHashPrime2;
    if (n > 16) {
        const char* const last = p + n - 16;
        for (; p < last; p += 16) {
            a = HashRound(a, HashLoad64(p));
            b = HashRound(b, HashLoad64(p + 8));
        }
        a = HashRound(a, HashLoad64(last));
        b = HashRound(b, HashLoad64(last + 8));
    } else if (n >= 8) {
        a = HashRound(a, HashLoad64(p));
        b = HashRound(b, HashLoad64(p + n - 8));
    } else if (n >= 4) {
        a = HashRound(a, HashLoad32(p) | (HashLoad32(p + n - 4) << 32));
    } else if (n > 0) {
        const auto byte = [&](std::size_t i) {
            return static_cast<uint64_t>(static_cast<unsigned char>(p[i]));
        };
        a = HashRound(a, byte(0) | (byte(n / 2) << 8) | (byte(n - 1) << 16));
    }
    // The high half of a product depends on every bit of both lanes.
    return static_cast<uint32_t>(((a ^ std::rotl(b, 31)) * kHashPrime3) >> 32);
}

} // namespace pv
