// The one random generator of the module: xoshiro256++ seeded through
// SplitMix64, with the draw primitives every detector uses.  The arithmetic
// of each draw is fixed bit for bit: stored generator states must continue
// the same stream after a reload.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <optional>
#include <string_view>
#include <tuple>

#include "frame/json.hpp"

namespace morvik3 {

struct Xoshiro256PlusPlus {
    std::array<std::uint64_t, 4> s{};

    static constexpr std::string_view json_name = "Xoshiro256PlusPlus";
    static constexpr auto json_fields() { return std::tuple{json::field("s", &Xoshiro256PlusPlus::s)}; }

    [[nodiscard]] static Xoshiro256PlusPlus seed_from_u64(std::uint64_t x);
    // All-zero bytes fall back to seed_from_u64(0).
    [[nodiscard]] static Xoshiro256PlusPlus seed_from_bytes(const std::array<std::uint8_t, 32>& bytes);

    // Inline: the samplers and the cuts draw in their inner loops.
    std::uint64_t next_u64() {
        const std::uint64_t result = std::rotl(s[0] + s[3], 23) + s[0];
        const std::uint64_t t = s[1] << 17;
        s[2] ^= s[0];
        s[3] ^= s[1];
        s[1] ^= s[2];
        s[0] ^= s[3];
        s[2] ^= t;
        s[3] = std::rotl(s[3], 45);
        return result;
    }
    double unit_f64() { return static_cast<double>(next_u64() >> 11) * 0x1p-53; }  // [0, 1), 53 bits
    double range_f64(double low, double high);   // [low, high); InternalError on empty range
    // [low, high] for finite low < high; a width beyond the float range is
    // scaled in double precision.  InternalError on an empty range.
    float range_f32(float low, float high);
    std::uint64_t range_index(std::uint64_t n);  // [0, n), n >= 1
    std::uint64_t mod_index(std::uint64_t n);    // next_u64() % n; InternalError on n == 0
    double standard_normal();                    // 256-layer ziggurat

    friend bool operator==(const Xoshiro256PlusPlus&, const Xoshiro256PlusPlus&) = default;
};

// Four 64-bit words of a fixed hashing seed; a JSON array of four integers.
struct Seed4 {
    std::array<std::uint64_t, 4> words{};

    static constexpr std::string_view json_name = "Seed4";
    static constexpr bool json_tuple_struct = true;  // written as a bare array
    static constexpr auto json_fields() { return std::tuple{json::field("0", &Seed4::words)}; }

    friend bool operator==(const Seed4&, const Seed4&) = default;
};

// The constructor's `seed`: the value itself, or, when absent, the first
// output of a generator seeded with 32 bytes from the operating system.
// Throws InternalError("unexpected failure from SysRng...") when the
// operating system cannot supply them.
[[nodiscard]] std::uint64_t resolve_seed(std::optional<std::uint64_t> seed);

}  // namespace morvik3
