// One online isolation tree.  It keeps no points: each node counts the points
// of its region (its height) and bounds them (its support).  A leaf splits
// once its height reaches M x 2^depth, re-creating its population by sampling
// its support; unlearning a point lowers the heights on its path and folds
// the first node that falls below its own threshold back into a leaf.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <tuple>

#include "onlineiforest/node.hpp"
#include "frame/rng.hpp"

namespace morvik3::onlineiforest {

struct OnlineITree {
    NodePool pool;
    Xoshiro256PlusPlus rng;  // every draw of this tree, in a fixed order

    [[nodiscard]] static OnlineITree create(std::uint64_t dim, const Xoshiro256PlusPlus& rng);

    // Room for what one learn and unlearn can add; throws std::bad_alloc,
    // changing nothing, when memory runs out.
    void reserve() { pool.reserve(); }

    // Points have the tree's dimension and finite coordinates; `max_depth` is
    // log2(window_size / max_leaf_samples).  Both require `reserve` first.
    void learn(std::span<const float> point, std::uint64_t max_leaf_samples, double max_depth);
    void unlearn(std::span<const float> point, std::uint64_t max_leaf_samples);

    // Depth of the leaf `point` reaches, plus log2(height / M) when the leaf
    // holds at least M points; 0 for an empty tree.
    [[nodiscard]] double path_length(std::span<const float> point, std::uint64_t max_leaf_samples) const;

private:
    void split(std::uint64_t slot);
    void fold(std::uint64_t slot);
};

namespace doc {

struct OnlineITree {
    std::optional<Node> root;
    Xoshiro256PlusPlus rng;

    static constexpr std::string_view json_name = "OnlineITree";
    static constexpr auto json_fields() {
        return std::tuple{json::field("root", &OnlineITree::root), json::field("rng", &OnlineITree::rng)};
    }
};

}  // namespace doc

}  // namespace morvik3::onlineiforest
