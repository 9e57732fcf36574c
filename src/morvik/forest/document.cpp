#include "morvik/forest/document.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <utility>

#include "morvik/bounding_box.hpp"
#include "frame/document.hpp"

namespace morvik3::morvik {

namespace doc {

namespace {

std::string piece(std::uint64_t v) { return std::to_string(v); }
std::string_view piece(std::string_view s) { return s; }

// One description from text and counts.
template <class... Parts>
std::string say(const Parts&... parts) {
    std::string s;
    ((s += piece(parts)), ...);
    return s;
}

bool all_finite(std::span<const float> values) {
    return std::ranges::all_of(values, [](float v) { return std::isfinite(v); });
}

std::span<const float> store_row(const PointStore& s, std::uint64_t r) {
    return std::span<const float>(s.store).subspan(r * s.dim, s.dim);
}

std::optional<std::string> check_point_store(const PointStore& s, const MorvikConfig& c) {
    if (s.dim != c.dim()) return say("point store dim ", s.dim, " differs from input_dim * shingle_size ", c.dim());
    // A store loaded smaller than the configuration's grows only while every
    // row holds a point, so never past twice the rows it needs plus 4.
    const std::uint64_t rows = c.store_rows();
    constexpr std::uint64_t u64_max = std::numeric_limits<std::uint64_t>::max();
    const std::uint64_t most = rows > (u64_max - 4) / 2 ? u64_max : 2 * rows + 4;
    if (s.capacity > most)
        return say("point store capacity ", s.capacity, " exceeds the ", most,
                   " rows a forest of this configuration can use");
    if (s.input_dim != c.input_dim || s.shingle_size != c.shingle_size || s.internal_shingling != c.internal_shingling)
        return say("point store shingling differs from the configuration");
    if (s.loaded_shape[0] != s.capacity || s.loaded_shape[1] != s.dim)
        return say("point store array is ", s.loaded_shape[0], " x ", s.loaded_shape[1], ", expected capacity ", s.capacity,
                   " x dim ", s.dim);
    if (s.occupied.size() != s.capacity)
        return say("point store occupied has ", s.occupied.size(), " entries, expected ", s.capacity);
    if (s.ref_count.size() != s.capacity)
        return say("point store ref_count has ", s.ref_count.size(), " entries, expected ", s.capacity);
    if (s.shingle_buf.size() != s.dim)
        return say("shingle buffer has ", s.shingle_buf.size(), " values, expected ", s.dim);
    if (s.next_free > s.capacity)
        return say("point store next_free ", s.next_free, " exceeds its capacity ", s.capacity);
    if (!all_finite(s.shingle_buf)) return say("shingle buffer holds a non-finite value");

    std::uint64_t occupied = 0;
    for (std::uint64_t r = 0; r < s.capacity; ++r) {
        // Free and never-used rows are written out too, so they must read back.
        if (!all_finite(store_row(s, r))) return say("point store row ", r, " holds a non-finite value");
        if (!s.occupied[r]) continue;
        ++occupied;
        if (r >= s.next_free) return say("point store row ", r, " is occupied but at or above next_free");
    }
    if (occupied != s.size) return say("point store size ", s.size, " differs from its ", occupied, " occupied rows");

    std::vector<bool> listed(s.capacity, false);
    for (const std::uint64_t r : s.free_list) {
        if (r >= s.next_free) return say("point store free list entry ", r, " is not below next_free");
        if (s.occupied[r]) return say("point store free list entry ", r, " is occupied");
        if (listed[r]) return say("point store free list holds row ", r, " twice");
        listed[r] = true;
    }
    for (std::uint64_t r = 0; r < s.next_free; ++r)
        if (!s.occupied[r] && !listed[r])
            return say("point store row ", r, " is neither occupied nor on the free list");
    return std::nullopt;
}

std::optional<std::string> check_samplers(const Forest& d) {
    const PointStore& s = d.point_store;
    std::vector<std::uint64_t> held(s.capacity, 0);
    for (std::uint64_t i = 0; i < d.samplers.size(); ++i) {
        const Sampler& sm = d.samplers[i];
        if (sm.capacity != d.config.capacity)
            return say("sampler ", i, " capacity ", sm.capacity, " differs from the configured ", d.config.capacity);
        if (sm.weights.size() != sm.capacity || sm.point_indices.size() != sm.capacity)
            return say("sampler ", i, " vectors differ in length from its capacity");
        if (sm.size > sm.capacity) return say("sampler ", i, " size ", sm.size, " exceeds its capacity");
        for (std::uint64_t k = 0; k < sm.size; ++k) {
            const std::uint64_t r = sm.point_indices[k];
            if (r >= s.capacity || !s.occupied[r])
                return say("sampler ", i, " holds row ", r, ", which is not an occupied point-store row");
            ++held[r];
            if (k > 0 && sm.weights[(k - 1) / 2] < sm.weights[k])
                return say("sampler ", i, " weights are not in heap order");
        }
    }
    for (std::uint64_t r = 0; r < s.capacity; ++r) {
        if (s.ref_count[r] != held[r])
            return say("point store row ", r, " has ref_count ", s.ref_count[r], " but samplers hold it ", held[r],
                       " times");
        if (s.occupied[r] && held[r] == 0) return say("point store row ", r, " is occupied but no sampler holds it");
    }
    return std::nullopt;
}

// Bounds of a child's box: a leaf's row, or the internal node's bbox.
std::pair<std::span<const float>, std::span<const float>> child_box(const Node& n, const PointStore& s) {
    if (const auto* leaf = std::get_if<Leaf>(&n)) {
        const auto row = store_row(s, leaf->point_idx);
        return {row, row};
    }
    const auto& in = std::get<Internal>(n);
    return {in.bbox.min, in.bbox.max};
}

std::uint64_t mass_of(const Node& n) {
    return std::visit([](const auto& v) { return v.mass; }, n);
}

std::optional<std::string> check_slots(const MorvikTree& t, const PointStore& s, std::uint64_t i, std::uint64_t& live) {
    const auto& nodes = t.arena.nodes;
    const std::uint64_t n = nodes.size();
    std::vector<bool> listed(n, false);
    for (const std::uint64_t f : t.arena.free) {
        if (f >= n) return say("tree ", i, " free list entry ", f, " is outside the arena");
        if (nodes[f]) return say("tree ", i, " free list entry ", f, " is an occupied slot");
        if (listed[f]) return say("tree ", i, " free list holds slot ", f, " twice");
        listed[f] = true;
    }
    live = 0;
    for (std::uint64_t k = 0; k < n; ++k) {
        if (!nodes[k]) {
            if (!listed[k]) return say("tree ", i, " slot ", k, " is vacant but not on the free list");
            continue;
        }
        ++live;
        if (const auto* leaf = std::get_if<Leaf>(&*nodes[k])) {
            if (leaf->point_idx >= s.capacity || !s.occupied[leaf->point_idx])
                return say("tree ", i, " node ", k, " names row ", leaf->point_idx,
                           ", which is not an occupied point-store row");
            if (leaf->mass == 0) return say("tree ", i, " node ", k, " is a leaf of mass 0");
            continue;
        }
        const auto& in = std::get<Internal>(*nodes[k]);
        for (const std::uint64_t child : {in.left, in.right}) {
            if (child >= n) return say("tree ", i, " node ", k, " has child ", child, " outside the arena");
            if (!nodes[child]) return say("tree ", i, " node ", k, " has child ", child, ", a vacated slot");
        }
        if (in.left == in.right) return say("tree ", i, " node ", k, " has the same child on both sides");
        if (in.cut_dim >= t.dims) return say("tree ", i, " node ", k, " cuts dimension ", in.cut_dim, " of ", t.dims);
        if (in.bbox.min.size() != t.dims || in.bbox.max.size() != t.dims)
            return say("tree ", i, " node ", k, " box length differs from dims");
    }
    return std::nullopt;
}

// Every live node reached exactly once from the root: a tree, no cycles.
std::optional<std::string> check_shape(const MorvikTree& t, std::uint64_t i, std::uint64_t live) {
    const auto& nodes = t.arena.nodes;
    std::vector<bool> reached(nodes.size(), false);
    std::vector<std::uint64_t> stack{t.root};
    std::uint64_t count = 0;
    while (!stack.empty()) {
        const std::uint64_t k = stack.back();
        stack.pop_back();
        if (reached[k]) return say("tree ", i, " node ", k, " is reached twice");
        reached[k] = true;
        ++count;
        if (const auto* in = std::get_if<Internal>(&*nodes[k])) {
            stack.push_back(in->right);
            stack.push_back(in->left);
        }
    }
    for (std::uint64_t k = 0; count != live && k < nodes.size(); ++k)
        if (nodes[k] && !reached[k]) return say("tree ", i, " node ", k, " is not reachable from the root");
    return std::nullopt;
}

// Masses, boxes and cuts of each internal node against its children.
std::optional<std::string> check_nodes(const MorvikTree& t, const PointStore& s, std::uint64_t i) {
    const auto& nodes = t.arena.nodes;
    std::vector<float> min(t.dims), max(t.dims);
    for (std::uint64_t k = 0; k < nodes.size(); ++k) {
        const auto* in = nodes[k] ? std::get_if<Internal>(&*nodes[k]) : nullptr;
        if (in == nullptr) continue;
        const Node& left = *nodes[in->left];
        const Node& right = *nodes[in->right];
        std::uint64_t sum = 0;
        if (__builtin_add_overflow(mass_of(left), mass_of(right), &sum) || sum != in->mass)
            return say("tree ", i, " node ", k, " mass ", in->mass, " differs from the sum of its children's masses");
        const auto [lmin, lmax] = child_box(left, s);
        const auto [rmin, rmax] = child_box(right, s);
        std::ranges::copy(lmin, min.begin());
        std::ranges::copy(lmax, max.begin());
        merge_bounds(min, max, rmin, rmax);
        if (!std::ranges::equal(min, in->bbox.min) || !std::ranges::equal(max, in->bbox.max))
            return say("tree ", i, " node ", k, " box differs from the merge of its children's boxes");
        if (range_sum_of(in->bbox.min, in->bbox.max) != in->bbox.range_sum.value)
            return say("tree ", i, " node ", k, " range_sum differs from its box");
        // Every point must route to the leaf that holds it.
        if (!(lmax[in->cut_dim] <= in->cut_val && in->cut_val < rmin[in->cut_dim]))
            return say("tree ", i, " node ", k, " cut does not separate its children");
    }
    return std::nullopt;
}

// The tree counts each of its sampler's entries once, duplicates as leaf mass.
std::optional<std::string> check_against_sampler(const MorvikTree& t, const Sampler& sampler, std::uint64_t i) {
    if (sampler.size != t.tree_mass)
        return say("tree ", i, " holds ", t.tree_mass, " points but its sampler ", sampler.size);
    std::vector<std::uint64_t> rows(sampler.point_indices.begin(),
                                    sampler.point_indices.begin() + static_cast<std::ptrdiff_t>(sampler.size));
    std::ranges::sort(rows);
    std::vector<std::pair<std::uint64_t, std::uint64_t>> leaves;
    for (const auto& slot : t.arena.nodes)
        if (const auto* leaf = slot ? std::get_if<Leaf>(&*slot) : nullptr)
            leaves.emplace_back(leaf->point_idx, leaf->mass);
    std::ranges::sort(leaves);
    std::size_t at = 0;
    for (const auto& [row, mass] : leaves) {
        if (rows.size() - at < mass || rows[at] != row || rows[at + mass - 1] != row ||
            (at + mass < rows.size() && rows[at + mass] == row))
            break;
        at += mass;
    }
    if (at != rows.size()) return say("tree ", i, " leaves differ from the rows its sampler holds");
    return std::nullopt;
}

std::optional<std::string> check_tree(const MorvikTree& t, const Sampler& sampler, const PointStore& s,
                                      const MorvikConfig& c, std::uint64_t i) {
    if (t.dims != c.dim()) return say("tree ", i, " dims ", t.dims, " differs from input_dim * shingle_size ", c.dim());
    // Each slot is built with a box of 2 * dims floats.
    if (t.arena.nodes.size() > c.node_room())
        return say("tree ", i, " arena has ", t.arena.nodes.size(), " slots, more than the ", c.node_room(),
                   " a tree of capacity ", c.capacity, " can use");
    std::uint64_t live = 0;
    if (auto why = check_slots(t, s, i, live)) return why;
    if (t.root == NULL_INDEX) {
        if (t.tree_mass != 0) return say("tree ", i, " is empty but has tree_mass ", t.tree_mass);
        if (live != 0) return say("tree ", i, " is empty but holds live nodes");
        return check_against_sampler(t, sampler, i);
    }
    if (t.root >= t.arena.nodes.size() || !t.arena.nodes[t.root])
        return say("tree ", i, " root ", t.root, " is not a live node");
    if (auto why = check_shape(t, i, live)) return why;
    if (auto why = check_nodes(t, s, i)) return why;
    const std::uint64_t root_mass = mass_of(*t.arena.nodes[t.root]);
    if (root_mass != t.tree_mass)
        return say("tree ", i, " tree_mass ", t.tree_mass, " differs from its root's mass ", root_mass);
    return check_against_sampler(t, sampler, i);
}

}  // namespace

std::optional<std::string> find_inconsistency(const Forest& d) {
    if (auto ok = d.config.validate(); !ok) return ok.error().message;
    const std::uint64_t trees = d.config.num_trees;
    if (d.trees.size() != trees) return say("the document has ", d.trees.size(), " trees for num_trees ", trees);
    if (d.samplers.size() != trees)
        return say("the document has ", d.samplers.size(), " samplers for num_trees ", trees);
    if (auto why = check_point_store(d.point_store, d.config)) return why;
    if (auto why = check_samplers(d)) return why;
    for (std::uint64_t i = 0; i < d.trees.size(); ++i)
        if (auto why = check_tree(d.trees[i], d.samplers[i], d.point_store, d.config, i)) return why;
    return std::nullopt;
}

Forest from_state(const morvik::Forest& f) {
    Forest d;
    d.config = f.config;
    d.trees.reserve(f.trees.size());
    for (const morvik::MorvikTree& t : f.trees) {
        MorvikTree& dt = d.trees.emplace_back();
        dt.root = t.root;
        dt.tree_mass = t.tree_mass;
        dt.rng = t.rng;
        dt.dims = t.dims;
        dt.arena.free = t.arena.free;
        dt.arena.nodes.reserve(t.arena.nodes.size());
        for (std::uint64_t k = 0; k < t.arena.nodes.size(); ++k) {
            const morvik::Node& n = t.arena.nodes[k];
            auto& slot = dt.arena.nodes.emplace_back();
            if (n.is_leaf()) {
                slot.emplace(Leaf{n.point_idx, n.mass});
            } else if (n.is_internal()) {
                const auto min = t.arena.min(k);
                const auto max = t.arena.max(k);
                slot.emplace(Internal{n.left, n.right, n.cut_dim, n.cut_val, n.mass,
                                      BoundingBox{{min.begin(), min.end()}, {max.begin(), max.end()}, n.range_sum}});
            }
        }
    }
    d.samplers = f.samplers;
    d.point_store = f.point_store;
    d.entries_seen = f.entries_seen;
    d.rng = f.rng;
    return d;
}

morvik::Forest to_state(Forest&& d) {
    morvik::Forest f;
    f.config = d.config;
    f.trees.reserve(d.trees.size());
    for (MorvikTree& dt : d.trees) {
        morvik::MorvikTree& t = f.trees.emplace_back();
        t.root = dt.root;
        t.tree_mass = dt.tree_mass;
        t.rng = dt.rng;
        t.dims = dt.dims;
        NodeArena& da = dt.arena;
        morvik::NodeArena& a = t.arena;
        a.dims = dt.dims;
        a.nodes.reserve(da.nodes.size());
        std::uint64_t floats = 0;
        if (__builtin_mul_overflow(da.nodes.size(), 2 * dt.dims, &floats) || floats > a.bounds.max_size())
            throw std::bad_alloc();
        a.bounds.assign(floats, 0.0f);
        for (std::uint64_t k = 0; k < da.nodes.size(); ++k) {
            morvik::Node& n = a.nodes.emplace_back();
            if (!da.nodes[k]) continue;
            if (const auto* leaf = std::get_if<Leaf>(&*da.nodes[k])) {
                n = morvik::Node::leaf(leaf->point_idx, leaf->mass);
                continue;
            }
            const auto& in = std::get<Internal>(*da.nodes[k]);
            n.kind = NodeKind::internal;
            n.left = in.left;
            n.right = in.right;
            n.cut_dim = in.cut_dim;
            n.cut_val = in.cut_val;
            n.mass = in.mass;
            n.range_sum = in.bbox.range_sum.value;
            std::ranges::copy(in.bbox.min, a.min_mut(k).begin());
            std::ranges::copy(in.bbox.max, a.max_mut(k).begin());
        }
        a.free = std::move(da.free);
    }
    f.samplers = std::move(d.samplers);
    f.point_store = std::move(d.point_store);
    morvik::PointStore& s = f.point_store;
    // Blocks of exactly their elements, as when they are built.
    s.occupied = LargeArray<bool>(std::span<const bool>(s.occupied));
    s.ref_count = LargeArray<std::uint64_t>(std::span<const std::uint64_t>(s.ref_count));
    // Trees reference occupied rows only; any other row is written before use.
    for (std::uint64_t r = 0; r < s.capacity && !s.zero_or_nan_written; ++r)
        s.zero_or_nan_written = s.occupied[r] && !box::settled(s.row(r).data(), s.dim);
    f.entries_seen = d.entries_seen;
    f.rng = d.rng;
    f.decisions.reserve(f.config.num_trees);
    f.descents.reserve(f.config.num_trees);
    return f;
}

}  // namespace doc

std::string to_json(const Forest& forest) { return json::write(doc::from_state(forest)); }

Result<Forest> from_json(std::string_view text, std::uint64_t memory) {
    constexpr std::string_view prefix = "invalid forest JSON: ";
    auto parsed = read_document<doc::Forest>(text, prefix, "Forest", memory);
    if (!parsed) return std::unexpected(parsed.error());
    if (auto why = doc::find_inconsistency(*parsed))
        return std::unexpected(Error::invalid_argument(std::string(prefix) + *why));
    return doc::to_state(std::move(*parsed));
}

}  // namespace morvik3::morvik
