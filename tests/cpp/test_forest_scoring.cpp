#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "frame/error.hpp"
#include "morvik/forest/impute.hpp"
#include "morvik/forest/mod.hpp"
#include "morvik/forest/query.hpp"
#include "morvik/forest/update.hpp"

using namespace morvik3;
using namespace morvik3::morvik;

// Broken trees, reachable only through inconsistent documents, fault instead of reading out of bounds.
TEST(ForestScoringCorrupt, BrokenTreesFaultWithInternalError) {
    const std::vector<std::function<void(MorvikTree&)>> breakages{
        [](MorvikTree& t) { t.root = t.arena.nodes.size() + 5; },
        [](MorvikTree& t) { t.arena.nodes[t.arena.nodes[t.root].right] = Node{}; },
        [](MorvikTree& t) { t.arena.nodes[t.root].left = t.arena.nodes[t.root].right = t.root; },
        [](MorvikTree& t) { t.arena.nodes[t.root].cut_dim = 9; },
        [](MorvikTree& t) { t.arena.bounds.resize(2); },
    };
    for (const auto& brk : breakages) {
        Forest f = Forest::create(MorvikConfig{.input_dim = 1, .capacity = 16, .num_trees = 1, .initial_accept_fraction = 1.0}, 7);
        for (float v : {0.0f, 1.0f}) ASSERT_TRUE(update(f, std::vector<float>{v}).has_value());
        brk(f.trees[0]);
        const std::vector<float> q{2.0f};
        const std::vector<std::uint64_t> missing{0};
        EXPECT_THROW((void)score(f, q), InternalError);
        EXPECT_THROW((void)attribution(f, q), InternalError);
        EXPECT_THROW((void)density(f, q), InternalError);
        EXPECT_THROW((void)near_neighbors(f, q, 10, 0), InternalError);
        EXPECT_THROW((void)impute(f, q, missing, 0.5), InternalError);
    }
}
