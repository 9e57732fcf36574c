#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "morvik/forest/document.hpp"
#include "morvik/forest/mod.hpp"
#include "morvik/forest/update.hpp"

using namespace morvik3;
using namespace morvik3::morvik;

namespace {

using Vec = std::vector<float>;

Forest one_tree(std::uint64_t capacity, double accept) {
    return Forest::create(MorvikConfig{.input_dim = 1, .capacity = capacity, .num_trees = 1, .initial_accept_fraction = accept}, 42);
}

}  // namespace

TEST(ForestUpdate, FailedEvictionCheckChangesNothing) {
    Forest f = one_tree(1, 0.125);
    ASSERT_TRUE(update(f, Vec{1}).has_value());
    f.samplers[0].weights[0] = std::numeric_limits<double>::max();  // every new weight evicts
    f.trees[0].arena.get_mut(f.trees[0].root).mass = 0;
    const std::string before = to_json(f);
    const auto r = update(f, Vec{2});
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().display(), "runtime error: leaf mass is already 0");
    EXPECT_EQ(to_json(f), before);
}

TEST(ForestUpdate, StoreGrowthOverflowChangesNothing) {
    Forest f = one_tree(2, 1.0);
    // Pretend every row of an enormous store has been handed out.
    f.point_store.capacity = (std::numeric_limits<std::uint64_t>::max() - 4) / 2 + 1;
    f.point_store.next_free = f.point_store.capacity;
    const auto rng = f.rng;
    const auto r = update(f, Vec{1});
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().display(), "overflow: point store capacity growth overflows usize");
    EXPECT_EQ(f.rng, rng);
    EXPECT_EQ(f.entries_seen, 0u);
    EXPECT_EQ(f.point_store.shingle_buf, Vec{0});
}
