// The Random Cut Forest: its validated configuration and its state record,
// the trees, their samplers, the shared point store and the forest generator.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "frame/error.hpp"
#include "frame/json.hpp"
#include "frame/memory_budget.hpp"
#include "morvik/live_rows.hpp"
#include "morvik/point_store.hpp"
#include "morvik/sampler.hpp"
#include "morvik/tree/mod.hpp"
#include "frame/rng.hpp"

namespace morvik3::morvik {

struct MorvikConfig {
    std::uint64_t input_dim = 0;
    std::uint64_t shingle_size = 1;
    std::uint64_t capacity = 256;
    std::uint64_t num_trees = 50;
    double time_decay = 0.0;  // 0.0: 0.1 / capacity
    std::uint64_t output_after = 0;  // 0: capacity / 4 + 1
    bool internal_shingling = true;
    double initial_accept_fraction = 0.125;

    static constexpr std::string_view json_name = "MorvikConfig";
    static constexpr auto json_fields() {
        return std::tuple{
            json::field("input_dim", &MorvikConfig::input_dim),
            json::field("shingle_size", &MorvikConfig::shingle_size),
            json::field("capacity", &MorvikConfig::capacity),
            json::field("num_trees", &MorvikConfig::num_trees),
            json::field("time_decay", &MorvikConfig::time_decay),
            json::field("output_after", &MorvikConfig::output_after),
            json::field("internal_shingling", &MorvikConfig::internal_shingling),
            json::field("initial_accept_fraction", &MorvikConfig::initial_accept_fraction),
        };
    }

    // The constructor's checks, in its order; the first failing check names
    // the error.
    [[nodiscard]] Result<void> validate() const;

    [[nodiscard]] std::uint64_t dim() const { return input_dim * shingle_size; }
    [[nodiscard]] double effective_decay() const;
    [[nodiscard]] std::uint64_t ready_threshold() const;
    // Length update() expects: one observation, or a whole point.
    [[nodiscard]] std::uint64_t update_length() const { return internal_shingling ? input_dim : dim(); }
    // Node slots a tree of `capacity` leaves can need, with slack.
    [[nodiscard]] std::uint64_t node_room() const { return 2 * capacity + 4; }
    // Point-store rows for every sampler to hold distinct points plus the one
    // being inserted.
    [[nodiscard]] std::uint64_t store_rows() const { return std::max(capacity * num_trees + 1, 2 * capacity); }

    friend bool operator==(const MorvikConfig&, const MorvikConfig&) = default;
};

// A sampler's accepted decision, pending until the update commits.
struct PendingDecision {
    bool evict = false;
    std::uint64_t evicted_row = 0;
    std::uint64_t tree = 0;
    double weight = 0.0;
    std::uint64_t inserted_row = NULL_INDEX;  // the row the tree kept, once inserted
};

struct Forest {
    MorvikConfig config;
    std::vector<MorvikTree> trees;
    std::vector<Sampler> samplers;  // sampler i feeds tree i
    PointStore point_store;
    std::uint64_t entries_seen = 0;
    Xoshiro256PlusPlus rng;  // sampler decisions only

    // Scratch of update, not part of the forest's value.
    std::vector<PendingDecision> decisions;
    std::vector<TreeDescent> descents;
    std::vector<RejectionBound> rejection_bounds;  // one per sampler once used
    LiveRows live_rows;                            // kept between parallel batches

    static constexpr std::string_view json_name = "Forest";
    static constexpr auto json_fields() {
        return std::tuple{json::field("config", &Forest::config),
                          json::field("trees", &Forest::trees),
                          json::field("samplers", &Forest::samplers),
                          json::field("point_store", &Forest::point_store),
                          json::field("entries_seen", &Forest::entries_seen),
                          json::field("rng", &Forest::rng)};
    }

    // A new empty forest; `resolved_seed` is the output of resolve_seed.  Its
    // storage is committed as the trees fill.
    [[nodiscard]] static Forest create(const MorvikConfig& config, std::uint64_t resolved_seed);
};

// What a forest of a valid configuration comes to need once every sampler is
// full: point rows, trees of `capacity` leaves, samplers, update scratch, and
// the working memory of one query.
[[nodiscard]] ByteCount memory_need(const MorvikConfig& config);
// What the forest holds now: the record, its trees' nodes and boxes, its
// samplers, the point-store rows written so far, the shingle and the update
// scratch.
[[nodiscard]] std::uint64_t memory_bytes(const Forest& forest);

[[nodiscard]] inline bool is_ready(const Forest& f) { return f.entries_seen > f.config.ready_threshold(); }
[[nodiscard]] inline std::uint64_t entries_seen(const Forest& f) { return f.entries_seen; }
[[nodiscard]] inline std::uint64_t num_trees(const Forest& f) { return f.config.num_trees; }

// "Forest(input_dim=3, shingle_size=1, num_trees=50, capacity=256, entries_seen=0)"
[[nodiscard]] std::string repr(const Forest& f);

}  // namespace morvik3::morvik
