// Axis-parallel boxes over 32-bit points.  Bounds ignore NaN (a box built from
// points never gains a NaN bound from a later point); widths are taken in 32
// bits and summed in 64 bits, in dimension order, everywhere a range is needed.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace morvik3::morvik {

// Minimum / maximum where a single NaN operand loses; ties keep `a`.
[[nodiscard]] inline float nan_min(float a, float b) { return (b < a || a != a) ? b : a; }
[[nodiscard]] inline float nan_max(float a, float b) { return (b > a || a != a) ? b : a; }

// Sum over dimensions of (max - min), each difference in 32 bits.
[[nodiscard]] double range_sum_of(std::span<const float> min, std::span<const float> max);

// Kernels over raw bounds of `n` dimensions for the hot paths of insertion
// and deletion.  Selects are done four lanes at a time: as branches they would
// be coin flips.
namespace box {

using f32x4 = float __attribute__((vector_size(16)));
using i32x4 = std::int32_t __attribute__((vector_size(16)));

// Four floats from or to unaligned memory, and whether any lane of a mask is set.
[[nodiscard]] inline f32x4 load(const float* p) {
    f32x4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void store(float* p, f32x4 v) { std::memcpy(p, &v, sizeof v); }
[[nodiscard]] inline bool any(i32x4 m) {
    const auto halves = std::bit_cast<std::array<std::uint64_t, 2>>(m);
    return (halves[0] | halves[1]) != 0;
}

// Lane-wise nan_min(a, b) and nan_max(a, b).
[[nodiscard]] inline f32x4 min4(f32x4 a, f32x4 b) { return ((b < a) | (a != a)) ? b : a; }
[[nodiscard]] inline f32x4 max4(f32x4 a, f32x4 b) { return ((b > a) | (a != a)) ? b : a; }

// range_sum_of on raw bounds.
[[nodiscard]] inline double range_sum(const float* min, const float* max, std::size_t n) {
    double sum = 0.0;
    for (std::size_t d = 0; d < n; ++d) sum += static_cast<double>(max[d] - min[d]);
    return sum;
}

// [min, max] = merge of [a_min, a_max] with [b_min, b_max], a first.
inline void merge(float* min, float* max, const float* a_min, const float* a_max, const float* b_min,
                  const float* b_max, std::size_t n) {
    std::size_t d = 0;
    for (; d + 4 <= n; d += 4) {
        store(min + d, min4(load(a_min + d), load(b_min + d)));
        store(max + d, max4(load(a_max + d), load(b_max + d)));
    }
    for (; d < n; ++d) {
        min[d] = nan_min(a_min[d], b_min[d]);
        max[d] = nan_max(a_max[d], b_max[d]);
    }
}

// Widens [min, max] to cover x as merge_bounds does; false when it already did.
inline bool widen(float* min, float* max, const float* x, std::size_t n) {
    i32x4 changed{};
    std::size_t d = 0;
    for (; d + 4 <= n; d += 4) {
        const f32x4 p = load(x + d);
        const f32x4 lo = load(min + d);
        const f32x4 hi = load(max + d);
        const f32x4 new_lo = min4(lo, p);
        const f32x4 new_hi = max4(hi, p);
        changed |= (std::bit_cast<i32x4>(new_lo) != std::bit_cast<i32x4>(lo)) |
                   (std::bit_cast<i32x4>(new_hi) != std::bit_cast<i32x4>(hi));
        store(min + d, new_lo);
        store(max + d, new_hi);
    }
    bool grown = any(changed);
    for (; d < n; ++d) {
        const float lo = nan_min(min[d], x[d]);
        const float hi = nan_max(max[d], x[d]);
        grown |= std::bit_cast<std::uint32_t>(lo) != std::bit_cast<std::uint32_t>(min[d]);
        grown |= std::bit_cast<std::uint32_t>(hi) != std::bit_cast<std::uint32_t>(max[d]);
        min[d] = lo;
        max[d] = hi;
    }
    return grown;
}

// None of the n floats is a zero or a NaN: every value fixes its bits.
// With the sign dropped, zeros become 0 and NaNs exceed the infinity.
[[nodiscard]] inline bool settled(const float* v, std::size_t n) {
    i32x4 unsettled{};
    std::size_t k = 0;
    for (; k + 4 <= n; k += 4) {
        const i32x4 a = std::bit_cast<i32x4>(load(v + k)) & 0x7fffffff;
        unsettled |= (a == 0) | (a > 0x7f800000);
    }
    bool bad = any(unsettled);
    for (; k < n; ++k) {
        const std::uint32_t a = std::bit_cast<std::uint32_t>(v[k]) & 0x7fffffffu;
        bad |= (a == 0) | (a > 0x7f800000u);
    }
    return !bad;
}

// x lies strictly between min and max in every dimension.
[[nodiscard]] inline bool strictly_inside(const float* min, const float* max, const float* x, std::size_t n) {
    i32x4 outside{};
    std::size_t d = 0;
    for (; d + 4 <= n; d += 4) {
        const f32x4 p = load(x + d);
        outside |= ~((load(min + d) < p) & (p < load(max + d)));
    }
    bool out = any(outside);
    for (; d < n; ++d) out |= !(min[d] < x[d]) | !(x[d] < max[d]);
    return !out;
}

// max(0, t), as a mask rather than a branch; a NaN t gives 0.
[[nodiscard]] inline float positive_part(float t) {
    return std::bit_cast<float>(std::bit_cast<std::uint32_t>(t) & (0u - static_cast<std::uint32_t>(t > 0.0f)));
}

// How far q lies outside the box [lo, hi], summed in dimension order in 32
// bits.  Outside a dimension's bounds exactly one of the two differences is
// positive, so the clamped sum is that difference with no rounding; a NaN
// difference clamps to 0.  D > 0 fixes the length at compile time, so the
// last partial group of four is assembled from known lanes; D = 0 reads the
// length from `dims` and takes the rest one by one.
template <std::size_t D>
[[nodiscard]] inline float gap(const float* lo, const float* hi, const float* q, std::size_t dims) {
    const std::size_t n = D == 0 ? dims : D;
    const f32x4 zero{};
    float sum = 0.0f;
    auto add = [&](f32x4 x, f32x4 l, f32x4 h, std::size_t m) {
        const f32x4 below = l - x;
        const f32x4 above = x - h;
        const f32x4 outside = (below > zero ? below : zero) + (above > zero ? above : zero);
        for (std::size_t k = 0; k < m; ++k) sum += outside[k];
    };
    std::size_t d = 0;
    for (; d + 4 <= n; d += 4) add(load(q + d), load(lo + d), load(hi + d), 4);
    if constexpr (D % 4 != 0) {
        constexpr std::size_t m = D % 4;
        f32x4 x{}, l{}, h{};
        for (std::size_t k = 0; k < m; ++k) {
            x[k] = q[d + k];
            l[k] = lo[d + k];
            h[k] = hi[d + k];
        }
        add(x, l, h, m);
    } else if constexpr (D == 0) {
        for (; d < n; ++d) sum += positive_part(lo[d] - q[d]) + positive_part(q[d] - hi[d]);
    }
    return sum;
}

}  // namespace box

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
