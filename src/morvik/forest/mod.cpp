#include "morvik/forest/mod.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

#include "morvik/tree/traversal.hpp"

namespace morvik3::morvik {

namespace {

constexpr std::uint64_t u64_max = std::numeric_limits<std::uint64_t>::max();

// a * b elements of T fit in one vector.
template <class T>
bool fits(std::uint64_t a, std::uint64_t b) {
    std::uint64_t n = 0;
    return !__builtin_mul_overflow(a, b, &n) && n <= std::vector<T>().max_size();
}

}  // namespace

Result<void> MorvikConfig::validate() const {
    auto fail = [](const char* m) { return std::unexpected(Error::invalid_argument(m)); };
    std::uint64_t product = 0;
    if (input_dim == 0) return fail("input_dim must be > 0");
    if (shingle_size == 0) return fail("shingle_size must be > 0");
    if (__builtin_mul_overflow(input_dim, shingle_size, &product))
        return fail("input_dim * shingle_size overflows usize");
    if (capacity == 0) return fail("capacity must be > 0");
    if (num_trees == 0) return fail("num_trees must be > 0");
    if (capacity > (u64_max - 4) / 2) return fail("2 * capacity + 4 overflows usize");
    if (__builtin_mul_overflow(capacity, num_trees, &product) || product == u64_max)
        return fail("capacity * num_trees + 1 overflows usize");
    if (!std::isfinite(time_decay) || time_decay < 0.0) return fail("time_decay must be finite and >= 0.0");
    if (!std::isfinite(initial_accept_fraction) || initial_accept_fraction < 0.0 || initial_accept_fraction > 1.0)
        return fail("initial_accept_fraction must be finite and in [0.0, 1.0]");
    return {};
}

double MorvikConfig::effective_decay() const {
    return time_decay != 0.0 ? time_decay : 0.1 / static_cast<double>(capacity);
}

std::uint64_t MorvikConfig::ready_threshold() const {
    const std::uint64_t base = output_after != 0 ? output_after : capacity / 4 + 1;
    const std::uint64_t warm = internal_shingling ? shingle_size - 1 : 0;
    std::uint64_t sum = 0;
    // A threshold past the largest count can never be passed anyway.
    if (__builtin_add_overflow(base, warm, &sum)) return u64_max;
    return sum;
}

Forest Forest::create(const MorvikConfig& config, std::uint64_t resolved_seed) {
    const std::uint64_t dim = config.dim();
    // Row block, box blocks and heaps must be addressable; a configuration
    // too large for memory fails like any other allocation.
    const std::uint64_t rows = config.store_rows();
    if (!fits<float>(rows, dim) || !fits<Node>(config.node_room(), 1) || !fits<float>(config.node_room(), 2 * dim) ||
        !fits<double>(config.capacity, 1) || !fits<MorvikTree>(config.num_trees, 1))
        throw std::bad_alloc();
    Forest f;
    f.config = config;
    auto master = Xoshiro256PlusPlus::seed_from_u64(resolved_seed);
    f.trees.reserve(config.num_trees);
    for (std::uint64_t i = 0; i < config.num_trees; ++i) {
        const auto tree_rng = Xoshiro256PlusPlus::seed_from_u64(master.next_u64());
        f.trees.push_back(MorvikTree::create(dim, tree_rng));
    }
    f.rng = Xoshiro256PlusPlus::seed_from_u64(master.next_u64());
    f.samplers.assign(config.num_trees, Sampler::create(config.capacity));
    f.point_store = PointStore::create(config.input_dim, config.shingle_size, config.internal_shingling, rows);
    f.decisions.reserve(config.num_trees);
    f.descents.reserve(config.num_trees);
    f.rejection_bounds.resize(config.num_trees);
    return f;
}

ByteCount memory_need(const MorvikConfig& c) {
    const std::uint64_t dim = c.dim();
    const std::uint64_t rows = c.store_rows();
    const std::uint64_t room = c.node_room();
    const ByteCount store = ByteCount::of<float>(rows) * dim +
                            ByteCount::of(rows, sizeof(bool) + 2 * sizeof(std::uint64_t)) +  // flags, counts, free list
                            ByteCount::of<float>(dim);                                       // the shingle
    const ByteCount tree = ByteCount::of<Node>(room) + ByteCount::of<float>(room) * (2 * dim) +
                           ByteCount::of<std::uint64_t>(room) + ByteCount::of<PathStep>(room / 2) +
                           ByteCount::of(1, sizeof(MorvikTree) + sizeof(Sampler)) +
                           ByteCount::of(c.capacity, sizeof(double) + sizeof(std::uint64_t)) +
                           ByteCount::of(1, sizeof(PendingDecision) + sizeof(TreeDescent) + sizeof(RejectionBound) +
                                                sizeof(double));  // update scratch and a walk's value
    const ByteCount query = ByteCount::of<std::uint64_t>(room) * walk_lanes +
                            ByteCount::of(dim, 2 * sizeof(float) + sizeof(double) + sizeof(Attribution));
    return store + tree * c.num_trees + query;
}

std::uint64_t memory_bytes(const Forest& f) {
    const PointStore& store = f.point_store;
    std::uint64_t bytes = sizeof(Forest) + held(f.trees) + held(f.samplers) + held(store.store) +
                          held(store.occupied) + held(store.ref_count) + held(store.free_list) +
                          held(store.shingle_buf) + held(f.decisions) + held(f.descents) + held(f.rejection_bounds) +
                          f.live_rows.bytes();
    for (const MorvikTree& t : f.trees)
        bytes += held(t.arena.nodes) + held(t.arena.free) + held(t.arena.bounds) + held(t.path);
    for (const Sampler& s : f.samplers) bytes += held(s.weights) + held(s.point_indices);
    return bytes;
}

std::string repr(const Forest& f) {
    const MorvikConfig& c = f.config;
    return "Forest(input_dim=" + std::to_string(c.input_dim) + ", shingle_size=" + std::to_string(c.shingle_size) +
           ", num_trees=" + std::to_string(c.num_trees) + ", capacity=" + std::to_string(c.capacity) +
           ", entries_seen=" + std::to_string(f.entries_seen) + ")";
}

}  // namespace morvik3::morvik
