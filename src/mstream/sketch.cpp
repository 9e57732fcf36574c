#include "mstream/sketch.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace morvik3::mstream {

namespace {

// (a + b) mod m for a < m, without overflow.
std::uint64_t add_mod(std::uint64_t a, std::uint64_t b, std::uint64_t m) {
    b %= m;
    return a >= m - b ? a - (m - b) : a + b;
}

}  // namespace

RecordSketch build_record_sketch(std::uint64_t num_rows, std::uint64_t num_buckets, std::uint64_t numeric_dim,
                                 std::uint64_t categorical_dim, Xoshiro256PlusPlus& rng) {
    const std::uint64_t planes = hyperplanes_per_row(num_buckets);
    RecordSketch s;
    s.num_rows = num_rows;
    s.num_buckets = num_buckets;
    s.numeric_dim = numeric_dim;
    s.categorical_dim = categorical_dim;
    s.numeric_planes.dim = {num_rows, planes, numeric_dim};
    s.numeric_planes.data.resize(num_rows * planes * numeric_dim);
    for (double& w : s.numeric_planes.data) w = rng.standard_normal();
    s.categorical_coeffs.dim = {num_rows, categorical_dim};
    s.categorical_coeffs.data.reserve(num_rows * categorical_dim);
    for (std::uint64_t r = 0; r < num_rows; ++r) {
        for (std::uint64_t j = 0; j < categorical_dim; ++j) {
            const bool last = j + 1 == categorical_dim;
            s.categorical_coeffs.data.push_back(last ? rng.mod_index(num_buckets) : 1 + rng.mod_index(num_buckets - 1));
        }
    }
    s.count.dim = {num_rows, num_buckets};
    s.count.data = LargeArray<double>(num_rows * num_buckets);
    return s;
}

CategoricalSketch build_categorical_sketch(std::uint64_t num_rows, std::uint64_t num_buckets,
                                           Xoshiro256PlusPlus& rng) {
    CategoricalSketch s;
    s.num_rows = num_rows;
    s.num_buckets = num_buckets;
    s.hash_a.dim = {num_rows};
    s.hash_a.data.resize(num_rows);
    for (std::uint64_t& a : s.hash_a.data) a = 1 + rng.mod_index(num_buckets - 1);
    s.hash_b.dim = {num_rows};
    s.hash_b.data.resize(num_rows);
    for (std::uint64_t& b : s.hash_b.data) b = rng.mod_index(num_buckets);
    s.count.dim = {num_rows, num_buckets};
    s.count.data = LargeArray<double>(num_rows * num_buckets);
    return s;
}

NumericSketch build_numeric_sketch(std::uint64_t num_buckets) {
    NumericSketch s;
    s.num_buckets = num_buckets;
    s.count.dim = {num_buckets};
    s.count.data = LargeArray<double>(num_buckets);
    return s;
}

std::uint64_t fold(std::uint64_t x, std::uint64_t y) {
    const unsigned __int128 product = static_cast<unsigned __int128>(x) * y;
    return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

std::uint64_t mix(std::uint64_t v, std::uint64_t k, std::uint64_t c) {
    const std::uint64_t t = fold(v ^ k ^ 0xBE5466CF34E90C6C, 0x5851F42D4C957F2D);
    const std::uint64_t m = fold(t, c ^ 0x452821E638D01377);
    return std::rotl(m, static_cast<int>(t % 64));
}

std::uint64_t numeric_bucket(std::uint64_t num_buckets, double z) {
    const double bucket = std::floor(static_cast<double>(num_buckets) * z);
    if (!(bucket > 0.0)) return 0;
    if (bucket >= static_cast<double>(num_buckets - 1)) return num_buckets - 1;
    return static_cast<std::uint64_t>(bucket);
}

std::uint64_t categorical_bucket(const CategoricalSketch& sketch, std::uint64_t row, std::int64_t value) {
    return mix(static_cast<std::uint64_t>(value), sketch.hash_b.data[row], sketch.hash_a.data[row]) %
           sketch.num_buckets;
}

std::uint64_t record_bucket(const RecordSketch& sketch, std::uint64_t row, std::span<const double> z,
                            std::span<const std::int64_t> categorical) {
    const std::uint64_t buckets = sketch.num_buckets;
    std::uint64_t bits = 0;
    if (sketch.numeric_dim > 0) {
        const std::uint64_t planes = sketch.numeric_planes.dim[1];
        const std::size_t dim = z.size();
        const double* plane = sketch.numeric_planes.data.data() + row * planes * dim;
        for (std::uint64_t i = 0; i < planes; ++i, plane += dim) {
            double dot = 0.0;
            for (std::size_t k = 0; k < dim; ++k) dot += plane[k] * z[k];
            if (dot > 0.0) bits |= std::uint64_t{1} << i;
        }
    }
    std::uint64_t acc = 0;
    const std::uint64_t* coeffs = sketch.categorical_coeffs.data.data() + row * categorical.size();
    for (std::size_t j = 0; j < categorical.size(); ++j) {
        acc = add_mod(acc, mix(static_cast<std::uint64_t>(categorical[j]), row, coeffs[j]), buckets);
    }
    return add_mod(acc, bits, buckets);
}

// Each cell is one exact multiply, so wider vectors give the same counts
// faster.  A page of zero counts stays zero: it is left unwritten, so a large
// table is committed only where records have reached it.  Not under
// ThreadSanitizer: it instruments the clones' resolver, which the loader runs
// before the sanitizer's runtime is up.
#if defined(__x86_64__) && defined(__has_attribute) && !defined(__SANITIZE_THREAD__)
#if __has_attribute(target_clones)
__attribute__((target_clones("avx2", "default")))
#endif
#endif
void decay(std::span<double> counts, double factor) {
    constexpr std::size_t page = 4096 / sizeof(double);
    for (std::size_t at = 0; at < counts.size(); at += page) {
        const std::span<double> part = counts.subspan(at, std::min(page, counts.size() - at));
        if (std::ranges::all_of(part, [](double c) { return c == 0.0; })) continue;
        for (double& c : part) c *= factor;
    }
}

double count_score(double a, double s, double t) {
    const double elapsed = std::max(t - 1.0, 1.0);
    const double expected = s / t;
    if (expected <= std::numeric_limits<double>::epsilon()) return 0.0;
    const double d = a - expected;
    return d * d / (elapsed * expected) + d * d / expected;
}

}  // namespace morvik3::mstream
