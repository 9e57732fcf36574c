// Chains, bins and decayed level sketches of the FeatureSketch detector.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "frame/error.hpp"
#include "featuresketch/chain.hpp"
#include "featuresketch/sketch.hpp"

namespace fs = morvik3::featuresketch;
using morvik3::Xoshiro256PlusPlus;

namespace {

constexpr std::int64_t i64_max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t i64_min = std::numeric_limits<std::int64_t>::min();
constexpr double inf = std::numeric_limits<double>::infinity();

struct BinCase {
    double x;
    double offset;
    double width;
    std::int64_t bin;
};

class FeatureSketchBin : public testing::TestWithParam<BinCase> {};

TEST_P(FeatureSketchBin, FloorsAndSaturates) {
    const BinCase c = GetParam();
    const fs::ChainLevel level{0, c.width, c.offset, 1.0};
    const std::vector<double> x{c.x};
    EXPECT_EQ(fs::bin_of(level, x), c.bin);
}

INSTANTIATE_TEST_SUITE_P(
    FeatureSketch, FeatureSketchBin,
    testing::Values(BinCase{0.0, 0.0, 1.0, 0},            // lower edge belongs to its bin
                    BinCase{1.0, 0.0, 1.0, 1},            // an edge goes to the upper bin
                    BinCase{0.75, 0.25, 1.0, 1},          // offset shifts the edges
                    BinCase{-0.1, 0.0, 1.0, -1},          // floor, not truncation
                    BinCase{-2.0, 0.0, 0.5, -4},          //
                    BinCase{std::nan(""), 0.0, 1.0, 0},   // NaN bins to 0
                    BinCase{inf, 0.0, 1.0, i64_max},      //
                    BinCase{-inf, 0.0, 1.0, i64_min},     //
                    BinCase{1e300, 0.0, 1.0, i64_max},    // beyond the range saturates
                    BinCase{-1e300, 0.0, 1.0, i64_min},   //
                    BinCase{-0x1p63, 0.0, 1.0, i64_min},  // -2^63 itself is representable
                    BinCase{0x1p62, 0.0, 0.5, i64_max}));

TEST(FeatureSketchBin, CoordinateBeyondVectorIsInternalError) {
    const fs::ChainLevel level{3, 1.0, 0.0, 1.0};
    const std::vector<double> x{1.0, 2.0, 3.0};
    EXPECT_THROW((void)fs::bin_of(level, x), morvik3::InternalError);
}

struct DecayCase {
    double value;
    std::uint64_t epoch;
    std::uint64_t now;
    std::uint64_t half_life;
    double expected;
};

class FeatureSketchDecay : public testing::TestWithParam<DecayCase> {};

TEST_P(FeatureSketchDecay, HalvesPerHalfLife) {
    const DecayCase c = GetParam();
    EXPECT_DOUBLE_EQ(fs::decayed({c.value, c.epoch}, c.now, c.half_life), c.expected);
}

INSTANTIATE_TEST_SUITE_P(FeatureSketch, FeatureSketchDecay,
                         testing::Values(DecayCase{8.0, 10, 10, 4, 8.0},   // same epoch: unchanged
                                         DecayCase{8.0, 12, 10, 4, 8.0},   // stamped later: unchanged
                                         DecayCase{8.0, 10, 14, 4, 4.0},   // one half-life
                                         DecayCase{8.0, 10, 22, 4, 1.0},   // three half-lives
                                         DecayCase{8.0, 0, 2, 4, 8.0 / std::sqrt(2.0)},
                                         DecayCase{1.0, 0, std::numeric_limits<std::uint64_t>::max(), 1, 0.0}));

// One chain of the given depth over a one-coordinate vector, with a sketch.
struct Fixture {
    fs::ChainLayout layout;
    fs::EnsembleSketch ensemble;

    Fixture(std::uint64_t chains, std::uint64_t depth, std::uint64_t rows = 2, std::uint64_t buckets = 64) {
        auto rng = Xoshiro256PlusPlus::seed_from_u64(2024);
        layout = fs::build_layout(chains, depth, 1, false, rng);
        ensemble = fs::build_ensemble(rows, buckets, chains * depth, rng);
    }
};

TEST(FeatureSketchEnsemble, LongAndShortGapsDecayAlike) {
    // Gaps of a few events and of many thousands take different paths.
    Fixture f(1, 1);
    const std::vector<double> x{0.2};
    std::vector<std::uint64_t> cells;
    fs::locate(f.ensemble, f.layout, x, cells);
    for (const std::uint64_t gap : {1u, 7u, 4095u, 4096u, 250000u}) {
        const std::uint64_t now = 300000;
        f.ensemble.levels[0].cells[cells[0]] = {3.0, now - gap};
        f.ensemble.levels[0].cells[cells[1]] = {5.0, now - gap};
        f.ensemble.reference_masses[0] = {8.0, now - 1};
        const double estimate = 3.0 * std::exp2(-static_cast<double>(gap) / 1000.0);
        const double reference = 8.0 * std::exp2(-1.0 / 1000.0);
        const double t = std::max(estimate / reference, 1e-12);
        EXPECT_EQ(fs::score(f.ensemble, f.layout, x, now, 1000), t < 1.0 ? -std::log(t) : 0.0) << gap;
        fs::add(f.ensemble, f.layout, x, now, 1000);
        EXPECT_EQ(f.ensemble.levels[0].cells[cells[0]].value, estimate + 1.0) << gap;
    }
}

TEST(FeatureSketchEnsemble, MismatchedShapesAreInternalErrors) {
    Fixture f(2, 2);
    const std::vector<double> x{0.2};
    fs::EnsembleSketch short_ensemble = f.ensemble;
    short_ensemble.levels.pop_back();
    EXPECT_THROW((void)fs::score(short_ensemble, f.layout, x, 0, 4), morvik3::InternalError);
    fs::EnsembleSketch few_cells = f.ensemble;
    few_cells.levels[1].cells.resize(3);
    EXPECT_THROW(fs::add(few_cells, f.layout, x, 1, 4), morvik3::InternalError);
    fs::EnsembleSketch few_seeds = f.ensemble;
    few_seeds.levels[2].row_hash_seeds.seeds.pop_back();
    EXPECT_THROW((void)fs::score(few_seeds, f.layout, x, 0, 4), morvik3::InternalError);
    fs::ChainLayout wide = f.layout;
    wide.levels[0].dimension = 1;
    EXPECT_THROW((void)fs::score(f.ensemble, wide, x, 0, 4), morvik3::InternalError);
}

}  // namespace
