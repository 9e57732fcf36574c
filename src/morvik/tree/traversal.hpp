// Read-only walks of one random cut tree along a query's root-to-leaf path.
// The forest queries average the per-tree values; every step's arithmetic is
// fixed so that a walk agrees bit for bit with the plain recursive definition
// v(node) = v(child) * (1 - p) + unseen * p.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "error.hpp"
#include "morvik/node_arena.hpp"
#include "morvik/point_store.hpp"
#include "morvik/tree/mod.hpp"

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
    [[nodiscard]] static WalkedTree of(const MorvikTree& tree, std::size_t query_len);

    [[nodiscard]] const Node& node(std::uint64_t i) const {
        if (i >= node_count || nodes[i].kind == NodeKind::vacant) [[unlikely]]
            internal_failure("accessed freed or uninitialized node");
        return nodes[i];
    }

    // The child of internal node n that the query routes to (NaN goes right).
    // Selected arithmetically: the side is a coin flip to the branch
    // predictor, and a mispredicted branch costs more than the select.
    [[nodiscard]] static std::uint64_t child(const Node& n, std::span<const float> query) {
        check_index(n.cut_dim, query.size(), "cut dimension outside the point");
        const auto right = static_cast<std::uint64_t>(!(query[n.cut_dim] <= n.cut_val));
        return n.left ^ ((n.left ^ n.right) & (0 - right));
    }

    // How far the query lies outside node i's box, summed in dimension order
    // in 32 bits.  Outside a dimension's bounds exactly one of the two
    // differences is positive, so the clamped sum is that difference with no
    // rounding and no data-dependent branch; a NaN difference clamps to 0.
    [[nodiscard]] float gap(std::uint64_t i, std::span<const float> query) const {
        const float* lo = bounds + i * 2 * dims;
        const float* hi = lo + dims;
        float gap = 0.0f;
        for (std::size_t d = 0; d < dims; ++d)
            gap += std::max(0.0f, lo[d] - query[d]) + std::max(0.0f, query[d] - hi[d]);
        return gap;
    }

    // A path visits each slot at most once; anything longer is a loaded cycle.
    void check_depth(std::uint64_t depth) const {
        if (depth >= node_count) [[unlikely]] internal_failure("descent longer than the arena");
    }
};

// A node on the path whose box the query lies outside of: its separation
// probability and the value a walk gives the query when it is cut off there.
struct Separation {
    double p = 0.0;
    double unseen = 0.0;
};

// The value of one tree for `query` under `Rule`, which supplies
//   seen(depth, leaf_mass)      the leaf's value when the query equals its point,
//   damp(leaf_mass, tree_mass)  the factor on it,
//   miss(depth, leaf_mass)      the leaf's value otherwise,
//   unseen(depth, mass)         the value mixed in at a node with probability p,
//   normalise(value, tree_mass) the tree's value from its root's.
// A node's value is v * (1 - p) + unseen * p with v its child's, folded from
// the leaf up; an empty tree is worth 0.  `stack` is caller-owned scratch so
// steady-state walks allocate nothing.
template <class Rule>
[[nodiscard]] double walk_value(const MorvikTree& tree, const PointStore& store, std::span<const float> query,
                                std::vector<Separation>& stack) {
    if (tree.root == NULL_INDEX || tree.tree_mass == 0) return 0.0;
    const WalkedTree walked = WalkedTree::of(tree, query.size());
    stack.clear();
    std::uint64_t i = tree.root;
    std::uint64_t depth = 0;
    const Node* n = &walked.node(i);
    while (n->is_internal()) {
        walked.check_depth(depth);
        const float gap = walked.gap(i, query);
        if (gap != 0.0f) stack.push_back({separation_from_gap(gap, n->range_sum), Rule::unseen(depth, n->mass)});
        i = WalkedTree::child(*n, query);
        ++depth;
        n = &walked.node(i);
    }
    double v = store.equals(n->point_idx, query) ? Rule::seen(depth, n->mass) * Rule::damp(n->mass, tree.tree_mass)
                                                 : Rule::miss(depth, n->mass);
    for (auto s = stack.rbegin(); s != stack.rend(); ++s) v = v * (1.0 - s->p) + s->unseen * s->p;
    return Rule::normalise(v, tree.tree_mass);
}

namespace detail {

[[nodiscard]] inline double as_double(std::uint64_t x) { return static_cast<double>(x); }

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
    static double unseen(std::uint64_t depth, std::uint64_t) { return 1.0 / (detail::as_double(depth) + 1.0); }
    static double damp(std::uint64_t leaf_mass, std::uint64_t tree_mass) {
        return detail::half_mass_damp(leaf_mass, tree_mass);
    }
    static double normalise(double value, std::uint64_t tree_mass) {
        return value * std::log2(detail::as_double(tree_mass) + 1.0);
    }
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
    static double normalise(double value, std::uint64_t tree_mass) {
        return value / (detail::as_double(tree_mass) + 1.0);
    }
};

// Density: the mass found at the query, leaking towards the boxes it lies outside of.
struct DensityRule {
    static double seen(std::uint64_t, std::uint64_t leaf_mass) { return detail::as_double(leaf_mass); }
    static double miss(std::uint64_t, std::uint64_t) { return 0.0; }
    static double unseen(std::uint64_t, std::uint64_t mass) { return detail::as_double(mass); }
    static double damp(std::uint64_t, std::uint64_t) { return 1.0; }
    static double normalise(double value, std::uint64_t) { return value; }
};

// The share of the anomaly score owed to one dimension: "above" gathers the
// cuts in it that the query passed on the low side (x <= cut_val), "below"
// those it passed on the high side.
struct Attribution {
    double below = 0.0;
    double above = 0.0;

    friend bool operator==(const Attribution&, const Attribution&) = default;
};

// Adds one tree's attribution terms for `query` into `sums` (one entry per
// dimension), not yet divided by the number of trees.
void add_attribution(const MorvikTree& tree, std::span<const float> query, std::span<Attribution> sums);

}  // namespace morvik3::morvik
