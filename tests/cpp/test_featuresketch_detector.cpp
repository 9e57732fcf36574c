// The FeatureSketch detector core: configuration, ingesting and scoring
// semantics, normalisation failures, and the load-time shape check.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "featuresketch/detector.hpp"

namespace fs = morvik3::featuresketch;
using morvik3::ErrorKind;
using morvik3::KeyValueLike;

namespace {

constexpr std::uint64_t u64_max = std::numeric_limits<std::uint64_t>::max();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

fs::FeatureSketchConfig small_config() {
    fs::FeatureSketchConfig c;
    c.value_projection_dims = 4;
    c.presence_projection_dims = 3;
    c.chains_per_ensemble = 3;
    c.chain_depth = 2;
    c.sketch_rows = 2;
    c.sketch_buckets = 16;
    c.decay_half_life = 8;
    return c;
}

fs::FeatureSketch make(std::uint64_t seed = 7, const fs::FeatureSketchConfig& c = small_config()) {
    auto created = fs::FeatureSketch::create(c, seed);
    if (!created) throw std::runtime_error(created.error().display());
    return std::move(*created);
}

KeyValueLike pairs(std::vector<std::pair<std::string, double>> entries) {
    return {KeyValueLike::Kind::pairs, std::move(entries)};
}

struct ConfigCase {
    const char* name;
    std::function<void(fs::FeatureSketchConfig&)> change;
    const char* message;
};

class FeatureSketchConfigCheck : public testing::TestWithParam<ConfigCase> {};

TEST_P(FeatureSketchConfigCheck, RejectsWithItsMessage) {
    fs::FeatureSketchConfig c;
    GetParam().change(c);
    const auto checked = fs::validate_config(c);
    ASSERT_FALSE(checked);
    EXPECT_EQ(checked.error().kind, ErrorKind::invalid_argument);
    EXPECT_EQ(checked.error().message, GetParam().message);
    const auto created = fs::FeatureSketch::create(c, 1);
    ASSERT_FALSE(created);
    EXPECT_EQ(created.error().message, GetParam().message);
}

// Each case also breaks every later rule it can, so the order is checked too.
INSTANTIATE_TEST_SUITE_P(
    FeatureSketch, FeatureSketchConfigCheck,
    testing::Values(
        ConfigCase{"value_dims",
                   [](auto& c) { c.value_projection_dims = 0, c.presence_projection_dims = 0, c.sketch_rows = 0; },
                   "value_projection_dims must be > 0"},
        ConfigCase{"presence_dims", [](auto& c) { c.presence_projection_dims = 0, c.chains_per_ensemble = 0; },
                   "presence_projection_dims must be > 0"},
        ConfigCase{"chains", [](auto& c) { c.chains_per_ensemble = 0, c.chain_depth = 0; },
                   "chains_per_ensemble must be > 0"},
        ConfigCase{"depth", [](auto& c) { c.chain_depth = 0, c.sketch_buckets = 1; }, "chain_depth must be > 0"},
        ConfigCase{"depth_too_large", [](auto& c) { c.chain_depth = 1025, c.sketch_rows = 0; },
                   "chain_depth is too large to keep chain bin widths positive"},
        ConfigCase{"rows", [](auto& c) { c.sketch_rows = 0, c.sketch_buckets = 0; }, "sketch_rows must be > 0"},
        ConfigCase{"buckets", [](auto& c) { c.sketch_buckets = 1, c.decay_half_life = 0; },
                   "sketch_buckets must be >= 2"},
        ConfigCase{"half_life", [](auto& c) { c.decay_half_life = 0, c.presence_projection_dims = u64_max; },
                   "decay_half_life must be > 0"},
        ConfigCase{"presence_plus_one",
                   [](auto& c) { c.presence_projection_dims = u64_max, c.chains_per_ensemble = u64_max; },
                   "presence_projection_dims plus the feature-count signal must fit in usize"},
        ConfigCase{"levels", [](auto& c) { c.chains_per_ensemble = 1ULL << 62, c.chain_depth = 8; },
                   "chains_per_ensemble * chain_depth must fit in usize"},
        ConfigCase{"level_cells", [](auto& c) { c.sketch_rows = 1ULL << 32, c.sketch_buckets = 1ULL << 32; },
                   "sketch_rows * sketch_buckets must fit in usize"},
        ConfigCase{"total_overflow", [](auto& c) { c.sketch_rows = 1ULL << 32, c.sketch_buckets = 1ULL << 31; },
                   "total FeatureSketch sketch cells must fit in usize"},
        ConfigCase{"total_above_i64", [](auto& c) { c.chains_per_ensemble = 1, c.chain_depth = 1,
                                                    c.sketch_rows = 1, c.sketch_buckets = 1ULL << 63; },
                   "total FeatureSketch sketch cells must fit in usize"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FeatureSketchConfigCheck, AcceptsTheLimitsAndCountsCells) {
    EXPECT_EQ(fs::validate_config({}).value(), 16u * 8 * 2 * 2048);
    fs::FeatureSketchConfig c;
    c.chain_depth = 1024;
    EXPECT_TRUE(fs::validate_config(c));
    c = {};
    c.chains_per_ensemble = 1, c.chain_depth = 1, c.sketch_rows = 1, c.sketch_buckets = (1ULL << 63) - 1;
    EXPECT_EQ(fs::validate_config(c).value(), (1ULL << 63) - 1);
}

TEST(FeatureSketchCreate, SameSeedSameDetectorOtherSeedOther) {
    const fs::FeatureSketch a = make(3), b = make(3), c = make(4);
    EXPECT_EQ(a, b);
    EXPECT_NE(a.projection_seeds, c.projection_seeds);
    EXPECT_EQ(a.format_version, 1u);
    EXPECT_EQ(a.current_epoch, 0u);
    EXPECT_EQ(a.value_sketch.levels.size(), 6u);
    EXPECT_EQ(a.presence_layout.levels.size(), 6u);
    EXPECT_FALSE(fs::is_ready(a));
}

TEST(FeatureSketchCreate, ProjectionSeedsAreTheFirstSixteenDraws) {
    const fs::FeatureSketch s = make(123);
    auto rng = morvik3::Xoshiro256PlusPlus::seed_from_u64(123);
    for (const auto* seed : {&s.projection_seeds.value, &s.projection_seeds.presence,
                             &s.projection_seeds.feature_lo, &s.projection_seeds.feature_hi})
        for (const std::uint64_t word : seed->words) EXPECT_EQ(word, rng.next_u64());
}

TEST(FeatureSketchDetector, FreshDetectorScoresTheCeiling) {
    const fs::FeatureSketch s = make();
    EXPECT_EQ(fs::score(s, pairs({{"a", 1.0}})).value(), 27.631021115928547);
    EXPECT_EQ(fs::score(s, pairs({})).value(), 27.631021115928547);
}

TEST(FeatureSketchDetector, UpdateAndScoreEqualsScoreThenUpdate) {
    fs::FeatureSketch combined = make(), separate = make();
    const std::vector<KeyValueLike> stream{pairs({{"a", 1.0}, {"b", -2.0}}), pairs({{"a", 1.0}}), pairs({}),
                                           pairs({{"c", 1e6}, {"a", 0.5}, {"c", 3.0}}), pairs({{"a", 1.0}})};
    for (int round = 0; round < 3; ++round) {
        for (const auto& event : stream) {
            const double previewed = fs::score(separate, event).value();
            ASSERT_TRUE(fs::update(separate, event));
            EXPECT_EQ(fs::update_and_score(combined, event).value(), previewed);
            EXPECT_EQ(combined, separate);
        }
    }
    EXPECT_EQ(fs::entries_seen(combined), 15u);
    EXPECT_EQ(combined.current_epoch, 15u);
    EXPECT_LT(fs::score(combined, stream[1]).value(), 27.0);
}

TEST(FeatureSketchDetector, EmptyEventCountsAsAnEvent) {
    fs::FeatureSketch s = make();
    ASSERT_TRUE(fs::update(s, pairs({})));
    EXPECT_TRUE(fs::is_ready(s));
    EXPECT_EQ(s.current_epoch, 1u);
    EXPECT_EQ(s.value_sketch.reference_masses[0], (fs::DecayedValue{1.0, 1}));
    EXPECT_EQ(fs::score(s, pairs({})).value(), 0.0);
}

struct FeatureErrorCase {
    const char* name;
    std::vector<std::pair<std::string, double>> entries;
    const char* message;
};

class FeatureSketchFeatureError : public testing::TestWithParam<FeatureErrorCase> {};

TEST_P(FeatureSketchFeatureError, RejectsBeforeAnyChange) {
    fs::FeatureSketch s = make();
    ASSERT_TRUE(fs::update(s, pairs({{"a", 1.0}})));
    const fs::FeatureSketch before = s;
    const KeyValueLike event = pairs(GetParam().entries);
    for (const auto& error : {fs::score(s, event).error(), fs::update_and_score(s, event).error(),
                              fs::update(s, event).error()}) {
        EXPECT_EQ(error.kind, ErrorKind::invalid_argument);
        EXPECT_EQ(error.message, GetParam().message);
    }
    EXPECT_EQ(s, before);
}

// The first failure in the caller's order wins, whatever the names' order.
INSTANTIATE_TEST_SUITE_P(
    FeatureSketch, FeatureSketchFeatureError,
    testing::Values(
        FeatureErrorCase{"nan", {{"a", 1.0}, {"b", nan}}, "feature values must be finite"},
        FeatureErrorCase{"inf", {{"a", -std::numeric_limits<double>::infinity()}}, "feature values must be finite"},
        FeatureErrorCase{"nan_cancelled", {{"a", nan}, {"a", 1.0}}, "feature values must be finite"},
        FeatureErrorCase{"sum", {{"a", 1e308}, {"a", 1e308}}, "combined feature values must be finite"},
        FeatureErrorCase{"sum_before_nan", {{"z", 1e308}, {"z", 1e308}, {"a", nan}},
                         "combined feature values must be finite"},
        FeatureErrorCase{"nan_before_sum", {{"z", 1e308}, {"a", nan}, {"z", 1e308}},
                         "feature values must be finite"},
        FeatureErrorCase{"inf_on_summed_name", {{"z", 1e308}, {"z", std::numeric_limits<double>::infinity()}},
                         "feature values must be finite"},
        FeatureErrorCase{"sum_back_in_range", {{"a", 1e308}, {"a", 1e308}, {"a", -1e308}},
                         "combined feature values must be finite"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FeatureSketchDetector, CounterExhaustionIsAnOverflowThatChangesNothing) {
    fs::FeatureSketch s = make();
    s.current_epoch = u64_max;
    fs::FeatureSketch before = s;
    auto failed = fs::update(s, pairs({{"a", 1.0}}));
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().kind, ErrorKind::overflow);
    EXPECT_EQ(failed.error().display(), "overflow: FeatureSketch epoch overflow");
    EXPECT_EQ(s, before);

    s.current_epoch = 4;
    s.entries_seen = u64_max;
    before = s;
    const auto scored = fs::update_and_score(s, pairs({{"a", 1.0}}));
    ASSERT_FALSE(scored);
    EXPECT_EQ(scored.error().display(), "overflow: FeatureSketch entries_seen overflow");
    EXPECT_EQ(s, before);
}

TEST(FeatureSketchDetector, Repr) {
    fs::FeatureSketch s = make(1, {});
    EXPECT_EQ(fs::repr(s),
              "FeatureSketch(value_projection_dims=32, presence_projection_dims=32, chains_per_ensemble=16, "
              "chain_depth=8, sketch_rows=2, sketch_buckets=2048, decay_half_life=2048, entries_seen=0)");
    ASSERT_TRUE(fs::update(s, pairs({})));
    EXPECT_TRUE(fs::repr(s).ends_with(", decay_half_life=2048, entries_seen=1)"));
}

TEST(FeatureSketchDocument, RoundTripIsByteIdentical) {
    fs::FeatureSketch s = make();
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(fs::update(s, pairs({{"x" + std::to_string(i % 3), i * 0.37}})));
    const std::string text = fs::to_json(s);
    EXPECT_TRUE(text.starts_with("{\"format_version\":1,\"config\":{\"value_projection_dims\":4,"));
    EXPECT_TRUE(text.ends_with(",\"current_epoch\":20,\"entries_seen\":20}"));
    const auto loaded = fs::from_json(text);
    ASSERT_TRUE(loaded) << loaded.error().message;
    EXPECT_EQ(*loaded, s);
    EXPECT_EQ(fs::to_json(*loaded), text);
}

TEST(FeatureSketchDocument, VersionThenConfigurationChecks) {
    fs::FeatureSketch s = make();
    s.format_version = 2;
    s.config.chain_depth = 0;
    auto loaded = fs::from_json(fs::to_json(s));
    ASSERT_FALSE(loaded);
    EXPECT_EQ(loaded.error().message, "invalid FeatureSketch JSON: unsupported format version");
    s.format_version = 1;
    loaded = fs::from_json(fs::to_json(s));
    ASSERT_FALSE(loaded);
    EXPECT_EQ(loaded.error().message, "chain_depth must be > 0");
    loaded = fs::from_json("{\"format_version\":1");
    ASSERT_FALSE(loaded);
    EXPECT_TRUE(loaded.error().message.starts_with("invalid FeatureSketch JSON: EOF while parsing an object"))
        << loaded.error().message;
}

struct ShapeCase {
    const char* name;
    std::function<void(fs::FeatureSketch&)> corrupt;
    const char* message;
};

class FeatureSketchDocumentShape : public testing::TestWithParam<ShapeCase> {};

TEST_P(FeatureSketchDocumentShape, InconsistentDocumentIsRejected) {
    fs::FeatureSketch s = make();
    ASSERT_TRUE(fs::update(s, pairs({{"a", 2.0}})));
    GetParam().corrupt(s);
    const auto loaded = fs::from_json(fs::to_json(s));
    ASSERT_FALSE(loaded);
    EXPECT_EQ(loaded.error().kind, ErrorKind::invalid_argument);
    EXPECT_EQ(loaded.error().message, std::string("invalid FeatureSketch JSON: ") + GetParam().message);
}

// small_config: V 4, P 3, 3 chains of depth 2, 2 rows of 16 buckets.
INSTANTIATE_TEST_SUITE_P(
    FeatureSketch, FeatureSketchDocumentShape,
    testing::Values(
        ShapeCase{"layout_depth", [](auto& s) { s.value_layout.chain_depth = 3; },
                  "value_layout has chain_depth 3, expected 2"},
        ShapeCase{"layout_levels", [](auto& s) { s.presence_layout.levels.pop_back(); },
                  "presence_layout has 5 levels, expected 6"},
        ShapeCase{"value_dimension", [](auto& s) { s.value_layout.levels[4].dimension = 4; },
                  "value_layout level 4 reads dimension 4 of a vector of length 4"},
        ShapeCase{"presence_dimension", [](auto& s) { s.presence_layout.levels[0].dimension = u64_max; },
                  "presence_layout level 0 reads dimension 18446744073709551615 of a vector of length 4"},
        ShapeCase{"config_grown", [](auto& s) { s.config.chains_per_ensemble = 4; },
                  "value_layout has 6 levels, expected 8"},
        ShapeCase{"sketch_levels", [](auto& s) { s.value_sketch.levels.push_back(s.value_sketch.levels[0]); },
                  "value_sketch has 7 levels, expected 6"},
        ShapeCase{"reference_masses", [](auto& s) { s.presence_sketch.reference_masses.clear(); },
                  "presence_sketch has 0 reference_masses, expected 6"},
        ShapeCase{"rows", [](auto& s) { s.value_sketch.levels[2].rows = 3; },
                  "value_sketch level 2 has rows 3, expected 2"},
        ShapeCase{"buckets", [](auto& s) { s.presence_sketch.levels[5].buckets = 32; },
                  "presence_sketch level 5 has buckets 32, expected 16"},
        ShapeCase{"row_seeds", [](auto& s) { s.value_sketch.levels[1].row_hash_seeds.seeds.pop_back(); },
                  "value_sketch level 1 has 1 row hash seeds, expected 2"},
        ShapeCase{"cells", [](auto& s) { s.presence_sketch.levels[3].cells.resize(31); },
                  "presence_sketch level 3 has 31 cells, expected 32"},
        ShapeCase{"config_buckets", [](auto& s) { s.config.sketch_buckets = 8; },
                  "value_sketch level 0 has buckets 16, expected 8"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FeatureSketchDocumentShape, CorruptedSketchInMemoryFailsAsInternalError) {
    // What the load check exists for: the same corruption reaching a hot path.
    fs::FeatureSketch s = make();
    s.presence_sketch.levels[3].cells.resize(1);
    EXPECT_THROW((void)fs::update(s, pairs({{"a", 1.0}})), morvik3::InternalError);
    s = make();
    s.value_layout.chain_depth = 0;
    EXPECT_THROW((void)fs::score(s, pairs({{"a", 1.0}})), morvik3::InternalError);
}

}  // namespace
