#include "morvik/forest/impute.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <string>

#include "morvik/forest/query.hpp"
#include "morvik/tree/traversal.hpp"
#include "frame/scratch.hpp"

namespace morvik3::morvik {

namespace {

// Per-thread scratch, as for the other queries: concurrent calls on one
// forest share nothing.
struct ImputeScratch {
    std::vector<std::uint8_t> missing;  // one flag per coordinate
    std::vector<std::uint64_t> rows;    // one contribution per non-empty tree
    std::vector<std::uint64_t> stack;
    std::vector<std::int32_t> keys;
    std::vector<float> shingle;

    // What a query of a large forest grew goes back when the call ends.
    [[nodiscard]] auto release_when_done() { return ScratchRelease(missing, rows, stack, keys, shingle); }
};

ImputeScratch& impute_scratch() {
    thread_local ImputeScratch scratch;
    return scratch;
}

// The rows the trees contribute for `query`, in tree order.  Every tree,
// empty or not, takes its descent generator from one local master seeded
// with `seed`.
Result<void> collect_candidates(const Forest& forest, std::span<const float> query, double centrality,
                                std::uint64_t seed, ImputeScratch& scratch) {
    auto master = Xoshiro256PlusPlus::seed_from_u64(seed);
    scratch.rows.clear();
    for (const MorvikTree& tree : forest_trees(forest)) {
        auto rng = Xoshiro256PlusPlus::seed_from_u64(master.next_u64());
        if (tree.root == NULL_INDEX || tree.tree_mass == 0) continue;
        scratch.rows.push_back(
            nearest_on_known(tree, forest.point_store, query, scratch.missing, centrality, rng, scratch.stack));
    }
    if (scratch.rows.empty()) return std::unexpected(Error::not_ready());
    return {};
}

// A float's bits as an integer ordered like the float's IEEE total order
// (negative NaN first, positive NaN last); the mapping is its own inverse.
std::int32_t total_order(std::int32_t bits) {
    return bits ^ static_cast<std::int32_t>(static_cast<std::uint32_t>(bits >> 31) >> 1);
}

float float_of_key(std::int32_t key) { return std::bit_cast<float>(total_order(key)); }

// The median of the contributed rows' values at coordinate i; an even count
// takes the mean of the two middle values.
float median_at(const PointStore& store, std::size_t i, ImputeScratch& scratch) {
    std::vector<std::int32_t>& keys = scratch.keys;
    keys.clear();
    for (const std::uint64_t r : scratch.rows) keys.push_back(total_order(std::bit_cast<std::int32_t>(store.row(r)[i])));
    const auto mid = keys.begin() + static_cast<std::ptrdiff_t>(keys.size() / 2);
    std::ranges::nth_element(keys, mid);
    const float upper = float_of_key(*mid);
    if (keys.size() % 2 == 1) return upper;
    const float lower = float_of_key(*std::max_element(keys.begin(), mid));
    return (lower + upper) * 0.5f;
}

}  // namespace

Result<std::vector<float>> impute(const Forest& forest, std::span<const float> point,
                                  std::span<const std::uint64_t> missing, double centrality) {
    // Below 1.0 draws a choice, 1.0 and above never does: NaN is neither.
    if (std::isnan(centrality)) return std::unexpected(Error::invalid_argument("centrality must not be NaN"));
    if (missing.empty()) return std::unexpected(Error::invalid_argument("missing list is empty"));
    const std::uint64_t dim = forest.config.dim();
    if (point.size() != dim) return std::unexpected(Error::dimension_mismatch(dim, point.size()));
    ImputeScratch& scratch = impute_scratch();
    const auto release = scratch.release_when_done();
    scratch.missing.assign(dim, 0);
    for (const std::uint64_t i : missing) {
        if (i >= dim) return std::unexpected(Error::index_out_of_bounds(std::to_string(i)));
        scratch.missing[i] = 1;
    }
    Xoshiro256PlusPlus rng = forest.rng;
    if (auto found = collect_candidates(forest, point, centrality, rng.next_u64(), scratch); !found)
        return std::unexpected(found.error());
    std::vector<float> out(point.begin(), point.end());
    for (std::size_t i = 0; i < dim; ++i)
        if (scratch.missing[i]) out[i] = median_at(forest.point_store, i, scratch);
    return out;
}

Result<std::vector<float>> extrapolate(const Forest& forest, std::uint64_t look_ahead) {
    const MorvikConfig& config = forest.config;
    if (!config.internal_shingling)
        return std::unexpected(Error::invalid_argument("extrapolation requires internal_shingling = true"));
    if (config.shingle_size <= 1)
        return std::unexpected(Error::invalid_argument("extrapolation requires shingle_size > 1"));
    if (look_ahead == 0) return std::vector<float>{};
    if (look_ahead > config.shingle_size)
        return std::unexpected(Error::invalid_argument("extrapolation requires look_ahead <= shingle_size (got " +
                                                       std::to_string(look_ahead) + ", shingle_size=" +
                                                       std::to_string(config.shingle_size) + ")"));
    const std::uint64_t dim = config.dim();
    const std::uint64_t d = config.input_dim;
    if (forest.point_store.shingle_buf.size() != dim) internal_failure("shingle buffer length differs from dim");

    ImputeScratch& scratch = impute_scratch();
    const auto release = scratch.release_when_done();
    std::vector<float>& shingle = scratch.shingle;
    shingle = forest.point_store.shingle_buf;
    // The newest block is the observation being estimated at every step.
    scratch.missing.assign(dim, 0);
    std::fill(scratch.missing.end() - static_cast<std::ptrdiff_t>(d), scratch.missing.end(), 1);
    Xoshiro256PlusPlus rng = forest.rng;
    rng.next_u64();
    std::vector<float> out;
    out.reserve(look_ahead * d);
    for (std::uint64_t step = 0; step < look_ahead; ++step) {
        std::shift_left(shingle.begin(), shingle.end(), static_cast<std::ptrdiff_t>(d));
        if (auto found = collect_candidates(forest, shingle, 1.0, rng.next_u64(), scratch); !found)
            return std::unexpected(found.error());
        for (std::uint64_t i = dim - d; i < dim; ++i) {
            shingle[i] = median_at(forest.point_store, i, scratch);
            out.push_back(shingle[i]);
        }
    }
    return out;
}

}  // namespace morvik3::morvik
