#include "morvik/sampler.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "frame/error.hpp"
#include "morvik/point_store.hpp"

namespace morvik3::morvik {

namespace {

// The first `n` elements of `v` as elements of type T, `fill` past its end.
template <class T, class Sequence>
void write_padded(std::string& out, const Sequence& v, std::uint64_t n, T fill) {
    out.push_back('[');
    for (std::uint64_t k = 0; k < n; ++k) {
        if (k != 0) out.push_back(',');
        json::Codec<T>::write(out, k < v.size() ? T(v[k]) : fill);
    }
    out.push_back(']');
}

}  // namespace

void Sampler::WeightsForm::write(std::string& out, const Sampler& s) {
    write_padded(out, s.weights, s.capacity, json::NullAsNegInf<double>(0.0));
}

bool Sampler::WeightsForm::read(json::Reader& r, Sampler& s) {
    std::vector<json::NullAsNegInf<double>> read;
    if (!json::Codec<decltype(read)>::read(r, read)) return false;
    s.weights.resize(read.size());
    std::ranges::transform(read, s.weights.begin(), [](const auto& w) { return w.value; });
    return true;
}

void Sampler::RowsForm::write(std::string& out, const Sampler& s) {
    write_padded(out, s.point_indices, s.capacity, NULL_INDEX);
}

bool Sampler::RowsForm::read(json::Reader& r, Sampler& s) {
    return json::Codec<std::vector<std::uint64_t>>::read(r, s.point_indices);
}

Sampler Sampler::create(std::uint64_t capacity) {
    Sampler s;
    s.capacity = capacity;
    return s;
}

double Sampler::weight(double u, std::uint64_t seq, double lambda) {
    const double clamped = std::clamp(u, min_draw, max_draw);
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

void Sampler::add(double w, std::uint64_t r) {
    if (weights.size() != point_indices.size() || weights.size() > capacity || size > weights.size())
        internal_failure("sampler heap inconsistent with its capacity and size");
    // The entries passed over move one level; (w, r) is written once, where
    // it comes to rest.  The comparisons are those of swapping it along.
    auto put = [&](std::size_t to, std::size_t from) {
        weights[to] = weights[from];
        point_indices[to] = point_indices[from];
    };
    std::size_t i = 0;
    if (size < capacity) {
        if (size == weights.size()) {
            weights.push_back(0.0);
            point_indices.push_back(static_cast<std::uint64_t>(-1));
        }
        i = size++;
        while (i > 0) {
            const std::size_t parent = (i - 1) / 2;
            if (!(w > weights[parent])) break;
            put(i, parent);
            i = parent;
        }
    } else {
        if (size == 0) internal_failure("sampler of capacity 0");
        // The larger child (the left one on a tie) rises while it outweighs
        // w (w stays on a tie): the same moves as comparing w with the left
        // child and the larger of the two with the right, but with selects
        // where those branches would be coin flips.
        for (;;) {
            const std::size_t left = 2 * i + 1;
            if (left >= size) break;
            const std::size_t right = left + 1;
            const double left_weight = weights[left];
            const double right_weight = right < size ? weights[right] : left_weight;
            const std::size_t larger = right_weight > left_weight ? right : left;
            if (!(weights[larger] > w)) break;
            put(i, larger);
            i = larger;
        }
    }
    weights[i] = w;
    point_indices[i] = r;
}

// Observations a bound covers past the one it is worked out for: the decay
// term grows with each, which widens the margin of draws left to weight().
constexpr std::uint64_t bound_span = 63;

void RejectionBound::rebuild(double top_now, std::uint64_t seq, double lambda_now) {
    top = top_now;
    lambda = lambda_now;
    last_seq = seq > std::numeric_limits<std::uint64_t>::max() - bound_span ? std::numeric_limits<std::uint64_t>::max()
                                                                            : seq + bound_span;
    below = 0.0;
    // weight(u) = ln(-ln u') - seq * lambda is at least `top` once
    // ln(-ln u') >= top + last_seq * lambda (the decay term only grows with
    // seq), that is once u' <= exp(-exp(top + last_seq * lambda)).  The margin
    // covers, many times over, every rounding of that threshold and of the
    // logarithms in weight(); any doubt leaves the draw to weight().
    const double decay = static_cast<double>(last_seq) * lambda;
    const double margin = 1e-9 * (1.0 + std::fabs(top) + std::fabs(decay));
    const double t = top + decay + 2.0 * margin;
    if (!std::isfinite(t)) return;
    const double e = std::exp(t);
    // Past this exp(-e) underflows, and no clamped draw lies below it anyway.
    if (!(e <= 5000.0)) return;
    below = std::exp(-e) * (1.0 - 1e-12);
}


}  // namespace morvik3::morvik
