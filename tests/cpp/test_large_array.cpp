#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <new>
#include <span>
#include <vector>

#include "frame/large_array.hpp"
#include "frame/scratch.hpp"

using morvik3::LargeArray;

namespace {

struct Cell {
    double value = 0.0;
    std::uint64_t epoch = 0;
    friend bool operator==(const Cell&, const Cell&) = default;
};

#ifdef __linux__
// Resident bytes of this process.
std::uint64_t resident() {
    std::ifstream statm("/proc/self/statm");
    std::uint64_t size = 0, pages = 0;
    statm >> size >> pages;
    return pages * 4096;
}
#endif

}  // namespace

TEST(LargeArray, StartsZeroAndKeepsValuesAsItGrows) {
    for (const std::size_t n : {std::size_t{3}, std::size_t{1} << 20}) {  // from the heap, and mapped
        LargeArray<Cell> a(n);
        ASSERT_EQ(a.size(), n);
        EXPECT_EQ(a[0], Cell{});
        EXPECT_EQ(a[n - 1], Cell{});
        a[n - 1] = {2.5, 7};
        a.push_back({1.0, 1});
        a.resize(3 * n);
        EXPECT_EQ(a[n - 1], (Cell{2.5, 7}));
        EXPECT_EQ(a[n], (Cell{1.0, 1}));
        EXPECT_EQ(a[3 * n - 1], Cell{});
    }
}

TEST(LargeArray, ShrinkingThenGrowingReadsZeros) {
    LargeArray<float> a{1.0f, 2.0f, 3.0f};
    a.resize(1);
    a.resize(3);
    EXPECT_EQ(std::vector<float>(a.begin(), a.end()), (std::vector<float>{1.0f, 0.0f, 0.0f}));
}

TEST(LargeArray, CopiesAreEqualAndIndependent) {
    LargeArray<std::uint64_t> a(1 << 18);
    a[5] = 9;
    a[(1 << 18) - 1] = 4;
    LargeArray<std::uint64_t> b = a;
    EXPECT_EQ(a, b);
    b[5] = 1;
    EXPECT_EQ(a[5], 9u);
    EXPECT_NE(a, b);
    LargeArray<std::uint64_t> c = std::move(b);
    EXPECT_TRUE(b.empty());
    EXPECT_EQ(c[(1 << 18) - 1], 4u);
    EXPECT_EQ(LargeArray<float>{-0.0f}, LargeArray<float>{0.0f});  // compared as values
}

TEST(LargeArray, SizesBeyondMemoryThrowBadAlloc) {
    LargeArray<double> a;
    EXPECT_THROW(a.resize(LargeArray<double>::max_size() + 1), std::bad_alloc);
    EXPECT_THROW(a.resize(std::size_t{1} << 58), std::bad_alloc);
    EXPECT_TRUE(a.empty());
}

#ifdef __linux__
TEST(LargeArray, UntouchedPagesCostNothingEvenWhenCopied) {
#ifdef __SANITIZE_THREAD__
    GTEST_SKIP() << "ThreadSanitizer commits shadow memory for the whole of every mapping";
#endif
    const std::uint64_t before = resident();
    LargeArray<double> a(std::size_t{64} << 20);  // 512 MiB
    a[12345] = 1.0;
    const LargeArray<double> b = a;
    EXPECT_EQ(b[12345], 1.0);
    EXPECT_LT(resident() - before, std::uint64_t{16} << 20);
}
#endif

TEST(Scratch, LargeBuffersGoBackWhenTheScopeEnds) {
    std::vector<double> large, small;
    {
        const morvik3::ScratchRelease release(large, small);
        large.resize((std::size_t{1} << 20) / sizeof(double) + 1);
        small.resize(1000);
    }
    EXPECT_EQ(large.capacity(), 0u);
    EXPECT_GE(small.capacity(), 1000u);
}
