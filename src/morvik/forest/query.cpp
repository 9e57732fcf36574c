#include "morvik/forest/query.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "morvik/forest/update.hpp"
#include "frame/scratch.hpp"

namespace morvik3::morvik {

namespace {

// Per-thread scratch of the walks: concurrent queries on one forest share
// nothing, and a thread's buffers stop growing once they fit its deepest path.
struct QueryScratch {
    std::vector<float> query;
    WalkScratch walk;
    std::vector<LeafHit> hits;
    std::vector<PendingNode> pending;

    // What a query of a large forest grew goes back when the call ends.
    [[nodiscard]] auto release_when_done() {
        auto& lanes = walk.lanes;
        return ScratchRelease(query, walk.values, lanes[0].path, lanes[1].path, lanes[2].path, lanes[3].path, hits,
                              pending);
    }
};
static_assert(walk_lanes == 4, "release_when_done names every lane");

QueryScratch& query_scratch() {
    thread_local QueryScratch scratch;
    return scratch;
}

// The average over all trees of `Sum`, the tree-order sum of their values.
template <auto Sum>
Result<double> forest_average(const Forest& forest, std::span<const float> point) {
    QueryScratch& scratch = query_scratch();
    const auto release = scratch.release_when_done();
    const auto query = form_query(forest, point, scratch.query);
    if (!query) return std::unexpected(query.error());
    const auto& trees = forest_trees(forest);
    const double sum = Sum(trees, forest.point_store, *query, scratch.walk);
    return sum / static_cast<double>(trees.size());
}

// Nearest first, ties by point index, NaN distances last: a strict total
// order on entries of distinct points.
bool nearer(const Neighbor& a, const Neighbor& b) {
    const bool a_nan = std::isnan(a.distance);
    const bool b_nan = std::isnan(b.distance);
    if (a_nan != b_nan) return b_nan;
    if (!a_nan && a.distance != b.distance) return a.distance < b.distance;
    return a.point_idx < b.point_idx;
}

}  // namespace

const std::vector<MorvikTree>& forest_trees(const Forest& forest) {
    if (forest.trees.size() != forest.config.num_trees || forest.trees.empty())
        internal_failure("tree count differs from num_trees");
    return forest.trees;
}

Result<std::span<const float>> form_query(const Forest& forest, std::span<const float> point,
                                          std::vector<float>& buffer) {
    const MorvikConfig& config = forest.config;
    const std::uint64_t dim = config.dim();
    if (config.internal_shingling && config.shingle_size > 1 && point.size() == config.input_dim) {
        buffer.resize(dim);
        shingled_query(forest.point_store, point, buffer);
        return std::span<const float>(buffer);
    }
    if (point.size() == dim) return point;
    return std::unexpected(Error::dimension_mismatch(dim, point.size()));
}

Result<double> score(const Forest& forest, std::span<const float> point) {
    return forest_average<forest_walk<ScoreRule>>(forest, point);
}

Result<double> displacement_score(const Forest& forest, std::span<const float> point) {
    return forest_average<forest_walk<DisplacementRule>>(forest, point);
}

Result<double> density(const Forest& forest, std::span<const float> point) {
    return forest_average<forest_density>(forest, point);
}

Result<std::vector<Attribution>> attribution(const Forest& forest, std::span<const float> point) {
    QueryScratch& scratch = query_scratch();
    const auto release = scratch.release_when_done();
    const auto query = form_query(forest, point, scratch.query);
    if (!query) return std::unexpected(query.error());
    const auto& trees = forest_trees(forest);
    std::vector<Attribution> sums(query->size());
    for (const MorvikTree& tree : trees) add_attribution(tree, *query, sums);
    const double n = static_cast<double>(trees.size());
    for (Attribution& a : sums) {
        a.below /= n;
        a.above /= n;
    }
    return sums;
}

Result<std::vector<Neighbor>> near_neighbors(const Forest& forest, std::span<const float> point,
                                             std::uint64_t top_k, std::uint64_t percentile) {
    if (percentile > 100) return std::unexpected(Error::invalid_argument("percentile must be in [0, 100]"));
    QueryScratch& scratch = query_scratch();
    const auto release = scratch.release_when_done();
    const auto query = form_query(forest, point, scratch.query);
    if (!query) return std::unexpected(query.error());
    const auto& trees = forest_trees(forest);
    std::vector<Neighbor> entries;
    if (top_k == 0) return entries;

    const double theta = static_cast<double>(percentile) / 100.0;
    std::vector<LeafHit>& hits = scratch.hits;
    hits.clear();
    for (std::size_t k = 0; k < trees.size(); ++k)
        collect_near_leaves(trees[k], k, forest.point_store, *query, theta, hits, scratch.pending);

    // Merge by point index; a tree reaches a point at most once, so ordering
    // by tree within a point adds its leaf scores up in tree order.
    std::ranges::sort(hits, {}, [](const LeafHit& h) { return std::pair(h.point_idx, h.tree); });
    const double n = static_cast<double>(trees.size());
    for (std::size_t k = 0; k < hits.size();) {
        // One point's distance is the same from every tree that reached it.
        const LeafHit& first = hits[k];
        double sum = 0.0;
        for (; k < hits.size() && hits[k].point_idx == first.point_idx; ++k) sum += hits[k].score;
        entries.push_back({sum / n, first.point_idx, first.distance, {}});
    }

    if (entries.size() > top_k) {
        const auto kept = entries.begin() + static_cast<std::ptrdiff_t>(top_k);
        std::ranges::nth_element(entries, kept, nearer);
        entries.erase(kept, entries.end());
    }
    std::ranges::sort(entries, nearer);
    for (Neighbor& e : entries) {
        const auto row = forest.point_store.row(e.point_idx);
        e.point.assign(row.begin(), row.end());
    }
    return entries;
}

Result<double> update_and_score(Forest& forest, std::span<const float> point) {
    const auto before = score(forest, point);
    if (!before) return before;
    if (auto learned = update(forest, point); !learned) return std::unexpected(learned.error());
    return before;
}

}  // namespace morvik3::morvik
