#include "morvik/node_arena.hpp"

#include <algorithm>

namespace morvik3::morvik {

namespace {

constexpr const char* freed_node = "accessed freed or uninitialized node";

}  // namespace

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

void NodeArena::reserve_for(std::uint64_t count, std::uint64_t limit) {
    const std::uint64_t appended = count > free.size() ? count - free.size() : 0;
    // Slots past the limit are never needed: no room is made for them.
    const std::uint64_t slots = std::min(nodes.size() + appended, std::max(limit, nodes.size()));
    if (slots <= nodes.capacity() && slots * 2 * dims <= bounds.capacity()) return;
    // Doubling, as appending would, so repeated calls stay cheap.
    const std::uint64_t grown = std::max(slots, std::min(2 * nodes.capacity(), limit));
    allocating([&] {
        nodes.reserve(grown);
        bounds.reserve(grown * 2 * dims);
    });
}

void NodeArena::release(std::uint64_t i) {
    check_index(i, nodes.size(), "released slot outside the arena");
    nodes[i] = Node{};
    free.push_back(i);
}

void NodeArena::bounds_fault(std::uint64_t i) const {
    if (i >= nodes.size()) internal_failure(freed_node);
    internal_failure("box storage shorter than the arena");
}

}  // namespace morvik3::morvik
