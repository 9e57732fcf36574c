// Chains, bins and decayed level sketches of the FeatureSketch detector.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "error.hpp"
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

TEST(FeatureSketchLayout, WidthsHalvePerLevelAndCountSignalIsNarrower) {
    constexpr std::uint64_t chains = 40, depth = 6, dims = 3;
    auto rng = Xoshiro256PlusPlus::seed_from_u64(11);
    const fs::ChainLayout layout = fs::build_layout(chains, depth, dims, true, rng);
    ASSERT_EQ(layout.levels.size(), chains * depth);
    EXPECT_EQ(layout.chain_depth, depth);
    bool saw_count_signal = false;
    for (std::size_t i = 0; i < layout.levels.size(); ++i) {
        const fs::ChainLevel& level = layout.levels[i];
        const int k = static_cast<int>(i % depth);
        ASSERT_LE(level.dimension, dims);
        const double base = level.dimension == dims ? 2.0 : 4.0;
        saw_count_signal |= level.dimension == dims;
        EXPECT_EQ(level.width, std::ldexp(base, -k));
        EXPECT_EQ(level.bin_volume_ratio, std::ldexp(1.0, -k));
        EXPECT_GE(level.offset, 0.0);
        EXPECT_LT(level.offset, level.width);
    }
    EXPECT_TRUE(saw_count_signal);
}

TEST(FeatureSketchLayout, WithoutCountSignalNeverReadsTheExtraCoordinate) {
    auto rng = Xoshiro256PlusPlus::seed_from_u64(5);
    const fs::ChainLayout layout = fs::build_layout(64, 4, 2, false, rng);
    for (const auto& level : layout.levels) {
        EXPECT_LT(level.dimension, 2u);
        EXPECT_EQ(level.width / level.bin_volume_ratio, 4.0);
    }
}

TEST(FeatureSketchLayout, TwoDrawsPerLevel) {
    auto rng = Xoshiro256PlusPlus::seed_from_u64(99);
    (void)fs::build_layout(3, 5, 8, false, rng);
    auto reference = Xoshiro256PlusPlus::seed_from_u64(99);
    for (int k = 0; k < 2 * 3 * 5; ++k) (void)reference.next_u64();
    EXPECT_EQ(rng, reference);
}

TEST(FeatureSketchLayout, DeepestAllowedChainKeepsPositiveWidths) {
    auto rng = Xoshiro256PlusPlus::seed_from_u64(1);
    const fs::ChainLayout layout = fs::build_layout(1, 1024, 1, true, rng);
    for (const auto& level : layout.levels) {
        EXPECT_GT(level.width, 0.0);
        EXPECT_TRUE(std::isfinite(level.width));
        EXPECT_LT(level.offset, level.width);
    }
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

TEST(FeatureSketchEnsemble, BuildsZeroedCellsAndDistinctRowSeeds) {
    const Fixture f(2, 3, 4, 16);
    ASSERT_EQ(f.ensemble.levels.size(), 6u);
    ASSERT_EQ(f.ensemble.reference_masses.size(), 6u);
    for (const auto& level : f.ensemble.levels) {
        EXPECT_EQ(level.rows, 4u);
        EXPECT_EQ(level.buckets, 16u);
        ASSERT_EQ(level.cells.size(), 64u);
        ASSERT_EQ(level.row_hash_seeds.seeds.size(), 4u);
        EXPECT_NE(level.row_hash_seeds.seeds[0], level.row_hash_seeds.seeds[1]);
        for (const auto& cell : level.cells) EXPECT_EQ(cell, (fs::DecayedValue{0.0, 0}));
    }
}

TEST(FeatureSketchEnsemble, BucketStaysInItsRow) {
    const Fixture f(1, 1, 3, 5);
    const fs::LevelSketch& level = f.ensemble.levels[0];
    for (std::uint64_t row = 0; row < 3; ++row) {
        for (std::int64_t bin : {i64_min, std::int64_t{-1}, std::int64_t{0}, std::int64_t{7}, i64_max}) {
            const std::uint64_t index = fs::bucket_of(level, row, bin);
            EXPECT_GE(index, row * 5);
            EXPECT_LT(index, row * 5 + 5);
        }
    }
}

TEST(FeatureSketchEnsemble, EmptyEnsembleScoresTheCeiling) {
    const Fixture f(4, 3);
    const std::vector<double> x{0.3};
    EXPECT_EQ(fs::score(f.ensemble, f.layout, x, 0, 16), 27.631021115928547);
    EXPECT_EQ(fs::max_level_score, -std::log(1e-12));
}

TEST(FeatureSketchEnsemble, EventSeenOnceScoresZeroAtItsEpoch) {
    Fixture f(1, 1);
    const std::vector<double> x{1.5};
    fs::add(f.ensemble, f.layout, x, 1, 16);
    EXPECT_EQ(fs::score(f.ensemble, f.layout, x, 1, 16), 0.0);
    EXPECT_FALSE(std::signbit(fs::score(f.ensemble, f.layout, x, 1, 16)));
}

TEST(FeatureSketchEnsemble, AddDecaysOnlyTheTouchedCells) {
    Fixture f(1, 2);
    const std::vector<double> x{0.7};
    std::vector<std::uint64_t> cells;
    fs::locate(f.ensemble, f.layout, x, cells);
    ASSERT_EQ(cells.size(), 4u);
    fs::add(f.ensemble, f.layout, x, 3, 8);
    fs::add(f.ensemble, f.layout, x, 11, 8);  // one half-life later: 1 * 0.5 + 1
    std::size_t touched = 0;
    for (std::size_t i = 0; i < 2; ++i) {
        const auto& level = f.ensemble.levels[i];
        for (std::size_t c = 0; c < level.cells.size(); ++c) {
            const bool located = cells[2 * i] == c || cells[2 * i + 1] == c;
            if (located) {
                ++touched;
                EXPECT_EQ(level.cells[c], (fs::DecayedValue{1.5, 11}));
            } else {
                EXPECT_EQ(level.cells[c], (fs::DecayedValue{0.0, 0}));
            }
        }
        EXPECT_EQ(f.ensemble.reference_masses[i], (fs::DecayedValue{1.5, 11}));
    }
    EXPECT_EQ(touched, 4u);
}

TEST(FeatureSketchEnsemble, ScoreTakesTheRowMinimumAgainstTheVolumeShare) {
    // Chain of depth 2: level 1 has half the base width, so its fair share of
    // the reference mass is one half.
    Fixture f(1, 2);
    const std::vector<double> x{0.2};
    std::vector<std::uint64_t> cells;
    fs::locate(f.ensemble, f.layout, x, cells);
    auto set = [&](std::size_t level, double row0, double row1, double reference) {
        f.ensemble.levels[level].cells[cells[2 * level]] = {row0, 9};
        f.ensemble.levels[level].cells[cells[2 * level + 1]] = {row1, 9};
        f.ensemble.reference_masses[level] = {reference, 9};
    };
    set(0, 10.0, 10.0, 10.0);  // level 0: full share, score 0
    set(1, 7.0, 1.0, 8.0);     // level 1: min 1 of 8 against a share of 1/2: t = 1/4
    EXPECT_DOUBLE_EQ(fs::score(f.ensemble, f.layout, x, 9, 100), std::log(4.0));
    set(1, 4.0, 9.0, 8.0);     // exactly its share: t = 1
    EXPECT_EQ(fs::score(f.ensemble, f.layout, x, 9, 100), 0.0);
    set(0, 0.0, 3.0, 10.0);    // an empty bin hits the floor
    EXPECT_EQ(fs::score(f.ensemble, f.layout, x, 9, 100), 27.631021115928547);
}

TEST(FeatureSketchEnsemble, ScoreIsTheMeanOverChainsOfEachChainsMaximum) {
    Fixture f(2, 1);
    const std::vector<double> x{0.2};
    fs::add(f.ensemble, f.layout, x, 1, 100);
    std::vector<std::uint64_t> cells;
    fs::locate(f.ensemble, f.layout, x, cells);
    // Halve chain 1's estimate: its score becomes ln 2, chain 0 keeps 0.
    f.ensemble.levels[1].cells[cells[2]] = {0.5, 1};
    f.ensemble.levels[1].cells[cells[3]] = {0.5, 1};
    EXPECT_DOUBLE_EQ(fs::score(f.ensemble, f.layout, x, 1, 100), std::log(2.0) / 2.0);
}

TEST(FeatureSketchEnsemble, ScoreDecaysCellsAndReferenceAlike) {
    Fixture f(1, 1);
    const std::vector<double> x{0.2}, other{100.0};
    fs::add(f.ensemble, f.layout, x, 1, 4);
    fs::add(f.ensemble, f.layout, other, 5, 4);
    // At epoch 5: the bin of x holds 0.5 of a reference mass of 1.5.
    EXPECT_DOUBLE_EQ(fs::score(f.ensemble, f.layout, x, 5, 4), std::log(3.0));
    const fs::EnsembleSketch before = f.ensemble;
    (void)fs::score(f.ensemble, f.layout, x, 50, 4);
    EXPECT_EQ(f.ensemble, before);
}

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
