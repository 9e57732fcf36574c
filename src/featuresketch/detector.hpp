// The FeatureSketch detector: feature events are projected to a value and a
// presence vector, each scored and counted by its own ensemble of decayed
// chains.  The whole state is one plain value; all randomness is consumed at
// construction.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>

#include "frame/error.hpp"
#include "featuresketch/chain.hpp"
#include "featuresketch/projection.hpp"
#include "featuresketch/sketch.hpp"
#include "frame/json.hpp"
#include "frame/key_value.hpp"
#include "frame/memory_budget.hpp"

namespace morvik3::featuresketch {

struct FeatureSketchConfig {
    std::uint64_t value_projection_dims = 32;
    std::uint64_t presence_projection_dims = 32;
    std::uint64_t chains_per_ensemble = 16;
    std::uint64_t chain_depth = 8;
    std::uint64_t sketch_rows = 2;
    std::uint64_t sketch_buckets = 2048;
    std::uint64_t decay_half_life = 2048;

    static constexpr std::string_view json_name = "FeatureSketchConfig";
    static constexpr auto json_fields() {
        using C = FeatureSketchConfig;
        return std::tuple{json::field("value_projection_dims", &C::value_projection_dims),
                          json::field("presence_projection_dims", &C::presence_projection_dims),
                          json::field("chains_per_ensemble", &C::chains_per_ensemble),
                          json::field("chain_depth", &C::chain_depth),
                          json::field("sketch_rows", &C::sketch_rows),
                          json::field("sketch_buckets", &C::sketch_buckets),
                          json::field("decay_half_life", &C::decay_half_life)};
    }

    // The constructor's checks, in its order.
    [[nodiscard]] Result<void> validate() const;

    friend bool operator==(const FeatureSketchConfig&, const FeatureSketchConfig&) = default;
};

// What a detector of a valid configuration needs: both ensembles' cells,
// seeds and levels, and one event's working vectors.
[[nodiscard]] ByteCount memory_need(const FeatureSketchConfig& config);

struct FeatureSketch {
    std::uint32_t format_version = 1;
    FeatureSketchConfig config;
    ProjectionSeeds projection_seeds;
    ChainLayout value_layout;
    ChainLayout presence_layout;
    EnsembleSketch value_sketch;
    EnsembleSketch presence_sketch;
    std::uint64_t current_epoch = 0;  // epoch of the latest ingested event
    std::uint64_t entries_seen = 0;

    static constexpr std::string_view json_name = "FeatureSketch";
    static constexpr auto json_fields() {
        using F = FeatureSketch;
        return std::tuple{json::field("format_version", &F::format_version), json::field("config", &F::config),
                          json::field("projection_seeds", &F::projection_seeds),
                          json::field("value_layout", &F::value_layout),
                          json::field("presence_layout", &F::presence_layout),
                          json::field("value_sketch", &F::value_sketch),
                          json::field("presence_sketch", &F::presence_sketch),
                          json::field("current_epoch", &F::current_epoch),
                          json::field("entries_seen", &F::entries_seen)};
    }

    // Validates, then draws everything from one generator seeded with
    // `resolved_seed`: projection seeds, value layout, presence layout, value
    // ensemble, presence ensemble.
    [[nodiscard]] static Result<FeatureSketch> create(const FeatureSketchConfig& config, std::uint64_t resolved_seed);

    friend bool operator==(const FeatureSketch&, const FeatureSketch&) = default;
};

// The pre-ingest score at the current epoch; changes nothing and may run on
// several threads at once.
[[nodiscard]] Result<double> score(const FeatureSketch& sketch, const KeyValueLike& event);
// Counts the event at the next epoch; a failed call changes nothing.
[[nodiscard]] Result<void> update(FeatureSketch& sketch, const KeyValueLike& event);
// score() then update(), normalising and projecting the event once.
[[nodiscard]] Result<double> update_and_score(FeatureSketch& sketch, const KeyValueLike& event);

[[nodiscard]] inline bool is_ready(const FeatureSketch& sketch) { return sketch.entries_seen > 0; }
[[nodiscard]] inline std::uint64_t entries_seen(const FeatureSketch& sketch) { return sketch.entries_seen; }

[[nodiscard]] std::string to_json(const FeatureSketch& sketch);
// Parses, checks the format version and the configuration, then checks that
// the layouts and sketches have the shapes the configuration implies.
// A configuration needing more than `memory` bytes (the machine's physical
// memory; 0 checks nothing) is refused with out_of_memory before the rest of
// the document is read (frame/document.hpp).
[[nodiscard]] Result<FeatureSketch> from_json(std::string_view text, std::uint64_t memory = physical_memory());

[[nodiscard]] std::string repr(const FeatureSketch& sketch);

// What the detector holds now: the record, both chain layouts, and each
// level's seeds and the pages of its cells written so far.
[[nodiscard]] std::uint64_t memory_bytes(const FeatureSketch& sketch);

}  // namespace morvik3::featuresketch
