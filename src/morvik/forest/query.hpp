// The forest's read-only answers about one point: anomaly score, displacement
// score, per-dimension attribution and density, each the plain average of a
// walk down every tree; the near neighbours the trees find around it; and
// update_and_score, the score taken before learning.  The read-only queries
// keep no mutable state and may run on several threads at once over one
// forest.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "frame/error.hpp"
#include "morvik/forest/mod.hpp"
#include "morvik/tree/traversal.hpp"

namespace morvik3::morvik {

// The vector a query walks for the caller's `point`.  Under internal
// shingling a base observation becomes the point update() would store for it
// (the shingle shifted by one observation, with `point` appended), so a query
// and the update that follows it see the same vector; a full-length point is
// taken as it is.  The result views either `point` or `buffer`.
[[nodiscard]] Result<std::span<const float>> form_query(const Forest& forest, std::span<const float> point,
                                                        std::vector<float>& buffer);

// The forest's trees, checked to be as many as it was configured with.
[[nodiscard]] const std::vector<MorvikTree>& forest_trees(const Forest& forest);

[[nodiscard]] Result<double> score(const Forest& forest, std::span<const float> point);
[[nodiscard]] Result<double> displacement_score(const Forest& forest, std::span<const float> point);
[[nodiscard]] Result<double> density(const Forest& forest, std::span<const float> point);
// One record per dimension of the full point, in dimension order.
[[nodiscard]] Result<std::vector<Attribution>> attribution(const Forest& forest, std::span<const float> point);

// A stored point near a query: its leaf scores summed over the trees that
// reached it and divided by the number of trees, and its L1 distance.
struct Neighbor {
    double score = 0.0;
    std::uint64_t point_idx = 0;
    double distance = 0.0;
    std::vector<float> point;
};

// At most `top_k` stored points near `point`, nearest first (NaN distances
// last).  `percentile` (at most 100) prunes the search of the subtrees away
// from the query's own path: lower values enter more of them.
[[nodiscard]] Result<std::vector<Neighbor>> near_neighbors(const Forest& forest, std::span<const float> point,
                                               std::uint64_t top_k, std::uint64_t percentile);

// The score of `point` on the forest as it is, then the update with it; an
// update failure is reported instead of the score.
[[nodiscard]] Result<double> update_and_score(Forest& forest, std::span<const float> point);

}  // namespace morvik3::morvik
