#include "morvik/forest/query.hpp"

#include "morvik/forest/update.hpp"
#include "scratch.hpp"

namespace morvik3::morvik {

namespace {

// Per-thread scratch of the walks: concurrent queries on one forest share
// nothing, and a thread's buffers stop growing once they fit its deepest path.
struct QueryScratch {
    std::vector<float> query;
    WalkScratch walk;

    // What a query of a large forest grew goes back when the call ends.
    [[nodiscard]] auto release_when_done() {
        auto& lanes = walk.lanes;
        return ScratchRelease(query, walk.values, lanes[0].path, lanes[1].path, lanes[2].path, lanes[3].path);
    }
};
static_assert(walk_lanes == 4, "release_when_done names every lane");

QueryScratch& query_scratch() {
    thread_local QueryScratch scratch;
    return scratch;
}

const std::vector<MorvikTree>& walked_trees(const Forest& forest) {
    if (forest.trees.size() != forest.config.num_trees || forest.trees.empty())
        internal_failure("tree count differs from num_trees");
    return forest.trees;
}

template <class Rule>
Result<double> forest_average(const Forest& forest, std::span<const float> point) {
    QueryScratch& scratch = query_scratch();
    const auto release = scratch.release_when_done();
    const auto query = form_query(forest, point, scratch.query);
    if (!query) return std::unexpected(query.error());
    const auto& trees = walked_trees(forest);
    const double sum = forest_walk<Rule>(trees, forest.point_store, *query, scratch.walk);
    return sum / static_cast<double>(trees.size());
}

}  // namespace

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
    return forest_average<ScoreRule>(forest, point);
}

Result<double> displacement_score(const Forest& forest, std::span<const float> point) {
    return forest_average<DisplacementRule>(forest, point);
}

Result<double> density(const Forest& forest, std::span<const float> point) {
    return forest_average<DensityRule>(forest, point);
}

Result<std::vector<Attribution>> attribution(const Forest& forest, std::span<const float> point) {
    QueryScratch& scratch = query_scratch();
    const auto release = scratch.release_when_done();
    const auto query = form_query(forest, point, scratch.query);
    if (!query) return std::unexpected(query.error());
    const auto& trees = walked_trees(forest);
    std::vector<Attribution> sums(query->size());
    for (const MorvikTree& tree : trees) add_attribution(tree, *query, sums);
    const double n = static_cast<double>(trees.size());
    for (Attribution& a : sums) {
        a.below /= n;
        a.above /= n;
    }
    return sums;
}

Result<double> update_and_score(Forest& forest, std::span<const float> point) {
    const auto before = score(forest, point);
    if (!before) return before;
    if (auto learned = update(forest, point); !learned) return std::unexpected(learned.error());
    return before;
}

}  // namespace morvik3::morvik
