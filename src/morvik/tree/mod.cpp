#include "morvik/tree/mod.hpp"

#include <algorithm>
#include <utility>

namespace morvik3::morvik {

MorvikTree MorvikTree::create(std::uint64_t dims, Xoshiro256PlusPlus rng) {
    MorvikTree t;
    t.arena.dims = dims;
    t.rng = rng;
    t.dims = dims;
    return t;
}

void MorvikTree::reserve_inserts(std::uint64_t inserts, std::uint64_t room) {
    arena.reserve_for(2 * inserts, room);
    // A path passes internal nodes only, at most half the slots.
    const std::uint64_t depth = std::min(arena.nodes.size() + 2 * inserts, std::max(room, arena.nodes.size())) / 2 + 1;
    if (path.capacity() < depth) allocating([&] { path.reserve(depth); });
}

std::uint64_t MorvikTree::descend(std::span<const float> x) {
    TreeDescent d{this, x};
    descend_together({&d, 1});
    return d.leaf;
}

void descend_together(std::span<TreeDescent> descents) {
    for (TreeDescent& d : descents) {
        MorvikTree& t = *d.tree;
        const std::uint64_t count = t.arena.nodes.size();
        t.path.clear();
        if (t.arena.bounds.size() < count * 2 * t.dims) [[unlikely]]
            fault("box storage shorter than the arena");
        d.leaf = t.root;
        if (d.leaf >= count) [[unlikely]]
            fault("accessed freed or uninitialized node");
    }
    // One descent after the other: interleaving them mispredicts a branch at
    // nearly every step, since each ends at its own depth.  d.leaf holds the
    // node a descent stands on until it is a leaf.
    for (TreeDescent& d : descents) {
        MorvikTree& t = *d.tree;
        const Node* const nodes = t.arena.nodes.data();
        const std::uint64_t count = t.arena.nodes.size();
        for (const Node* n = &nodes[d.leaf]; n->kind == NodeKind::internal; n = &nodes[d.leaf]) {
            // A loaded cycle would otherwise never reach a leaf.
            if (t.path.size() >= count) [[unlikely]]
                fault("descent longer than the arena");
            const std::uint64_t next = n->child_for(d.x);
            if (next >= count) [[unlikely]]
                fault("accessed freed or uninitialized node");
            t.path.push_back({d.leaf, next ^ n->left ^ n->right});
            // Refreshing after the change reads the boxes along the path.
            __builtin_prefetch(t.arena.bounds.data() + next * 2 * t.dims);
            d.leaf = next;
        }
    }
    for (const TreeDescent& d : descents)
        if (d.tree->arena.nodes[d.leaf].kind != NodeKind::leaf) [[unlikely]]
            fault("accessed freed or uninitialized node");
}

std::uint64_t MorvikTree::find_leaf(std::span<const float> x) const {
    std::uint64_t i = root;
    for (std::size_t steps = 0;; ++steps) {
        const Node& n = arena.get(i);
        if (n.is_leaf()) return i;
        if (steps >= arena.nodes.size()) internal_failure("descent longer than the arena");
        i = n.child_for(x);
    }
}

namespace {

std::span<const float> of_dims(std::span<const float> bound, std::uint64_t dims) {
    if (bound.size() != dims) internal_failure("node box length differs from the tree's dims");
    return bound;
}

}  // namespace

std::span<const float> MorvikTree::node_min(const RowView& rows, std::uint64_t i) const {
    const Node& n = arena.get(i);
    return of_dims(n.is_leaf() ? rows.row(n.point_idx) : arena.min(i), dims);
}

std::span<const float> MorvikTree::node_max(const RowView& rows, std::uint64_t i) const {
    const Node& n = arena.get(i);
    return of_dims(n.is_leaf() ? rows.row(n.point_idx) : arena.max(i), dims);
}

void MorvikTree::merge_children(const RowView& rows, std::uint64_t i) {
    const Node& n = arena.get(i);
    // A child's box: a leaf's point, or the child's own bounds.
    auto bounds = [&](std::uint64_t c) {
        const Node& child = arena.get(c);
        if (child.is_leaf()) {
            const float* p = rows.row(child.point_idx).data();
            return std::pair{p, p};
        }
        const float* p = arena.min(c).data();
        return std::pair{p, p + dims};
    };
    if (rows.dim != dims || arena.dims != dims) fault("node box length differs from the tree's dims");
    const auto [left_min, left_max] = bounds(n.left);
    const auto [right_min, right_max] = bounds(n.right);
    float* min = arena.min_mut(i).data();
    float* max = min + dims;
    box::merge(min, max, left_min, left_max, right_min, right_max, dims);
    arena.get_mut(i).range_sum = box::range_sum(min, max, dims);
}

// Recomputing every box from its children means reading each sibling, a
// cache miss per level.  Instead a box is adjusted from what changed below it
// and only re-merged when that could give other bits than the merge would:
// a point removed from its boundary, or a bound that is zero or NaN (the
// only values whose bits depend on the order of a merge).
void MorvikTree::refresh(const RowView& rows, std::size_t k, Change change, std::span<const float> x) {
    if (k > path.size()) fault("refresh beyond the recorded path");
    const bool added = change == Change::copy_added || change == Change::point_added;
    const bool moves_box = change == Change::point_added || change == Change::point_removed;
    if (moves_box && x.size() != dims) fault("point length differs from the tree's dims");
    // Once a box keeps its values, so does every box above it.
    bool kept = !moves_box;
    for (std::size_t j = k; j-- > 0;) {
        if (kept && !rows.zero_or_nan_written) {
            // Only the masses change from here up.
            for (++j; j-- > 0;) {
                Node& n = arena.get_mut(path[j].node);
                n.mass = added ? n.mass + 1 : n.mass - 1;
            }
            return;
        }
        const std::uint64_t i = path[j].node;
        Node& n = arena.get_mut(i);
        n.mass = added ? n.mass + 1 : n.mass - 1;
        // min and max of a slot are adjacent: 2 * dims floats from min.
        float* min = arena.min_mut(i).data();
        float* max = min + dims;
        bool grown = false;
        if (!kept && change == Change::point_added) {
            grown = box::widen(min, max, x.data(), dims);
            kept = !grown;
        } else if (!kept) {
            kept = box::strictly_inside(min, max, x.data(), dims);
        }
        if ((!kept && change == Change::point_removed) || (rows.zero_or_nan_written && !box::settled(min, 2 * dims))) {
            merge_children(rows, i);
        } else if (grown) {
            n.range_sum = box::range_sum(min, max, dims);
        }
    }
}

}  // namespace morvik3::morvik
