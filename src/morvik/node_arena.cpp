#include "morvik/node_arena.hpp"

namespace morvik3::morvik {

namespace {

constexpr const char* freed_node = "accessed freed or uninitialized node";

// Offset of slot i's bounds in the block, refusing slots the block lacks.
std::size_t bounds_offset(const NodeArena& a, std::uint64_t i) {
    check_index(i, a.nodes.size(), freed_node);
    if (a.bounds.size() < (i + 1) * 2 * a.dims) internal_failure("box storage shorter than the arena");
    return static_cast<std::size_t>(i * 2 * a.dims);
}

}  // namespace

NodeArena NodeArena::with_room(std::uint64_t dims, std::uint64_t slots) {
    NodeArena a;
    a.dims = dims;
    a.nodes.reserve(slots);
    a.free.reserve(slots);
    a.bounds.reserve(slots * 2 * dims);
    return a;
}

std::uint64_t NodeArena::allocate(const Node& node) {
    if (!free.empty()) {
        const std::uint64_t i = free.back();
        check_index(i, nodes.size(), "free slot outside the arena");
        free.pop_back();
        nodes[i] = node;
        return i;
    }
    nodes.push_back(node);
    bounds.resize(nodes.size() * 2 * dims, 0.0f);
    return nodes.size() - 1;
}

void NodeArena::release(std::uint64_t i) {
    check_index(i, nodes.size(), "released slot outside the arena");
    nodes[i] = Node{};
    free.push_back(i);
}

const Node& NodeArena::get(std::uint64_t i) const {
    if (i >= nodes.size() || nodes[i].kind == NodeKind::vacant) [[unlikely]]
        internal_failure(freed_node);
    return nodes[i];
}

Node& NodeArena::get_mut(std::uint64_t i) {
    if (i >= nodes.size() || nodes[i].kind == NodeKind::vacant) [[unlikely]]
        internal_failure(freed_node);
    return nodes[i];
}

std::span<const float> NodeArena::min(std::uint64_t i) const {
    return std::span<const float>(bounds).subspan(bounds_offset(*this, i), dims);
}

std::span<const float> NodeArena::max(std::uint64_t i) const {
    return std::span<const float>(bounds).subspan(bounds_offset(*this, i) + dims, dims);
}

std::span<float> NodeArena::min_mut(std::uint64_t i) {
    return std::span<float>(bounds).subspan(bounds_offset(*this, i), dims);
}

std::span<float> NodeArena::max_mut(std::uint64_t i) {
    return std::span<float>(bounds).subspan(bounds_offset(*this, i) + dims, dims);
}

}  // namespace morvik3::morvik
