// The logical clock of an MStream and the running min-max normaliser of its
// numeric features.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <tuple>
#include <vector>

#include "frame/error.hpp"
#include "frame/json.hpp"

namespace morvik3::mstream {

// Timestamps are logical ticks: only their differences matter.
struct StreamClock {
    std::optional<std::uint64_t> current_time;  // last accepted timestamp
    std::uint64_t current_tick = 0;             // 1 + (current_time - first timestamp); 0 before any

    static constexpr std::string_view json_name = "StreamClock";
    static constexpr auto json_fields() {
        return std::tuple{json::field("current_time", &StreamClock::current_time),
                          json::field("current_tick", &StreamClock::current_tick)};
    }

    friend bool operator==(const StreamClock&, const StreamClock&) = default;
};

struct ClockStep {
    std::uint64_t gap = 0;   // ticks since the last accepted record
    std::uint64_t tick = 0;  // the record's tick
};

// Where a record with `timestamp` falls; changes nothing.
[[nodiscard]] Result<ClockStep> step(const StreamClock& clock, std::uint64_t timestamp);
void commit(StreamClock& clock, std::uint64_t timestamp, std::uint64_t tick);

// Ranges of the asinh-compressed numeric values seen so far.  A new
// normaliser holds +inf / -inf, which the first record overwrites.
struct NumericRangeNormalizer {
    std::vector<json::NullAsPosInf<double>> min_numeric;
    std::vector<json::NullAsNegInf<double>> max_numeric;

    static constexpr std::string_view json_name = "NumericRangeNormalizer";
    static constexpr auto json_fields() {
        return std::tuple{json::field("min_numeric", &NumericRangeNormalizer::min_numeric),
                          json::field("max_numeric", &NumericRangeNormalizer::max_numeric)};
    }

    [[nodiscard]] static NumericRangeNormalizer create(std::uint64_t numeric_dim);

    friend bool operator==(const NumericRangeNormalizer&, const NumericRangeNormalizer&) = default;
};

// Every normalised value lies in [0, 1] and counts the current value as seen.
// `transformed` holds asinh of each raw value; `first` is true while the
// detector has counted no record.
void normalize_preview(const NumericRangeNormalizer& n, std::span<const double> transformed, bool first,
                       std::span<double> z);
// Widens the ranges by the transformed values, as normalising them did.
void widen_ranges(NumericRangeNormalizer& n, std::span<const double> transformed, bool first);

}  // namespace morvik3::mstream
