// An ordered list of ANSI strings (duplicates allowed) with an index for exact lookup.
//
// Lists can hold a million addresses and are consulted on every navigation, so the bytes of all
// entries live back to back in one block and an open-addressing table maps each distinct text to
// one of its entries: lookup is one hash and, nearly always, one comparison; memory is the text
// plus 4 bytes per entry and 8 per table slot (1.33 to 2.67 slots per distinct text).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace pv {

namespace detail {

// A growable array of plain values kept with realloc: growing and trimming a block of tens of
// megabytes then usually remaps pages instead of copying them into freshly touched memory.
template <class T>
class PodBuffer {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    PodBuffer() = default;
    PodBuffer(const PodBuffer& other) { Append(other.data(), other.size()); }
    PodBuffer(PodBuffer&& other) noexcept
        : m_data(std::exchange(other.m_data, nullptr)), m_size(std::exchange(other.m_size, 0)),
          m_capacity(std::exchange(other.m_capacity, 0)) {}
    PodBuffer& operator=(const PodBuffer& other) {
        if (this != &other) {
            PodBuffer copy(other);
            swap(copy);
        }
        return *this;
    }
    PodBuffer& operator=(PodBuffer&& other) noexcept {
        PodBuffer moved(std::move(other));
        swap(moved);
        return *this;
    }
    ~PodBuffer() { std::free(m_data); }

    void swap(PodBuffer& other) noexcept {
        std::swap(m_data, other.m_data);
        std::swap(m_size, other.m_size);
        std::swap(m_capacity, other.m_capacity);
    }

    T* data() noexcept { return m_data; }
    const T* data() const noexcept { return m_data; }
    std::size_t size() const noexcept { return m_size; }
    std::size_t capacity() const noexcept { return m_capacity; }
    bool empty() const noexcept { return m_size == 0; }
    T& operator[](std::size_t i) noexcept { return m_data[i]; }
    const T& operator[](std::size_t i) const noexcept { return m_data[i]; }
    const T* begin() const noexcept { return m_data; }
    const T* end() const noexcept { return m_data + m_size; }
    T* begin() noexcept { return m_data; }
    T* end() noexcept { return m_data + m_size; }

    // Replaces the content by n zero bytes' worth of values. A large block comes straight from
    // the system already zeroed, so its pages are first touched (and cached) by their first use.
    void AssignZeroed(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
        void* p = std::calloc(n ? n : 1, sizeof(T));
        if (!p) throw std::bad_alloc();
        std::free(m_data);
        m_data = static_cast<T*>(p);
        m_size = n;
        m_capacity = n;
    }

    void reserve(std::size_t n) {
        if (n > m_capacity) Reallocate(n);
    }
    void Append(const T* values, std::size_t n) {
        if (n == 0) return;
        if (n > m_capacity - m_size) Reallocate(Grown(n));
        std::memcpy(m_data + m_size, values, n * sizeof(T));
        m_size += n;
    }
    void push_back(const T& v) { Append(&v, 1); }
    // Only ever shrinks.
    void truncate(std::size_t n) noexcept {
        if (n < m_size) m_size = n;
    }
    void clear() noexcept { m_size = 0; }
    void shrink_to_fit() noexcept {
        if (m_capacity == m_size) return;
        if (m_size == 0) {
            std::free(std::exchange(m_data, nullptr));
            m_capacity = 0;
            return;
        }
        // A shrinking realloc that fails leaves the block as it was; keeping it is fine.
        if (void* p = std::realloc(m_data, m_size * sizeof(T))) {
            m_data = static_cast<T*>(p);
            m_capacity = m_size;
        }
    }

private:
    std::size_t Grown(std::size_t extra) const {
        const std::size_t limit = static_cast<std::size_t>(-1) / sizeof(T);
        if (extra > limit - m_size) throw std::bad_alloc();
        const std::size_t need = m_size + extra;
        const std::size_t doubled = m_capacity > limit / 2 ? limit : m_capacity * 2;
        return need > doubled ? need : (doubled < 16 ? 16 : doubled);
    }
    void Reallocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
        void* p = std::realloc(m_data, n * sizeof(T));
        if (!p) throw std::bad_alloc();
        m_data = static_cast<T*>(p);
        m_capacity = n;
    }

    T* m_data = nullptr;
    std::size_t m_size = 0;
    std::size_t m_capacity = 0;
};

} // namespace detail

class StringList {
public:
    StringList() = default;
    StringList(const StringList&) = default;
    StringList(StringList&&) noexcept = default;
    StringList& operator=(const StringList&) = default;
    StringList& operator=(StringList&&) noexcept = default;

    static std::size_t Hash(std::string_view s) noexcept;

    std::size_t Size() const noexcept { return m_ends.size(); }
    bool Empty() const noexcept { return m_ends.empty(); }
    // Valid until the list changes.
    std::string_view At(std::size_t i) const noexcept;

    void Append(std::string_view s) { Append(s, Hash(s)); }
    void Append(std::string_view s, std::size_t hash);
    // Room for `entries` more entries holding `bytes` more bytes in all (storage only; the index
    // is sized when entries are indexed).
    void Reserve(std::size_t entries, std::size_t bytes);
    // Gives back storage reserved beyond what the entries use (usually without copying).
    void ShrinkToFit();

    // Bulk loading: appends without touching the index. Such entries are still found (by a
    // linear scan) until IndexPending adds them all to the index in one cache-friendly pass.
    // The text is hashed now, while it is still in the cache.
    void AppendUnindexed(std::string_view s);
    void IndexPending();
    std::size_t PendingCount() const noexcept { return Size() - m_indexed; }

    bool Contains(std::string_view s) const noexcept { return Contains(s, Hash(s)); }
    // `hash` must be Hash(s); lets one hash serve several lists.
    bool Contains(std::string_view s, std::size_t hash) const noexcept;

    // Removes every entry equal to s, keeping the order of the rest; returns how many went.
    std::size_t RemoveAll(std::string_view s);
    void Clear() noexcept;

    template <class F>
    void ForEach(F&& f) const {
        std::size_t begin = 0;
        for (std::size_t end : m_ends) {
            f(std::string_view(m_bytes.data() + begin, end - begin));
            begin = end;
        }
    }
    std::vector<std::string> ToVector() const;

    // Distinct texts held (for tests and measurements).
    std::size_t DistinctCount() const noexcept { return m_distinct; }
    // Heap bytes reserved by the list and its index.
    std::size_t MemoryBytes() const noexcept;

private:
    // entry: index of an entry with this text, plus one; 0 marks a free slot.
    // hash: the folded hash, which also gives the slot the text belongs in.
    struct Slot {
        uint32_t entry = 0;
        uint32_t hash = 0;
    };

    static uint32_t Fold(std::size_t hash) noexcept;
    std::size_t Begin(std::size_t i) const noexcept { return i ? m_ends[i - 1] : 0; }
    // Slot holding s, or npos.
    std::size_t Find(std::string_view s, uint32_t folded) const noexcept;
    // Doubles the table, or makes it at least `atLeast` slots (a power of two).
    void Grow(std::size_t atLeast = 0);
    void StoreBytes(std::string_view s);
    // Puts entry `index` (whose text has hash `folded`) into the table unless its text is there.
    void IndexEntry(std::size_t index, uint32_t folded) noexcept;
    void EraseSlot(std::size_t slot) noexcept;

    // Slots for `distinct` texts: a power of two, at most three quarters full.
    static std::size_t SlotsFor(std::size_t distinct) noexcept;

    detail::PodBuffer<char> m_bytes;          // entries' text, back to back (under 4 GiB)
    detail::PodBuffer<uint32_t> m_ends;       // end offset of each entry in m_bytes
    detail::PodBuffer<uint32_t> m_pendingHashes;   // folded hashes of entries not yet indexed
    detail::PodBuffer<Slot> m_slots;    // power-of-two size, at most three quarters full
    std::size_t m_distinct = 0;
    std::size_t m_indexed = 0;          // entries [0, m_indexed) are in the table
};

} // namespace pv
