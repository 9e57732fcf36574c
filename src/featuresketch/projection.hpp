// Feature projection: a feature event (name -> value) becomes a value vector
// and a presence vector of fixed length without any per-feature table.  Every
// projection coefficient is recomputed from a keyed hash of the feature name
// and the coordinate index.
#pragma once

#include <bit>
#include <cstdint>
#include <span>
#include <string_view>
#include <tuple>
#include <vector>

#include "frame/error.hpp"
#include "frame/json.hpp"
#include "frame/key_value.hpp"
#include "frame/rng.hpp"

namespace morvik3::featuresketch {

// The keyed hash shared by the projection and the sketch rows (the portable
// variant of aHash with four seeds); reproducible bit for bit everywhere.
struct KeyedHash {
    std::uint64_t buffer = 0;
    std::uint64_t pad = 0;
    std::uint64_t extra0 = 0;
    std::uint64_t extra1 = 0;

    // Inline, like finish(): the sketch hashes hundreds of cells per event.
    explicit KeyedHash(const Seed4& seed)
        : buffer(seed.words[1] ^ 0xBE5466CF34E90C6CULL),
          pad(seed.words[0] ^ 0x452821E638D01377ULL),
          extra0(seed.words[2] ^ 0xC0AC29B7C97C50DDULL),
          extra1(seed.words[3] ^ 0x3F84D5B5B5470917ULL) {}

    void write_word(std::uint64_t x) { buffer = folded_multiply(x ^ buffer, multiple); }
    void write_bytes(std::span<const unsigned char> data);
    [[nodiscard]] std::uint64_t finish() const {
        return std::rotl(folded_multiply(buffer, pad), static_cast<int>(buffer & 63));
    }

    static constexpr std::uint64_t multiple = 0x5851F42D4C957F2DULL;

    [[nodiscard]] static std::uint64_t folded_multiply(std::uint64_t a, std::uint64_t b) {
        const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
        return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
    }

private:
    void block(std::uint64_t a, std::uint64_t b);
};

[[nodiscard]] std::uint64_t hash_name(const Seed4& seed, std::string_view name);
[[nodiscard]] std::uint64_t hash_words(const Seed4& seed, std::uint64_t w1, std::uint64_t w2, std::uint64_t w3);

// +-sqrt(3) with probability 1/6 each, 0 otherwise.
[[nodiscard]] inline double coefficient(std::uint64_t h) {
    static constexpr double by_remainder[6] = {1.7320508075688772, -1.7320508075688772, 0.0, 0.0, 0.0, 0.0};
    return by_remainder[h % 6];
}

struct ProjectionSeeds {
    Seed4 value;
    Seed4 presence;
    Seed4 feature_lo;
    Seed4 feature_hi;

    static constexpr std::string_view json_name = "ProjectionSeeds";
    static constexpr auto json_fields() {
        return std::tuple{json::field("value", &ProjectionSeeds::value),
                          json::field("presence", &ProjectionSeeds::presence),
                          json::field("feature_lo", &ProjectionSeeds::feature_lo),
                          json::field("feature_hi", &ProjectionSeeds::feature_hi)};
    }

    friend bool operator==(const ProjectionSeeds&, const ProjectionSeeds&) = default;
};

// One distinct feature of a normalised event; `name` views the event's text.
struct NormalisedFeature {
    std::string_view name;
    double weight = 0.0;  // asinh of the summed values
};

// Working storage of `normalise`, kept by the caller so that a steady stream
// of events allocates nothing.
struct NormaliseScratch {
    struct Entry {
        std::string_view name;
        std::size_t position;
        double value;
    };
    std::vector<Entry> entries;
};

// Distinct names in ascending byte order with weight asinh(sum of values).
// Reports the first failure in the caller's order: a non-finite value or a
// non-finite running sum.
[[nodiscard]] Result<void> normalise(const KeyValueLike& event, NormaliseScratch& scratch,
                                     std::vector<NormalisedFeature>& out);

// Fills `value` (length V) and `presence` (length P + 1, the last coordinate
// being the feature-count signal log1p(k)).
void project(std::span<const NormalisedFeature> features, const ProjectionSeeds& seeds, std::span<double> value,
             std::span<double> presence);

}  // namespace morvik3::featuresketch
