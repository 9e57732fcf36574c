#include "mstream/normalization.hpp"

#include <algorithm>
#include <limits>
#include <string>

namespace morvik3::mstream {

namespace {

constexpr double machine_epsilon = std::numeric_limits<double>::epsilon();

}  // namespace

Result<ClockStep> step(const StreamClock& clock, std::uint64_t timestamp) {
    if (timestamp == 0) return std::unexpected(Error::invalid_argument("timestamp must be > 0"));
    if (!clock.current_time) return ClockStep{0, 1};
    const std::uint64_t previous = *clock.current_time;
    if (timestamp < previous) {
        return std::unexpected(Error::invalid_argument("timestamps must be non-decreasing: previous=" +
                                                       std::to_string(previous) +
                                                       ", got=" + std::to_string(timestamp)));
    }
    const std::uint64_t gap = timestamp - previous;
    std::uint64_t tick = 0;
    // The tick never exceeds the timestamp on a clock this module kept.
    if (__builtin_add_overflow(clock.current_tick, gap, &tick)) internal_failure("stream clock tick overflow");
    return ClockStep{gap, tick};
}

void commit(StreamClock& clock, std::uint64_t timestamp, std::uint64_t tick) {
    clock.current_time = timestamp;
    clock.current_tick = tick;
}

NumericRangeNormalizer NumericRangeNormalizer::create(std::uint64_t numeric_dim) {
    NumericRangeNormalizer n;
    n.min_numeric.assign(numeric_dim, std::numeric_limits<double>::infinity());
    n.max_numeric.assign(numeric_dim, -std::numeric_limits<double>::infinity());
    return n;
}

void normalize_preview(const NumericRangeNormalizer& n, std::span<const double> transformed, bool first,
                       std::span<double> z) {
    for (std::size_t i = 0; i < transformed.size(); ++i) {
        if (first) {
            z[i] = 0.0;
            continue;
        }
        const double y = transformed[i];
        const double lo = std::min(n.min_numeric[i].value, y);
        const double hi = std::max(n.max_numeric[i].value, y);
        z[i] = hi - lo <= machine_epsilon ? 0.0 : (y - lo) / (hi - lo);
    }
}

void widen_ranges(NumericRangeNormalizer& n, std::span<const double> transformed, bool first) {
    for (std::size_t i = 0; i < transformed.size(); ++i) {
        const double y = transformed[i];
        if (first) {
            n.min_numeric[i] = y;
            n.max_numeric[i] = y;
        } else {
            n.min_numeric[i] = std::min(n.min_numeric[i].value, y);
            n.max_numeric[i] = std::max(n.max_numeric[i].value, y);
        }
    }
}

}  // namespace morvik3::mstream
