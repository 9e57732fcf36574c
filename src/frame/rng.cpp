#include "frame/rng.hpp"

#include <sys/random.h>

#include <bit>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <string>
#include <system_error>

#include "frame/error.hpp"
#include "frame/ziggurat_tables.hpp"

namespace morvik3 {

namespace {

constexpr std::uint64_t golden_gamma = 0x9E3779B97F4A7C15;

constexpr std::uint64_t splitmix64_mix(std::uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EB;
    return z ^ (z >> 31);
}

// A double in [1, 2) whose 52 mantissa bits are the top bits of x.
double one_to_two(std::uint64_t x) { return std::bit_cast<double>((x >> 12) | 0x3FF0000000000000); }

// Uniform in the open interval (0, 1): logarithms in the tail sampler must never see 0.
double open01(Xoshiro256PlusPlus& rng) { return one_to_two(rng.next_u64()) - (1.0 - 0x1p-53); }

double normal_tail(Xoshiro256PlusPlus& rng, bool negative) {
    double a = 0.0;
    double b = 0.0;
    do {
        a = std::log(open01(rng)) / ziggurat::R;
        b = std::log(open01(rng));
    } while (-2.0 * b < a * a);
    return negative ? a - ziggurat::R : ziggurat::R - a;
}

}  // namespace

Xoshiro256PlusPlus Xoshiro256PlusPlus::seed_from_u64(std::uint64_t x) {
    Xoshiro256PlusPlus rng;
    for (std::uint64_t k = 0; k < 4; ++k) rng.s[k] = splitmix64_mix(x + (k + 1) * golden_gamma);
    return rng;
}

Xoshiro256PlusPlus Xoshiro256PlusPlus::seed_from_bytes(const std::array<std::uint8_t, 32>& bytes) {
    Xoshiro256PlusPlus rng;
    for (std::size_t k = 0; k < 4; ++k) {
        std::uint64_t word = 0;
        for (std::size_t j = 0; j < 8; ++j) word |= std::uint64_t{bytes[8 * k + j]} << (8 * j);
        rng.s[k] = word;
    }
    // The all-zero state is the one xoshiro cannot leave.
    if (rng.s == std::array<std::uint64_t, 4>{}) return seed_from_u64(0);
    return rng;
}

double Xoshiro256PlusPlus::range_f64(double low, double high) {
    const double width = high - low;
    if (!(low < high) || !std::isfinite(width)) internal_failure("cannot sample empty range");
    return (one_to_two(next_u64()) - 1.0) * width + low;
}

float Xoshiro256PlusPlus::range_f32(float low, float high) {
    if (!(low < high) || !std::isfinite(low) || !std::isfinite(high)) internal_failure("cannot sample empty range");
    const float value1_2 = std::bit_cast<float>(static_cast<std::uint32_t>(next_u64() >> 41) | 0x3F800000u);
    const float u = value1_2 - 1.0f;
    const float width = high - low;
    if (std::isfinite(width)) return u * width + low;
    // Bounds of opposite signs near the largest floats: the same draw,
    // scaled where the width fits, lands between them.
    return static_cast<float>(static_cast<double>(low) +
                              static_cast<double>(u) * (static_cast<double>(high) - static_cast<double>(low)));
}

std::uint64_t Xoshiro256PlusPlus::range_index(std::uint64_t n) {
    if (n == 0) internal_failure("cannot sample empty range");
    // Widening multiply: the high word is the index.  A low word close enough to
    // wrapping decides its carry from one more draw, which makes the bias negligible.
    if (n <= 0xFFFFFFFFu) {
        const std::uint64_t product = (next_u64() >> 32) * n;
        std::uint64_t result = product >> 32;
        const std::uint64_t lo = product & 0xFFFFFFFFu;
        if (lo > (std::uint64_t{1} << 32) - n) {
            const std::uint64_t refine = ((next_u64() >> 32) * n) >> 32;
            if (lo + refine > 0xFFFFFFFFu) result += 1;
        }
        return result;
    }
    const unsigned __int128 product = static_cast<unsigned __int128>(next_u64()) * n;
    std::uint64_t result = static_cast<std::uint64_t>(product >> 64);
    const auto lo = static_cast<std::uint64_t>(product);
    if (lo > std::uint64_t{0} - n) {
        const auto refine = static_cast<std::uint64_t>((static_cast<unsigned __int128>(next_u64()) * n) >> 64);
        if (lo + refine < lo) result += 1;
    }
    return result;
}

std::uint64_t Xoshiro256PlusPlus::mod_index(std::uint64_t n) {
    if (n == 0) internal_failure("cannot take an index modulo zero");
    return next_u64() % n;
}

double Xoshiro256PlusPlus::standard_normal() {
    using ziggurat::F;
    using ziggurat::X;
    for (;;) {
        const std::uint64_t bits = next_u64();
        const std::size_t i = bits & 0xFF;
        const double u = 2.0 * one_to_two(bits) - 3.0;
        const double candidate = u * X[i];
        if (std::abs(candidate) < X[i + 1]) return candidate;
        if (i == 0) return normal_tail(*this, u < 0.0);
        if (F[i + 1] + (F[i] - F[i + 1]) * unit_f64() < std::exp(-candidate * candidate / 2.0)) return candidate;
    }
}

std::uint64_t resolve_seed(std::optional<std::uint64_t> seed) {
    if (seed) return *seed;
    std::array<std::uint8_t, 32> bytes{};
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        const ssize_t got = getrandom(bytes.data() + filled, bytes.size() - filled, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            internal_failure("unexpected failure from SysRng: " + std::generic_category().message(errno));
        }
        filled += static_cast<std::size_t>(got);
    }
    return Xoshiro256PlusPlus::seed_from_bytes(bytes).next_u64();
}

}  // namespace morvik3
