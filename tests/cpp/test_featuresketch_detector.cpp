// The FeatureSketch detector core where Python cannot easily reach: limits of
// the configuration, state edited in memory, and the load-time shape check.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "featuresketch/detector.hpp"

namespace fs = morvik3::featuresketch;
using morvik3::ErrorKind;
using morvik3::KeyValueLike;

namespace {

constexpr std::uint64_t u64_max = std::numeric_limits<std::uint64_t>::max();

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

TEST(FeatureSketchConfigCheck, AcceptsTheLimitsAndCountsCells) {
    EXPECT_EQ(fs::validate_config({}).value(), 16u * 8 * 2 * 2048);
    fs::FeatureSketchConfig c;
    c.chain_depth = 1024;
    EXPECT_TRUE(fs::validate_config(c));
    c = {};
    c.chains_per_ensemble = 1, c.chain_depth = 1, c.sketch_rows = 1, c.sketch_buckets = (1ULL << 63) - 1;
    EXPECT_EQ(fs::validate_config(c).value(), (1ULL << 63) - 1);
}

TEST(FeatureSketchCreate, SizesBeyondAnyVectorAreAllocationFailures) {
    fs::FeatureSketchConfig c = small_config();
    c.chains_per_ensemble = 1ULL << 60, c.chain_depth = 1, c.sketch_rows = 1, c.sketch_buckets = 2;
    ASSERT_TRUE(fs::validate_config(c));
    EXPECT_THROW((void)fs::FeatureSketch::create(c, 1), std::bad_alloc);
    c = small_config();
    c.value_projection_dims = 1ULL << 62;
    fs::FeatureSketch s = make(1, c);
    EXPECT_THROW((void)fs::update(s, pairs({{"a", 1.0}})), std::bad_alloc);
    EXPECT_EQ(s.entries_seen, 0u);
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
