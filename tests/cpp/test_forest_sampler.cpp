#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "morvik/sampler.hpp"

using namespace morvik3;
using namespace morvik3::morvik;

TEST(Sampler, WeightOfTheWorkedExample) {
    EXPECT_EQ(Sampler::weight(0.5, 1, 0.1 / 256), -0.3669035455816643);
}

TEST(Sampler, WeightClampsTheDrawSoEveryWeightIsFinite) {
    const double at_zero = Sampler::weight(0.0, 0, 0.0);
    const double near_one = Sampler::weight(std::nextafter(1.0, 0.0), 0, 0.0);
    EXPECT_EQ(at_zero, std::log(-std::log(0x1p-52)));
    EXPECT_EQ(near_one, std::log(-std::log(1.0 - 0x1p-52)));
}

TEST(Sampler, WarmupProbability) {
    struct Case {
        std::uint64_t capacity, size;
        double fraction, p;
    };
    const std::vector<Case> cases{
        {4, 0, 1.0, 1.0},      {4, 3, 1.0, 1.0},       // accept until full
        {4, 0, 0.0, 1.0},      {4, 1, 0.0, 0.75},      // 1 - f from the start
        {4, 3, 0.0, 0.25},     {256, 31, 0.125, 1.0},  // f < a
        {256, 32, 0.125, 1.0}, {256, 144, 0.125, 0.5},  // f = 0.5625
        {256, 255, 0.125, 1.0 - (255.0 / 256 - 0.125) / 0.875},
    };
    for (const auto& c : cases) {
        Sampler s = Sampler::create(c.capacity);
        s.size = c.size;
        EXPECT_DOUBLE_EQ(s.warmup_probability(c.fraction), c.p) << c.size << " of " << c.capacity;
    }
}

TEST(Sampler, FullSamplerEvictsTheTopOnlyForAStrictlySmallerWeight) {
    Sampler s = Sampler::create(2);
    s.add(1.0, 10);
    s.add(3.0, 30);
    auto rng = Xoshiro256PlusPlus::seed_from_u64(1);
    const auto before = rng;
    const SamplerDecision equal = s.decide(3.0, 0.125, rng);
    EXPECT_FALSE(equal.accept);
    const SamplerDecision smaller = s.decide(2.5, 0.125, rng);
    EXPECT_TRUE(smaller.accept);
    EXPECT_TRUE(smaller.evict);
    EXPECT_EQ(smaller.evicted_row, 30u);
    EXPECT_EQ(rng, before);  // no draw once full
}

TEST(Sampler, HeapOrderOfTheWorkedExample) {
    Sampler s = Sampler::create(3);
    s.add(1.0, 1);
    s.add(3.0, 3);
    s.add(2.0, 2);
    EXPECT_EQ(s.weights, (std::vector<double>{3.0, 1.0, 2.0}));
    EXPECT_EQ(s.point_indices, (std::vector<std::uint64_t>{3, 1, 2}));
    s.add(0.5, 5);
    EXPECT_EQ(s.weights, (std::vector<double>{2.0, 1.0, 0.5}));
    EXPECT_EQ(s.point_indices, (std::vector<std::uint64_t>{2, 1, 5}));
}

TEST(Sampler, SiftDownPrefersTheParentThenTheLeftChildOnTies) {
    Sampler s = Sampler::create(3);
    for (auto [w, r] : {std::pair{5.0, 0}, {2.0, 1}, {2.0, 2}}) s.add(w, r);
    s.add(2.0, 9);  // ties with both children: stays on top
    EXPECT_EQ(s.point_indices, (std::vector<std::uint64_t>{9, 1, 2}));
    s.add(1.0, 8);  // children tie: the left one rises
    EXPECT_EQ(s.point_indices, (std::vector<std::uint64_t>{1, 8, 2}));
}
