#include "store/pod_buffer.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace pv::detail {

#if defined(__linux__) && defined(MADV_HUGEPAGE)

namespace {
constexpr std::size_t kLargePage = std::size_t{2} << 20;

std::size_t Mapped(std::size_t bytes) noexcept { return (bytes + kLargePage - 1) & ~(kLargePage - 1); }
} // namespace

void* AllocateLarge(std::size_t bytes) noexcept {
    const std::size_t size = Mapped(bytes);
    if (size < bytes || size + kLargePage < size) return nullptr;
    // Over-mapped by one large page, then trimmed to an aligned block: a block the system may
    // place anywhere would start and end with stretches of small pages.
    void* raw = ::mmap(nullptr, size + kLargePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const auto at = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t begin = (at + kLargePage - 1) & ~std::uintptr_t{kLargePage - 1};
    if (begin > at) ::munmap(raw, begin - at);
    const std::uintptr_t end = begin + size;
    if (end < at + size + kLargePage) ::munmap(reinterpret_cast<void*>(end), at + size + kLargePage - end);
    void* block = reinterpret_cast<void*>(begin);
    // Only a hint: refused, the block keeps small pages.
    ::madvise(block, size, MADV_HUGEPAGE);
    return block;
}

void* ReallocateLarge(void* block, std::size_t oldBytes, std::size_t newBytes) noexcept {
    const std::size_t from = Mapped(oldBytes);
    const std::size_t to = Mapped(newBytes);
    if (to < newBytes) return nullptr;
    if (to == from) return block;
    if (to < from) {
        ::munmap(static_cast<char*>(block) + to, from - to);
        return block;
    }
    // Pages move with their mapping, not by copying.
    void* moved = ::mremap(block, from, to, MREMAP_MAYMOVE);
    return moved == MAP_FAILED ? nullptr : moved;
}

void FreeLarge(void* block, std::size_t bytes) noexcept { ::munmap(block, Mapped(bytes)); }

#else

void* AllocateLarge(std::size_t bytes) noexcept { return std::calloc(bytes, 1); }

void* ReallocateLarge(void* block, std::size_t, std::size_t newBytes) noexcept {
    return std::realloc(block, newBytes);
}

void FreeLarge(void* block, std::size_t) noexcept { std::free(block); }

#endif

} // namespace pv::detail
