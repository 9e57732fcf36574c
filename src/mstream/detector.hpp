// The MStream detector: records of numeric and categorical features with a
// logical timestamp, counted in decayed sketch pairs and scored by how far
// their current counts lie from their long-run rates.  The whole state is one
// plain value; all randomness is consumed at construction.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "frame/error.hpp"
#include "frame/json.hpp"
#include "frame/memory_budget.hpp"
#include "mstream/normalization.hpp"
#include "mstream/sketch.hpp"

namespace morvik3::mstream {

struct MStreamConfig {
    std::uint64_t numeric_dim = 0;
    std::uint64_t categorical_dim = 0;
    std::uint64_t num_rows = 2;
    std::uint64_t num_buckets = 1024;
    double alpha = 0.8;

    static constexpr std::string_view json_name = "MStreamConfig";
    static constexpr auto json_fields() {
        using C = MStreamConfig;
        return std::tuple{json::field("numeric_dim", &C::numeric_dim),
                          json::field("categorical_dim", &C::categorical_dim), json::field("num_rows", &C::num_rows),
                          json::field("num_buckets", &C::num_buckets), json::field("alpha", &C::alpha)};
    }

    // The constructor's checks, in its order.
    [[nodiscard]] Result<void> validate() const;

    friend bool operator==(const MStreamConfig&, const MStreamConfig&) = default;
};

// What a detector of a valid configuration needs: every sketch pair and one
// record's working vectors.
[[nodiscard]] ByteCount memory_need(const MStreamConfig& config);

struct MStream {
    MStreamConfig config;
    StreamClock clock;
    std::uint64_t entries_seen = 0;
    SketchCounts<RecordSketch> record_counts;
    std::vector<SketchCounts<NumericSketch>> numeric_counts;
    std::vector<SketchCounts<CategoricalSketch>> categorical_counts;
    NumericRangeNormalizer numeric_normalizer;

    static constexpr std::string_view json_name = "MStream";
    static constexpr auto json_fields() {
        using M = MStream;
        return std::tuple{json::field("config", &M::config),
                          json::field("clock", &M::clock),
                          json::field("entries_seen", &M::entries_seen),
                          json::field("record_counts", &M::record_counts),
                          json::field("numeric_counts", &M::numeric_counts),
                          json::field("categorical_counts", &M::categorical_counts),
                          json::field("numeric_normalizer", &M::numeric_normalizer)};
    }

    // Validates, then draws from one generator seeded with `resolved_seed`:
    // the record sketch's hyperplanes and coefficients, then each categorical
    // sketch's keys in feature order.
    [[nodiscard]] static Result<MStream> create(const MStreamConfig& config, std::uint64_t resolved_seed);

    friend bool operator==(const MStream&, const MStream&) = default;
};

// A record's score and the statistics it sums.
struct DetailedScore {
    double total = 0.0;
    double record = 0.0;
    std::vector<double> numeric_features;
    std::vector<double> categorical_features;
};

// The record methods.  The previews change nothing and may run on several
// threads at once; they return what ingesting the record next would return.
// An ingest fails without changing anything, except for non-finite numeric
// values, which are refused after the clock has advanced to the record.
[[nodiscard]] Result<double> score(const MStream& m, std::span<const double> numeric,
                                   std::span<const std::int64_t> categorical, std::uint64_t timestamp);
[[nodiscard]] Result<DetailedScore> score_detailed(const MStream& m, std::span<const double> numeric,
                                                   std::span<const std::int64_t> categorical,
                                                   std::uint64_t timestamp);
[[nodiscard]] Result<void> update(MStream& m, std::span<const double> numeric,
                                  std::span<const std::int64_t> categorical, std::uint64_t timestamp);
[[nodiscard]] Result<double> update_and_score(MStream& m, std::span<const double> numeric,
                                              std::span<const std::int64_t> categorical, std::uint64_t timestamp);
[[nodiscard]] Result<DetailedScore> update_and_score_detailed(MStream& m, std::span<const double> numeric,
                                                              std::span<const std::int64_t> categorical,
                                                              std::uint64_t timestamp);

[[nodiscard]] inline bool is_ready(const MStream& m) { return m.entries_seen > 0; }
[[nodiscard]] inline std::uint64_t entries_seen(const MStream& m) { return m.entries_seen; }
[[nodiscard]] inline std::optional<std::uint64_t> current_time(const MStream& m) { return m.clock.current_time; }

[[nodiscard]] std::string to_json(const MStream& m);
// Parses, validates the configuration, then checks that every sketch and
// list has the shape the configuration implies.
// A configuration needing more than `memory` bytes (the machine's physical
// memory; 0 checks nothing) is refused with out_of_memory before the rest of
// the document is read (frame/document.hpp).
[[nodiscard]] Result<MStream> from_json(std::string_view text, std::uint64_t memory = physical_memory());

[[nodiscard]] std::string repr(const MStream& m);

// What the detector holds now: the record, the parameters of every sketch
// pair, the pages of their counts written so far and the normaliser's ranges.
[[nodiscard]] std::uint64_t memory_bytes(const MStream& m);

}  // namespace morvik3::mstream
