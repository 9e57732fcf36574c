// The fast paths of insertion, deletion and sampling against the plain
// definitions they replace: the trees must come out bit for bit the same.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "morvik/bounding_box.hpp"
#include "morvik/cut.hpp"
#include "morvik/forest/document.hpp"
#include "morvik/forest/update.hpp"
#include "morvik/sampler.hpp"
#include "morvik/tree/mod.hpp"

using namespace morvik3;
using namespace morvik3::morvik;

namespace {

using Vec = std::vector<float>;
const float nan_f = std::numeric_limits<float>::quiet_NaN();

// The tree algorithms written plainly: every box on a changed path merged
// again from its two children, and the insertion walk's box grown from the
// leaf by merging the siblings level by level.
namespace plain {

std::vector<PathStep> descend(const MorvikTree& t, std::span<const float> x, std::uint64_t& leaf) {
    std::vector<PathStep> path;
    leaf = t.root;
    while (t.arena.get(leaf).is_internal()) {
        const Node& n = t.arena.get(leaf);
        const std::uint64_t next = n.child_for(x);
        path.push_back({leaf, next == n.left ? n.right : n.left});
        leaf = next;
    }
    return path;
}

BoundingBox box_of(const MorvikTree& t, const PointStore& s, std::uint64_t i) {
    const Node& n = t.arena.get(i);
    if (n.is_leaf()) return BoundingBox::from_point(s.row(n.point_idx));
    const auto min = t.arena.min(i);
    const auto max = t.arena.max(i);
    return {{min.begin(), min.end()}, {max.begin(), max.end()}, n.range_sum};
}

void store_box(MorvikTree& t, std::uint64_t i, const BoundingBox& b) {
    std::ranges::copy(b.min, t.arena.min_mut(i).begin());
    std::ranges::copy(b.max, t.arena.max_mut(i).begin());
    t.arena.get_mut(i).range_sum = b.range_sum;
}

void refresh(MorvikTree& t, const PointStore& s, const std::vector<PathStep>& path, std::size_t k) {
    for (std::size_t j = k; j-- > 0;) {
        const std::uint64_t i = path[j].node;
        const Node n = t.arena.get(i);
        BoundingBox b = box_of(t, s, n.left);
        const BoundingBox right = box_of(t, s, n.right);
        b.merge_box(right.min, right.max);
        store_box(t, i, b);
        t.arena.get_mut(i).mass = t.arena.get(n.left).mass + t.arena.get(n.right).mass;
    }
}

void replace_child(MorvikTree& t, std::uint64_t parent, std::uint64_t old_child, std::uint64_t new_child) {
    Node& p = t.arena.get_mut(parent);
    (p.left == old_child ? p.left : p.right) = new_child;
}

void split(MorvikTree& t, const PointStore& s, const std::vector<PathStep>& path, std::uint64_t at,
           std::uint64_t parent, Cut cut, std::uint64_t h, std::size_t ancestors) {
    const auto x = s.row(h);
    const std::uint64_t new_leaf = t.arena.allocate(Node::leaf(h, 1));
    Node node;
    node.kind = NodeKind::internal;
    node.cut_dim = cut.dim;
    node.cut_val = cut.value;
    node.mass = t.arena.get(at).mass + 1;
    node.left = x[cut.dim] <= cut.value ? new_leaf : at;
    node.right = x[cut.dim] <= cut.value ? at : new_leaf;
    const std::uint64_t id = t.arena.allocate(node);
    BoundingBox b = box_of(t, s, at);
    b.merge_point(x);
    store_box(t, id, b);
    if (parent == NULL_INDEX) {
        t.root = id;
    } else {
        replace_child(t, parent, at, id);
    }
    refresh(t, s, path, ancestors);
}

std::uint64_t insert(MorvikTree& t, const PointStore& s, std::uint64_t h) {
    const auto x = s.row(h);
    if (t.root == NULL_INDEX) {
        t.root = t.arena.allocate(Node::leaf(h, 1));
        t.tree_mass = 1;
        return h;
    }
    std::uint64_t leaf = 0;
    const auto path = descend(t, x, leaf);
    const std::size_t n = path.size();
    ++t.tree_mass;
    const std::uint64_t v = t.arena.get(leaf).point_idx;
    if (s.equals(v, x)) {
        ++t.arena.get_mut(leaf).mass;
        refresh(t, s, path, n);
        return v;
    }
    BoundingBox walk = BoundingBox::from_point(s.row(v));
    for (std::size_t k = 0; k <= n; ++k) {
        const auto cut = draw_cut(t.rng.unit_f64(), walk.min, walk.max, x);
        if (cut && separates(*cut, walk.min, walk.max, x)) {
            split(t, s, path, k == 0 ? leaf : path[n - k].node, k == n ? NULL_INDEX : path[n - k - 1].node, *cut, h,
                  n - k);
            return h;
        }
        if (k < n) {
            const BoundingBox sibling = box_of(t, s, path[n - 1 - k].sibling);
            walk.merge_box(sibling.min, sibling.max);
        }
    }
    const auto vp = s.row(v);
    std::size_t c = 0;
    while (c < x.size() && std::fabs(x[c] - vp[c]) <= 0x1p-23f) ++c;
    if (c == x.size()) {
        ++t.arena.get_mut(leaf).mass;
        refresh(t, s, path, n);
        return v;
    }
    split(t, s, path, leaf, n == 0 ? NULL_INDEX : path[n - 1].node, {c, nan_min(x[c], vp[c])}, h, n);
    return h;
}

void erase(MorvikTree& t, const PointStore& s, std::uint64_t r) {
    std::uint64_t leaf = 0;
    const auto path = descend(t, s.row(r), leaf);
    --t.tree_mass;
    if (t.arena.get(leaf).mass >= 2) {
        --t.arena.get_mut(leaf).mass;
        refresh(t, s, path, path.size());
        return;
    }
    if (path.empty()) {
        t.arena.release(leaf);
        t.root = NULL_INDEX;
        return;
    }
    const auto [parent, sibling] = path.back();
    if (path.size() == 1) {
        t.root = sibling;
    } else {
        replace_child(t, path[path.size() - 2].node, parent, sibling);
    }
    t.arena.release(leaf);
    t.arena.release(parent);
    refresh(t, s, path, path.size() - 1);
}

}  // namespace plain

std::vector<std::uint32_t> bits(std::span<const float> v) {
    std::vector<std::uint32_t> out;
    for (const float f : v) out.push_back(std::bit_cast<std::uint32_t>(f));
    return out;
}

// Every field of both trees, floats by their bits.
void expect_same_tree(const MorvikTree& got, const MorvikTree& want) {
    ASSERT_EQ(got.root, want.root);
    ASSERT_EQ(got.tree_mass, want.tree_mass);
    ASSERT_EQ(got.rng, want.rng);
    ASSERT_EQ(got.arena.free, want.arena.free);
    ASSERT_EQ(bits(got.arena.bounds), bits(want.arena.bounds));
    ASSERT_EQ(got.arena.nodes.size(), want.arena.nodes.size());
    for (std::size_t i = 0; i < got.arena.nodes.size(); ++i) {
        const Node& a = got.arena.nodes[i];
        const Node& b = want.arena.nodes[i];
        ASSERT_EQ(a.kind, b.kind) << "node " << i;
        ASSERT_EQ(a.mass, b.mass) << "node " << i;
        if (a.is_leaf()) {
            ASSERT_EQ(a.point_idx, b.point_idx) << "node " << i;
        }
        if (!a.is_internal()) continue;
        ASSERT_EQ(a.left, b.left) << "node " << i;
        ASSERT_EQ(a.right, b.right) << "node " << i;
        ASSERT_EQ(a.cut_dim, b.cut_dim) << "node " << i;
        ASSERT_EQ(std::bit_cast<std::uint32_t>(a.cut_val), std::bit_cast<std::uint32_t>(b.cut_val)) << "node " << i;
        ASSERT_EQ(std::bit_cast<std::uint64_t>(a.range_sum), std::bit_cast<std::uint64_t>(b.range_sum)) << "node " << i;
    }
    EXPECT_TRUE(got.path.empty());
}

struct Coordinates {
    const char* name;
    std::uint64_t dims;
    Vec values;  // each coordinate is drawn from these
};

void PrintTo(const Coordinates& c, std::ostream* os) { *os << c.name; }

class TreeIncremental : public testing::TestWithParam<Coordinates> {};

// Signed zeros are the bounds whose bits depend on the order of a merge, NaN
// the coordinates boxes ignore; small sets of values make duplicates, and
// points on the boundary of the boxes that lose them.
TEST_P(TreeIncremental, InsertsAndDeletesMatchFullRecomputationBitForBit) {
    const Coordinates& c = GetParam();
    for (std::uint64_t seed = 1; seed <= 4; ++seed) {
        PointStore store = PointStore::create(c.dims, 1, false, 2048);
        MorvikTree tree = MorvikTree::create(c.dims, Xoshiro256PlusPlus::seed_from_u64(seed));
        MorvikTree want = tree;
        std::mt19937 gen(static_cast<unsigned>(seed));
        std::vector<std::uint64_t> held;  // one entry per copy the trees hold
        for (int step = 0; step < 400; ++step) {
            if (held.size() > 48 || (!held.empty() && gen() % 3 == 0)) {
                const std::size_t k = gen() % held.size();
                ASSERT_TRUE(tree.check_delete(store, held[k]).has_value());
                tree.delete_point(store, held[k]);
                plain::erase(want, store, held[k]);
                held.erase(held.begin() + static_cast<std::ptrdiff_t>(k));
            } else {
                Vec p(c.dims);
                for (float& x : p) x = c.values[gen() % c.values.size()];
                const std::uint64_t r = store.allocate_row().value();
                store.write_row(r, p);
                const std::uint64_t kept = tree.insert(store, r);
                ASSERT_EQ(kept, plain::insert(want, store, r));
                held.push_back(kept);
            }
            expect_same_tree(tree, want);
            if (HasFatalFailure()) FAIL() << "seed " << seed << " step " << step;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Trees, TreeIncremental,
    testing::Values(Coordinates{"signed zeros, 1 dim", 1, {0.0f, -0.0f, 1.0f, -1.0f}},
                    Coordinates{"signed zeros, 3 dims", 3, {0.0f, -0.0f, 0.5f, -2.0f}},
                    Coordinates{"signed zeros, 4 dims", 4, {0.0f, -0.0f, 1.0f, 3.0f, -3.0f}},
                    Coordinates{"signed zeros and NaN, 5 dims", 5, {0.0f, -0.0f, 1.0f, -1.0f, nan_f}},
                    Coordinates{"nonzero, 4 dims", 4, {0.25f, -1.0f, 2.0f, 7.5f}},
                    Coordinates{"nonzero, 6 dims", 6, {1.0f, 2.0f, -4.0f}}));

// Loading recomputes what the store remembers about zeros; a loaded copy must
// go on exactly like the forest it was written from.
TEST(ForestIncremental, LoadedForestContinuesIdentically) {
    for (const Vec& values : {Vec{0.0f, -0.0f, 1.0f, -1.0f}, Vec{0.5f, 1.5f, -2.0f}}) {
        Forest f = Forest::create(MorvikConfig{.input_dim = 2, .capacity = 16, .num_trees = 5, .initial_accept_fraction = 1.0}, 3);
        std::mt19937 gen(5);
        auto point = [&] { return Vec{values[gen() % values.size()], values[gen() % values.size()]}; };
        for (int i = 0; i < 200; ++i) ASSERT_TRUE(update(f, point()).has_value());
        Forest g = from_json(to_json(f)).value();
        EXPECT_EQ(g.point_store.zero_or_nan_written, f.point_store.zero_or_nan_written);
        for (int i = 0; i < 300; ++i) {
            const Vec p = point();
            ASSERT_TRUE(update(f, p).has_value());
            ASSERT_TRUE(update(g, p).has_value());
        }
        EXPECT_EQ(to_json(g), to_json(f));
    }
}

// A draw the bound rejects must weigh at least the sampler's top for every
// observation the bound covers, and the bound must reject most of what
// weight() would: it is worthless if it only ever says "don't know".
TEST(SamplerRejectionBound, RejectsOnlyWhatWeightRejectsAndMostOfIt) {
    std::mt19937_64 gen(11);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    struct Case {
        double top;
        std::uint64_t seq;
        double lambda;
    };
    const std::vector<Case> cases{
        {-0.5, 1000, 0.1 / 256}, {-2.0, 10, 0.3},         {1.0, 1, 1e-6},  {-30.0, 50, 0.01},
        {3.5, 7, 0.0001},        {-1e3, 2'000'000, 5e-4}, {-0.3, 1, 1e-300},
    };
    for (const Case& c : cases) {
        RejectionBound bound;
        ASSERT_FALSE(bound.applies(c.top, c.seq, c.lambda));
        bound.rebuild(c.top, c.seq, c.lambda);
        ASSERT_TRUE(bound.applies(c.top, c.seq, c.lambda));
        ASSERT_TRUE(bound.applies(c.top - 1.0, c.seq, c.lambda));  // a lower top only rejects more
        ASSERT_FALSE(bound.applies(std::nextafter(c.top, 1e300), c.seq, c.lambda));
        ASSERT_FALSE(bound.applies(c.top, bound.last_seq + 1, c.lambda));
        int rejected = 0, bounded = 0;
        for (int k = 0; k < 20000; ++k) {
            // Half the draws straddle the threshold in u where weight() meets top.
            const double near = std::exp(-std::exp(c.top + static_cast<double>(c.seq) * c.lambda));
            const double u = k % 2 ? unit(gen) : std::clamp(near + (unit(gen) - 0.5) * 1e-3, 0.0, 1.0);
            const bool surely = bound.rejects(u);
            for (const std::uint64_t seq : {c.seq, (c.seq + bound.last_seq) / 2, bound.last_seq}) {
                if (!surely) break;
                ASSERT_GE(Sampler::weight(u, seq, c.lambda), c.top) << "u " << u << " seq " << seq;
            }
            const bool rejects = !(Sampler::weight(u, bound.last_seq, c.lambda) < c.top);
            rejected += rejects;
            bounded += surely;
        }
        EXPECT_GE(bounded, rejected * 9 / 10) << "top " << c.top;
    }
}

}  // namespace
