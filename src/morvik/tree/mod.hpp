// One random cut tree over the rows its sampler holds.  Leaves name point-store
// rows; internal nodes hold an axis-parallel cut and the box of their subtree.
// Readers walk it through `root`, `arena.get(i)`, `arena.min(i)`/`max(i)` and
// the store's rows; only insert and delete_point change it.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "error.hpp"
#include "morvik/bounding_box.hpp"
#include "morvik/node_arena.hpp"
#include "morvik/point_store.hpp"
#include "rng.hpp"

namespace morvik3::morvik {

// One step of a descent: the node passed and the child not taken.
struct PathStep {
    std::uint64_t node = NULL_INDEX;
    std::uint64_t sibling = NULL_INDEX;
};

struct MorvikTree {
    std::uint64_t root = NULL_INDEX;
    std::uint64_t tree_mass = 0;
    NodeArena arena;
    Xoshiro256PlusPlus rng;
    std::uint64_t dims = 0;

    // Scratch of insert and delete_point, empty between operations and not
    // part of the tree's value.
    std::vector<PathStep> path;
    BoundingBox walk_box;

    // An empty tree with node storage reserved for `node_room` slots.
    [[nodiscard]] static MorvikTree create(std::uint64_t dims, std::uint64_t node_room, Xoshiro256PlusPlus rng);

    [[nodiscard]] bool is_empty() const { return root == NULL_INDEX; }

    // The leaf `x` routes to, recording the path.  Non-empty trees only.
    std::uint64_t descend(std::span<const float> x);
    // The same descent without a path.
    [[nodiscard]] std::uint64_t find_leaf(std::span<const float> x) const;

    // Dry run of delete_point: changes nothing.
    [[nodiscard]] Result<void> check_delete(const PointStore& store, std::uint64_t r) const;
    // Removes one copy of the point in row r; check_delete must have passed.
    void delete_point(const PointStore& store, std::uint64_t r);
    // Inserts the point in row h; returns the row the tree now references for
    // it (h, or the row of the leaf it was merged into as a duplicate).
    std::uint64_t insert(const PointStore& store, std::uint64_t h);

    // Recomputes mass and box of path[k-1] .. path[0], bottom-up.
    void refresh(const PointStore& store, std::size_t k);

    // Bounds of node i's box: a leaf's point, or an internal node's bounds.
    [[nodiscard]] std::span<const float> node_min(const PointStore& store, std::uint64_t i) const;
    [[nodiscard]] std::span<const float> node_max(const PointStore& store, std::uint64_t i) const;

  private:
    void split(const PointStore& store, std::uint64_t n, std::uint64_t parent, std::uint64_t cut_dim, float cut_val,
               std::uint64_t h, std::span<const float> x, std::size_t ancestors);
    void replace_child(std::uint64_t parent, std::uint64_t old_child, std::uint64_t new_child);
};

}  // namespace morvik3::morvik
