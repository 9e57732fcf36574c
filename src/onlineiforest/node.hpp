// Nodes of an online isolation tree: one pool per tree, children allocated in
// adjacent pairs, supports in one flat float block indexed by slot; and the
// nested form the state document gives the same nodes.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "frame/json.hpp"

namespace morvik3::onlineiforest {

inline constexpr std::uint64_t no_children = std::numeric_limits<std::uint64_t>::max();

// The deepest leaf whose document the reader still takes: a tree's root is
// the fourth container from the top (document, "trees", tree, node), each
// level below adds a "split" object and a node, and a leaf's support adds an
// object and an array.
inline constexpr std::uint64_t deepest_leaf = (json::max_nesting - 6) / 2;

// M x 2^depth, saturating at the largest u64.
[[nodiscard]] constexpr std::uint64_t split_threshold(std::uint64_t depth, std::uint64_t max_leaf_samples) {
    constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    if (depth >= 64) return max;
    std::uint64_t product = 0;
    if (__builtin_mul_overflow(max_leaf_samples, std::uint64_t{1} << depth, &product)) return max;
    return product;
}

struct Node {
    std::uint64_t height = 0;                 // points attributed to the node's region
    std::uint64_t children = no_children;     // slot of the left child; the right one follows it
    std::uint64_t dimension = 0;              // split coordinate, when there are children
    float value = 0.0f;                       // coordinates below it go left

    [[nodiscard]] bool is_leaf() const { return children == no_children; }
    // The child a point belongs to; a coordinate equal to the value goes right.
    // Points and split dimensions are checked against the input dimension
    // before they reach a tree.
    [[nodiscard]] std::uint64_t route(std::span<const float> point) const {
        return value > point[dimension] ? children : children + 1;
    }
};

// The nodes of one tree.  Slot 0 is the root of a non-empty tree; folded
// subtrees return their pairs for reuse.  Every growth happens in `reserve`,
// so the operations that change a tree never allocate.
struct NodePool {
    std::uint64_t dim = 0;
    std::vector<Node> nodes;
    std::vector<float> bounds;  // per slot: dim minima, then dim maxima
    std::vector<std::uint64_t> free_pairs;

    [[nodiscard]] bool empty() const { return nodes.empty(); }
    [[nodiscard]] float* min(std::uint64_t slot) { return bounds.data() + 2 * dim * slot; }
    [[nodiscard]] float* max(std::uint64_t slot) { return min(slot) + dim; }
    [[nodiscard]] const float* min(std::uint64_t slot) const { return bounds.data() + 2 * dim * slot; }
    [[nodiscard]] const float* max(std::uint64_t slot) const { return min(slot) + dim; }

    // Room for a root or one pair of children without allocating; throws
    // std::bad_alloc, changing nothing, when memory runs out.
    void reserve() {
        // A reused pair needs no new slot, but the free list must still be
        // able to hold every pair a fold can release.
        const std::uint64_t slots = free_pairs.empty() ? nodes.size() + 2 : nodes.size();
        if (nodes.capacity() < slots || bounds.capacity() / 2 / dim < slots || free_pairs.capacity() < slots / 2)
            grow(slots);
    }
    // The same for `learns` learns in a row, however many pairs they split
    // off: room for the point's batch before any tree learns it.
    void reserve_for(std::uint64_t learns) {
        const std::uint64_t slots = nodes.size() + 2 * learns;
        if (nodes.capacity() < slots || bounds.capacity() / 2 / dim < slots || free_pairs.capacity() < slots / 2)
            grow(slots);
    }
    // The root slot of an empty pool, and the left slot of a fresh pair (a
    // released one first).  Neither allocates after `reserve`.
    std::uint64_t add_root();
    std::uint64_t add_pair();
    // Gives back the subtree below `slot`, which becomes a leaf.
    void release_children(std::uint64_t slot);
    // Empties the tree, keeping the storage.
    void clear();

private:
    void grow(std::uint64_t slots);
};

namespace doc {

struct Support {
    std::vector<float> min;
    std::vector<float> max;

    static constexpr std::string_view json_name = "Support";
    static constexpr auto json_fields() {
        return std::tuple{json::field("min", &Support::min), json::field("max", &Support::max)};
    }
};

struct Node;

struct Split {
    std::uint64_t dimension = 0;
    float value = 0.0f;
    std::unique_ptr<Node> left;
    std::unique_ptr<Node> right;

    static constexpr std::string_view json_name = "Split";
    static constexpr auto json_fields() {
        return std::tuple{json::field("dimension", &Split::dimension), json::field("value", &Split::value),
                          json::field("left", &Split::left), json::field("right", &Split::right)};
    }
};

struct Node {
    std::uint64_t height = 0;
    Support support;
    std::optional<Split> split;

    static constexpr std::string_view json_name = "Node";
    static constexpr auto json_fields() {
        return std::tuple{json::field("height", &Node::height), json::field("support", &Node::support),
                          json::field("split", &Node::split)};
    }
};

// The subtree below `slot` in nested form.
[[nodiscard]] Node from_pool(const NodePool& pool, std::uint64_t slot);

// Appends a document's tree to an empty pool, the root at slot 0, each
// node's depth into `depths` by slot.  The first way the tree disagrees with
// the pool's dimension (lengths, non-finite or crossed bounds, split
// dimensions, missing children) is returned as a description.
[[nodiscard]] std::optional<std::string> to_pool(const Node& root, NodePool& pool, std::vector<std::uint64_t>& depths);

}  // namespace doc

}  // namespace morvik3::onlineiforest
