// Axis-parallel boxes over 32-bit points.  Bounds ignore NaN (a box built from
// points never gains a NaN bound from a later point); widths are taken in 32
// bits and summed in 64 bits, in dimension order, everywhere a range is needed.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace morvik3::morvik {

// Minimum / maximum where a single NaN operand loses; ties keep `a`.
[[nodiscard]] inline float nan_min(float a, float b) { return (b < a || a != a) ? b : a; }
[[nodiscard]] inline float nan_max(float a, float b) { return (b > a || a != a) ? b : a; }

// Sum over dimensions of (max - min), each difference in 32 bits.
[[nodiscard]] double range_sum_of(std::span<const float> min, std::span<const float> max);

// How far `x` lies outside the box, summed over dimensions in 32 bits.
[[nodiscard]] float outside_gap(std::span<const float> min, std::span<const float> max, std::span<const float> x);

// Probability that a random cut over the box merged with `x` separates `x`.
[[nodiscard]] double separation_probability(std::span<const float> min, std::span<const float> max,
                                            double range_sum, std::span<const float> x);

// Widens [min, max] in place to cover [other_min, other_max].
void merge_bounds(std::span<float> min, std::span<float> max, std::span<const float> other_min,
                  std::span<const float> other_max);

struct BoundingBox {
    std::vector<float> min;
    std::vector<float> max;
    double range_sum = 0.0;

    [[nodiscard]] static BoundingBox from_point(std::span<const float> p);
    // from_point in place, reusing the vectors.
    void assign_point(std::span<const float> p);
    void merge_point(std::span<const float> x);
    void merge_box(std::span<const float> other_min, std::span<const float> other_max);
    [[nodiscard]] double separation_probability(std::span<const float> x) const;

    friend bool operator==(const BoundingBox&, const BoundingBox&) = default;
};

}  // namespace morvik3::morvik
