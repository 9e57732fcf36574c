#include "large_array.hpp"

#include <cstdint>
#include <cstdlib>

#if defined(__unix__) || defined(__APPLE__)
#include <sys/mman.h>
#define MORVIK3_ANONYMOUS_MAPPINGS 1
#endif

namespace morvik3::large_array {

namespace {

// Blocks from this size on are mapped directly, so their pages stay
// untouched until used; the heap may hand out recycled memory, which calloc
// must then clear, committing it.
constexpr std::size_t mapped_from = std::size_t{64} << 10;
constexpr std::size_t page = 4096;

}  // namespace

Block allocate(std::size_t bytes) {
    if (bytes == 0) bytes = 1;
#ifdef MORVIK3_ANONYMOUS_MAPPINGS
    if (bytes >= mapped_from) {
        void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p != MAP_FAILED) return {p, true};
        // Out of mappings rather than memory, perhaps: the heap may still serve.
    }
#endif
    void* p = std::calloc(1, bytes);
    if (p == nullptr) throw std::bad_alloc();
    return {p, false};
}

void release(Block block, std::size_t bytes) noexcept {
#ifdef MORVIK3_ANONYMOUS_MAPPINGS
    if (block.mapped) {
        munmap(block.data, bytes == 0 ? 1 : bytes);
        return;
    }
#endif
    std::free(block.data);
}

void copy_into_zeroed(void* to, const void* from, std::size_t bytes) noexcept {
    if (bytes < mapped_from) {
        std::memcpy(to, from, bytes);
        return;
    }
    // Reading an untouched page maps the shared zero page; writing would not.
    auto* out = static_cast<unsigned char*>(to);
    const auto* in = static_cast<const unsigned char*>(from);
    for (std::size_t at = 0; at < bytes; at += page) {
        const std::size_t n = std::min(page, bytes - at);
        std::uint64_t any = 0;
        for (std::size_t i = 0; i + 8 <= n; i += 8) {
            std::uint64_t word;
            std::memcpy(&word, in + at + i, 8);
            any |= word;
        }
        for (std::size_t i = n - n % 8; i < n; ++i) any |= in[at + i];
        if (any != 0) std::memcpy(out + at, in + at, n);
    }
}

}  // namespace morvik3::large_array
