#include "morvik/tree/mod.hpp"

#include <algorithm>

namespace morvik3::morvik {

MorvikTree MorvikTree::create(std::uint64_t dims, std::uint64_t node_room, Xoshiro256PlusPlus rng) {
    MorvikTree t;
    t.arena = NodeArena::with_room(dims, node_room);
    t.rng = rng;
    t.dims = dims;
    // A path is never longer than the tree has internal nodes.
    t.path.reserve(node_room / 2);
    t.walk_box.min.reserve(dims);
    t.walk_box.max.reserve(dims);
    return t;
}

std::uint64_t MorvikTree::descend(std::span<const float> x) {
    path.clear();
    std::uint64_t i = root;
    for (;;) {
        const Node& n = arena.get(i);
        if (n.is_leaf()) return i;
        // A loaded cycle would otherwise never reach a leaf.
        if (path.size() >= arena.nodes.size()) internal_failure("descent longer than the arena");
        const std::uint64_t next = n.child_for(x);
        path.push_back({i, next == n.left ? n.right : n.left});
        i = next;
    }
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

std::span<const float> MorvikTree::node_min(const PointStore& store, std::uint64_t i) const {
    const Node& n = arena.get(i);
    return of_dims(n.is_leaf() ? store.row(n.point_idx) : arena.min(i), dims);
}

std::span<const float> MorvikTree::node_max(const PointStore& store, std::uint64_t i) const {
    const Node& n = arena.get(i);
    return of_dims(n.is_leaf() ? store.row(n.point_idx) : arena.max(i), dims);
}

void MorvikTree::refresh(const PointStore& store, std::size_t k) {
    if (k > path.size()) internal_failure("refresh beyond the recorded path");
    for (std::size_t j = k; j-- > 0;) {
        const std::uint64_t i = path[j].node;
        const Node& n = arena.get(i);
        const std::uint64_t left = n.left;
        const std::uint64_t right = n.right;
        const std::uint64_t mass = arena.get(left).mass + arena.get(right).mass;
        const auto min = arena.min_mut(i);
        const auto max = arena.max_mut(i);
        std::ranges::copy(node_min(store, left), min.begin());
        std::ranges::copy(node_max(store, left), max.begin());
        merge_bounds(min, max, node_min(store, right), node_max(store, right));
        Node& m = arena.get_mut(i);
        m.range_sum = range_sum_of(min, max);
        m.mass = mass;
    }
}

}  // namespace morvik3::morvik
