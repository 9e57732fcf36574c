// The FeatureSketch detector on state corrupted in memory, which no document can produce.
#include <gtest/gtest.h>

#include "featuresketch/detector.hpp"

namespace fs = morvik3::featuresketch;
using morvik3::KeyValueLike;

namespace {

fs::FeatureSketch make() {
    fs::FeatureSketchConfig c;
    c.value_projection_dims = 4;
    c.presence_projection_dims = 3;
    c.chains_per_ensemble = 3;
    c.chain_depth = 2;
    c.sketch_rows = 2;
    c.sketch_buckets = 16;
    c.decay_half_life = 8;
    return fs::FeatureSketch::create(c, 7).value();
}

const KeyValueLike event{KeyValueLike::Kind::pairs, {{"a", 1.0}}};

// What the load-time shape check exists for: the same corruption reaching a hot path.
TEST(FeatureSketchCorrupt, CorruptedSketchInMemoryFailsAsInternalError) {
    fs::FeatureSketch s = make();
    s.presence_sketch.levels[3].cells.resize(1);
    EXPECT_THROW((void)fs::update(s, event), morvik3::InternalError);
    s = make();
    s.value_layout.chain_depth = 0;
    EXPECT_THROW((void)fs::score(s, event), morvik3::InternalError);
}

}  // namespace
