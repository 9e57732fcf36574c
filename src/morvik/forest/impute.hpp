// Estimates from the forest's samples: missing coordinates of a point, and
// the observations that follow the current shingle.  Each tree contributes
// the stored point nearest the query on the known coordinates; an estimate
// is the median of the contributions.  Both only read the forest: their
// randomness comes from a copy of its generator, so repeated calls agree.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "frame/error.hpp"
#include "morvik/forest/mod.hpp"

namespace morvik3::morvik {

// `point` (full length) with the coordinates listed in `missing` replaced by
// their estimates.  With `centrality` < 1 a tree may contribute a farther
// point at random.
[[nodiscard]] Result<std::vector<float>> impute(const Forest& forest, std::span<const float> point,
                                                std::span<const std::uint64_t> missing, double centrality);

// The next `look_ahead` base observations after the shingle, oldest first,
// each estimated from the shingle rolled forward over the ones before it.
[[nodiscard]] Result<std::vector<float>> extrapolate(const Forest& forest, std::uint64_t look_ahead);

}  // namespace morvik3::morvik
