#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
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

    explicit Fixture(std::uint64_t dims, std::uint64_t seed = 7)
        : store(PointStore::create(dims, 1, false, 64)),
          tree(MorvikTree::create(dims, 132, Xoshiro256PlusPlus::seed_from_u64(seed))) {}

    std::uint64_t row(const Vec& v) {
        const std::uint64_t r = store.allocate_row().value();
        store.write_row(r, v);
        store.occupied[r] = true;
        ++store.size;
        return r;
    }
    std::uint64_t insert(const Vec& v) { return tree.insert(store, row(v)); }
};

Vec to_vec(std::span<const float> s) { return {s.begin(), s.end()}; }

// Recomputes masses and boxes from the leaves and checks every stored value;
// returns the subtree's mass.
std::uint64_t check_subtree(const MorvikTree& t, const PointStore& s, std::uint64_t i, Vec& min, Vec& max,
                            std::size_t& visited) {
    ++visited;
    const Node& n = t.arena.get(i);
    if (n.is_leaf()) {
        EXPECT_GE(n.mass, 1u);
        min = max = to_vec(s.row(n.point_idx));
        return n.mass;
    }
    Vec lmin, lmax, rmin, rmax;
    const std::uint64_t mass = check_subtree(t, s, n.left, lmin, lmax, visited) +
                               check_subtree(t, s, n.right, rmin, rmax, visited);
    EXPECT_EQ(n.mass, mass);
    BoundingBox b{lmin, lmax, 0.0};
    b.merge_box(rmin, rmax);
    EXPECT_EQ(to_vec(t.arena.min(i)), b.min);
    EXPECT_EQ(to_vec(t.arena.max(i)), b.max);
    EXPECT_EQ(n.range_sum, b.range_sum);
    min = b.min;
    max = b.max;
    return mass;
}

void check_tree(const MorvikTree& t, const PointStore& s) {
    if (t.is_empty()) {
        EXPECT_EQ(t.tree_mass, 0u);
        return;
    }
    Vec min, max;
    std::size_t visited = 0;
    EXPECT_EQ(check_subtree(t, s, t.root, min, max, visited), t.tree_mass);
    EXPECT_EQ(visited + t.arena.free.size(), t.arena.nodes.size());
    EXPECT_TRUE(t.path.empty());
}

}  // namespace

TEST(TreeBox, MergeIgnoresNanAndRecomputesRange) {
    BoundingBox b{{1, 5}, {2, 5}, 1.0};
    b.merge_point(Vec{0, nan_f});
    EXPECT_EQ(b.min, (Vec{0, 5}));
    EXPECT_EQ(b.max, (Vec{2, 5}));
    EXPECT_EQ(b.range_sum, 2.0);
}

TEST(TreeBox, RangeSumOverflowsToInfinityNotNan) {
    BoundingBox b = BoundingBox::from_point(Vec{-3e38f, 0});
    b.merge_point(Vec{3e38f, 1});
    EXPECT_EQ(b.range_sum, std::numeric_limits<double>::infinity());
}

TEST(TreeBox, SeparationProbability) {
    const BoundingBox box{{1, 5}, {2, 5}, 1.0};
    const BoundingBox single = BoundingBox::from_point(Vec{4, 4});
    struct Case {
        const BoundingBox* box;
        Vec x;
        double p;
    };
    const std::vector<Case> cases{
        {&box, {1.5f, 5}, 0.0},        // inside
        {&box, {2, 5}, 0.0},           // corner
        {&box, {3, 5}, 0.5},           // gap 1 against range 1
        {&box, {0, 7}, 3.0 / 4.0},     // gap summed over dimensions
        {&single, {4, 4}, 0.0},
        {&single, {4, 4.5f}, 1.0},     // any outside point of a point box
    };
    for (const auto& c : cases) EXPECT_EQ(c.box->separation_probability(c.x), c.p);
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

TEST(TreeShape, FirstInsertMakesALeafWithoutADraw) {
    Fixture f(2);
    const auto rng = f.tree.rng;
    EXPECT_EQ(f.insert({1, 2}), 0u);
    EXPECT_EQ(f.tree.root, 0u);
    EXPECT_EQ(f.tree.tree_mass, 1u);
    EXPECT_TRUE(f.tree.arena.get(0).is_leaf());
    EXPECT_EQ(f.tree.rng, rng);
}

TEST(TreeShape, DuplicateMergesIntoTheFirstRow) {
    Fixture f(2);
    f.insert({1, 2});
    const auto rng = f.tree.rng;
    EXPECT_EQ(f.insert({1, 2}), 0u);
    EXPECT_EQ(f.tree.tree_mass, 2u);
    EXPECT_EQ(f.tree.arena.nodes.size(), 1u);
    EXPECT_EQ(f.tree.arena.get(0).mass, 2u);
    EXPECT_EQ(f.tree.rng, rng);
}

TEST(TreeShape, TwoPointsSplitOnTheWideDimension) {
    Fixture f(2);
    f.insert({0, 0});
    auto expected_rng = f.tree.rng;
    const float cut = static_cast<float>(expected_rng.unit_f64());
    EXPECT_EQ(f.insert({1, 0}), 1u);
    EXPECT_EQ(f.tree.rng, expected_rng);  // exactly one step
    const Node& root = f.tree.arena.get(f.tree.root);
    EXPECT_EQ(f.tree.root, 2u);  // new leaf first, then the node
    ASSERT_TRUE(root.is_internal());
    EXPECT_EQ(root.cut_dim, 0u);
    EXPECT_EQ(root.cut_val, std::min(cut, next_down(1.0f)));
    EXPECT_EQ(root.left, 0u);
    EXPECT_EQ(root.right, 1u);
    EXPECT_EQ(root.mass, 2u);
    EXPECT_EQ(to_vec(f.tree.arena.min(2)), (Vec{0, 0}));
    EXPECT_EQ(to_vec(f.tree.arena.max(2)), (Vec{1, 0}));
    EXPECT_EQ(root.range_sum, 1.0);
}

TEST(TreeShape, DistinctPointsAreSeparatedAfterOneDrawEach) {
    Fixture f(3, 11);
    std::mt19937 gen(5);
    std::uniform_real_distribution<float> coord(-10.0f, 10.0f);
    f.insert({0, 0, 0});
    auto expected_rng = f.tree.rng;
    for (int i = 0; i < 40; ++i) {
        f.insert({coord(gen), coord(gen), coord(gen)});
        (void)expected_rng.next_u64();
        check_tree(f.tree, f.store);
    }
    EXPECT_EQ(f.tree.rng, expected_rng);
    EXPECT_EQ(f.tree.tree_mass, 41u);
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

TEST(TreeShape, DeletingOneCopyKeepsTheLayout) {
    Fixture f(1);
    const auto a = f.row({1});
    f.tree.insert(f.store, a);
    f.insert({5});
    f.tree.insert(f.store, a);
    const auto nodes = f.tree.arena.nodes.size();
    const std::uint64_t root = f.tree.root;
    EXPECT_EQ(f.tree.arena.get(root).mass, 3u);
    ASSERT_TRUE(f.tree.check_delete(f.store, a).has_value());
    f.tree.delete_point(f.store, a);
    EXPECT_EQ(f.tree.arena.nodes.size(), nodes);
    EXPECT_EQ(f.tree.root, root);
    EXPECT_EQ(f.tree.arena.get(root).mass, 2u);
    EXPECT_EQ(f.tree.tree_mass, 2u);
    check_tree(f.tree, f.store);
}

TEST(TreeShape, DeletingUnderTheRootPromotesTheSiblingAndFreesLeafThenParent) {
    Fixture f(1);
    const auto a = f.row({1});
    const auto b = f.row({5});
    f.tree.insert(f.store, a);  // slot 0
    f.tree.insert(f.store, b);  // slots 1 (leaf b) and 2 (root)
    f.tree.delete_point(f.store, b);
    EXPECT_EQ(f.tree.root, 0u);
    EXPECT_EQ(f.tree.tree_mass, 1u);
    EXPECT_EQ(f.tree.arena.free, (std::vector<std::uint64_t>{1, 2}));
    EXPECT_EQ(f.tree.arena.allocate(Node::leaf(9, 1)), 2u);  // the parent's slot first
    EXPECT_EQ(f.tree.arena.allocate(Node::leaf(9, 1)), 1u);
}

TEST(TreeShape, DeletingTheRootLeafEmptiesTheTree) {
    Fixture f(2);
    const auto a = f.row({1, 1});
    f.tree.insert(f.store, a);
    f.tree.delete_point(f.store, a);
    EXPECT_TRUE(f.tree.is_empty());
    EXPECT_EQ(f.tree.tree_mass, 0u);
    EXPECT_EQ(f.tree.arena.free, (std::vector<std::uint64_t>{0}));
    const auto check = f.tree.check_delete(f.store, a);
    ASSERT_FALSE(check.has_value());
    EXPECT_EQ(check.error().display(), "runtime error: cannot delete from an empty tree");
}

TEST(TreeShape, CheckDeleteRefusesAnEmptiedLeafAndChangesNothing) {
    Fixture f(1);
    const auto a = f.row({1});
    f.tree.insert(f.store, a);
    f.insert({3});
    f.tree.arena.get_mut(0).mass = 0;
    const auto check = f.tree.check_delete(f.store, a);
    ASSERT_FALSE(check.has_value());
    EXPECT_EQ(check.error().display(), "runtime error: leaf mass is already 0");
    EXPECT_TRUE(f.tree.path.empty());
}

TEST(TreeShape, RandomInsertsAndDeletesKeepTheInvariants) {
    Fixture f(2, 3);
    std::mt19937 gen(9);
    std::uniform_int_distribution<int> coord(0, 4);  // small grid: many duplicates
    std::vector<std::uint64_t> held;
    for (int step = 0; step < 300; ++step) {
        if (!held.empty() && gen() % 3 == 0) {
            const std::size_t k = gen() % held.size();
            ASSERT_TRUE(f.tree.check_delete(f.store, held[k]).has_value());
            f.tree.delete_point(f.store, held[k]);
            held.erase(held.begin() + static_cast<std::ptrdiff_t>(k));
        } else {
            const Vec p{float(coord(gen)), float(coord(gen))};
            const std::uint64_t r = f.store.allocate_row().value();
            f.store.write_row(r, p);
            held.push_back(f.tree.insert(f.store, r));
            if (held.back() != r) f.store.free_list.push_back(r);
        }
        check_tree(f.tree, f.store);
        ASSERT_EQ(f.tree.tree_mass, held.size());
    }
}
