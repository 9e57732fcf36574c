#include "featuresketch/chain.hpp"

#include <cmath>
#include <limits>

#include "frame/error.hpp"

namespace morvik3::featuresketch {

ChainLayout build_layout(std::uint64_t chains, std::uint64_t depth, std::uint64_t dims, bool with_count_signal,
                         Xoshiro256PlusPlus& rng) {
    const std::uint64_t coordinates = with_count_signal ? dims + 1 : dims;
    ChainLayout layout;
    layout.chain_depth = depth;
    layout.levels.reserve(chains * depth);
    for (std::uint64_t c = 0; c < chains; ++c) {
        for (std::uint64_t k = 0; k < depth; ++k) {
            ChainLevel level;
            level.dimension = rng.mod_index(coordinates);
            // The count signal log1p(k) moves slowly: it gets narrower bins.
            const double base = (with_count_signal && level.dimension == dims) ? 2.0 : 4.0;
            level.width = base / std::exp2(static_cast<double>(k));
            level.offset = rng.range_f64(0.0, level.width);
            level.bin_volume_ratio = level.width / base;
            layout.levels.push_back(level);
        }
    }
    return layout;
}

}  // namespace morvik3::featuresketch
