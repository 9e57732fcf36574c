#include "morvik/forest/update.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace morvik3::morvik {

Result<void> update(Forest& forest, std::span<const float> point) {
    const MorvikConfig& config = forest.config;
    PointStore& store = forest.point_store;

    const std::uint64_t expected = config.update_length();
    if (point.size() != expected) return std::unexpected(Error::dimension_mismatch(expected, point.size()));
    if (!std::ranges::all_of(point, [](float v) { return std::isfinite(v); }))
        return std::unexpected(Error::invalid_argument("point values must be finite"));
    if (forest.entries_seen == std::numeric_limits<std::uint64_t>::max())
        return std::unexpected(Error::overflow("entries_seen overflows u64"));

    const std::uint64_t warm = config.internal_shingling ? config.shingle_size - 1 : 0;
    const std::uint64_t seq = forest.entries_seen + 1;

    // Decide on a copy of the generator so a failed check leaves it untouched.
    Xoshiro256PlusPlus rng = forest.rng;
    auto& decisions = forest.decisions;
    decisions.clear();
    if (seq > warm) {
        if (forest.samplers.size() < config.num_trees || forest.trees.size() < config.num_trees)
            internal_failure("fewer trees or samplers than num_trees");
        const double lambda = config.effective_decay();
        // A loaded or copied forest starts without bounds; they are derived.
        if (forest.rejection_bounds.size() != config.num_trees) forest.rejection_bounds.assign(config.num_trees, {});
        for (std::uint64_t i = 0; i < config.num_trees; ++i) {
            // Sampler::decide, with each weight worked out only when it can
            // matter: to be stored, or to be compared with a full sampler's top.
            const Sampler& sampler = forest.samplers[i];
            const double u = rng.unit_f64();
            if (!sampler.is_full()) {
                if (rng.unit_f64() < sampler.warmup_probability(config.initial_accept_fraction))
                    decisions.push_back({false, 0, i, Sampler::weight(u, seq, lambda)});
                continue;
            }
            if (sampler.weights.empty() || sampler.point_indices.empty()) fault("full sampler without a heap");
            const double top = sampler.weights[0];
            RejectionBound& bound = forest.rejection_bounds[i];
            if (!bound.applies(top, seq, lambda)) bound.rebuild(top, seq, lambda);
            if (bound.rejects(u)) continue;
            const double w = Sampler::weight(u, seq, lambda);
            if (w < top) decisions.push_back({true, sampler.point_indices[0], i, w});
        }
    }

    // The evicting trees descend to the rows they drop, all at once; the
    // recorded paths serve the deletions below.
    auto& descents = forest.descents;
    descents.clear();
    for (const PendingDecision& d : decisions) {
        MorvikTree& tree = forest.trees[d.tree];
        if (d.evict && !tree.is_empty()) descents.push_back({&tree, store.row(d.evicted_row)});
    }
    descend_together(descents);
    Result<void> checked;
    for (std::size_t k = 0; const PendingDecision& d : decisions) {
        if (!d.evict) continue;
        const MorvikTree& tree = forest.trees[d.tree];
        checked = tree.is_empty() ? std::unexpected(Error::runtime("cannot delete from an empty tree"))
                                  : tree.check_descended(descents[k++].leaf);
        if (!checked) break;
    }
    if (checked && !decisions.empty() && store.allocation_would_overflow())
        checked = std::unexpected(Error::overflow("point store capacity growth overflows usize"));
    if (!checked) {
        for (const TreeDescent& d : descents) d.tree->path.clear();
        return checked;
    }

    // Nothing can fail from here on.
    if (config.internal_shingling) store.push_observation(point);
    forest.entries_seen = seq;
    forest.rng = rng;
    if (seq <= warm || decisions.empty()) {
        ++store.entries_seen;
        return {};
    }

    const auto allocated = store.allocate_row();
    if (!allocated) internal_failure("point store allocation failed after its check");
    const std::uint64_t h = *allocated;
    store.write_row(h, config.internal_shingling ? std::span<const float>(store.shingle_buf) : point);
    check_index(h, store.occupied.size(), "point store row out of range");
    store.occupied[h] = true;
    store.ref_count[h] = 0;
    ++store.size;
    ++store.entries_seen;

    // Each tree first drops its evicted row, then takes the new one.  Trees
    // share nothing but row values, which no step here changes, so the trees
    // are worked in phases (the insert descents side by side) and the
    // reference counts and samplers follow in decision order.
    for (const TreeDescent& d : descents) d.tree->delete_at(store, d.leaf);
    const std::span<const float> x = store.row(h);
    descents.clear();
    for (const PendingDecision& d : decisions) {
        MorvikTree& tree = forest.trees[d.tree];
        if (!tree.is_empty()) descents.push_back({&tree, x});
    }
    descend_together(descents);
    bool used = false;
    for (std::size_t k = 0; PendingDecision& d : decisions) {
        MorvikTree& tree = forest.trees[d.tree];
        const std::uint64_t leaf = tree.is_empty() ? NULL_INDEX : descents[k++].leaf;
        d.inserted_row = tree.insert_at(store, h, leaf);
    }
    for (const PendingDecision& d : decisions) {
        if (d.evict) store.release(d.evicted_row);
        store.add_ref(d.inserted_row);
        used = used || d.inserted_row == h;
        forest.samplers[d.tree].add(d.weight, d.inserted_row);
    }
    // Every accepting tree merged the point into an existing duplicate.
    if (!used) store.release(h);
    return {};
}

}  // namespace morvik3::morvik
