#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "featuresketch/detector.hpp"
#include "frame/memory_budget.hpp"
#include "morvik/forest/mod.hpp"
#include "morvik/forest/update.hpp"
#include "mstream/detector.hpp"
#include "onlineiforest/detector.hpp"

using namespace morvik3;

namespace {

constexpr std::uint64_t u64_max = std::numeric_limits<std::uint64_t>::max();

template <class T>
std::uint64_t bytes(const T& v) {
    return v.size() * sizeof(typename T::value_type);
}

}  // namespace

TEST(ByteCount, SaturatesInsteadOfWrapping) {
    EXPECT_EQ(ByteCount::of(3, 8).bytes, 24u);
    EXPECT_EQ(ByteCount::of(u64_max / 2, 3).bytes, u64_max);
    EXPECT_EQ((ByteCount{u64_max - 1} + ByteCount{5}).bytes, u64_max);
    EXPECT_EQ((ByteCount{1} * u64_max * 2).bytes, u64_max);
}

TEST(CheckFits, NamesBothFigures) {
    EXPECT_TRUE(check_fits("X", ByteCount{1024}, 1024).has_value());
    EXPECT_TRUE(check_fits("X", ByteCount{u64_max}, 0).has_value());  // memory unknown
    const auto refused = check_fits("FeatureSketch", ByteCount{std::uint64_t{3} << 30}, std::uint64_t{2} << 30);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().kind, ErrorKind::out_of_memory);
    EXPECT_EQ(refused.error().display(),
              "FeatureSketch needs 3221225472 bytes (3.0 GiB) at full size (storage and per-call working memory), "
              "more than the 2147483648 bytes (2.0 GiB) of physical memory of this machine");
    EXPECT_EQ(check_fits("X", ByteCount{u64_max}, 1000).error().display(),
              "X needs more than 18446744073709551615 bytes (16.0 EiB) at full size (storage and per-call working "
              "memory), more than the 1000 bytes of physical memory of this machine");
    EXPECT_GT(physical_memory(), 0u);
}

// What each detector holds once full stays within what memory_need counts.
TEST(MemoryNeed, CoversAFullForest) {
    const auto config = morvik::MorvikConfig{.input_dim = 3, .shingle_size = 2, .capacity = 16, .num_trees = 5, .initial_accept_fraction = 0.5};
    morvik::Forest f = morvik::Forest::create(config, 1);
    std::mt19937 gen(2);
    std::normal_distribution<float> normal;
    for (int i = 0; i < 400; ++i) ASSERT_TRUE(morvik::update(f, std::vector<float>{normal(gen), normal(gen), 1.0f}));
    std::uint64_t held = bytes(f.point_store.store) + bytes(f.point_store.ref_count) + bytes(f.point_store.occupied) +
                         bytes(f.point_store.free_list) + bytes(f.point_store.shingle_buf);
    for (const auto& t : f.trees) held += bytes(t.arena.nodes) + bytes(t.arena.bounds) + bytes(t.arena.free) + bytes(t.path);
    for (const auto& s : f.samplers) held += bytes(s.weights) + bytes(s.point_indices);
    EXPECT_LE(held, morvik::memory_need(config).bytes);
    EXPECT_EQ(morvik::memory_need(morvik::MorvikConfig{.input_dim = 1, .capacity = 256, .num_trees = u64_max / 256 - 1, .initial_accept_fraction = 0.5})
                  .bytes,
              u64_max);
}

TEST(MemoryNeed, CoversAFeatureSketch) {
    featuresketch::FeatureSketchConfig config;
    config.chains_per_ensemble = 3;
    config.sketch_buckets = 64;
    const auto s = featuresketch::FeatureSketch::create(config, 1).value();
    std::uint64_t held = 0;
    for (const auto* e : {&s.value_sketch, &s.presence_sketch})
        for (const auto& level : e->levels) held += bytes(level.cells) + bytes(level.row_hash_seeds.seeds);
    EXPECT_LE(held, featuresketch::memory_need(config).bytes);
    config.value_projection_dims = std::uint64_t{1} << 62;  // per-event vectors alone
    EXPECT_EQ(featuresketch::memory_need(config).bytes, u64_max);
}

TEST(MemoryNeed, CoversAFullOnlineIForest) {
    onlineiforest::OnlineIForestConfig config{2, 4, 64, 2};
    auto f = onlineiforest::OnlineIForest::create(config, 3).value();
    std::uint64_t most = 0;
    for (int k = 0; k < 3000; ++k) {
        // The mass moves between three places, so subtrees split and fold.
        const float centre = static_cast<float>(10 * ((k / 150) % 3));
        const float p[2] = {centre + static_cast<float>((k * 7919) % 101) / 50.0f, static_cast<float>(k % 13)};
        ASSERT_TRUE(onlineiforest::update(f, p).has_value());
        std::uint64_t held = bytes(f.window.values);
        for (const auto& t : f.trees) held += bytes(t.pool.nodes) + bytes(t.pool.bounds) + bytes(t.pool.free_pairs);
        most = std::max(most, held);
    }
    EXPECT_LE(most, onlineiforest::memory_need(config).bytes);
}

TEST(MemoryNeed, CoversAnMStream) {
    mstream::MStreamConfig config{3, 2, 4, 256, 0.8};
    const auto m = mstream::MStream::create(config, 1).value();
    auto sketch_bytes = [](const auto& s) { return bytes(s.count.data); };
    std::uint64_t held = 0;
    for (const auto* r : {&m.record_counts.current, &m.record_counts.total})
        held += bytes(r->numeric_planes.data) + bytes(r->categorical_coeffs.data) + sketch_bytes(*r);
    for (const auto& p : m.numeric_counts) held += sketch_bytes(p.current) + sketch_bytes(p.total);
    for (const auto& p : m.categorical_counts)
        held += bytes(p.current.hash_a.data) + bytes(p.current.hash_b.data) + sketch_bytes(p.current) +
                bytes(p.total.hash_a.data) + bytes(p.total.hash_b.data) + sketch_bytes(p.total);
    EXPECT_LE(held, mstream::memory_need(config).bytes);
    config.num_buckets = std::uint64_t{1} << 62;
    EXPECT_EQ(mstream::memory_need(config).bytes, u64_max);
}
