#include "morvik/cut.hpp"

#include <bit>
#include <cmath>
#include <limits>

#include "frame/error.hpp"
#include "morvik/bounding_box.hpp"

namespace morvik3::morvik {

float next_down(float v) {
    if (std::isnan(v) || v == -std::numeric_limits<float>::infinity()) return v;
    if (v == 0.0f) return -std::numeric_limits<float>::denorm_min();
    const auto bits = std::bit_cast<std::uint32_t>(v);
    return std::bit_cast<float>(v > 0.0f ? bits - 1 : bits + 1);
}

std::optional<Cut> draw_cut(double u, std::span<const float> min, std::span<const float> max,
                            std::span<const float> x) {
    if (min.size() != x.size() || max.size() != x.size()) internal_failure("box and point differ in length");
    auto lo = [&](std::size_t d) { return nan_min(min[d], x[d]); };
    auto hi = [&](std::size_t d) { return nan_max(max[d], x[d]); };

    double total = 0.0;
    for (std::size_t d = 0; d < x.size(); ++d) total += static_cast<double>(hi(d) - lo(d));
    if (x.empty() || total == 0.0) return std::nullopt;

    double r = u * total;
    std::uint64_t chosen = 0;
    double offset = 0.0;
    bool found = false;
    // Rounding can leave r at or past the last width; the last dimension
    // with positive width then takes the cut at its far end.
    std::uint64_t last_positive = 0;
    double last_width = 0.0;
    for (std::size_t d = 0; d < x.size(); ++d) {
        const double w = static_cast<double>(hi(d) - lo(d));
        if (r < w) {
            chosen = d;
            offset = r;
            found = true;
            break;
        }
        if (w > 0.0) {
            last_positive = d;
            last_width = w;
        }
        r -= w;
    }
    if (!found) {
        chosen = last_positive;
        offset = last_width;
    }

    const float lo_c = lo(chosen);
    const float upper = nan_max(next_down(hi(chosen)), lo_c);
    float t = lo_c + static_cast<float>(offset);
    if (t < lo_c) t = lo_c;
    if (t > upper) t = upper;
    return Cut{chosen, t};
}

bool separates(const Cut& cut, std::span<const float> min, std::span<const float> max, std::span<const float> x) {
    check_index(cut.dim, x.size(), "cut dimension outside the point");
    check_index(cut.dim, min.size(), "cut dimension outside the box");
    check_index(cut.dim, max.size(), "cut dimension outside the box");
    const std::size_t c = cut.dim;
    return (x[c] <= cut.value && cut.value < min[c]) || (max[c] <= cut.value && cut.value < x[c]);
}

}  // namespace morvik3::morvik
