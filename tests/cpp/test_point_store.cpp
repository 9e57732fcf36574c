#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "morvik/point_store.hpp"

using namespace morvik3;
using namespace morvik3::morvik;

namespace {

// Allocates a row, stores `values` and gives it `refs` references, as the
// update does.
std::uint64_t put(PointStore& s, std::vector<float> values, std::uint64_t refs = 1) {
    const std::uint64_t r = s.allocate_row().value();
    s.write_row(r, values);
    s.occupied[r] = true;
    s.ref_count[r] = 0;
    ++s.size;
    for (std::uint64_t i = 0; i < refs; ++i) s.add_ref(r);
    return r;
}

}  // namespace

TEST(PointStore, ReleasedRowsAreReusedLastInFirstOut) {
    PointStore s = PointStore::create(2, 1, true, 20);
    for (int i = 0; i < 3; ++i) put(s, {float(i), 0});
    s.release(1);
    s.release(2);
    EXPECT_EQ(s.free_list, (std::vector<std::uint64_t>{1, 2}));
    EXPECT_EQ(s.allocate_row().value(), 2u);
    EXPECT_EQ(s.allocate_row().value(), 1u);
    EXPECT_EQ(s.allocate_row().value(), 3u);
}

TEST(PointStore, ReleaseOfUnreferencedRowFreesItOnce) {
    PointStore s = PointStore::create(1, 1, true, 4);
    const auto r = put(s, {5}, 0);
    s.release(r);
    EXPECT_FALSE(s.occupied[r]);
    EXPECT_EQ(s.size, 0u);
    s.release(r);
    EXPECT_EQ(s.size, 0u);
    EXPECT_EQ(s.free_list, (std::vector<std::uint64_t>{r}));
}

TEST(PointStore, GrowsToTwiceCapacityPlusFourKeepingRows) {
    PointStore s = PointStore::create(2, 1, true, 2);
    put(s, {1, 2});
    put(s, {3, 4});
    EXPECT_EQ(s.allocate_row().value(), 2u);
    EXPECT_EQ(s.capacity, 8u);
    EXPECT_EQ(s.next_free, 3u);
    EXPECT_EQ(s.occupied.size(), 8u);
    EXPECT_EQ(s.ref_count.size(), 8u);
    EXPECT_EQ(s.store.size(), 16u);
    EXPECT_EQ(std::vector<float>(s.row(0).begin(), s.row(0).end()), (std::vector<float>{1, 2}));
    EXPECT_EQ(std::vector<float>(s.row(1).begin(), s.row(1).end()), (std::vector<float>{3, 4}));
    EXPECT_EQ(s.row(7)[1], 0.0f);
}

TEST(PointStore, GrowthOverflowIsAnErrorAndChangesNothing) {
    PointStore s = PointStore::create(1, 1, true, 1);
    put(s, {1});
    // A store claiming a capacity too large to double: growth must refuse
    // before touching anything.
    s.capacity = (std::numeric_limits<std::uint64_t>::max() - 4) / 2 + 1;
    s.next_free = s.capacity;
    EXPECT_TRUE(s.allocation_would_overflow());
    const auto r = s.allocate_row();
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind, ErrorKind::overflow);
    EXPECT_EQ(r.error().display(), "overflow: point store capacity growth overflows usize");
    EXPECT_EQ(s.store.size(), 1u);
    s.capacity -= 1;
    EXPECT_FALSE(s.allocation_would_overflow());
}

TEST(PointStore, EqualsIsExactFloatEquality) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    PointStore s = PointStore::create(3, 1, true, 4);
    const auto plain = put(s, {1, -0.0f, 3});
    const auto with_nan = put(s, {1, nan, 3});
    struct Case {
        std::uint64_t row;
        std::vector<float> values;
        bool equal;
    };
    const std::vector<Case> cases{
        {plain, {1, 0.0f, 3}, true},       // -0 equals +0
        {plain, {1, 0.0f, 3.0000002f}, false},
        {plain, {1, 0.0f}, false},          // shorter
        {plain, {1, 0.0f, 3, 4}, false},    // longer
        {with_nan, {1, nan, 3}, false},     // same bits, still not equal
    };
    for (const auto& c : cases) EXPECT_EQ(s.equals(c.row, c.values), c.equal);
}

TEST(PointStore, RowsOutsideTheStoreFaultInsteadOfReading) {
    PointStore s = PointStore::create(2, 1, true, 2);
    EXPECT_THROW((void)s.row(2), InternalError);
    EXPECT_THROW(s.release(5), InternalError);
    s.store.resize(2);  // a block shorter than capacity x dim
    EXPECT_THROW((void)s.row(1), InternalError);
}
