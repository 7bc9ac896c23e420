// A growable array of plain values for the store's large blocks (the bytes of pv.dat, the
// lists' entry offsets and index), without per-element construction or zero-filling.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace pv {

namespace detail {

template <class T>
class PodBuffer {
    static_assert(std::is_trivially_copyable_v<T>);

    // No object may be larger than the largest pointer difference.
    static constexpr std::size_t kMaxCount = static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(T);

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
    // the system already zeroed, so its pages are first touched by their first use.
    void AssignZeroed(std::size_t n) {
        if (n > kMaxCount) throw std::bad_alloc();
        T* p = static_cast<T*>(std::calloc(n ? n : 1, sizeof(T)));
        if (!p) throw std::bad_alloc();
        std::free(m_data);
        m_data = p;
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
    void push_back(const T& v) {
        if (m_size == m_capacity) Reallocate(Grown(1));
        m_data[m_size++] = v;
    }
    // Only where size() < capacity().
    void PushUnchecked(const T& v) noexcept { m_data[m_size++] = v; }
    // Makes room for n more values left uninitialised (to be filled in place, e.g. by a read)
    // and returns where they start; truncate gives back what was not filled.
    T* Extend(std::size_t n) {
        if (n > m_capacity - m_size) Reallocate(Grown(n));
        T* at = m_data + m_size;
        m_size += n;
        return at;
    }
    // Only ever shrinks.
    void Truncate(std::size_t n) noexcept {
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
        // A shrink that fails leaves the block as it was; keeping it is fine.
        if (T* p = Resized(m_size)) {
            m_data = p;
            m_capacity = m_size;
        }
    }

private:
    // The block resized to n > 0 values with the content kept, or null (the block unchanged).
    T* Resized(std::size_t n) noexcept { return static_cast<T*>(std::realloc(m_data, n * sizeof(T))); }
    std::size_t Grown(std::size_t extra) const {
        const std::size_t limit = kMaxCount;
        if (extra > limit - m_size) throw std::bad_alloc();
        const std::size_t need = m_size + extra;
        const std::size_t doubled = m_capacity > limit / 2 ? limit : m_capacity * 2;
        return need > doubled ? need : (doubled < 16 ? 16 : doubled);
    }
    void Reallocate(std::size_t n) {
        if (n > kMaxCount) throw std::bad_alloc();
        T* p = Resized(n);
        if (!p) throw std::bad_alloc();
        m_data = p;
        m_capacity = n;
    }

    T* m_data = nullptr;
    std::size_t m_size = 0;
    std::size_t m_capacity = 0;
};

} // namespace detail

} // namespace pv
