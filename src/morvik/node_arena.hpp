// A tree's nodes: fixed-size records in one vector, addressed by index, with
// a LIFO stack of vacated slots.  Each slot also owns 2 * dims floats of the
// `bounds` block (its box's min, then max) so a descent reads contiguous
// memory.  Only internal nodes use their box.  The blocks grow while the tree
// does; once its sampler is full, vacated slots are reused and nothing grows.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "frame/error.hpp"
#include "frame/json.hpp"
#include "morvik/fault.hpp"
#include "morvik/point_store.hpp"

namespace morvik3::morvik {

enum class NodeKind : std::uint8_t { vacant, leaf, internal };

// What a descent reads of a node comes first, within 32 bytes, so a step
// mostly touches a single cache line.
struct Node {
    std::uint64_t left = NULL_INDEX;   // internal: child with x[cut_dim] <= cut_val
    std::uint64_t right = NULL_INDEX;  // internal: child with x[cut_dim] > cut_val (or NaN)
    std::uint64_t cut_dim = 0;
    float cut_val = 0.0f;
    NodeKind kind = NodeKind::vacant;
    std::uint64_t point_idx = NULL_INDEX;  // leaf: point-store row
    std::uint64_t mass = 0;
    double range_sum = 0.0;  // internal: of the box in `bounds`

    [[nodiscard]] bool is_leaf() const { return kind == NodeKind::leaf; }
    [[nodiscard]] bool is_internal() const { return kind == NodeKind::internal; }
    // Routing rule shared by every walk: NaN goes right.  Selected
    // arithmetically: the side is a coin flip to the branch predictor, and a
    // mispredicted branch costs more than the select.
    [[nodiscard]] std::uint64_t child_for(std::span<const float> x) const {
        if (cut_dim >= x.size()) [[unlikely]]
            fault("cut dimension outside the point");
        const auto go_right = static_cast<std::uint64_t>(!(x[cut_dim] <= cut_val));
        return left ^ ((left ^ right) & (0 - go_right));
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

    // The document writes each slot as a tagged entry: null when vacant, a
    // Leaf, or an Internal holding its box.  Read, an arena holds its
    // internal nodes' boxes one after another, as wide as the first, until
    // the forest's loader has checked and laid them out (forest/document.cpp).
    struct NodesForm {
        using Record = NodeArena;
        static void write(std::string& out, const NodeArena& a);
        [[nodiscard]] static bool read(json::Reader& r, NodeArena& a);
    };

    static constexpr std::string_view json_name = "NodeArena";
    static constexpr auto json_fields() {
        return std::tuple{json::form_field<NodesForm>("nodes"), json::field("free", &NodeArena::free)};
    }

    // Pops the last vacated slot, else appends; returns the node's index.
    std::uint64_t allocate(const Node& node);
    // Room for `count` more allocations without allocating memory, grown as
    // appending would grow it, but never past `limit` slots; throws
    // std::bad_alloc, changing nothing, when memory runs out.
    void reserve_for(std::uint64_t count, std::uint64_t limit = static_cast<std::uint64_t>(-1));
    void release(std::uint64_t i);

    // Faults with "accessed freed or uninitialized node" on a vacant or
    // out-of-range slot.  Inline: every descent step goes through them.
    [[nodiscard]] const Node& get(std::uint64_t i) const {
        if (i >= nodes.size() || nodes[i].kind == NodeKind::vacant) [[unlikely]]
            fault("accessed freed or uninitialized node");
        return nodes[i];
    }
    [[nodiscard]] Node& get_mut(std::uint64_t i) {
        return const_cast<Node&>(static_cast<const NodeArena&>(*this).get(i));
    }

    // The box bounds of slot i (meaningful for internal nodes).
    [[nodiscard]] std::span<const float> min(std::uint64_t i) const { return {bounds_of(i), dims}; }
    [[nodiscard]] std::span<const float> max(std::uint64_t i) const { return {bounds_of(i) + dims, dims}; }
    [[nodiscard]] std::span<float> min_mut(std::uint64_t i) { return {bounds_of(i), dims}; }
    [[nodiscard]] std::span<float> max_mut(std::uint64_t i) { return {bounds_of(i) + dims, dims}; }

  private:
    // Offset of slot i's min-then-max pair, refusing slots the block lacks.
    [[nodiscard]] std::size_t bounds_at(std::uint64_t i) const {
        if (i >= nodes.size() || bounds.size() < (i + 1) * 2 * dims) [[unlikely]]
            bounds_fault(i);
        return static_cast<std::size_t>(i * 2 * dims);
    }
    [[nodiscard]] const float* bounds_of(std::uint64_t i) const { return bounds.data() + bounds_at(i); }
    [[nodiscard]] float* bounds_of(std::uint64_t i) { return bounds.data() + bounds_at(i); }
    [[noreturn]] void bounds_fault(std::uint64_t i) const;
};

}  // namespace morvik3::morvik
