// A tree's time-decayed weighted reservoir: keeps the `capacity` points of
// smallest weight in a max-heap so the one to evict is always on top.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "frame/error.hpp"
#include "frame/json.hpp"
#include "frame/rng.hpp"

namespace morvik3::morvik {

// A sampler's answer to a new observation.
struct SamplerDecision {
    bool accept = false;
    bool evict = false;
    std::uint64_t evicted_row = 0;  // meaningful when evict
    double weight = 0.0;            // meaningful when accept
};

struct RejectionBound;

// The draws weight() takes, clamped so that ln(-ln u) stays finite at both
// ends of [0, 1).
inline constexpr double min_draw = 0x1p-52;
inline constexpr double max_draw = 1.0 - 0x1p-52;

struct Sampler {
    std::uint64_t capacity = 0;
    // The heap and the row held at each position.  A new sampler grows them as
    // it fills; positions past their length, like those at or above `size`,
    // are unused and stand for weight 0.0 and no row.
    std::vector<double> weights;
    std::vector<std::uint64_t> point_indices;
    std::uint64_t size = 0;

    // The document holds every position up to `capacity`: unused weights as
    // 0.0 (and -inf, which seq * decay can reach, as null), unused rows as
    // NULL_INDEX.  A loaded sampler keeps the lengths the document gave.
    struct WeightsForm {
        using Record = Sampler;
        static void write(std::string& out, const Sampler& s);
        [[nodiscard]] static bool read(json::Reader& r, Sampler& s);
    };
    struct RowsForm {
        using Record = Sampler;
        static void write(std::string& out, const Sampler& s);
        [[nodiscard]] static bool read(json::Reader& r, Sampler& s);
    };

    static constexpr std::string_view json_name = "Sampler";
    static constexpr auto json_fields() {
        return std::tuple{json::field("capacity", &Sampler::capacity), json::form_field<WeightsForm>("weights"),
                          json::form_field<RowsForm>("point_indices"), json::field("size", &Sampler::size)};
    }

    // An empty sampler; it takes memory only as it fills.
    [[nodiscard]] static Sampler create(std::uint64_t capacity);

    // ln(-ln u') - seq * lambda with u clamped into [2^-52, 1 - 2^-52].
    [[nodiscard]] static double weight(double u, std::uint64_t seq, double lambda);
    // Warm-up acceptance probability at fill fraction size / capacity.
    [[nodiscard]] double warmup_probability(double initial_accept_fraction) const;

    // Draws the observation's uniform from the forest's `rng`, and a second
    // one only while warming up, then decides for observation `seq` under
    // decay `lambda`.  `bound` is this sampler's, kept by the caller from one
    // observation to the next: it spares the weight of the draws a full
    // sampler surely rejects, the common case once full.
    [[nodiscard]] SamplerDecision decide(Xoshiro256PlusPlus& rng, std::uint64_t seq, double lambda,
                                         double initial_accept_fraction, RejectionBound& bound) const;

    // Records row r with weight w; on a full sampler it replaces the top.
    void add(double w, std::uint64_t r);

    [[nodiscard]] bool is_full() const { return size >= capacity; }
};

// Draws below which a full sampler surely rejects: weight() of such a draw
// reaches the sampler's largest weight, however its two logarithms round.
// Lets the common rejection skip them.  Derived from the sampler and never
// stored; it checks for itself whether it still applies.
struct RejectionBound {
    double top = 0.0;            // the largest weight it was worked out for
    std::uint64_t last_seq = 0;  // the last observation number it covers
    double lambda = 0.0;
    double below = 0.0;  // clamped draws below this are rejected; 0 when unknown

    // Whether it holds for a sampler whose largest weight is `top_now`: a
    // smaller top only rejects more, an earlier observation weighs more.
    [[nodiscard]] bool applies(double top_now, std::uint64_t seq, double lambda_now) const {
        return top_now <= top && seq <= last_seq &&
               std::bit_cast<std::uint64_t>(lambda_now) == std::bit_cast<std::uint64_t>(lambda);
    }
    // Works the bound out for observations seq onwards, for a while.
    void rebuild(double top_now, std::uint64_t seq, double lambda_now);
    // Draw u, taken for a sampler the bound applies to, is surely rejected.
    [[nodiscard]] bool rejects(double u) const { return std::clamp(u, min_draw, max_draw) < below; }
};

// Inline: the update asks every sampler for every observation.
inline SamplerDecision Sampler::decide(Xoshiro256PlusPlus& rng, std::uint64_t seq, double lambda,
                                       double initial_accept_fraction, RejectionBound& bound) const {
    const double u = rng.unit_f64();
    if (size < capacity) {
        if (rng.unit_f64() < warmup_probability(initial_accept_fraction)) return {true, false, 0, weight(u, seq, lambda)};
        return {};
    }
    if (weights.empty() || point_indices.empty()) internal_failure("full sampler without a heap");
    const double top = weights[0];
    if (!bound.applies(top, seq, lambda)) bound.rebuild(top, seq, lambda);
    if (bound.rejects(u)) return {};
    const double w = weight(u, seq, lambda);
    if (w < top) return {true, true, point_indices[0], w};
    return {};
}

}  // namespace morvik3::morvik
