#include "morvik/forest/document.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <optional>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include "frame/document.hpp"
#include "frame/json.hpp"
#include "morvik/bounding_box.hpp"

namespace morvik3::morvik {

namespace {

// The document's form of one arena slot: null when vacant, else one of these.
namespace entry {

struct BoundingBox {
    std::vector<float> min;
    std::vector<float> max;
    json::NullAsPosInf<double> range_sum;  // +inf when 32-bit widths overflow

    static constexpr std::string_view json_name = "BoundingBox";
    static constexpr auto json_fields() {
        return std::tuple{json::field("min", &BoundingBox::min), json::field("max", &BoundingBox::max),
                          json::field("range_sum", &BoundingBox::range_sum)};
    }
};

struct Leaf {
    std::uint64_t point_idx = 0;
    std::uint64_t mass = 0;

    static constexpr std::string_view json_name = "Leaf";
    static constexpr std::string_view json_enum_name = "Node";
    static constexpr auto json_fields() {
        return std::tuple{json::field("point_idx", &Leaf::point_idx), json::field("mass", &Leaf::mass)};
    }
};

struct Internal {
    std::uint64_t left = 0;
    std::uint64_t right = 0;
    std::uint64_t cut_dim = 0;
    float cut_val = 0.0f;
    std::uint64_t mass = 0;
    BoundingBox bbox;

    static constexpr std::string_view json_name = "Internal";
    static constexpr std::string_view json_enum_name = "Node";
    static constexpr auto json_fields() {
        return std::tuple{json::field("left", &Internal::left),       json::field("right", &Internal::right),
                          json::field("cut_dim", &Internal::cut_dim), json::field("cut_val", &Internal::cut_val),
                          json::field("mass", &Internal::mass),       json::field("bbox", &Internal::bbox)};
    }
};

using Slot = std::optional<std::variant<Leaf, Internal>>;

}  // namespace entry

// Marks, in the point_idx internal nodes leave unused, a node read with a box
// not as wide as its arena's first, until the checks refuse it.
constexpr std::uint64_t odd_box = NULL_INDEX - 1;

Node held_node(entry::Internal& in, NodeArena& a, bool& width_known) {
    Node n;
    n.kind = NodeKind::internal;
    n.left = in.left;
    n.right = in.right;
    n.cut_dim = in.cut_dim;
    n.cut_val = in.cut_val;
    n.mass = in.mass;
    n.range_sum = in.bbox.range_sum.value;
    if (!width_known) {
        a.dims = in.bbox.min.size();
        width_known = true;
    }
    if (in.bbox.min.size() != a.dims || in.bbox.max.size() != a.dims) {
        n.point_idx = odd_box;
        return n;
    }
    a.bounds.insert(a.bounds.end(), in.bbox.min.begin(), in.bbox.min.end());
    a.bounds.insert(a.bounds.end(), in.bbox.max.begin(), in.bbox.max.end());
    return n;
}

}  // namespace

void NodeArena::NodesForm::write(std::string& out, const NodeArena& a) {
    entry::Internal in;  // one for every node: its box keeps its room
    out.push_back('[');
    for (std::uint64_t k = 0; k < a.nodes.size(); ++k) {
        if (k != 0) out.push_back(',');
        const Node& n = a.nodes[k];
        if (n.is_leaf()) {
            json::write_tagged(out, entry::Leaf{n.point_idx, n.mass});
        } else if (n.is_internal()) {
            in.left = n.left;
            in.right = n.right;
            in.cut_dim = n.cut_dim;
            in.cut_val = n.cut_val;
            in.mass = n.mass;
            in.bbox.min.assign(a.min(k).begin(), a.min(k).end());
            in.bbox.max.assign(a.max(k).begin(), a.max(k).end());
            in.bbox.range_sum = n.range_sum;
            json::write_tagged(out, in);
        } else {
            out.append("null");
        }
    }
    out.push_back(']');
}

bool NodeArena::NodesForm::read(json::Reader& r, NodeArena& a) {
    a.nodes.clear();
    a.bounds.clear();
    a.dims = 0;
    bool width_known = false;
    return json::read_elements<entry::Slot>(r, [&](entry::Slot&& slot) {
        if (!slot) {
            a.nodes.emplace_back();
        } else if (const auto* leaf = std::get_if<entry::Leaf>(&*slot)) {
            a.nodes.push_back(Node::leaf(leaf->point_idx, leaf->mass));
        } else {
            a.nodes.push_back(held_node(std::get<entry::Internal>(*slot), a, width_known));
        }
    });
}

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

// Bounds of a node's box as read: a leaf's row, or an internal node's box at
// `at` in its arena.
std::pair<std::span<const float>, std::span<const float>> read_box(const NodeArena& a, const Node& n, std::uint64_t at,
                                                                   const PointStore& s) {
    if (n.is_leaf()) {
        const auto row = store_row(s, n.point_idx);
        return {row, row};
    }
    const std::span<const float> box(a.bounds.data() + at, 2 * a.dims);
    return {box.first(a.dims), box.last(a.dims)};
}

bool is_vacant(const Node& n) { return n.kind == NodeKind::vacant; }

std::optional<std::string> check_slots(const MorvikTree& t, const PointStore& s, std::uint64_t i, std::uint64_t& live) {
    const auto& nodes = t.arena.nodes;
    const std::uint64_t n = nodes.size();
    std::vector<bool> listed(n, false);
    for (const std::uint64_t f : t.arena.free) {
        if (f >= n) return say("tree ", i, " free list entry ", f, " is outside the arena");
        if (!is_vacant(nodes[f])) return say("tree ", i, " free list entry ", f, " is an occupied slot");
        if (listed[f]) return say("tree ", i, " free list holds slot ", f, " twice");
        listed[f] = true;
    }
    live = 0;
    for (std::uint64_t k = 0; k < n; ++k) {
        const Node& node = nodes[k];
        if (is_vacant(node)) {
            if (!listed[k]) return say("tree ", i, " slot ", k, " is vacant but not on the free list");
            continue;
        }
        ++live;
        if (node.is_leaf()) {
            if (node.point_idx >= s.capacity || !s.occupied[node.point_idx])
                return say("tree ", i, " node ", k, " names row ", node.point_idx,
                           ", which is not an occupied point-store row");
            if (node.mass == 0) return say("tree ", i, " node ", k, " is a leaf of mass 0");
            continue;
        }
        for (const std::uint64_t child : {node.left, node.right}) {
            if (child >= n) return say("tree ", i, " node ", k, " has child ", child, " outside the arena");
            if (is_vacant(nodes[child])) return say("tree ", i, " node ", k, " has child ", child, ", a vacated slot");
        }
        if (node.left == node.right) return say("tree ", i, " node ", k, " has the same child on both sides");
        if (node.cut_dim >= t.dims) return say("tree ", i, " node ", k, " cuts dimension ", node.cut_dim, " of ", t.dims);
        if (t.arena.dims != t.dims || node.point_idx == odd_box)
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
        if (nodes[k].is_internal()) {
            stack.push_back(nodes[k].right);
            stack.push_back(nodes[k].left);
        }
    }
    for (std::uint64_t k = 0; count != live && k < nodes.size(); ++k)
        if (!is_vacant(nodes[k]) && !reached[k]) return say("tree ", i, " node ", k, " is not reachable from the root");
    return std::nullopt;
}

// Masses, boxes and cuts of each internal node against its children.
std::optional<std::string> check_nodes(const MorvikTree& t, const PointStore& s, std::uint64_t i) {
    const NodeArena& a = t.arena;
    const auto& nodes = a.nodes;
    // Where each internal node's box starts among the boxes as read.
    std::vector<std::uint64_t> at(nodes.size(), 0);
    std::uint64_t next = 0;
    for (std::uint64_t k = 0; k < nodes.size(); ++k) {
        if (!nodes[k].is_internal()) continue;
        at[k] = next;
        next += 2 * a.dims;
    }
    std::vector<float> min(t.dims), max(t.dims);
    for (std::uint64_t k = 0; k < nodes.size(); ++k) {
        const Node& in = nodes[k];
        if (!in.is_internal()) continue;
        const Node& left = nodes[in.left];
        const Node& right = nodes[in.right];
        std::uint64_t sum = 0;
        if (__builtin_add_overflow(left.mass, right.mass, &sum) || sum != in.mass)
            return say("tree ", i, " node ", k, " mass ", in.mass, " differs from the sum of its children's masses");
        const auto [lmin, lmax] = read_box(a, left, at[in.left], s);
        const auto [rmin, rmax] = read_box(a, right, at[in.right], s);
        std::ranges::copy(lmin, min.begin());
        std::ranges::copy(lmax, max.begin());
        merge_bounds(min, max, rmin, rmax);
        const auto [own_min, own_max] = read_box(a, in, at[k], s);
        if (!std::ranges::equal(min, own_min) || !std::ranges::equal(max, own_max))
            return say("tree ", i, " node ", k, " box differs from the merge of its children's boxes");
        if (range_sum_of(own_min, own_max) != in.range_sum)
            return say("tree ", i, " node ", k, " range_sum differs from its box");
        // Every point must route to the leaf that holds it.
        if (!(lmax[in.cut_dim] <= in.cut_val && in.cut_val < rmin[in.cut_dim]))
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
    for (const Node& n : t.arena.nodes)
        if (n.is_leaf()) leaves.emplace_back(n.point_idx, n.mass);
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
    if (t.root >= t.arena.nodes.size() || is_vacant(t.arena.nodes[t.root]))
        return say("tree ", i, " root ", t.root, " is not a live node");
    if (auto why = check_shape(t, i, live)) return why;
    if (auto why = check_nodes(t, s, i)) return why;
    const std::uint64_t root_mass = t.arena.nodes[t.root].mass;
    if (root_mass != t.tree_mass)
        return say("tree ", i, " tree_mass ", t.tree_mass, " differs from its root's mass ", root_mass);
    return check_against_sampler(t, sampler, i);
}

// The first inconsistency of a forest as read, as a plain description.
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

// Gives every slot its 2 * dims floats, each internal node's box in its own.
void lay_out_boxes(MorvikTree& t) {
    NodeArena& a = t.arena;
    const std::uint64_t width = 2 * t.dims;
    std::uint64_t floats = 0;
    if (__builtin_mul_overflow(a.nodes.size(), width, &floats) || floats > a.bounds.max_size()) throw std::bad_alloc();
    std::vector<float> bounds(floats, 0.0f);
    auto box = a.bounds.begin();
    for (std::uint64_t k = 0; k < a.nodes.size(); ++k) {
        if (!a.nodes[k].is_internal()) continue;
        std::copy_n(box, width, bounds.begin() + static_cast<std::ptrdiff_t>(k * width));
        box += static_cast<std::ptrdiff_t>(width);
    }
    a.bounds = std::move(bounds);
    a.dims = t.dims;
    a.nodes.shrink_to_fit();
}

// A forest that passed find_inconsistency made ready to run: boxes in their
// slots, blocks of exactly their elements as when they are built.
void settle(Forest& f) {
    for (MorvikTree& t : f.trees) lay_out_boxes(t);
    PointStore& s = f.point_store;
    s.occupied = LargeArray<bool>(std::span<const bool>(s.occupied));
    s.ref_count = LargeArray<std::uint64_t>(std::span<const std::uint64_t>(s.ref_count));
    // Trees reference occupied rows only; any other row is written before use.
    for (std::uint64_t r = 0; r < s.capacity && !s.zero_or_nan_written; ++r)
        s.zero_or_nan_written = s.occupied[r] && !box::settled(s.row(r).data(), s.dim);
    f.decisions.reserve(f.config.num_trees);
    f.descents.reserve(f.config.num_trees);
}

}  // namespace

std::string to_json(const Forest& forest) { return json::write(forest); }

Result<Forest> from_json(std::string_view text, std::uint64_t memory) {
    constexpr std::string_view prefix = "invalid forest JSON: ";
    auto parsed = read_document<Forest>(text, prefix, "Forest", memory);
    if (!parsed) return std::unexpected(parsed.error());
    if (auto why = find_inconsistency(*parsed))
        return std::unexpected(Error::invalid_argument(std::string(prefix) + *why));
    settle(*parsed);
    return std::move(*parsed);
}

}  // namespace morvik3::morvik
