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

// The decision the forest's update takes: one draw once full, the weight of
// that draw against the top, strictly.
TEST(Sampler, FullSamplerEvictsTheTopOnlyForAStrictlySmallerWeight) {
    const std::uint64_t seq = 7;
    const double lambda = 0.01;
    const auto rng = Xoshiro256PlusPlus::seed_from_u64(1);
    auto after = rng;
    const double w = Sampler::weight(after.unit_f64(), seq, lambda);
    for (const double top : {w, std::nextafter(w, 1e300)}) {
        Sampler s = Sampler::create(2);
        s.add(w - 1.0, 10);
        s.add(top, 30);
        RejectionBound bound;
        auto drawn = rng;
        const SamplerDecision d = s.decide(drawn, seq, lambda, 0.125, bound);
        EXPECT_EQ(drawn, after);
        EXPECT_EQ(d.accept, top != w) << "top " << top;
        EXPECT_EQ(d.evict, top != w);
        if (d.accept) {
            EXPECT_EQ(d.evicted_row, 30u);
            EXPECT_EQ(d.weight, w);
        }
    }
}

TEST(Sampler, WarmingUpTakesASecondDrawForTheAcceptance) {
    const auto rng = Xoshiro256PlusPlus::seed_from_u64(3);
    auto after = rng;
    const double u = after.unit_f64();
    const double u2 = after.unit_f64();
    for (const double fraction : {1.0, 0.0}) {
        Sampler s = Sampler::create(4);
        s.add(0.5, 1);
        s.add(0.25, 2);  // f = 0.5: p = 1 when fraction is 1, 0.5 when it is 0
        RejectionBound bound;
        auto drawn = rng;
        const SamplerDecision d = s.decide(drawn, 9, 0.1, fraction, bound);
        EXPECT_EQ(drawn, after);
        EXPECT_EQ(d.accept, u2 < s.warmup_probability(fraction)) << fraction;
        EXPECT_FALSE(d.evict);
        if (d.accept) EXPECT_EQ(d.weight, Sampler::weight(u, 9, 0.1));
    }
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
