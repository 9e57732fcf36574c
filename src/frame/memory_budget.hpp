// What a configuration may come to need, against what the machine has: a
// detector that could only run by taking more than the physical memory is
// refused when it is made or loaded, not when the machine starts swapping.
// And what a detector holds at a given moment, counted from its storage.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "frame/error.hpp"
#include "frame/large_array.hpp"

namespace morvik3 {

// A byte count that saturates instead of wrapping: a configuration too large
// to count is as large as can be.
struct ByteCount {
    std::uint64_t bytes = 0;

    // `count` things of `each` bytes.
    [[nodiscard]] static ByteCount of(std::uint64_t count, std::uint64_t each) {
        std::uint64_t product = 0;
        return {__builtin_mul_overflow(count, each, &product) ? max : product};
    }
    template <class T>
    [[nodiscard]] static ByteCount of(std::uint64_t count) {
        return of(count, sizeof(T));
    }

    [[nodiscard]] ByteCount operator+(ByteCount other) const {
        std::uint64_t sum = 0;
        return {__builtin_add_overflow(bytes, other.bytes, &sum) ? max : sum};
    }
    ByteCount& operator+=(ByteCount other) { return *this = *this + other; }
    [[nodiscard]] ByteCount operator*(std::uint64_t times) const { return of(bytes, times); }

    static constexpr std::uint64_t max = static_cast<std::uint64_t>(-1);
};

// The bytes the allocator set aside for a block of `requested` bytes at `p`
// (nullptr: none), its bookkeeping included.
[[nodiscard]] std::uint64_t allocated_bytes(const void* p, std::uint64_t requested);

// The bytes a container holds: a vector the block of its whole capacity, used
// or not, a large array the pages it has written.
template <class T>
[[nodiscard]] std::uint64_t held(const std::vector<T>& v) {
    return allocated_bytes(v.capacity() == 0 ? nullptr : v.data(), v.capacity() * sizeof(T));
}
template <class T>
[[nodiscard]] std::uint64_t held(const LargeArray<T>& a) {
    return a.committed_bytes();
}

// The machine's physical memory as the operating system reports it; 0 when
// it cannot tell.
[[nodiscard]] std::uint64_t physical_memory();

// An out-of-memory error naming both figures when `what` needs more than
// `available` bytes (0: unknown, never refused).
[[nodiscard]] Result<void> check_fits(std::string_view what, ByteCount need, std::uint64_t available);
// The same against physical_memory().
[[nodiscard]] Result<void> check_fits(std::string_view what, ByteCount need);
// The same for `count` items of `each` bytes that `what` says it holds.
[[nodiscard]] Result<void> check_items_fit(std::string_view what, std::uint64_t count, std::uint64_t each);

// What reading the document of a configuration that needs `need` may build
// besides the state: the parsed document holds the same numbers in records
// that can take several times their room (a window point is a vector of its
// own), and a small configuration still has records of a fixed size.
[[nodiscard]] inline std::uint64_t document_allowance(ByteCount need) {
    return (need * 16 + ByteCount{std::uint64_t{1} << 20}).bytes;
}

}  // namespace morvik3
