#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "frame/error.hpp"
#include "frame/rng.hpp"
#include "frame/ziggurat_tables.hpp"

namespace {

using morvik3::InternalError;
using morvik3::Xoshiro256PlusPlus;

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double dmax = std::numeric_limits<double>::max();

// Runs `draw` expecting an internal failure with `message` that leaves the generator untouched.
template <class Draw>
void expect_internal_failure(Draw draw, const std::string& message) {
    Xoshiro256PlusPlus rng = Xoshiro256PlusPlus::seed_from_u64(7);
    const Xoshiro256PlusPlus before = rng;
    try {
        draw(rng);
        ADD_FAILURE() << "no InternalError";
    } catch (const InternalError& e) {
        EXPECT_EQ(e.what(), message);
    }
    EXPECT_EQ(rng, before);
}

struct BadRange {
    double low;
    double high;
};

class RngBadBounds : public ::testing::TestWithParam<BadRange> {};

TEST_P(RngBadBounds, RangeF64Fails) {
    const auto [low, high] = GetParam();
    expect_internal_failure([&](Xoshiro256PlusPlus& rng) { (void)rng.range_f64(low, high); },
                            "cannot sample empty range");
}

TEST_P(RngBadBounds, RangeF32Fails) {
    const auto [low, high] = GetParam();
    expect_internal_failure(
        [&](Xoshiro256PlusPlus& rng) { (void)rng.range_f32(static_cast<float>(low), static_cast<float>(high)); },
        "cannot sample empty range");
}

INSTANTIATE_TEST_SUITE_P(Rng, RngBadBounds,
                         ::testing::Values(BadRange{1.0, 1.0}, BadRange{0.0, -0.0}, BadRange{2.0, 1.0},
                                           BadRange{nan, 1.0}, BadRange{0.0, nan}, BadRange{0.0, inf},
                                           BadRange{-inf, 0.0}, BadRange{-inf, inf}));

TEST(RngEmptyRange, WidthOverflowFails) {
    expect_internal_failure([](Xoshiro256PlusPlus& rng) { (void)rng.range_f64(-dmax, dmax); },
                            "cannot sample empty range");
}

// A single-precision width past the float range takes the same draw, scaled in
// double precision, so every result still lies between the bounds.
TEST(RngEmptyRange, WideF32RangesStayBetweenTheBounds) {
    constexpr float fmax = std::numeric_limits<float>::max();
    Xoshiro256PlusPlus rng = Xoshiro256PlusPlus::seed_from_u64(5);
    Xoshiro256PlusPlus same = rng;
    bool below_zero = false, above_zero = false;
    for (int k = 0; k < 200; ++k) {
        const float y = rng.range_f32(-fmax, fmax);
        EXPECT_TRUE(std::isfinite(y) && y >= -fmax && y <= fmax) << y;
        const double u = static_cast<double>(same.next_u64() >> 41) * 0x1p-23;
        EXPECT_EQ(y, static_cast<float>(-static_cast<double>(fmax) + u * (2.0 * fmax)));
        below_zero = below_zero || y < 0.0f;
        above_zero = above_zero || y > 0.0f;
    }
    EXPECT_TRUE(below_zero && above_zero);
}

TEST(RngEmptyRange, ZeroBoundFails) {
    expect_internal_failure([](Xoshiro256PlusPlus& rng) { (void)rng.mod_index(0); },
                            "cannot take an index modulo zero");
    expect_internal_failure([](Xoshiro256PlusPlus& rng) { (void)rng.range_index(0); },
                            "cannot sample empty range");
}

TEST(RngEmptyRange, OneUlpRangesSucceed) {
    Xoshiro256PlusPlus rng = Xoshiro256PlusPlus::seed_from_u64(3);
    const double low = 1.0, high = std::nextafter(1.0, 2.0);
    const float lowf = 1.0f, highf = std::nextafter(1.0f, 2.0f);
    for (int k = 0; k < 100; ++k) {
        const double x = rng.range_f64(low, high);
        EXPECT_TRUE(x == low || x == high) << x;  // rounding may reach the upper end
        const float y = rng.range_f32(lowf, highf);
        EXPECT_TRUE(y == lowf || y == highf) << y;
    }
}

TEST(RngZiggurat, TablesAreConsistent) {
    using morvik3::ziggurat::F;
    using morvik3::ziggurat::R;
    using morvik3::ziggurat::X;
    EXPECT_EQ(X[1], R);
    EXPECT_EQ(X[256], 0.0);
    EXPECT_EQ(F[256], 1.0);
    for (std::size_t i = 0; i < 256; ++i) {
        EXPECT_GT(X[i], X[i + 1]) << i;
        EXPECT_LT(F[i], F[i + 1]) << i;
    }
    for (std::size_t i = 0; i < 257; ++i) EXPECT_NEAR(F[i], std::exp(-X[i] * X[i] / 2.0), 1e-15 * F[i]) << i;
    // Every layer, the tail included, has the same area.
    const double area = X[1] * (F[2] - F[1]);
    for (std::size_t i = 2; i < 256; ++i) EXPECT_NEAR(X[i] * (F[i + 1] - F[i]), area, 1e-11) << i;
    EXPECT_NEAR(X[0] * F[1], area, 1e-11);
}

}  // namespace
