#include "featuresketch/projection.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

namespace morvik3::featuresketch {

namespace {

template <class Word>
std::uint64_t load_le(const unsigned char* p) {
    Word w;
    std::memcpy(&w, p, sizeof w);
    if constexpr (std::endian::native == std::endian::big) w = std::byteswap(w);
    return w;
}

}  // namespace

void KeyedHash::block(std::uint64_t a, std::uint64_t b) {
    const std::uint64_t combined = folded_multiply(a ^ extra0, b ^ extra1);
    buffer = std::rotl((buffer + pad) ^ combined, 23);
}

void KeyedHash::write_bytes(std::span<const unsigned char> data) {
    const std::size_t n = data.size();
    const unsigned char* d = data.data();
    buffer = (buffer + n) * multiple;
    if (n > 16) {
        block(load_le<std::uint64_t>(d + n - 16), load_le<std::uint64_t>(d + n - 8));
        while (n - static_cast<std::size_t>(d - data.data()) > 16) {
            block(load_le<std::uint64_t>(d), load_le<std::uint64_t>(d + 8));
            d += 16;
        }
    } else if (n > 8) {
        block(load_le<std::uint64_t>(d), load_le<std::uint64_t>(d + n - 8));
    } else if (n >= 4) {
        block(load_le<std::uint32_t>(d), load_le<std::uint32_t>(d + n - 4));
    } else if (n >= 2) {
        block(load_le<std::uint16_t>(d), d[n - 1]);
    } else if (n == 1) {
        block(d[0], d[0]);
    } else {
        block(0, 0);
    }
}

std::uint64_t hash_name(const Seed4& seed, std::string_view name) {
    KeyedHash h(seed);
    h.write_bytes({reinterpret_cast<const unsigned char*>(name.data()), name.size()});
    h.write_word(0xFF);
    return h.finish();
}

std::uint64_t hash_words(const Seed4& seed, std::uint64_t w1, std::uint64_t w2, std::uint64_t w3) {
    KeyedHash h(seed);
    h.write_word(w1);
    h.write_word(w2);
    h.write_word(w3);
    return h.finish();
}

Result<void> normalise(const KeyValueLike& event, NormaliseScratch& scratch, std::vector<NormalisedFeature>& out) {
    auto& entries = scratch.entries;
    entries.clear();
    out.clear();
    constexpr std::size_t none = std::numeric_limits<std::size_t>::max();
    std::size_t first_bad_value = none;
    for (std::size_t i = 0; i < event.entries.size(); ++i) {
        const auto& [name, value] = event.entries[i];
        if (first_bad_value == none && !std::isfinite(value)) first_bad_value = i;
        entries.push_back({name, i, value});
    }
    // Sorting by (name, position) keeps each name's values in the caller's
    // order, so the running sums are those of a visit in that order.
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
        return a.name != b.name ? a.name < b.name : a.position < b.position;
    });
    std::size_t first_bad_sum = none;
    for (std::size_t i = 0; i < entries.size();) {
        double sum = 0.0;
        std::size_t j = i;
        for (; j < entries.size() && entries[j].name == entries[i].name; ++j) {
            sum += entries[j].value;
            if (!std::isfinite(sum)) first_bad_sum = std::min(first_bad_sum, entries[j].position);
        }
        out.push_back({entries[i].name, sum});
        i = j;
    }
    // A visit in the caller's order stops at whichever failure comes first;
    // on one entry the value check precedes the sum check.
    if (first_bad_value != none && first_bad_value <= first_bad_sum) {
        out.clear();
        return std::unexpected(Error::invalid_argument("feature values must be finite"));
    }
    if (first_bad_sum != none) {
        out.clear();
        return std::unexpected(Error::invalid_argument("combined feature values must be finite"));
    }
    for (auto& f : out) f.weight = std::asinh(f.weight);
    return {};
}

void project(std::span<const NormalisedFeature> features, const ProjectionSeeds& seeds, std::span<double> value,
             std::span<double> presence) {
    if (presence.empty()) internal_failure("presence vector lacks the feature-count coordinate");
    std::fill(value.begin(), value.end(), 0.0);
    std::fill(presence.begin(), presence.end(), 0.0);
    const std::size_t presence_dims = presence.size() - 1;
    for (const auto& feature : features) {
        const std::uint64_t lo = hash_name(seeds.feature_lo, feature.name);
        const std::uint64_t hi = hash_name(seeds.feature_hi, feature.name);
        // Every coordinate's hash starts with the same two words: hash them once.
        KeyedHash value_prefix(seeds.value);
        value_prefix.write_word(lo);
        value_prefix.write_word(hi);
        KeyedHash presence_prefix(seeds.presence);
        presence_prefix.write_word(lo);
        presence_prefix.write_word(hi);
        for (std::size_t i = 0; i < value.size(); ++i) {
            KeyedHash h = value_prefix;
            h.write_word(i);
            value[i] += coefficient(h.finish()) * feature.weight;
        }
        for (std::size_t i = 0; i < presence_dims; ++i) {
            KeyedHash h = presence_prefix;
            h.write_word(i);
            presence[i] += coefficient(h.finish());
        }
    }
    presence[presence_dims] = std::log1p(static_cast<double>(features.size()));
}

}  // namespace morvik3::featuresketch
