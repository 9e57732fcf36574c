// Half-space chains: each level of a chain reads one coordinate of a
// projected vector and cuts it into equal-width bins with a random offset;
// deeper levels of a chain cut finer.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <string_view>
#include <tuple>
#include <vector>

#include "frame/error.hpp"
#include "frame/json.hpp"
#include "frame/rng.hpp"

namespace morvik3::featuresketch {

struct ChainLevel {
    std::uint64_t dimension = 0;   // the coordinate this level reads
    double width = 0.0;            // bin width
    double offset = 0.0;           // in [0, width)
    double bin_volume_ratio = 0.0; // width / base width = 2^-level

    static constexpr std::string_view json_name = "ChainLevel";
    static constexpr auto json_fields() {
        return std::tuple{json::field("dimension", &ChainLevel::dimension), json::field("width", &ChainLevel::width),
                          json::field("offset", &ChainLevel::offset),
                          json::field("bin_volume_ratio", &ChainLevel::bin_volume_ratio)};
    }

    friend bool operator==(const ChainLevel&, const ChainLevel&) = default;
};

// Chain-major: chain c holds levels [c * chain_depth, (c + 1) * chain_depth).
struct ChainLayout {
    std::vector<ChainLevel> levels;
    std::uint64_t chain_depth = 0;

    static constexpr std::string_view json_name = "ChainLayout";
    static constexpr auto json_fields() {
        return std::tuple{json::field("levels", &ChainLayout::levels),
                          json::field("chain_depth", &ChainLayout::chain_depth)};
    }

    friend bool operator==(const ChainLayout&, const ChainLayout&) = default;
};

// Draws chains x depth levels over `dims` coordinates, plus the feature-count
// coordinate `dims` (with its own, narrower base width) when
// `with_count_signal` is set.
[[nodiscard]] ChainLayout build_layout(std::uint64_t chains, std::uint64_t depth, std::uint64_t dims,
                                       bool with_count_signal, Xoshiro256PlusPlus& rng);

// floor((x + offset) / width) saturated to the signed 64-bit range; NaN
// gives 0.  Inline, like bin_of: every level of every event asks.
[[nodiscard]] inline std::int64_t bin_index(double x, const ChainLevel& level) {
    const double f = std::floor((x + level.offset) / level.width);
    if (std::isnan(f)) return 0;
    if (f >= 0x1p63) return std::numeric_limits<std::int64_t>::max();
    if (f < -0x1p63) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(f);
}

// The bin of the level's coordinate of `x`; the coordinate must exist.
[[nodiscard]] inline std::int64_t bin_of(const ChainLevel& level, std::span<const double> x) {
    check_index(level.dimension, x.size(), "chain level reads a coordinate beyond the projected vector");
    return bin_index(x[level.dimension], level);
}

}  // namespace morvik3::featuresketch
