// A tree's time-decayed weighted reservoir: keeps the `capacity` points of
// smallest weight in a max-heap so the one to evict is always on top.
#pragma once

#include <cstdint>
#include <vector>

#include "rng.hpp"

namespace morvik3::morvik {

struct SamplerDecision {
    bool accept = false;
    bool evict = false;
    std::uint64_t evicted_row = 0;  // meaningful when evict
};

struct Sampler {
    std::uint64_t capacity = 0;
    std::vector<double> weights;              // heap; positions >= size unused
    std::vector<std::uint64_t> point_indices;  // row held at the same position
    std::uint64_t size = 0;

    [[nodiscard]] static Sampler create(std::uint64_t capacity);

    // ln(-ln u') - seq * lambda with u clamped into [2^-52, 1 - 2^-52].
    [[nodiscard]] static double weight(double u, std::uint64_t seq, double lambda);
    // Warm-up acceptance probability at fill fraction size / capacity.
    [[nodiscard]] double warmup_probability(double initial_accept_fraction) const;

    // Takes one more draw from `rng` only while warming up.
    [[nodiscard]] SamplerDecision decide(double w, double initial_accept_fraction, Xoshiro256PlusPlus& rng) const;

    // Records row r with weight w; on a full sampler it replaces the top.
    void add(double w, std::uint64_t r);

    [[nodiscard]] bool is_full() const { return size >= capacity; }
};

}  // namespace morvik3::morvik
