// A tree's nodes: fixed-size records in one vector, addressed by index, with
// a LIFO stack of vacated slots.  Each slot also owns 2 * dims floats of the
// `bounds` block (its box's min, then max) so a descent reads contiguous
// memory and a split allocates nothing.  Only internal nodes use their box.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "error.hpp"
#include "morvik/point_store.hpp"

namespace morvik3::morvik {

enum class NodeKind : std::uint8_t { vacant, leaf, internal };

struct Node {
    std::uint64_t left = NULL_INDEX;       // internal: child with x[cut_dim] <= cut_val
    std::uint64_t right = NULL_INDEX;      // internal: child with x[cut_dim] > cut_val (or NaN)
    std::uint64_t point_idx = NULL_INDEX;  // leaf: point-store row
    std::uint64_t cut_dim = 0;
    std::uint64_t mass = 0;
    double range_sum = 0.0;  // internal: of the box in `bounds`
    float cut_val = 0.0f;
    NodeKind kind = NodeKind::vacant;

    [[nodiscard]] bool is_leaf() const { return kind == NodeKind::leaf; }
    [[nodiscard]] bool is_internal() const { return kind == NodeKind::internal; }
    // Routing rule shared by every walk: NaN goes right.
    [[nodiscard]] std::uint64_t child_for(std::span<const float> x) const {
        check_index(cut_dim, x.size(), "cut dimension outside the point");
        return x[cut_dim] <= cut_val ? left : right;
    }

    [[nodiscard]] static Node leaf(std::uint64_t point_idx, std::uint64_t mass) {
        Node n;
        n.point_idx = point_idx;
        n.mass = mass;
        n.kind = NodeKind::leaf;
        return n;
    }
};

struct NodeArena {
    std::uint64_t dims = 0;
    std::vector<Node> nodes;
    std::vector<std::uint64_t> free;  // vacated slots, last vacated reused first
    std::vector<float> bounds;        // 2 * dims floats per slot of `nodes`

    // An empty arena with storage reserved for `slots` nodes.
    [[nodiscard]] static NodeArena with_room(std::uint64_t dims, std::uint64_t slots);

    // Pops the last vacated slot, else appends; returns the node's index.
    std::uint64_t allocate(const Node& node);
    void release(std::uint64_t i);

    // Faults with "accessed freed or uninitialized node" on a vacant or
    // out-of-range slot.
    [[nodiscard]] const Node& get(std::uint64_t i) const;
    [[nodiscard]] Node& get_mut(std::uint64_t i);

    // The box bounds of slot i (meaningful for internal nodes).
    [[nodiscard]] std::span<const float> min(std::uint64_t i) const;
    [[nodiscard]] std::span<const float> max(std::uint64_t i) const;
    [[nodiscard]] std::span<float> min_mut(std::uint64_t i);
    [[nodiscard]] std::span<float> max_mut(std::uint64_t i);
};

}  // namespace morvik3::morvik
