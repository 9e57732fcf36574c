#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "onlineiforest/detector.hpp"

namespace {

using namespace morvik3::onlineiforest;

OnlineIForest make(std::uint64_t window_size, std::uint64_t max_leaf_samples, std::uint64_t num_trees = 1) {
    OnlineIForestConfig config;
    config.input_dim = 1;
    config.num_trees = num_trees;
    config.window_size = window_size;
    config.max_leaf_samples = max_leaf_samples;
    auto f = OnlineIForest::create(config, 7);
    EXPECT_TRUE(f.has_value());
    return *f;
}

// A chain of splits whose deepest leaf lies at `depth`: every left child is a
// leaf, every right child splits again.
void build_chain(NodePool& pool, std::uint64_t depth) {
    std::uint64_t slot = pool.add_root();
    for (std::uint64_t d = 0;; ++d) {
        pool.min(slot)[0] = 0.0f;
        pool.max(slot)[0] = 1.0f;
        if (d == depth) break;
        const std::uint64_t left = pool.add_pair();
        pool.min(left)[0] = pool.max(left)[0] = 0.0f;
        pool.nodes[slot].children = left;
        pool.nodes[slot].value = 0.5f;
        slot = left + 1;
    }
}

// Written documents must load again: the deepest leaf a tree can grow is as
// deep as the reader's nesting limit allows, and no deeper.
TEST(OnlineIForestDocument, TheDeepestTreeLoadsAndOneLevelMoreWouldNot) {
    OnlineIForest f = make(std::uint64_t{1} << 63, 1);
    ASSERT_GT(f.max_depth, static_cast<double>(deepest_leaf));
    build_chain(f.trees[0].pool, deepest_leaf);
    const std::string text = to_json(f);
    // A window of 2^63 points fits no machine: the memory is not asked about.
    auto loaded = from_json(text, 0);
    ASSERT_TRUE(loaded.has_value()) << loaded.error().message;
    EXPECT_EQ(to_json(*loaded), text);

    OnlineIForest deeper = make(std::uint64_t{1} << 63, 1);
    build_chain(deeper.trees[0].pool, deepest_leaf + 1);
    auto refused = from_json(to_json(deeper), 0);
    ASSERT_FALSE(refused.has_value());
    EXPECT_NE(refused.error().message.find("recursion limit exceeded"), std::string::npos);
}

// Live nodes reachable from the root.
std::uint64_t live(const NodePool& pool) {
    if (pool.empty()) return 0;
    std::uint64_t n = 0;
    std::vector<std::uint64_t> stack{0};
    while (!stack.empty()) {
        const std::uint64_t slot = stack.back();
        stack.pop_back();
        ++n;
        if (!pool.nodes[slot].is_leaf()) {
            stack.push_back(pool.nodes[slot].children);
            stack.push_back(pool.nodes[slot].children + 1);
        }
    }
    return n;
}

// Folded pairs go back to the pool and are taken again before it grows, so a
// pool never holds more slots than the most nodes its tree has had between
// updates, plus the pair of one split made before that update's fold.
TEST(OnlineIForestPool, FoldedSlotsAreReusedAndNoneLeak) {
    OnlineIForest f = make(64, 2, 4);
    std::vector<std::uint64_t> most(f.trees.size(), 0);
    std::uint64_t folds_seen = 0;
    for (int k = 0; k < 3000; ++k) {
        // The mass moves between three places, so whole subtrees fold.
        const float centre = static_cast<float>(10 * ((k / 150) % 3));
        const float p[1] = {centre + static_cast<float>((k * 7919) % 101) / 50.0f};
        ASSERT_TRUE(update(f, p).has_value());
        for (std::size_t t = 0; t < f.trees.size(); ++t) {
            const NodePool& pool = f.trees[t].pool;
            const std::uint64_t n = live(pool);
            ASSERT_EQ(n + 2 * pool.free_pairs.size(), pool.nodes.size()) << "tree " << t << " after " << k;
            folds_seen += !pool.free_pairs.empty();
            most[t] = std::max(most[t], n);
            ASSERT_LE(pool.nodes.size(), most[t] + 2);
        }
    }
    EXPECT_GT(folds_seen, 0u);
}

// Sizes no machine could fill, which the binding refuses: the core still
// keeps its arithmetic finite and its storage to what it holds.
TEST(OnlineIForestSizes, LargestDistinctSizesScoreFinite) {
    OnlineIForest f = make(std::numeric_limits<std::uint64_t>::max() - 1, std::uint64_t{1} << 63);
    const float zero[1] = {0.0f}, one[1] = {1.0f}, two[1] = {2.0f};
    EXPECT_EQ(score(f, zero).value(), 1.0);
    ASSERT_TRUE(update(f, one).has_value());
    const double s = update_and_score(f, two).value();
    EXPECT_GT(s, 0.0);
    EXPECT_LE(s, 1.0);
}

TEST(OnlineIForestSizes, AHugeWindowCostsOnlyWhatItHolds) {
    OnlineIForest f = make(std::uint64_t{1} << 62, 1, 2);
    for (int k = 0; k < 50; ++k) {
        const float p[1] = {static_cast<float>(k % 7)};
        ASSERT_TRUE(update(f, p).has_value());
    }
    EXPECT_EQ(f.window.count, 50u);
    EXPECT_LE(f.window.values.capacity(), 128u);
}

}  // namespace
