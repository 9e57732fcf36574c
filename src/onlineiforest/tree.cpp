#include "onlineiforest/tree.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace morvik3::onlineiforest {

namespace {

constexpr float infinity = std::numeric_limits<float>::infinity();

// Bounds never overlap the point being learned: telling the compiler so lets
// it keep the point in registers along the path.
void extend(float* __restrict min, float* __restrict max, const float* __restrict point, std::size_t dim) {
    for (std::size_t i = 0; i < dim; ++i) {
        min[i] = std::min(min[i], point[i]);
        max[i] = std::max(max[i], point[i]);
    }
}

}  // namespace

OnlineITree OnlineITree::create(std::uint64_t dim, const Xoshiro256PlusPlus& rng) {
    OnlineITree t;
    t.pool.dim = dim;
    t.rng = rng;
    return t;
}

void OnlineITree::learn(std::span<const float> point, std::uint64_t max_leaf_samples, double max_depth) {
    if (pool.empty()) {
        // The first point only makes the root, whatever M is.
        const std::uint64_t root = pool.add_root();
        pool.nodes[root].height = 1;
        std::ranges::copy(point, pool.min(root));
        std::ranges::copy(point, pool.max(root));
        return;
    }
    std::uint64_t slot = 0;
    std::uint64_t depth = 0;
    for (;;) {
        Node& node = pool.nodes[slot];
        if (node.height != std::numeric_limits<std::uint64_t>::max()) ++node.height;
        extend(pool.min(slot), pool.max(slot), point.data(), point.size());
        if (node.is_leaf()) break;
        slot = node.route(point);
        ++depth;
    }
    if (depth < deepest_leaf && static_cast<double>(depth) < max_depth &&
        pool.nodes[slot].height >= split_threshold(depth, max_leaf_samples))
        split(slot);
}

void OnlineITree::split(std::uint64_t slot) {
    const std::uint64_t dim = pool.dim;
    std::uint64_t active = 0;
    for (std::uint64_t i = 0; i < dim; ++i) active += pool.max(slot)[i] > pool.min(slot)[i];
    // Identical points cannot be told apart.
    if (active == 0) return;
    std::uint64_t chosen = rng.range_index(active);
    std::uint64_t dimension = 0;
    while (!(pool.max(slot)[dimension] > pool.min(slot)[dimension]) || chosen-- != 0) ++dimension;
    const float value = rng.range_f32(pool.min(slot)[dimension], pool.max(slot)[dimension]);

    const std::uint64_t left = pool.add_pair();
    const float* min = pool.min(slot);
    const float* max = pool.max(slot);
    float* side_min[2] = {pool.min(left), pool.min(left + 1)};
    float* side_max[2] = {pool.max(left), pool.max(left + 1)};
    for (int side = 0; side < 2; ++side) {
        std::fill_n(side_min[side], dim, infinity);
        std::fill_n(side_max[side], dim, -infinity);
    }
    // The leaf's points are gone; it is re-populated by as many points drawn
    // uniformly from its support, each drawn split coordinate first.
    std::uint64_t count[2] = {0, 0};
    const std::uint64_t height = pool.nodes[slot].height;
    for (std::uint64_t s = 0; s < height; ++s) {
        const float v = rng.range_f32(min[dimension], max[dimension]);
        const int side = v < value ? 0 : 1;
        ++count[side];
        float* smin = side_min[side];
        float* smax = side_max[side];
        for (std::uint64_t l = 0; l < dim; ++l) {
            const float c = l == dimension ? v : min[l] == max[l] ? min[l] : rng.range_f32(min[l], max[l]);
            smin[l] = std::min(smin[l], c);
            smax[l] = std::max(smax[l], c);
        }
    }
    // A side that drew nothing keeps the leaf's support, cut at the value.
    if (count[0] == 0) {
        std::copy_n(min, dim, side_min[0]);
        std::copy_n(max, dim, side_max[0]);
        side_max[0][dimension] = value;
    }
    if (count[1] == 0) {
        std::copy_n(min, dim, side_min[1]);
        std::copy_n(max, dim, side_max[1]);
        side_min[1][dimension] = value;
    }
    pool.nodes[left].height = count[0];
    pool.nodes[left + 1].height = count[1];
    Node& node = pool.nodes[slot];
    node.children = left;
    node.dimension = dimension;
    node.value = value;
}

void OnlineITree::fold(std::uint64_t slot) {
    const std::uint64_t left = pool.nodes[slot].children;
    float* min = pool.min(slot);
    float* max = pool.max(slot);
    for (std::uint64_t i = 0; i < pool.dim; ++i) {
        min[i] = std::min(pool.min(left)[i], pool.min(left + 1)[i]);
        max[i] = std::max(pool.max(left)[i], pool.max(left + 1)[i]);
    }
    pool.release_children(slot);
}

void OnlineITree::unlearn(std::span<const float> point, std::uint64_t max_leaf_samples) {
    if (pool.empty()) return;
    auto lower = [](Node& n) {
        if (n.height != 0) --n.height;
    };
    Node& root = pool.nodes[0];
    lower(root);
    if (!root.is_leaf()) {
        if (root.height < split_threshold(0, max_leaf_samples)) {
            fold(0);
        } else {
            // At most one node folds: the first on the path that falls below
            // its threshold.
            std::uint64_t slot = 0;
            for (std::uint64_t depth = 1;; ++depth) {
                const std::uint64_t child = pool.nodes[slot].route(point);
                Node& c = pool.nodes[child];
                lower(c);
                if (c.is_leaf()) break;
                if (c.height < split_threshold(depth, max_leaf_samples)) {
                    fold(child);
                    break;
                }
                slot = child;
            }
        }
    }
    if (pool.nodes[0].height == 0) pool.clear();
}

double OnlineITree::path_length(std::span<const float> point, std::uint64_t max_leaf_samples) const {
    if (pool.empty()) return 0.0;
    std::uint64_t slot = 0;
    std::uint64_t depth = 0;
    while (!pool.nodes[slot].is_leaf()) {
        slot = pool.nodes[slot].route(point);
        ++depth;
    }
    const std::uint64_t n = pool.nodes[slot].height;
    const double d = static_cast<double>(depth);
    if (n < max_leaf_samples) return d;
    return d + std::log2(static_cast<double>(n) / static_cast<double>(max_leaf_samples));
}

}  // namespace morvik3::onlineiforest
