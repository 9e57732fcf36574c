#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <deque>
#include <limits>
#include <random>
#include <vector>

#include "calibrator/ranked_window.hpp"

using morvik3::calibrator::RankedWindow;

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();

// Pushes `values` one by one, checking after each push the tree's invariants,
// the arrival order and the counts of every held value and of values between
// and beyond them against a plain deque.
void check_stream(std::uint64_t capacity, const std::vector<double>& values) {
    RankedWindow w(capacity);
    std::deque<double> held;
    for (const double v : values) {
        w.push(v);
        held.push_back(v);
        if (held.size() > capacity) held.pop_front();
        ASSERT_EQ(w.verify(), "");
        ASSERT_EQ(w.size(), held.size());
        std::vector<double> probes(held.begin(), held.end());
        for (const double h : held) probes.push_back(std::nextafter(h, inf));
        probes.insert(probes.end(), {-inf, inf, 0.5, -0.0});
        for (const double p : probes) {
            const auto below = static_cast<std::uint64_t>(std::ranges::count_if(held, [p](double h) { return h < p; }));
            const auto equal = static_cast<std::uint64_t>(std::ranges::count(held, p));
            const auto c = w.counts(p);
            ASSERT_EQ(c.below, below) << "probe " << p;
            ASSERT_EQ(c.equal, equal) << "probe " << p;
        }
        for (std::uint64_t i = 0; i < held.size(); ++i) ASSERT_EQ(w.at(i), held[i]);
    }
}

}  // namespace

TEST(RankedWindow, EmptyWindowCountsNothing) {
    const RankedWindow w(4);
    EXPECT_EQ(w.size(), 0u);
    EXPECT_EQ(w.verify(), "");
    EXPECT_EQ(w.counts(1.0).below, 0u);
    EXPECT_EQ(w.counts(1.0).equal, 0u);
}

TEST(RankedWindow, CapacityOneHoldsOnlyTheNewest) { check_stream(1, {3.0, 1.0, 1.0, inf, -inf, 2.0}); }

TEST(RankedWindow, AllEqualValuesThroughWrapAround) { check_stream(5, std::vector<double>(40, 2.0)); }

TEST(RankedWindow, RisingAndFallingRunsStayBalanced) {
    // Sorted input is the worst case of an unbalanced tree.
    std::vector<double> values;
    for (int i = 0; i < 300; ++i) values.push_back(i);
    for (int i = 300; i > 0; --i) values.push_back(i);
    check_stream(64, values);
}

TEST(RankedWindow, RandomStreamsWithTiesAndInfinities) {
    std::mt19937_64 rng(7);
    for (const std::uint64_t capacity : {2u, 3u, 8u, 31u, 100u}) {
        std::vector<double> values;
        for (int i = 0; i < 600; ++i) {
            const std::uint64_t r = rng() % 20;
            values.push_back(r == 0 ? inf : r == 1 ? -inf : r < 10 ? static_cast<double>(rng() % 4)
                                                               : std::ldexp(static_cast<double>(rng() % 1000), -3));
        }
        check_stream(capacity, values);
    }
}

TEST(RankedWindow, CopiesAreIndependent) {
    RankedWindow a(3);
    for (const double v : {1.0, 2.0, 3.0}) a.push(v);
    RankedWindow b = a;
    b.push(0.0);
    EXPECT_EQ(a.counts(1.5).below, 1u);
    EXPECT_EQ(b.counts(1.5).below, 1u);
    EXPECT_EQ(a.at(0), 1.0);
    EXPECT_EQ(b.at(0), 2.0);
    EXPECT_EQ(b.verify(), "");
}
