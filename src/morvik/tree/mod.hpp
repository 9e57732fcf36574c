// One random cut tree over the rows its sampler holds.  Leaves name point-store
// rows; internal nodes hold an axis-parallel cut and the box of their subtree.
// Readers walk it through `root`, `arena.get(i)`, `arena.min(i)`/`max(i)` and
// the store's rows; only insert and delete_point change it.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <tuple>
#include <vector>

#include "frame/error.hpp"
#include "frame/json.hpp"
#include "morvik/bounding_box.hpp"
#include "morvik/node_arena.hpp"
#include "morvik/point_store.hpp"
#include "frame/rng.hpp"

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

    // Scratch of the descents (descend, descend_together) that insertion and
    // deletion work along; empty between operations, not part of the value.
    std::vector<PathStep> path;

    static constexpr std::string_view json_name = "MorvikTree";
    static constexpr auto json_fields() {
        return std::tuple{json::field("root", &MorvikTree::root), json::field("tree_mass", &MorvikTree::tree_mass),
                          json::field("arena", &MorvikTree::arena), json::field("rng", &MorvikTree::rng),
                          json::field("dims", &MorvikTree::dims)};
    }

    // An empty tree; its node storage grows with it.
    [[nodiscard]] static MorvikTree create(std::uint64_t dims, Xoshiro256PlusPlus rng);

    [[nodiscard]] bool is_empty() const { return root == NULL_INDEX; }

    // The leaf `x` routes to, recording the path.  Non-empty trees only.
    std::uint64_t descend(std::span<const float> x);
    // The same descent without a path.
    [[nodiscard]] std::uint64_t find_leaf(std::span<const float> x) const;

    // Room for `inserts` more insertions and the descents before them, in a
    // tree that never holds more than `room` node slots, so that they
    // allocate no memory; throws std::bad_alloc, changing nothing, when
    // memory runs out.
    void reserve_inserts(std::uint64_t inserts, std::uint64_t room);

    // Dry run of delete_point: changes nothing.
    [[nodiscard]] Result<void> check_delete(const RowView& rows, std::uint64_t r) const;
    // Removes one copy of the point in row r; check_delete must have passed.
    void delete_point(const RowView& rows, std::uint64_t r);
    // Inserts the point in row h; returns the row the tree now references for
    // it (h, or the row of the leaf it was merged into as a duplicate).
    std::uint64_t insert(const RowView& rows, std::uint64_t h);

    // delete_point and insert after their descent (descend, or
    // descend_together for several trees), which recorded the path to `leaf`.
    // check_descended is check_delete's condition on such a descent.
    [[nodiscard]] Result<void> check_descended(std::uint64_t leaf) const;
    void delete_at(const RowView& rows, std::uint64_t leaf);
    std::uint64_t insert_at(const RowView& rows, std::uint64_t h, std::uint64_t leaf);

    // What changed below path[k-1] for refresh: one copy more or fewer in an
    // existing leaf (boxes keep their values), or the point `x` added or removed.
    enum class Change { copy_added, copy_removed, point_added, point_removed };

    // Brings mass and box of path[k-1] .. path[0] up to date, bottom-up, with
    // exactly the bits a merge of each node's two children gives.
    void refresh(const RowView& rows, std::size_t k, Change change, std::span<const float> x = {});
    // Node i's box as the merge of its left then its right child's box.
    void merge_children(const RowView& rows, std::uint64_t i);

    // Bounds of node i's box: a leaf's point, or an internal node's bounds.
    [[nodiscard]] std::span<const float> node_min(const RowView& rows, std::uint64_t i) const;
    [[nodiscard]] std::span<const float> node_max(const RowView& rows, std::uint64_t i) const;

  private:
    void split(const RowView& rows, std::uint64_t n, std::uint64_t parent, std::uint64_t cut_dim, float cut_val,
               std::uint64_t h, std::span<const float> x, std::size_t ancestors);
    void replace_child(std::uint64_t parent, std::uint64_t old_child, std::uint64_t new_child);
};

// One tree's part in descend_together: the point it routes, and the leaf
// reached.
struct TreeDescent {
    MorvikTree* tree = nullptr;
    std::span<const float> x;
    std::uint64_t leaf = NULL_INDEX;
};

// descend() in several non-empty trees, checked once for their arenas.
void descend_together(std::span<TreeDescent> descents);

}  // namespace morvik3::morvik
