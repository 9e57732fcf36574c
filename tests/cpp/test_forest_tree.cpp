#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "morvik/bounding_box.hpp"
#include "morvik/cut.hpp"
#include "morvik/tree/mod.hpp"

using namespace morvik3;
using namespace morvik3::morvik;

namespace {

const float nan_f = std::numeric_limits<float>::quiet_NaN();
const float inf_f = std::numeric_limits<float>::infinity();

using Vec = std::vector<float>;

// A store whose rows are written directly, and a tree over it.
struct Fixture {
    PointStore store;
    MorvikTree tree;

    explicit Fixture(std::uint64_t dims)
        : store(PointStore::create(dims, 1, false, 64)),
          tree(MorvikTree::create(dims, Xoshiro256PlusPlus::seed_from_u64(7))) {}

    std::uint64_t row(const Vec& v) {
        const std::uint64_t r = store.allocate_row().value();
        store.write_row(r, v);
        store.occupied[r] = true;
        ++store.size;
        return r;
    }
    std::uint64_t insert(const Vec& v) { return tree.insert(store, row(v)); }
};

}  // namespace

TEST(TreeBox, MergeIgnoresNanAndRecomputesRange) {
    BoundingBox b{{1, 5}, {2, 5}, 1.0};
    b.merge_point(Vec{0, nan_f});
    EXPECT_EQ(b.min, (Vec{0, 5}));
    EXPECT_EQ(b.max, (Vec{2, 5}));
    EXPECT_EQ(b.range_sum, 2.0);
}

TEST(TreeCut, NextDown) {
    struct Case {
        float in, out;
    };
    const std::vector<Case> cases{
        {1.0f, 0.99999994f},
        {-1.0f, -1.0000001f},
        {0.0f, -std::numeric_limits<float>::denorm_min()},
        {-0.0f, -std::numeric_limits<float>::denorm_min()},
        {std::numeric_limits<float>::denorm_min(), 0.0f},
        {inf_f, std::numeric_limits<float>::max()},
        {-inf_f, -inf_f},
    };
    for (const auto& c : cases) EXPECT_EQ(next_down(c.in), c.out) << c.in;
    EXPECT_TRUE(std::isnan(next_down(nan_f)));
}

TEST(TreeCut, ChoosesDimensionByWidthAndStaysBelowTheMaximum) {
    const Vec p{0, 0};
    struct Case {
        double u;
        Vec x;
        std::uint64_t dim;
        float value;
    };
    const std::vector<Case> cases{
        {0.5, {1, 0}, 0, 0.5f},
        {0.0, {1, 0}, 0, 0.0f},
        {0.999999999, {1, 0}, 0, 0.99999994f},  // rounds to 1.0f, clamped below
        {0.25, {1, 3}, 1, 0.0f},                 // r = 1 lands at the start of dim 1
        {0.5, {1, 3}, 1, 1.0f},
        {1.0, {2, 0}, 0, next_down(2.0f)},       // r past every width: last positive one
        {0.5, {-1, 0}, 0, -0.5f},
    };
    for (const auto& c : cases) {
        const auto cut = draw_cut(c.u, p, p, c.x);
        ASSERT_TRUE(cut.has_value());
        EXPECT_EQ(cut->dim, c.dim) << c.u;
        EXPECT_EQ(cut->value, c.value) << c.u;
        EXPECT_TRUE(separates(*cut, p, p, c.x));
    }
    EXPECT_FALSE(draw_cut(0.5, p, p, p).has_value());  // no width, no cut
}

TEST(TreeCut, SeparationNeedsTheBoxWhollyOnOneSide) {
    const Vec min{0, 0}, max{2, 2};
    EXPECT_FALSE(separates(Cut{0, 1.0f}, min, max, Vec{3, 1}));   // cuts through the box
    EXPECT_TRUE(separates(Cut{0, 2.0f}, min, max, Vec{3, 1}));
    EXPECT_TRUE(separates(Cut{1, -0.5f}, min, max, Vec{1, -1}));
    EXPECT_FALSE(separates(Cut{1, -0.5f}, min, max, Vec{1, nan_f}));  // NaN never separated
}

TEST(TreeShape, NanCoordinateSplitsOnTheLeafValueWithTheNewLeafRight) {
    Fixture f(2);
    f.insert({1, 2});
    EXPECT_EQ(f.insert({1, nan_f}), 1u);
    const Node& root = f.tree.arena.get(f.tree.root);
    EXPECT_EQ(root.cut_dim, 1u);
    EXPECT_EQ(root.cut_val, 2.0f);
    EXPECT_EQ(root.left, 0u);
    EXPECT_EQ(root.right, 1u);
    EXPECT_EQ(root.range_sum, 0.0);
}

TEST(TreeShape, CheckDeleteRefusesAnEmptyTreeAndAnEmptiedLeaf) {
    Fixture f(1);
    const auto a = f.row({1});
    f.tree.insert(f.store, a);
    f.tree.delete_point(f.store, a);
    ASSERT_TRUE(f.tree.is_empty());
    auto check = f.tree.check_delete(f.store, a);
    ASSERT_FALSE(check.has_value());
    EXPECT_EQ(check.error().display(), "runtime error: cannot delete from an empty tree");

    f.tree.insert(f.store, a);
    f.insert({3});
    f.tree.arena.get_mut(f.tree.arena.get(f.tree.root).left).mass = 0;
    check = f.tree.check_delete(f.store, a);
    ASSERT_FALSE(check.has_value());
    EXPECT_EQ(check.error().display(), "runtime error: leaf mass is already 0");
    EXPECT_TRUE(f.tree.path.empty());
}
