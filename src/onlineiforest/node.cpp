#include "onlineiforest/node.hpp"

#include <algorithm>
#include <cmath>
#include <new>
#include <stdexcept>
#include <utility>

namespace morvik3::onlineiforest {

void NodePool::grow(std::uint64_t slots) {
    std::uint64_t target = slots;
    if (nodes.capacity() < slots) target = std::max({slots, 2 * nodes.size(), std::uint64_t{8}});
    std::uint64_t floats = 0;
    if (__builtin_mul_overflow(target, 2 * dim, &floats)) throw std::bad_alloc();
    try {
        nodes.reserve(target);
        bounds.reserve(floats);
        free_pairs.reserve(target / 2);
    } catch (const std::length_error&) {
        throw std::bad_alloc();
    }
}

std::uint64_t NodePool::add_root() {
    nodes.emplace_back();
    bounds.resize(bounds.size() + 2 * dim);
    return 0;
}

std::uint64_t NodePool::add_pair() {
    if (!free_pairs.empty()) {
        const std::uint64_t left = free_pairs.back();
        free_pairs.pop_back();
        nodes[left] = Node{};
        nodes[left + 1] = Node{};
        return left;
    }
    const std::uint64_t left = nodes.size();
    nodes.resize(left + 2);
    bounds.resize(bounds.size() + 4 * dim);
    return left;
}

void NodePool::release_children(std::uint64_t slot) {
    // The free list doubles as the work list of the released subtree.
    std::size_t next = free_pairs.size();
    free_pairs.push_back(std::exchange(nodes[slot].children, no_children));
    for (; next < free_pairs.size(); ++next) {
        const std::uint64_t pair = free_pairs[next];
        for (const std::uint64_t s : {pair, pair + 1})
            if (!nodes[s].is_leaf()) free_pairs.push_back(std::exchange(nodes[s].children, no_children));
    }
}

void NodePool::clear() {
    nodes.clear();
    bounds.clear();
    free_pairs.clear();
}

namespace doc {

Node from_pool(const NodePool& pool, std::uint64_t slot) {
    const onlineiforest::Node& n = pool.nodes[slot];
    Node d;
    d.height = n.height;
    d.support.min.assign(pool.min(slot), pool.min(slot) + pool.dim);
    d.support.max.assign(pool.max(slot), pool.max(slot) + pool.dim);
    if (!n.is_leaf()) {
        d.split.emplace(Split{n.dimension, n.value, std::make_unique<Node>(from_pool(pool, n.children)),
                              std::make_unique<Node>(from_pool(pool, n.children + 1))});
    }
    return d;
}

namespace {

std::optional<std::string> support_problem(const Support& s, std::uint64_t dim) {
    const std::string expected = ", expected " + std::to_string(dim);
    if (s.min.size() != dim) return "a node support min has " + std::to_string(s.min.size()) + " values" + expected;
    if (s.max.size() != dim) return "a node support max has " + std::to_string(s.max.size()) + " values" + expected;
    for (std::uint64_t i = 0; i < dim; ++i) {
        if (!std::isfinite(s.min[i]) || !std::isfinite(s.max[i]))
            return "a node support holds a value outside the 32-bit float range";
        if (s.min[i] > s.max[i]) return "a node support has min above max in dimension " + std::to_string(i);
    }
    return std::nullopt;
}

// Fills `slot` from `d` and appends its subtree.  The reader's nesting limit
// bounds the recursion.
std::optional<std::string> place(const Node& d, NodePool& pool, std::uint64_t slot, std::uint64_t depth,
                                 std::vector<std::uint64_t>& depths) {
    if (auto why = support_problem(d.support, pool.dim)) return why;
    pool.nodes[slot].height = d.height;
    std::ranges::copy(d.support.min, pool.min(slot));
    std::ranges::copy(d.support.max, pool.max(slot));
    depths.resize(pool.nodes.size());
    depths[slot] = depth;
    if (!d.split) return std::nullopt;
    const Split& s = *d.split;
    if (s.dimension >= pool.dim)
        return "a split on dimension " + std::to_string(s.dimension) + " of " + std::to_string(pool.dim);
    if (!std::isfinite(s.value)) return "a split value outside the 32-bit float range";
    if (!s.left || !s.right) return std::string("a split without both children");
    const std::uint64_t left = pool.add_pair();
    pool.nodes[slot].children = left;
    pool.nodes[slot].dimension = s.dimension;
    pool.nodes[slot].value = s.value;
    if (auto why = place(*s.left, pool, left, depth + 1, depths)) return why;
    return place(*s.right, pool, left + 1, depth + 1, depths);
}

}  // namespace

std::optional<std::string> to_pool(const Node& root, NodePool& pool, std::vector<std::uint64_t>& depths) {
    return place(root, pool, pool.add_root(), 0, depths);
}

}  // namespace doc

}  // namespace morvik3::onlineiforest
