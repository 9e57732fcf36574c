#include "morvik/forest/update.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace morvik3::morvik {

namespace {

// Memory for the accepting trees' new nodes, before anything changes: running
// out then leaves the forest as it was.  A deletion frees the slots of its
// leaf and of the leaf's parent, which the insertion after it takes first.
void reserve_nodes(Forest& forest) {
    for (std::size_t k = 0; const PendingDecision& d : forest.decisions) {
        MorvikTree& tree = forest.trees[d.tree];
        std::uint64_t freed = 0;
        if (d.evict && !tree.is_empty()) {
            const std::uint64_t leaf = forest.descents[k++].leaf;
            if (tree.arena.get(leaf).mass == 1) freed = tree.path.empty() ? 1 : 2;
        }
        tree.arena.reserve_for(2 - freed);
    }
}

// The evicting trees descend to the rows they drop and check that each can
// delete it.  The recorded paths serve the deletions of the
// commit; a failure clears them.
Result<void> check_evictions(Forest& forest) {
    const PointStore& store = forest.point_store;
    auto& descents = forest.descents;
    descents.clear();
    for (const PendingDecision& d : forest.decisions) {
        MorvikTree& tree = forest.trees[d.tree];
        if (d.evict && !tree.is_empty()) descents.push_back({&tree, store.row(d.evicted_row)});
    }
    descend_together(descents);
    Result<void> checked;
    for (std::size_t k = 0; const PendingDecision& d : forest.decisions) {
        if (!d.evict) continue;
        const MorvikTree& tree = forest.trees[d.tree];
        checked = tree.is_empty() ? std::unexpected(Error::runtime("cannot delete from an empty tree"))
                                  : tree.check_descended(descents[k++].leaf);
        if (!checked) break;
    }
    if (checked && !forest.decisions.empty() && store.allocation_would_overflow())
        checked = std::unexpected(Error::overflow("point store capacity growth overflows usize"));
    const auto clear_paths = [&] {
        for (const TreeDescent& d : descents) d.tree->path.clear();
    };
    if (!checked) {
        clear_paths();
        return checked;
    }
    try {
        reserve_nodes(forest);
    } catch (const std::bad_alloc&) {
        clear_paths();
        throw;
    }
    return checked;
}

// Each accepting tree first drops its evicted row along the path the check
// recorded, then takes row h.  Trees share nothing but row values, which no
// step here changes, so the trees are worked in phases, the insert descents
// side by side.
void apply_to_trees(Forest& forest, std::uint64_t h) {
    const RowView rows(forest.point_store);
    auto& descents = forest.descents;
    for (const TreeDescent& d : descents) d.tree->delete_at(rows, d.leaf);
    const std::span<const float> x = rows.row(h);
    descents.clear();
    for (const PendingDecision& d : forest.decisions) {
        MorvikTree& tree = forest.trees[d.tree];
        if (!tree.is_empty()) descents.push_back({&tree, x});
    }
    descend_together(descents);
    for (std::size_t k = 0; PendingDecision& d : forest.decisions) {
        MorvikTree& tree = forest.trees[d.tree];
        const std::uint64_t leaf = tree.is_empty() ? NULL_INDEX : descents[k++].leaf;
        d.inserted_row = tree.insert_at(rows, h, leaf);
    }
}

}  // namespace

Result<void> check_observation(const Forest& forest, std::span<const float> point) {
    const std::uint64_t expected = forest.config.update_length();
    if (point.size() != expected) return std::unexpected(Error::dimension_mismatch(expected, point.size()));
    if (!std::ranges::all_of(point, [](float v) { return std::isfinite(v); }))
        return std::unexpected(Error::invalid_argument("point values must be finite"));
    if (forest.entries_seen == std::numeric_limits<std::uint64_t>::max())
        return std::unexpected(Error::overflow("entries_seen overflows u64"));
    return {};
}

void decide(Forest& forest, std::uint64_t seq, Xoshiro256PlusPlus& rng, std::vector<PendingDecision>& decisions) {
    const MorvikConfig& config = forest.config;
    decisions.clear();
    const std::uint64_t warm = config.internal_shingling ? config.shingle_size - 1 : 0;
    if (seq <= warm) return;
    if (forest.samplers.size() < config.num_trees || forest.trees.size() < config.num_trees)
        internal_failure("fewer trees or samplers than num_trees");
    const double lambda = config.effective_decay();
    // A loaded or copied forest starts without bounds; they are derived.
    if (forest.rejection_bounds.size() != config.num_trees) forest.rejection_bounds.assign(config.num_trees, {});
    // The generator in registers, not behind a reference the loop's stores
    // might alias.
    Xoshiro256PlusPlus draws = rng;
    const Sampler* const samplers = forest.samplers.data();
    RejectionBound* const bounds = forest.rejection_bounds.data();
    for (std::uint64_t i = 0; i < config.num_trees; ++i) {
        const SamplerDecision s = samplers[i].decide(draws, seq, lambda, config.initial_accept_fraction, bounds[i]);
        if (s.accept) decisions.push_back({s.evict, s.evicted_row, i, s.weight});
    }
    rng = draws;
}

std::uint64_t store_observation(Forest& forest, std::span<const float> point, std::uint64_t seq,
                                const Xoshiro256PlusPlus& rng, bool has_decisions, bool write) {
    const MorvikConfig& config = forest.config;
    PointStore& store = forest.point_store;
    if (config.internal_shingling) store.push_observation(point);
    forest.entries_seen = seq;
    forest.rng = rng;
    ++store.entries_seen;
    if (!has_decisions) return NULL_INDEX;

    const auto allocated = store.allocate_row();
    if (!allocated) internal_failure("point store allocation failed after its check");
    const std::uint64_t h = *allocated;
    if (write) store.write_row(h, config.internal_shingling ? std::span<const float>(store.shingle_buf) : point);
    check_index(h, store.occupied.size(), "point store row out of range");
    store.occupied[h] = true;
    store.ref_count[h] = 0;
    ++store.size;
    return h;
}

void settle_decisions(Forest& forest, std::span<const PendingDecision> decisions, std::uint64_t h) {
    PointStore& store = forest.point_store;
    bool used = false;
    for (const PendingDecision& d : decisions) {
        if (d.evict) store.release(d.evicted_row);
        store.add_ref(d.inserted_row);
        used = used || d.inserted_row == h;
        forest.samplers[d.tree].add(d.weight, d.inserted_row);
    }
    // Every accepting tree merged the point into an existing duplicate.
    if (!used) store.release(h);
}

Result<void> update(Forest& forest, std::span<const float> point) {
    if (auto ok = check_observation(forest, point); !ok) return ok;
    const std::uint64_t seq = forest.entries_seen + 1;
    // Decide on a copy of the generator so a failed check leaves it untouched.
    Xoshiro256PlusPlus rng = forest.rng;
    decide(forest, seq, rng, forest.decisions);
    if (auto ok = check_evictions(forest); !ok) return ok;

    // Nothing can fail from here on.
    forest.live_rows.drop();
    const std::uint64_t h = store_observation(forest, point, seq, rng, !forest.decisions.empty());
    if (h == NULL_INDEX) return {};
    apply_to_trees(forest, h);
    settle_decisions(forest, forest.decisions, h);
    return {};
}

}  // namespace morvik3::morvik
