// The forest's JSON state document.  The in-memory layout (flat node records,
// a box block per tree, a flat row block) converts to and from the document's
// tagged-union form only here; loading checks that the document agrees with
// itself before anything relies on it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <variant>
#include <vector>

#include "frame/error.hpp"
#include "frame/json.hpp"
#include "morvik/forest/mod.hpp"
#include "frame/rng.hpp"

namespace morvik3::morvik {

[[nodiscard]] std::string to_json(const Forest& forest);

// invalid_argument "invalid forest JSON: " + the reader's message or the
// first inconsistency found.
// A configuration needing more than `memory` bytes (the machine's physical
// memory; 0 checks nothing) is refused with out_of_memory before the rest of
// the document is read (frame/document.hpp).
[[nodiscard]] Result<Forest> from_json(std::string_view text, std::uint64_t memory = physical_memory());

// The document's records for the trees, whose nodes it writes as tagged
// entries holding their boxes; samplers and the point store are written as
// they are held.
namespace doc {

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

using Node = std::variant<Leaf, Internal>;

struct NodeArena {
    std::vector<std::optional<Node>> nodes;
    std::vector<std::uint64_t> free;

    static constexpr std::string_view json_name = "NodeArena";
    static constexpr auto json_fields() {
        return std::tuple{json::field("nodes", &NodeArena::nodes), json::field("free", &NodeArena::free)};
    }
};

struct MorvikTree {
    std::uint64_t root = NULL_INDEX;
    std::uint64_t tree_mass = 0;
    NodeArena arena;
    Xoshiro256PlusPlus rng;
    std::uint64_t dims = 0;

    static constexpr std::string_view json_name = "MorvikTree";
    static constexpr auto json_fields() {
        return std::tuple{json::field("root", &MorvikTree::root), json::field("tree_mass", &MorvikTree::tree_mass),
                          json::field("arena", &MorvikTree::arena), json::field("rng", &MorvikTree::rng),
                          json::field("dims", &MorvikTree::dims)};
    }
};

struct Forest {
    MorvikConfig config;
    std::vector<MorvikTree> trees;
    std::vector<morvik::Sampler> samplers;
    morvik::PointStore point_store;
    std::uint64_t entries_seen = 0;
    Xoshiro256PlusPlus rng;

    static constexpr std::string_view json_name = "Forest";
    static constexpr auto json_fields() {
        return std::tuple{json::field("config", &Forest::config),
                          json::field("trees", &Forest::trees),
                          json::field("samplers", &Forest::samplers),
                          json::field("point_store", &Forest::point_store),
                          json::field("entries_seen", &Forest::entries_seen),
                          json::field("rng", &Forest::rng)};
    }
};

[[nodiscard]] Forest from_state(const morvik::Forest& forest);
// The first inconsistency of a parsed document, as a plain description.
[[nodiscard]] std::optional<std::string> find_inconsistency(const Forest& document);
// Builds the state of a document that passed find_inconsistency.
[[nodiscard]] morvik::Forest to_state(Forest&& document);

}  // namespace doc

}  // namespace morvik3::morvik
