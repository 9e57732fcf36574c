// The statistic and bucket rules of the MStream sketches at values a record
// stream does not reach: empty cells, huge times, out-of-range inputs.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "mstream/sketch.hpp"

namespace ms = morvik3::mstream;

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

TEST(MStreamCountScore, ZeroWhereNothingIsExpected) {
    EXPECT_EQ(ms::count_score(5.0, 0.0, 3.0), 0.0);
    EXPECT_EQ(ms::count_score(1.0, 1.0, 0x1p60), 0.0);  // s / t below machine epsilon
    EXPECT_EQ(ms::count_score(1.0, 1.0, 1.0), 0.0);     // the first record
}

TEST(MStreamCountScore, ChiSquaredAgainstTheMeanRate) {
    EXPECT_EQ(ms::count_score(1.0, 10.0, 10.0), 0.0);
    EXPECT_EQ(ms::count_score(5.0, 10.0, 10.0), 16.0 / 9.0 + 16.0);
    EXPECT_EQ(ms::count_score(3.0, 1.0, 1.0), 4.0 + 4.0);  // t = 1 divides by 1, not 0
}

TEST(MStreamNumericBucket, ClampsToTheHistogram) {
    EXPECT_EQ(ms::numeric_bucket(1024, 1.0), 1023u);
    EXPECT_EQ(ms::numeric_bucket(1024, 0.5), 512u);
    EXPECT_EQ(ms::numeric_bucket(1024, 0.0), 0u);
    EXPECT_EQ(ms::numeric_bucket(1024, -0.0), 0u);
    EXPECT_EQ(ms::numeric_bucket(1024, 2.0), 1023u);
    EXPECT_EQ(ms::numeric_bucket(1024, -1.0), 0u);
    EXPECT_EQ(ms::numeric_bucket(1024, nan), 0u);
    EXPECT_EQ(ms::numeric_bucket(std::uint64_t{1} << 62, 1.0), (std::uint64_t{1} << 62) - 1);
}

TEST(MStreamRecordBucket, EachPartAloneDecides) {
    auto rng = morvik3::Xoshiro256PlusPlus::seed_from_u64(3);
    const ms::RecordSketch numeric_only = ms::build_record_sketch(2, 16, 2, 0, rng);
    const ms::RecordSketch categorical_only = ms::build_record_sketch(2, 16, 0, 2, rng);
    const std::vector<double> z{0.25, 0.75};
    const std::vector<std::int64_t> c{-7, std::numeric_limits<std::int64_t>::min()};
    for (std::uint64_t r = 0; r < 2; ++r) {
        // Signs of four hyperplanes address all 16 buckets.
        std::uint64_t bits = 0;
        for (std::uint64_t i = 0; i < 4; ++i) {
            const double* w = &numeric_only.numeric_planes.data[(r * 4 + i) * 2];
            if (w[0] * z[0] + w[1] * z[1] > 0.0) bits |= std::uint64_t{1} << i;
        }
        EXPECT_EQ(ms::record_bucket(numeric_only, r, z, {}), bits);
        const std::uint64_t* k = &categorical_only.categorical_coeffs.data[r * 2];
        const std::uint64_t hashed = (ms::mix(static_cast<std::uint64_t>(c[0]), r, k[0]) % 16 +
                                      ms::mix(static_cast<std::uint64_t>(c[1]), r, k[1]) % 16) % 16;
        EXPECT_EQ(ms::record_bucket(categorical_only, r, {}, c), hashed);
    }
}

TEST(MStreamRecordBucket, SumsWithoutOverflow) {
    // With 2^63 + 1 buckets the hash terms and the sign bits all exceed 2^63.
    ms::RecordSketch s;
    s.num_rows = 1;
    s.num_buckets = (std::uint64_t{1} << 63) + 1;
    s.categorical_dim = 2;
    s.categorical_coeffs.dim = {1, 2};
    s.categorical_coeffs.data = {5, 9};
    const std::vector<std::int64_t> c{11, 13};
    const unsigned __int128 b = s.num_buckets;
    const unsigned __int128 sum = (static_cast<unsigned __int128>(ms::mix(11, 0, 5)) + ms::mix(13, 0, 9)) % b;
    EXPECT_EQ(ms::record_bucket(s, 0, {}, c), static_cast<std::uint64_t>(sum));
}

}  // namespace
