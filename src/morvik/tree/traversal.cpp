#include "morvik/tree/traversal.hpp"

#include <cmath>

namespace morvik3::morvik {

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
        const std::uint64_t next = WalkedTree::child(*n, query);
        const float gap = walked.gap(i, query);
        if (gap != 0.0f) {
            const double p = separation_from_gap(gap, n->range_sum);
            const double term = r * p * (1.0 / (static_cast<double>(depth) + 1.0)) * t;
            Attribution& a = sums[n->cut_dim];
            if (query[n->cut_dim] <= n->cut_val) {
                a.above += term;
            } else {
                a.below += term;
            }
            r = r * (1.0 - p);
        }
        i = next;
        ++depth;
        n = &walked.node(i);
    }
}

}  // namespace morvik3::morvik
