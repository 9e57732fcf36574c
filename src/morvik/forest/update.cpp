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
        for (std::uint64_t i = 0; i < config.num_trees; ++i) {
            const double w = Sampler::weight(rng.unit_f64(), seq, lambda);
            const SamplerDecision d = forest.samplers[i].decide(w, config.initial_accept_fraction, rng);
            if (d.accept) decisions.push_back({d.evict, d.evicted_row, i, w});
        }
    }

    for (const PendingDecision& d : decisions) {
        if (!d.evict) continue;
        if (auto ok = forest.trees[d.tree].check_delete(store, d.evicted_row); !ok) return ok;
    }
    if (!decisions.empty() && store.allocation_would_overflow())
        return std::unexpected(Error::overflow("point store capacity growth overflows usize"));

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

    bool used = false;
    for (const PendingDecision& d : decisions) {
        MorvikTree& tree = forest.trees[d.tree];
        if (d.evict) {
            tree.delete_point(store, d.evicted_row);
            store.release(d.evicted_row);
        }
        const std::uint64_t r = tree.insert(store, h);
        store.add_ref(r);
        used = used || r == h;
        forest.samplers[d.tree].add(d.weight, r);
    }
    // Every accepting tree merged the point into an existing duplicate.
    if (!used) store.release(h);
    return {};
}

}  // namespace morvik3::morvik
