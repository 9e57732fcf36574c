#include "frame/memory_budget.hpp"

#include <cstdio>
#include <string>

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <unistd.h>
#endif
#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace morvik3 {

namespace {

// "25769803776 bytes (24.0 GiB)"
std::string figure(std::uint64_t bytes) {
    static constexpr const char* units[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    std::string text = std::to_string(bytes) + " bytes";
    double scaled = static_cast<double>(bytes);
    int unit = -1;
    while (scaled >= 1024.0 && unit < 5) {
        scaled /= 1024.0;
        ++unit;
    }
    if (unit < 0) return text;
    char shown[32];
    std::snprintf(shown, sizeof shown, " (%.1f %s)", scaled, units[unit]);
    return text + shown;
}

// "<what> needs N bytes (...)<detail>, more than the M bytes (...) of physical memory of this machine"
Result<void> refuse_beyond(std::string_view what, ByteCount need, std::string_view detail, std::uint64_t available) {
    if (available == 0 || need.bytes <= available) return {};
    const std::string needed = need.bytes == ByteCount::max ? "more than " + figure(need.bytes) : figure(need.bytes);
    return std::unexpected(Error::out_of_memory(std::string(what) + " needs " + needed + std::string(detail) +
                                                ", more than the " + figure(available) +
                                                " of physical memory of this machine"));
}

}  // namespace

std::uint64_t allocated_bytes(const void* p, std::uint64_t requested) {
    if (p == nullptr) return 0;
#if defined(__GLIBC__)
    // The block, rounded up to the allocator's granule, and the size word before it.
    return malloc_usable_size(const_cast<void*>(p)) + sizeof(std::size_t);
#else
    return requested;
#endif
}

std::uint64_t physical_memory() {
    // Asked once: the question costs a system call, and the answer stays.
    static const std::uint64_t bytes = [] {
#if defined(_WIN32)
        MEMORYSTATUSEX status{};
        status.dwLength = sizeof status;
        return GlobalMemoryStatusEx(&status) ? std::uint64_t{status.ullTotalPhys} : std::uint64_t{0};
#else
        const long pages = sysconf(_SC_PHYS_PAGES);
        const long page_size = sysconf(_SC_PAGESIZE);
        if (pages <= 0 || page_size <= 0) return std::uint64_t{0};
        return ByteCount::of(static_cast<std::uint64_t>(pages), static_cast<std::uint64_t>(page_size)).bytes;
#endif
    }();
    return bytes;
}

Result<void> check_fits(std::string_view what, ByteCount need, std::uint64_t available) {
    return refuse_beyond(what, need, " at full size (storage and per-call working memory)", available);
}

Result<void> check_fits(std::string_view what, ByteCount need) { return check_fits(what, need, physical_memory()); }

Result<void> check_items_fit(std::string_view what, std::uint64_t count, std::uint64_t each) {
    return refuse_beyond(std::string(what) + " of " + std::to_string(count) + " items", ByteCount::of(count, each),
                         "", physical_memory());
}

}  // namespace morvik3
