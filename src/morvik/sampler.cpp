#include "morvik/sampler.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "error.hpp"

namespace morvik3::morvik {

namespace {

// Keeps ln(-ln u) finite at both ends of [0, 1).
constexpr double min_u = 0x1p-52;
constexpr double max_u = 1.0 - 0x1p-52;

}  // namespace

Sampler Sampler::create(std::uint64_t capacity) {
    Sampler s;
    s.capacity = capacity;
    s.weights.assign(capacity, 0.0);
    s.point_indices.assign(capacity, static_cast<std::uint64_t>(-1));
    return s;
}

double Sampler::weight(double u, std::uint64_t seq, double lambda) {
    const double clamped = std::clamp(u, min_u, max_u);
    const double decay = static_cast<double>(seq) * lambda;
    return std::log(-std::log(clamped)) - decay;
}

double Sampler::warmup_probability(double initial_accept_fraction) const {
    const double f = static_cast<double>(size) / static_cast<double>(capacity);
    const double a = initial_accept_fraction;
    if (f < a) return 1.0;
    if (a >= 1.0) return 0.0;
    return 1.0 - (f - a) / (1.0 - a);
}

SamplerDecision Sampler::decide(double w, double initial_accept_fraction, Xoshiro256PlusPlus& rng) const {
    if (size < capacity) {
        const double u2 = rng.unit_f64();
        return {u2 < warmup_probability(initial_accept_fraction), false, 0};
    }
    if (weights.empty() || point_indices.empty()) internal_failure("full sampler without a heap");
    if (w < weights[0]) return {true, true, point_indices[0]};
    return {};
}

void Sampler::add(double w, std::uint64_t r) {
    if (weights.size() < capacity || point_indices.size() < capacity || size > capacity)
        internal_failure("sampler heap shorter than its capacity");
    auto swap_positions = [&](std::size_t a, std::size_t b) {
        std::swap(weights[a], weights[b]);
        std::swap(point_indices[a], point_indices[b]);
    };
    if (size < capacity) {
        std::size_t i = size;
        weights[i] = w;
        point_indices[i] = r;
        ++size;
        while (i > 0) {
            const std::size_t parent = (i - 1) / 2;
            if (!(weights[i] > weights[parent])) break;
            swap_positions(i, parent);
            i = parent;
        }
        return;
    }
    if (size == 0) internal_failure("sampler of capacity 0");
    weights[0] = w;
    point_indices[0] = r;
    std::size_t i = 0;
    for (;;) {
        std::size_t largest = i;
        const std::size_t left = 2 * i + 1;
        const std::size_t right = 2 * i + 2;
        if (left < size && weights[left] > weights[largest]) largest = left;
        if (right < size && weights[right] > weights[largest]) largest = right;
        if (largest == i) break;
        swap_positions(i, largest);
        i = largest;
    }
}

}  // namespace morvik3::morvik
