// Insertion and deletion: where a tree gets its shape.
#include <algorithm>
#include <cmath>

#include "morvik/cut.hpp"
#include "morvik/tree/mod.hpp"

namespace morvik3::morvik {

namespace {

// Coordinates within one 32-bit ulp of 1.0 of each other count as the same
// point when no cut could separate them.
constexpr float duplicate_tolerance = 0x1p-23f;

}  // namespace

Result<void> MorvikTree::check_delete(const RowView& rows, std::uint64_t r) const {
    if (root == NULL_INDEX) return std::unexpected(Error::runtime("cannot delete from an empty tree"));
    return check_descended(find_leaf(rows.row(r)));
}

Result<void> MorvikTree::check_descended(std::uint64_t leaf) const {
    if (arena.get(leaf).mass == 0) return std::unexpected(Error::runtime("leaf mass is already 0"));
    return {};
}

void MorvikTree::delete_point(const RowView& rows, std::uint64_t r) { delete_at(rows, descend(rows.row(r))); }

void MorvikTree::delete_at(const RowView& rows, std::uint64_t leaf) {
    if (tree_mass == 0) fault("tree mass already 0");
    --tree_mass;
    Node& l = arena.get_mut(leaf);
    if (l.mass >= 2) {
        --l.mass;
        refresh(rows, path.size(), Change::copy_removed);
        path.clear();
        return;
    }
    if (path.empty()) {
        arena.release(leaf);
        root = NULL_INDEX;
        return;
    }
    // The leaf's own row, which stays readable until the caller releases it.
    const std::span<const float> x = rows.row(l.point_idx);
    const auto [parent, sibling] = path.back();
    if (path.size() == 1) {
        root = sibling;
    } else {
        replace_child(path[path.size() - 2].node, parent, sibling);
    }
    // Leaf first, then parent: the parent's slot is the next one reused.
    arena.release(leaf);
    arena.release(parent);
    refresh(rows, path.size() - 1, Change::point_removed, x);
    path.clear();
}

std::uint64_t MorvikTree::insert(const RowView& rows, std::uint64_t h) {
    return insert_at(rows, h, root == NULL_INDEX ? NULL_INDEX : descend(rows.row(h)));
}

std::uint64_t MorvikTree::insert_at(const RowView& rows, std::uint64_t h, std::uint64_t leaf) {
    const std::span<const float> x = rows.row(h);
    if (x.size() != dims) fault("point length differs from the tree's dims");
    if (root == NULL_INDEX) {
        root = arena.allocate(Node::leaf(h, 1));
        tree_mass = 1;
        return h;
    }
    const std::size_t n = path.size();
    ++tree_mass;
    const std::uint64_t v = arena.get(leaf).point_idx;
    if (rows.equals(v, x)) {
        ++arena.get_mut(leaf).mass;
        refresh(rows, n, Change::copy_added);
        path.clear();
        return v;
    }

    // Walk up from the leaf and split at the lowest level whose random cut
    // separates x.  Level k's box is that of the subtree under path[n - k]:
    // its stored bounds hold the values a merge of the leaf with the
    // siblings below would give, and a cut depends on nothing but values.
    const std::span<const float> vp = rows.row(v);
    for (std::size_t k = 0; k <= n; ++k) {
        const double u = rng.unit_f64();
        const std::uint64_t at = k == 0 ? leaf : path[n - k].node;
        const std::span<const float> min = k == 0 ? vp : arena.min(at);
        const std::span<const float> max = k == 0 ? vp : arena.max(at);
        const auto cut = draw_cut(u, min, max, x);
        if (cut && separates(*cut, min, max, x)) {
            const std::uint64_t parent = k == n ? NULL_INDEX : path[n - k - 1].node;
            split(rows, at, parent, cut->dim, cut->value, h, x, n - k);
            return h;
        }
    }

    // No cut separated x (only NaN coordinates differ): split the leaf on the
    // first coordinate outside the tolerance, else count a duplicate.
    std::size_t c = 0;
    while (c < x.size() && std::fabs(x[c] - vp[c]) <= duplicate_tolerance) ++c;
    if (c == x.size()) {
        ++arena.get_mut(leaf).mass;
        refresh(rows, n, Change::copy_added);
        path.clear();
        return v;
    }
    split(rows, leaf, n == 0 ? NULL_INDEX : path[n - 1].node, c, nan_min(x[c], vp[c]), h, x, n);
    return h;
}

void MorvikTree::split(const RowView& rows, std::uint64_t n, std::uint64_t parent, std::uint64_t cut_dim,
                       float cut_val, std::uint64_t h, std::span<const float> x, std::size_t ancestors) {
    check_index(cut_dim, x.size(), "cut dimension outside the point");
    const std::uint64_t new_leaf = arena.allocate(Node::leaf(h, 1));
    Node node;
    node.kind = NodeKind::internal;
    node.cut_dim = cut_dim;
    node.cut_val = cut_val;
    node.mass = arena.get(n).mass + 1;
    if (x[cut_dim] <= cut_val) {
        node.left = new_leaf;
        node.right = n;
    } else {
        node.left = n;
        node.right = new_leaf;
    }
    const std::uint64_t id = arena.allocate(node);
    // Spans into the box block are taken only after the allocations, which
    // may have grown it.
    const auto min = arena.min_mut(id);
    const auto max = arena.max_mut(id);
    std::ranges::copy(node_min(rows, n), min.begin());
    std::ranges::copy(node_max(rows, n), max.begin());
    merge_bounds(min, max, x, x);
    arena.get_mut(id).range_sum = range_sum_of(min, max);
    if (parent == NULL_INDEX) {
        root = id;
    } else {
        replace_child(parent, n, id);
    }
    refresh(rows, ancestors, Change::point_added, x);
    path.clear();
}

void MorvikTree::replace_child(std::uint64_t parent, std::uint64_t old_child, std::uint64_t new_child) {
    Node& p = arena.get_mut(parent);
    if (p.left == old_child) {
        p.left = new_child;
    } else if (p.right == old_child) {
        p.right = new_child;
    } else {
        internal_failure("node is not a child of its recorded parent");
    }
}

}  // namespace morvik3::morvik
