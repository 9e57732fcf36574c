#include "morvik/tree/traversal.hpp"

#include <cmath>
#include <limits>

namespace morvik3::morvik {

namespace {

// Stored rows are compared coordinate by coordinate with the query.
void check_rows_fit(const PointStore& store, std::span<const float> query) {
    if (store.dim != query.size()) [[unlikely]]
        fault("point store dim differs from the query length");
}

// Spreads `share` over the dimensions where `query` lies outside the box
// [lo, hi], in proportion to each one's term of the box's gap `gap`.
void split_share(const float* lo, const float* hi, std::span<const float> query, float gap, double share,
                 std::span<Attribution> sums) {
    const std::size_t n = query.size();
    auto each_term = [&](auto&& credit) {
        for (std::size_t i = 0; i < n; ++i) {
            if (query[i] < lo[i]) {
                credit(sums[i].below, lo[i] - query[i]);
            } else if (query[i] > hi[i]) {
                credit(sums[i].above, query[i] - hi[i]);
            }
        }
    };
    if (!std::isinf(gap)) {
        const double g = gap;
        each_term([&](double& side, float term) { side += share * (static_cast<double>(term) / g); });
        return;
    }
    // An infinite gap belongs to its infinite terms, equally.  Finite terms
    // can also overflow the single-precision sum; then their double sum,
    // which cannot, divides the share.
    std::size_t infinite = 0;
    double total = 0.0;
    each_term([&](double&, float term) {
        infinite += std::isinf(term) ? 1 : 0;
        total += term;
    });
    if (infinite > 0) {
        const double each = share / static_cast<double>(infinite);
        each_term([&](double& side, float term) {
            if (std::isinf(term)) side += each;
        });
    } else {
        each_term([&](double& side, float term) { side += share * (static_cast<double>(term) / total); });
    }
}

}  // namespace

void add_attribution(const MorvikTree& tree, std::span<const float> query, std::span<Attribution> sums) {
    if (tree.root == NULL_INDEX || tree.tree_mass == 0) return;
    if (sums.size() != query.size()) internal_failure("attribution length differs from the query length");
    const WalkedTree walked = WalkedTree::of(tree, query.size());
    const double t = std::log2(static_cast<double>(tree.tree_mass) + 1.0);
    double r = 1.0;  // probability that no cut above has separated the query yet
    std::uint64_t i = tree.root;
    std::uint64_t depth = 0;
    const Node* n = &walked.node(i);
    while (n->is_internal()) {
        walked.check_depth(depth);
        const std::uint64_t next = n->child_for(query);
        const float gap = walked.gap(i, query);
        if (gap != 0.0f) {
            const double p = separation_from_gap(gap, n->range_sum);
            const double share = r * p * (1.0 / (static_cast<double>(depth) + 1.0)) * t;
            const float* lo = walked.box_of(i);
            split_share(lo, lo + walked.dims, query, gap, share, sums);
            r = r * (1.0 - p);
        }
        i = next;
        ++depth;
        n = &walked.node(i);
    }
}

double forest_density(std::span<const MorvikTree> trees, const PointStore& store, std::span<const float> query,
                      WalkScratch& scratch) {
    check_rows_fit(store, query);
    scratch.values.resize(trees.size());
    with_query_length(query.size(), [&](auto length) {
        constexpr std::size_t D = decltype(length)::value;
        forest_walk_of<D>(trees, store, query, scratch, scratch.values, [&](const ReachedLeaf& at) {
            // The gap from a box holding just the leaf's point.
            const float gap = box::gap<D>(at.row.data(), at.row.data(), query.data(), query.size());
            double spread = gap;
            if (at.depth > 0) spread = std::max(spread, at.walked.nodes[at.node_at(at.depth - 1)].range_sum);
            if (spread == 0.0) return std::numeric_limits<double>::infinity();
            return static_cast<double>(at.walked.nodes[at.leaf].mass) / spread;
        });
    });
    return tree_order_sum(scratch.values);
}

void collect_near_leaves(const MorvikTree& tree, std::uint64_t index, const PointStore& store,
                         std::span<const float> query, double theta, std::vector<LeafHit>& hits,
                         std::vector<PendingNode>& stack) {
    if (tree.root == NULL_INDEX || tree.tree_mass == 0) return;
    check_rows_fit(store, query);
    const WalkedTree walked = WalkedTree::of(tree, query.size());
    const double t = std::log2(static_cast<double>(tree.tree_mass) + 1.0);
    auto hit = [&](const Node& leaf, std::uint64_t depth) {
        const double distance = l1_distance(store.row(leaf.point_idx), query);
        hits.push_back({leaf.point_idx, index, detail::depth_reciprocal(depth) * t, distance});
    };
    auto other = [](const Node& n, std::uint64_t c) { return c ^ n.left ^ n.right; };
    stack.clear();
    // The query's own path is never pruned; the far children met on it wait
    // on the stack, so the deepest is searched first, as recursion would.
    std::uint64_t i = tree.root;
    std::uint64_t depth = 0;
    for (;;) {
        const Node& n = walked.node(i);
        if (n.is_leaf()) {
            hit(n, depth);
            break;
        }
        walked.check_depth(depth);
        const std::uint64_t c = n.child_for(query);
        if (separation_from_gap(walked.gap(i, query), n.range_sum) > 0.5) stack.push_back({other(n, c), depth + 1});
        i = c;
        ++depth;
    }
    // In a sound tree no node is met twice; more visits mean a loaded cycle.
    std::uint64_t visits = 0;
    while (!stack.empty()) {
        const PendingNode at = stack.back();
        stack.pop_back();
        if (++visits > walked.node_count) [[unlikely]]
            fault("search longer than the arena");
        const Node& n = walked.node(at.node);
        if (n.is_leaf()) {
            hit(n, at.depth);
            continue;
        }
        walked.check_depth(at.depth);
        const double p = separation_from_gap(walked.gap(at.node, query), n.range_sum);
        if (p <= theta) continue;
        const std::uint64_t c = n.child_for(query);
        if (p > 0.5) stack.push_back({other(n, c), at.depth + 1});
        stack.push_back({c, at.depth + 1});
    }
}

std::uint64_t nearest_on_known(const MorvikTree& tree, const PointStore& store, std::span<const float> query,
                               std::span<const std::uint8_t> missing, double centrality, Xoshiro256PlusPlus& rng,
                               std::vector<std::uint64_t>& stack) {
    check_rows_fit(store, query);
    if (missing.size() != query.size()) internal_failure("missing mask length differs from the query length");
    const WalkedTree walked = WalkedTree::of(tree, query.size());
    bool found = false;
    std::uint64_t best = NULL_INDEX;
    double best_distance = 0.0;
    std::uint64_t visits = 0;
    stack.assign(1, tree.root);
    while (!stack.empty()) {
        const std::uint64_t i = stack.back();
        stack.pop_back();
        if (++visits > walked.node_count) [[unlikely]]
            fault("search longer than the arena");
        const Node& n = walked.node(i);
        if (n.is_internal()) {
            const std::uint64_t c = n.child_for(query);
            if (missing[n.cut_dim]) {
                stack.push_back(n.right);
                stack.push_back(n.left);
            } else {
                stack.push_back(c);
            }
            continue;
        }
        const double distance = l1_distance(store.row(n.point_idx), query, missing);
        bool better = !found;
        if (found) {
            if (centrality >= 1.0) {
                better = distance < best_distance;
            } else {
                const double u = rng.unit_f64();  // drawn for every leaf after the first
                better = distance < best_distance || u < 1.0 - centrality;
            }
        }
        if (better) {
            found = true;
            best = n.point_idx;
            best_distance = distance;
        }
    }
    return best;
}

}  // namespace morvik3::morvik
