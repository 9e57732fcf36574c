// Read-only walks of random cut trees for the forest's queries: along a
// query's root-to-leaf path for the scores, density and attribution, and the
// branching searches of near neighbours and imputation.  Every step's
// arithmetic is fixed so that a walk agrees bit for bit with the plain
// recursive definition (for the scores v(node) = v(child) * (1 - p) + unseen * p).
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <span>
#include <type_traits>
#include <vector>

#include "frame/error.hpp"
#include "morvik/bounding_box.hpp"
#include "morvik/node_arena.hpp"
#include "morvik/point_store.hpp"
#include "morvik/tree/mod.hpp"
#include "frame/rng.hpp"

namespace morvik3::morvik {

// Probability that a random cut separates a query lying `gap` outside a box
// of total width `range_sum`.  An infinite gap takes the limit 1 instead of
// the inf / inf of the ratio, so infinite coordinates still score finitely.
[[nodiscard]] inline double separation_from_gap(float gap, double range_sum) {
    if (gap == 0.0f) return 0.0;
    if (range_sum == 0.0 || std::isinf(gap)) return 1.0;
    const double outside = gap;
    return outside / (range_sum + outside);
}

// A tree checked once for walking with queries of one length, so the steps
// of a walk index its node records and box block directly.
struct WalkedTree {
    const Node* nodes = nullptr;
    std::uint64_t node_count = 0;
    const float* bounds = nullptr;  // 2 * dims floats per node slot
    std::uint64_t dims = 0;

    // Faults when the tree's shape disagrees with the query length or the
    // box block does not cover every node slot.
    [[nodiscard]] static WalkedTree of(const MorvikTree& tree, std::size_t query_len) {
        const NodeArena& arena = tree.arena;
        if (tree.dims != query_len || arena.dims != query_len) [[unlikely]]
            fault("tree dims differ from the query length");
        std::uint64_t floats = 0;
        if (__builtin_mul_overflow(arena.nodes.size(), 2 * query_len, &floats) || floats > arena.bounds.size())
            [[unlikely]] fault("box storage shorter than the arena");
        return {arena.nodes.data(), arena.nodes.size(), arena.bounds.data(), query_len};
    }

    [[nodiscard]] const Node& node(std::uint64_t i) const {
        if (i >= node_count || nodes[i].kind == NodeKind::vacant) [[unlikely]]
            fault("accessed freed or uninitialized node");
        return nodes[i];
    }

    // Node i's box: dims minima, then dims maxima.
    template <std::size_t D = 0>
    [[nodiscard]] const float* box_of(std::uint64_t i) const {
        return bounds + i * 2 * (D == 0 ? dims : D);
    }

    template <std::size_t D = 0>
    [[nodiscard]] float gap(std::uint64_t i, std::span<const float> query) const {
        const float* lo = box_of<D>(i);
        return box::gap<D>(lo, lo + (D == 0 ? dims : D), query.data(), dims);
    }

    // A path visits each slot at most once; anything longer is a loaded cycle.
    void check_depth(std::uint64_t depth) const {
        if (depth >= node_count) [[unlikely]]
            fault("descent longer than the arena");
    }
};

// Trees walked side by side.  A descent is a chain of dependent loads, most of
// them cache misses once the forest outgrows the cache; interleaving
// independent descents keeps several misses in flight at once, and each
// tree's value is taken as soon as it stands on its leaf, while its path's
// boxes are still at hand.
inline constexpr std::size_t walk_lanes = 4;

// Caller-owned scratch of the forest walks, so steady-state walks allocate
// nothing.
struct WalkScratch {
    struct Lane {
        std::vector<std::uint64_t> path;
    };
    std::vector<double> values;  // one per tree
    std::array<Lane, walk_lanes> lanes;
    // Rule::scale of recent tree masses, for the rule `scaled_by`.  A
    // forest's trees share few masses (all hold `capacity` points once the
    // samplers are full), and scale may be a logarithm.
    struct Scale {
        bool known = false;
        std::uint64_t mass = 0;
        double scale = 0.0;
    };
    std::array<Scale, 64> scales;
    double (*scaled_by)(std::uint64_t) = nullptr;
};

// A descent of forest_walk_of standing on its leaf.
struct ReachedLeaf {
    WalkedTree walked;
    std::uint64_t leaf = 0;
    std::uint64_t depth = 0;
    const std::uint64_t* path = nullptr;  // the internal nodes passed, root first
    std::span<const float> row;           // the leaf's point
    std::uint64_t tree_mass = 0;

    // The internal node passed at depth k < depth.
    [[nodiscard]] std::uint64_t node_at(std::uint64_t k) const { return path[k]; }
};

// One tree's descent in forest_walk_of.
struct WalkLane {
    WalkedTree walked;
    std::uint64_t i = 0;
    std::uint64_t depth = 0;
    std::uint64_t* path = nullptr;  // the lane's buffer
    std::size_t tree = 0;
    bool live = false;

    // One step down, recorded on the path; false, and no step, on a leaf.
    // Without a branch on the node's kind: the descents of a forest end at
    // unpredictable depths.  At a leaf the step writes one path entry past
    // the path, which the lane's buffer has room for, and stays.  The checks
    // keep a loaded cycle or a stray index from reading outside the arena.
    template <std::size_t D>
    [[gnu::always_inline]] bool step(std::span<const float> query) {
        const Node& n = walked.nodes[i];
        const bool internal = n.kind == NodeKind::internal;
        path[depth] = i;
        // A leaf's children and cut are the defaults: c is then NULL_INDEX.
        const std::uint64_t c = n.child_for(query);
        // One test, never taken: a branch on `internal` alone would be the
        // coin flip the step avoids.
        if (internal & ((depth >= walked.node_count) | (c >= walked.node_count))) [[unlikely]]
            fault(depth >= walked.node_count ? "descent longer than the arena" : "accessed freed or uninitialized node");
        i = internal ? c : i;
        depth += internal ? 1 : 0;
        __builtin_prefetch(&walked.nodes[i]);
        // The leaf's value reads the boxes at the bottom of the path.
        __builtin_prefetch(walked.template box_of<D>(i));
        return internal;
    }
};

// Sets values[t] to `leaf_value(const ReachedLeaf&)` for every non-empty tree
// t of `trees`, descended along the query's route, and to 0 for an empty one.
// Each tree's arithmetic is that of a walk on its own; only the order of the
// memory accesses differs.  D is the query length when fixed at compile time
// (box::gap), else 0.
template <std::size_t D, class LeafValue>
void forest_walk_of(std::span<const MorvikTree> trees, const RowView& rows, std::span<const float> query,
                    WalkScratch& scratch, std::span<double> values, LeafValue&& leaf_value) {
    static_assert(walk_lanes == 4, "the lanes step four at a time");
    if (values.size() != trees.size()) [[unlikely]]
        internal_failure("walk values differ in number from the trees");
    std::array<WalkLane, walk_lanes> lanes;
    std::size_t next = 0;
    // Puts the next non-empty tree on lane k; false, and the lane left
    // without a tree, when none is left.
    auto start = [&](std::size_t k) {
        WalkLane& d = lanes[k];
        d.live = false;
        for (; next < trees.size(); ++next) {
            const MorvikTree& tree = trees[next];
            if (tree.root == NULL_INDEX || tree.tree_mass == 0) {
                values[next] = 0.0;
                continue;
            }
            d.walked = WalkedTree::of(tree, query.size());
            // The depth check keeps every index of the lane's path up to the
            // node count.
            auto& path = scratch.lanes[k].path;
            if (path.size() <= d.walked.node_count) allocating([&] { path.resize(d.walked.node_count + 1); });
            d.path = path.data();
            d.tree = next++;
            d.i = tree.root;
            if (d.i >= d.walked.node_count) [[unlikely]]
                fault("accessed freed or uninitialized node");
            d.depth = 0;
            d.live = true;
            return true;
        }
        return false;
    };
    // Takes the value of the tree of a lane standing on its leaf.
    auto finish = [&](const WalkLane& d) __attribute__((always_inline)) {
        const Node& n = d.walked.nodes[d.i];
        if (n.kind != NodeKind::leaf) [[unlikely]]
            fault("accessed freed or uninitialized node");
        values[d.tree] =
            leaf_value(ReachedLeaf{d.walked, d.i, d.depth, d.path, rows.row(n.point_idx), trees[d.tree].tree_mass});
    };
    bool all = true;
    for (std::size_t k = 0; k < walk_lanes; ++k) all = start(k) && all;
    while (all) {
        // The four descend until one stands on its leaf: one mispredicted
        // branch per tree, where a loop over the lanes would miss at every
        // turn.
        while (lanes[0].step<D>(query) & lanes[1].step<D>(query) & lanes[2].step<D>(query) &
               lanes[3].step<D>(query)) {
        }
        unsigned on_leaf = 0;
        for (std::size_t k = 0; k < walk_lanes; ++k)
            on_leaf |= static_cast<unsigned>(lanes[k].walked.nodes[lanes[k].i].kind != NodeKind::internal) << k;
        for (; on_leaf != 0; on_leaf &= on_leaf - 1) {
            const auto k = static_cast<std::size_t>(std::countr_zero(on_leaf));
            finish(lanes[k]);
            all = start(k) && all;
        }
    }
    // Fewer than four trees left: they finish one at a time.
    for (WalkLane& d : lanes) {
        if (!d.live) continue;
        while (d.step<D>(query)) {
        }
        finish(d);
    }
}

// The sum of `values` in order, as the forest's queries add up their trees.
[[nodiscard]] inline double tree_order_sum(std::span<const double> values) {
    double sum = 0.0;
    for (const double v : values) sum += v;
    return sum;
}

// visit(std::integral_constant<std::size_t, D>) with D the query length for
// the common short lengths, so their walks are compiled for it, else 0.
template <class Visit>
decltype(auto) with_query_length(std::size_t n, Visit&& visit) {
    switch (n) {
        case 1: return visit(std::integral_constant<std::size_t, 1>{});
        case 2: return visit(std::integral_constant<std::size_t, 2>{});
        case 3: return visit(std::integral_constant<std::size_t, 3>{});
        case 4: return visit(std::integral_constant<std::size_t, 4>{});
        case 5: return visit(std::integral_constant<std::size_t, 5>{});
        case 6: return visit(std::integral_constant<std::size_t, 6>{});
        case 8: return visit(std::integral_constant<std::size_t, 8>{});
        default: return visit(std::integral_constant<std::size_t, 0>{});
    }
}

// The tree's value under `Rule`, which supplies
//   seen(depth, leaf_mass)      the leaf's value when the query equals its point,
//   damp(leaf_mass, tree_mass)  the factor on it,
//   miss(depth, leaf_mass)      the leaf's value otherwise,
//   unseen(depth, mass)         the value mixed in at a node with probability p,
//   scale(tree_mass)            what normalise needs of the tree's mass,
//   normalise(value, scale)     the tree's value from its root's.
// A node's value is v * (1 - p) + unseen * p with v its child's, folded from
// the leaf up.
// Inlined into the walk, as is its caller there: a call per tree costs the
// score path measurably.
template <class Rule, std::size_t D>
[[nodiscard, gnu::always_inline]] inline double rule_value(const ReachedLeaf& at, std::span<const float> query,
                                                           WalkScratch& scratch) {
    const Node* nodes = at.walked.nodes;
    const Node& leaf = nodes[at.leaf];
    double v = std::ranges::equal(at.row, query) ? Rule::seen(at.depth, leaf.mass) * Rule::damp(leaf.mass, at.tree_mass)
                                                 : Rule::miss(at.depth, leaf.mass);
    // Bottom-up, the fold can stop at the first box that holds the query:
    // stored points are finite, so every box is finite and lies inside its
    // parent's, which then holds the query too (gap 0, value unchanged) all
    // the way up.
    for (std::uint64_t k = at.depth; k-- > 0;) {
        const float gap = at.walked.template gap<D>(at.node_at(k), query);
        if (gap == 0.0f) break;
        const Node& n = nodes[at.node_at(k)];
        const double p = separation_from_gap(gap, n.range_sum);
        v = v * (1.0 - p) + Rule::unseen(k, n.mass) * p;
    }
    // Trees mostly share one mass; its scale is worked out once.
    WalkScratch::Scale& scale = scratch.scales[at.tree_mass % scratch.scales.size()];
    if (!scale.known || scale.mass != at.tree_mass) scale = {true, at.tree_mass, Rule::scale(at.tree_mass)};
    return Rule::normalise(v, scale.scale);
}

// Sets values[t] to tree t's rule_value for `query`.
template <class Rule>
void tree_values(std::span<const MorvikTree> trees, const RowView& rows, std::span<const float> query,
                 WalkScratch& scratch, std::span<double> values) {
    if (scratch.scaled_by != &Rule::scale) {
        scratch.scales.fill({});
        scratch.scaled_by = &Rule::scale;
    }
    with_query_length(query.size(), [&](auto length) {
        constexpr std::size_t D = decltype(length)::value;
        auto value = [&](const ReachedLeaf& at) __attribute__((always_inline)) {
            return rule_value<Rule, D>(at, query, scratch);
        };
        forest_walk_of<D>(trees, rows, query, scratch, values, value);
    });
}

// The sum, in tree order, of every tree's rule_value for `query`.
template <class Rule>
[[nodiscard]] double forest_walk(std::span<const MorvikTree> trees, const RowView& rows, std::span<const float> query,
                                 WalkScratch& scratch) {
    scratch.values.resize(trees.size());
    tree_values<Rule>(trees, rows, query, scratch, scratch.values);
    return tree_order_sum(scratch.values);
}

// The sum, in tree order, of every tree's nearest-sample density at `query`:
// the copies in the leaf the query routes to, per unit of L1 distance.  The
// distance is the query's from the leaf's point, or the spread of the leaf's
// parent box when larger, so that a query next to a sample counts the
// sample's neighbourhood rather than a vanishing gap; 0 gives infinity.
[[nodiscard]] double forest_density(std::span<const MorvikTree> trees, const PointStore& store,
                                    std::span<const float> query, WalkScratch& scratch);

namespace detail {

[[nodiscard]] inline double as_double(std::uint64_t x) { return static_cast<double>(x); }

// 1 / (depth + 1) for the depths most paths stay within, computed once:
// division is correctly rounded, so the table holds exactly what the
// division gives.
inline constexpr auto depth_reciprocals = [] {
    std::array<double, 128> r{};
    for (std::size_t k = 0; k < r.size(); ++k) r[k] = 1.0 / (static_cast<double>(k) + 1.0);
    return r;
}();

[[nodiscard]] inline double depth_reciprocal(std::uint64_t depth) {
    return depth < depth_reciprocals.size() ? depth_reciprocals[depth] : 1.0 / (as_double(depth) + 1.0);
}

// A matched point is discounted by the share of the tree's mass it holds,
// down to one half when it holds all of it.
[[nodiscard]] inline double half_mass_damp(std::uint64_t leaf_mass, std::uint64_t tree_mass) {
    if (tree_mass == 0) return 1.0;
    return 1.0 - as_double(leaf_mass) / (2.0 * as_double(tree_mass));
}

}  // namespace detail

// Anomaly score: the query's expected isolation depth, inverted.
struct ScoreRule {
    static double seen(std::uint64_t depth, std::uint64_t leaf_mass) {
        return 1.0 / (detail::as_double(depth) + std::log2(detail::as_double(leaf_mass) + 1.0));
    }
    static double miss(std::uint64_t depth, std::uint64_t leaf_mass) { return unseen(depth, leaf_mass); }
    static double unseen(std::uint64_t depth, std::uint64_t) { return detail::depth_reciprocal(depth); }
    static double damp(std::uint64_t leaf_mass, std::uint64_t tree_mass) {
        return detail::half_mass_damp(leaf_mass, tree_mass);
    }
    static double scale(std::uint64_t tree_mass) { return std::log2(detail::as_double(tree_mass) + 1.0); }
    static double normalise(double value, double scale) { return value * scale; }
};

// Displacement score: the mass of the subtree the query would split off.
struct DisplacementRule {
    static double seen(std::uint64_t, std::uint64_t leaf_mass) {
        return 1.0 / (detail::as_double(leaf_mass) + 1.0);
    }
    static double miss(std::uint64_t, std::uint64_t leaf_mass) { return detail::as_double(leaf_mass); }
    static double unseen(std::uint64_t, std::uint64_t mass) { return detail::as_double(mass); }
    static double damp(std::uint64_t leaf_mass, std::uint64_t tree_mass) {
        return detail::half_mass_damp(leaf_mass, tree_mass);
    }
    static double scale(std::uint64_t tree_mass) { return detail::as_double(tree_mass) + 1.0; }
    static double normalise(double value, double scale) { return value / scale; }
};

// The share of the anomaly score owed to one dimension: "below" for the
// query lying below the data in it, "above" for lying above.
struct Attribution {
    double below = 0.0;
    double above = 0.0;

    friend bool operator==(const Attribution&, const Attribution&) = default;
};

// Adds one tree's attribution terms for `query` into `sums` (one entry per
// dimension), not yet divided by the number of trees.  Each node's share of
// the score goes to the dimensions and sides where the query lies outside
// the node's box, in proportion to how far.
void add_attribution(const MorvikTree& tree, std::span<const float> query, std::span<Attribution> sums);

// L1 distance of a query from a stored point: single-precision differences,
// summed in double in dimension order; `skip[i]` leaves coordinate i out.
[[nodiscard]] inline double l1_distance(std::span<const float> row, std::span<const float> query) {
    double sum = 0.0;
    for (std::size_t i = 0; i < row.size(); ++i) sum += static_cast<double>(std::abs(query[i] - row[i]));
    return sum;
}
[[nodiscard]] inline double l1_distance(std::span<const float> row, std::span<const float> query,
                                        std::span<const std::uint8_t> skip) {
    double sum = 0.0;
    for (std::size_t i = 0; i < row.size(); ++i)
        if (!skip[i]) sum += static_cast<double>(std::abs(query[i] - row[i]));
    return sum;
}

// A node still to visit, and its depth.
struct PendingNode {
    std::uint64_t node = 0;
    std::uint64_t depth = 0;
};

// A leaf that a near-neighbour search reached in one tree.
struct LeafHit {
    std::uint64_t point_idx = 0;
    std::uint64_t tree = 0;  // the index the caller gave the tree
    double score = 0.0;      // (1 / (depth + 1)) * log2(tree_mass + 1)
    double distance = 0.0;   // L1, over all coordinates
};

// Appends to `hits` the leaves of `tree` (tree number `index`) near `query`:
// the leaf the query routes to, and leaves of the subtrees it lies far from.
// Where a node separates the query with probability p > 0.5, its other child
// is searched too, and within such a subtree a node with p <= `theta` is not
// entered.  `stack` is scratch.
void collect_near_leaves(const MorvikTree& tree, std::uint64_t index, const PointStore& store,
                         std::span<const float> query, double theta, std::vector<LeafHit>& hits,
                         std::vector<PendingNode>& stack);

// The row of the stored point of `tree` nearest `query` on the coordinates
// `missing` does not flag.  Every branch that cuts a missing coordinate is
// searched, left first; with `centrality` < 1 each leaf after the first may
// replace the best at random (a draw of `rng` per leaf).  Non-empty trees
// only; `stack` is scratch.
[[nodiscard]] std::uint64_t nearest_on_known(const MorvikTree& tree, const PointStore& store,
                                             std::span<const float> query, std::span<const std::uint8_t> missing,
                                             double centrality, Xoshiro256PlusPlus& rng,
                                             std::vector<std::uint64_t>& stack);

}  // namespace morvik3::morvik
