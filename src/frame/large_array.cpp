#include "frame/large_array.hpp"

#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <optional>

#include "frame/memory_budget.hpp"

#if defined(__unix__) || defined(__APPLE__)
#include <sys/mman.h>
#include <unistd.h>
#define MORVIK3_ANONYMOUS_MAPPINGS 1
#endif
#ifdef __linux__
#include <fcntl.h>
#endif

namespace morvik3::large_array {

namespace {

// Blocks from this size on are mapped directly, so their pages stay
// untouched until used; the heap may hand out recycled memory, which calloc
// must then clear, committing it.
constexpr std::size_t mapped_from = std::size_t{64} << 10;
constexpr std::size_t page = 4096;

bool all_zero(const unsigned char* p, std::size_t n) {
    std::uint64_t any = 0;
    for (std::size_t i = 0; i + 8 <= n; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, p + i, 8);
        any |= word;
    }
    for (std::size_t i = n - n % 8; i < n; ++i) any |= p[i];
    return any == 0;
}

// The pages of a block that this process holds in memory, from the kernel's
// page table: a page in memory that is not its alone and holds only zeros is
// the system's shared zero page, mapped by a read.  Empty when the system
// does not say.
std::optional<std::size_t> pages_held(const unsigned char* base, std::size_t bytes, std::size_t system_page) {
#ifdef __linux__
    constexpr std::uint64_t present = std::uint64_t{1} << 63;
    constexpr std::uint64_t exclusive = std::uint64_t{1} << 56;
    const int fd = open("/proc/self/pagemap", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    const std::size_t pages = (bytes + system_page - 1) / system_page;
    const auto first_entry = static_cast<off_t>(reinterpret_cast<std::uintptr_t>(base) / system_page);
    std::uint64_t entries[512];
    std::size_t held = 0;
    for (std::size_t first = 0; first < pages; first += std::size(entries)) {
        const std::size_t n = std::min(std::size(entries), pages - first);
        const off_t at = (first_entry + static_cast<off_t>(first)) * static_cast<off_t>(sizeof(std::uint64_t));
        if (pread(fd, entries, n * sizeof(std::uint64_t), at) != static_cast<ssize_t>(n * sizeof(std::uint64_t))) {
            close(fd);
            return std::nullopt;
        }
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t offset = (first + i) * system_page;
            if ((entries[i] & present) != 0 &&
                ((entries[i] & exclusive) != 0 || !all_zero(base + offset, std::min(system_page, bytes - offset))))
                ++held;
        }
    }
    close(fd);
    return held;
#else
    (void)base;
    (void)bytes;
    (void)system_page;
    return std::nullopt;
#endif
}

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
        if (!all_zero(in + at, n)) std::memcpy(out + at, in + at, n);
    }
}

std::size_t committed_bytes(Block block, std::size_t bytes) noexcept {
    if (!block.mapped) return allocated_bytes(block.data, bytes);
#ifdef MORVIK3_ANONYMOUS_MAPPINGS
    static const std::size_t system_page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const auto* base = static_cast<const unsigned char*>(block.data);
    if (const auto held = pages_held(base, bytes, system_page)) return *held * system_page;
    // Otherwise the pages in memory that hold a value other than zero: a page
    // written back to zeros is missed.
    const std::size_t pages = (bytes + system_page - 1) / system_page;
    unsigned char resident[1024];
    std::size_t committed = 0;
    for (std::size_t first = 0; first < pages; first += sizeof resident) {
        const std::size_t n = std::min(sizeof resident, pages - first);
        // Without an answer every page is looked at, at the cost of mapping the untouched ones.
#ifdef __linux__
        const bool known = mincore(const_cast<unsigned char*>(base + first * system_page), n * system_page, resident) == 0;
#else
        const bool known = false;
#endif
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t offset = (first + i) * system_page;
            if ((!known || (resident[i] & 1) != 0) && !all_zero(base + offset, std::min(system_page, bytes - offset)))
                committed += system_page;
        }
    }
    return committed;
#else
    return bytes;
#endif
}

}  // namespace morvik3::large_array
