// The count sketches of an MStream: a whole-record count-min sketch over
// hyperplane signs and a categorical hash, one histogram per numeric feature
// and one count-min sketch per categorical feature.  Each exists as a pair of
// decayed and undecayed counts; a record scores by how far its decayed count
// lies from the count its long-run rate predicts.
#pragma once

#include <bit>
#include <cstdint>
#include <span>
#include <string_view>
#include <tuple>
#include <utility>

#include "frame/json.hpp"
#include "frame/rng.hpp"

namespace morvik3::mstream {

struct NumericSketch {
    std::uint64_t num_buckets = 0;
    json::NdArray<double, 1, LargeArray<double>> count;  // [B] histogram over [0, 1]

    static constexpr std::string_view json_name = "NumericSketch";
    static constexpr auto json_fields() {
        return std::tuple{json::field("num_buckets", &NumericSketch::num_buckets),
                          json::field("count", &NumericSketch::count)};
    }

    friend bool operator==(const NumericSketch&, const NumericSketch&) = default;
};

struct CategoricalSketch {
    std::uint64_t num_rows = 0;
    std::uint64_t num_buckets = 0;
    json::NdArray<std::uint64_t, 1> hash_a;  // [R] multiplier keys
    json::NdArray<std::uint64_t, 1> hash_b;  // [R] value keys
    json::NdArray<double, 2, LargeArray<double>> count;  // [R, B]

    static constexpr std::string_view json_name = "CategoricalSketch";
    static constexpr auto json_fields() {
        using S = CategoricalSketch;
        return std::tuple{json::field("num_rows", &S::num_rows), json::field("num_buckets", &S::num_buckets),
                          json::field("hash_a", &S::hash_a), json::field("hash_b", &S::hash_b),
                          json::field("count", &S::count)};
    }

    friend bool operator==(const CategoricalSketch&, const CategoricalSketch&) = default;
};

struct RecordSketch {
    std::uint64_t num_rows = 0;
    std::uint64_t num_buckets = 0;
    std::uint64_t numeric_dim = 0;
    std::uint64_t categorical_dim = 0;
    json::NdArray<double, 3> numeric_planes;               // [R, P, numeric_dim]
    json::NdArray<std::uint64_t, 2> categorical_coeffs;    // [R, categorical_dim]
    json::NdArray<double, 2, LargeArray<double>> count;   // [R, B]

    static constexpr std::string_view json_name = "RecordSketch";
    static constexpr auto json_fields() {
        using S = RecordSketch;
        return std::tuple{json::field("num_rows", &S::num_rows), json::field("num_buckets", &S::num_buckets),
                          json::field("numeric_dim", &S::numeric_dim),
                          json::field("categorical_dim", &S::categorical_dim),
                          json::field("numeric_planes", &S::numeric_planes),
                          json::field("categorical_coeffs", &S::categorical_coeffs),
                          json::field("count", &S::count)};
    }

    friend bool operator==(const RecordSketch&, const RecordSketch&) = default;
};

// `current` decays with time, `total` never does; both share every parameter.
template <class S>
struct SketchCounts {
    S current;
    S total;

    static constexpr std::string_view json_name = "SketchCounts";
    static constexpr auto json_fields() {
        return std::tuple{json::field("current", &SketchCounts::current), json::field("total", &SketchCounts::total)};
    }

    friend bool operator==(const SketchCounts&, const SketchCounts&) = default;
};

// Hyperplanes per row of a record sketch: enough sign bits to address every bucket.
[[nodiscard]] constexpr std::uint64_t hyperplanes_per_row(std::uint64_t num_buckets) {
    return static_cast<std::uint64_t>(std::bit_width(num_buckets - 1));
}

// Draw the parameters in their fixed order; counts start at zero.
[[nodiscard]] RecordSketch build_record_sketch(std::uint64_t num_rows, std::uint64_t num_buckets,
                                               std::uint64_t numeric_dim, std::uint64_t categorical_dim,
                                               Xoshiro256PlusPlus& rng);
[[nodiscard]] CategoricalSketch build_categorical_sketch(std::uint64_t num_rows, std::uint64_t num_buckets,
                                                         Xoshiro256PlusPlus& rng);
[[nodiscard]] NumericSketch build_numeric_sketch(std::uint64_t num_buckets);

// The pair of a freshly built sketch: `total` starts as its copy.
template <class S>
[[nodiscard]] SketchCounts<S> pair_of(S current) {
    S total = current;
    return SketchCounts<S>{std::move(current), std::move(total)};
}

// Hashing primitives on 64-bit words.
[[nodiscard]] std::uint64_t fold(std::uint64_t x, std::uint64_t y);
[[nodiscard]] std::uint64_t mix(std::uint64_t v, std::uint64_t k, std::uint64_t c);

// Buckets.  `z` holds normalised numeric values in [0, 1].
[[nodiscard]] std::uint64_t numeric_bucket(std::uint64_t num_buckets, double z);
[[nodiscard]] std::uint64_t categorical_bucket(const CategoricalSketch& sketch, std::uint64_t row, std::int64_t value);
[[nodiscard]] std::uint64_t record_bucket(const RecordSketch& sketch, std::uint64_t row, std::span<const double> z,
                                          std::span<const std::int64_t> categorical);

// Multiplies every count by `factor`.
void decay(std::span<double> counts, double factor);

// Chi-squared statistic of current count `a` against total count `s` at
// logical time `t` (>= 1); 0 where nothing is expected.
[[nodiscard]] double count_score(double a, double s, double t);

}  // namespace morvik3::mstream
