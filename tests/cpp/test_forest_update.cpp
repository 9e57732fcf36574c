#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "morvik/forest/document.hpp"
#include "morvik/forest/mod.hpp"
#include "morvik/forest/update.hpp"

using namespace morvik3;
using namespace morvik3::morvik;

namespace {

constexpr std::uint64_t u64_max = std::numeric_limits<std::uint64_t>::max();
using Vec = std::vector<float>;

struct Args {
    std::uint64_t input_dim = 3, shingle_size = 1, capacity = 256, num_trees = 50;
    double time_decay = 0.0;
    std::uint64_t output_after = 0;
    bool internal_shingling = true;
    double initial_accept_fraction = 0.125;
};

Result<MorvikConfig> build(const Args& a) {
    return MorvikConfig::build(a.input_dim, a.shingle_size, a.capacity, a.num_trees, a.time_decay, a.output_after,
                               a.internal_shingling, a.initial_accept_fraction);
}

Forest make(const Args& a, std::uint64_t seed = 42) { return Forest::create(build(a).value(), seed); }

// The bookkeeping every update must keep exact: reference counts match the
// sampler entries, each tree holds its sampler's multiset of rows, and the
// store's occupancy agrees with itself.
void check_books(const Forest& f) {
    const PointStore& s = f.point_store;
    std::map<std::uint64_t, std::uint64_t> held;
    for (std::size_t i = 0; i < f.samplers.size(); ++i) {
        const Sampler& sampler = f.samplers[i];
        std::map<std::uint64_t, std::uint64_t> in_sampler, in_tree;
        for (std::uint64_t k = 0; k < sampler.size; ++k) {
            ++in_sampler[sampler.point_indices[k]];
            ++held[sampler.point_indices[k]];
        }
        const MorvikTree& t = f.trees[i];
        for (std::size_t n = 0; n < t.arena.nodes.size(); ++n)
            if (t.arena.nodes[n].is_leaf()) in_tree[t.arena.nodes[n].point_idx] += t.arena.nodes[n].mass;
        EXPECT_EQ(in_sampler, in_tree) << "tree " << i;
        EXPECT_EQ(t.tree_mass, sampler.size);
    }
    std::uint64_t occupied = 0;
    for (std::uint64_t r = 0; r < s.capacity; ++r) {
        occupied += s.occupied[r];
        const auto it = held.find(r);
        EXPECT_EQ(s.ref_count[r], it == held.end() ? 0 : it->second) << "row " << r;
        EXPECT_EQ(bool(s.occupied[r]), it != held.end()) << "row " << r;
    }
    EXPECT_EQ(s.size, occupied);
}

}  // namespace

TEST(ForestConfig, ValidationOrderAndMessages) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        Args args;
        const char* message;
    };
    const std::vector<Case> cases{
        {{.input_dim = 0, .capacity = 0}, "input_dim must be > 0"},
        {{.shingle_size = 0, .num_trees = 0}, "shingle_size must be > 0"},
        {{.input_dim = 1ull << 32, .shingle_size = 1ull << 32, .capacity = 0},
         "input_dim * shingle_size overflows usize"},
        {{.capacity = 0, .num_trees = 0}, "capacity must be > 0"},
        {{.num_trees = 0, .time_decay = -1}, "num_trees must be > 0"},
        {{.capacity = 1ull << 63, .num_trees = 1}, "2 * capacity + 4 overflows usize"},
        {{.capacity = (u64_max - 4) / 2 + 1, .num_trees = 1}, "2 * capacity + 4 overflows usize"},
        {{.capacity = 1ull << 32, .num_trees = 1ull << 32}, "capacity * num_trees + 1 overflows usize"},
        {{.capacity = 5, .num_trees = u64_max / 5}, "capacity * num_trees + 1 overflows usize"},  // == 2^64 - 1
        {{.time_decay = -1e-300, .initial_accept_fraction = 2}, "time_decay must be finite and >= 0.0"},
        {{.time_decay = nan}, "time_decay must be finite and >= 0.0"},
        {{.time_decay = inf}, "time_decay must be finite and >= 0.0"},
        {{.initial_accept_fraction = 1.0000001}, "initial_accept_fraction must be finite and in [0.0, 1.0]"},
        {{.initial_accept_fraction = -0.1}, "initial_accept_fraction must be finite and in [0.0, 1.0]"},
        {{.initial_accept_fraction = nan}, "initial_accept_fraction must be finite and in [0.0, 1.0]"},
    };
    for (const auto& c : cases) {
        const auto r = build(c.args);
        ASSERT_FALSE(r.has_value()) << c.message;
        EXPECT_EQ(r.error().kind, ErrorKind::invalid_argument);
        EXPECT_EQ(r.error().display(), c.message);
    }
    for (const Args& ok : {Args{.time_decay = -0.0}, Args{.initial_accept_fraction = 0.0},
                           Args{.initial_accept_fraction = 1.0}, Args{.capacity = (u64_max - 4) / 2, .num_trees = 1},
                           Args{.capacity = 2, .num_trees = u64_max / 2 - 1}})
        EXPECT_TRUE(build(ok).has_value());
}

TEST(ForestConfig, DerivedValues) {
    struct Case {
        Args args;
        std::uint64_t threshold;
        double decay;
    };
    const std::vector<Case> cases{
        {{}, 65, 0.000390625},
        {{.shingle_size = 4}, 68, 0.000390625},
        {{.shingle_size = 4, .output_after = 10, .internal_shingling = false}, 10, 0.000390625},
        {{.capacity = 10, .time_decay = -0.0}, 3, 0.01},  // -0.0 is "auto"
        {{.time_decay = 0.5, .output_after = 1}, 1, 0.5},
        {{.shingle_size = 3, .output_after = u64_max}, u64_max, 0.000390625},  // saturates
    };
    for (const auto& c : cases) {
        const MorvikConfig cfg = build(c.args).value();
        EXPECT_EQ(cfg.ready_threshold(), c.threshold);
        EXPECT_EQ(cfg.effective_decay(), c.decay);
    }
}

TEST(ForestConfig, CreateSizesStorageAndDerivesGenerators) {
    const Forest f = make({.input_dim = 2, .shingle_size = 3, .capacity = 10, .num_trees = 4}, 9);
    EXPECT_EQ(f.point_store.capacity, 41u);  // 10 * 4 + 1
    EXPECT_EQ(f.point_store.store.size(), 41u * 6);
    EXPECT_EQ(f.point_store.shingle_buf, Vec(6, 0.0f));
    EXPECT_EQ(make({.capacity = 10, .num_trees = 1}).point_store.capacity, 20u);  // 2 * capacity
    auto master = Xoshiro256PlusPlus::seed_from_u64(9);
    for (const MorvikTree& t : f.trees) {
        EXPECT_EQ(t.rng, Xoshiro256PlusPlus::seed_from_u64(master.next_u64()));
        EXPECT_TRUE(t.is_empty());
        EXPECT_EQ(t.dims, 6u);
        EXPECT_GE(t.arena.nodes.capacity(), 24u);
    }
    EXPECT_EQ(f.rng, Xoshiro256PlusPlus::seed_from_u64(master.next_u64()));
    EXPECT_EQ(f.samplers.size(), 4u);
    EXPECT_EQ(repr(make({})), "Forest(input_dim=3, shingle_size=1, num_trees=50, capacity=256, entries_seen=0)");
}

TEST(ForestConfig, UnaddressableStorageFailsAsAnAllocation) {
    // Valid settings whose storage cannot exist must not wrap into a small,
    // inconsistent store.
    for (const Args& a : {Args{.capacity = 1ull << 60, .num_trees = 1},
                          Args{.capacity = 1ull << 31, .num_trees = 1ull << 31},
                          Args{.input_dim = 1ull << 62, .capacity = 1, .num_trees = 1}})
        EXPECT_THROW((void)make(a), std::bad_alloc);
}

TEST(ForestUpdate, ShingleWarmupOnlyRollsAndCounts) {
    Forest f = make({.input_dim = 2, .shingle_size = 3});
    const auto rng = f.rng;
    for (float v : {1.0f, 3.0f}) ASSERT_TRUE(update(f, Vec{v, v + 1}).has_value());
    EXPECT_EQ(f.entries_seen, 2u);
    EXPECT_EQ(f.point_store.entries_seen, 2u);
    EXPECT_EQ(f.point_store.size, 0u);
    EXPECT_EQ(f.rng, rng);
    ASSERT_TRUE(update(f, Vec{5, 6}).has_value());
    EXPECT_NE(f.rng, rng);
    EXPECT_EQ(f.point_store.size, 1u);
    EXPECT_EQ(std::vector<float>(f.point_store.row(0).begin(), f.point_store.row(0).end()), (Vec{1, 2, 3, 4, 5, 6}));
    check_books(f);
}

TEST(ForestUpdate, RejectedPointsChangeNothing) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        Args args;
        Vec point;
        std::string message;
    };
    const Args flat{.input_dim = 2, .shingle_size = 3, .internal_shingling = false};
    const std::vector<Case> cases{
        {flat, {1, 2}, "dimension mismatch: expected 6, got 2"},
        {{.input_dim = 2, .shingle_size = 3}, {1, 2, 3, 4, 5, 6}, "dimension mismatch: expected 2, got 6"},
        {flat, {1, 2, 3, 4, 5, nan}, "point values must be finite"},
        {{.input_dim = 2}, {inf, 0}, "point values must be finite"},
        {{.input_dim = 2}, {0, -inf}, "point values must be finite"},
        {{.input_dim = 2}, {nan}, "dimension mismatch: expected 2, got 1"},  // length first
    };
    for (const auto& c : cases) {
        Forest f = make(c.args);
        std::mt19937 gen(1);
        for (int i = 0; i < 30; ++i) {
            Vec p(c.args.internal_shingling ? c.args.input_dim : c.args.input_dim * c.args.shingle_size);
            for (float& v : p) v = float(gen() % 100);
            ASSERT_TRUE(update(f, p).has_value());
        }
        const std::string before = to_json(f);
        const auto r = update(f, c.point);
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error().display(), c.message);
        EXPECT_EQ(to_json(f), before);
    }
}

TEST(ForestUpdate, FailedEvictionCheckChangesNothing) {
    Forest f = make({.input_dim = 1, .capacity = 1, .num_trees = 1});
    ASSERT_TRUE(update(f, Vec{1}).has_value());
    f.samplers[0].weights[0] = std::numeric_limits<double>::max();  // every new weight evicts
    f.trees[0].arena.get_mut(f.trees[0].root).mass = 0;
    const std::string before = to_json(f);
    const auto r = update(f, Vec{2});
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().display(), "runtime error: leaf mass is already 0");
    EXPECT_EQ(to_json(f), before);
}

TEST(ForestUpdate, StoreGrowthOverflowChangesNothing) {
    Forest f = make({.input_dim = 1, .capacity = 2, .num_trees = 1, .initial_accept_fraction = 1.0});
    // Pretend every row of an enormous store has been handed out.
    f.point_store.capacity = (u64_max - 4) / 2 + 1;
    f.point_store.next_free = f.point_store.capacity;
    const auto rng = f.rng;
    const auto r = update(f, Vec{1});
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().display(), "overflow: point store capacity growth overflows usize");
    EXPECT_EQ(f.rng, rng);
    EXPECT_EQ(f.entries_seen, 0u);
    EXPECT_EQ(f.point_store.shingle_buf, Vec{0});
}

TEST(ForestUpdate, SingleSlotForestKeepsOneRow) {
    Forest f = make({.input_dim = 1, .capacity = 1, .num_trees = 1}, 3);
    std::mt19937 gen(2);
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(update(f, Vec{float(gen() % 1000)}).has_value());
        EXPECT_EQ(f.point_store.size, 1u);
        EXPECT_LE(f.point_store.next_free, 2u);
        check_books(f);
    }
}

TEST(ForestUpdate, RepeatedPointMergesIntoTheFirstRow) {
    Forest f = make({.input_dim = 2, .capacity = 8, .num_trees = 5, .initial_accept_fraction = 1.0});
    ASSERT_TRUE(update(f, Vec{1, 2}).has_value());
    ASSERT_TRUE(update(f, Vec{1, 2}).has_value());
    for (const MorvikTree& t : f.trees) {
        EXPECT_EQ(t.arena.get(t.root).mass, 2u);
        EXPECT_EQ(t.arena.get(t.root).point_idx, 0u);
    }
    for (const Sampler& s : f.samplers) EXPECT_EQ(s.point_indices[1], 0u);
    EXPECT_EQ(f.point_store.ref_count[0], 10u);
    EXPECT_EQ(f.point_store.free_list, (std::vector<std::uint64_t>{1}));
    EXPECT_EQ(f.point_store.allocate_row().value(), 1u);
}

TEST(ForestUpdate, ReadinessThresholds) {
    struct Case {
        Args args;
        std::uint64_t ready_at;
    };
    const std::vector<Case> cases{
        {{.input_dim = 1}, 66},
        {{.input_dim = 1, .output_after = 1}, 2},
        {{.input_dim = 1, .shingle_size = 4}, 69},
        {{.input_dim = 1, .shingle_size = 4, .output_after = 10, .internal_shingling = false}, 11},
    };
    for (const auto& c : cases) {
        Forest f = make(c.args);
        const Vec p(c.args.internal_shingling ? 1 : c.args.shingle_size, 1.0f);
        for (std::uint64_t i = 1; i < c.ready_at; ++i) {
            ASSERT_TRUE(update(f, p).has_value());
            ASSERT_FALSE(is_ready(f)) << i;
        }
        ASSERT_TRUE(update(f, p).has_value());
        EXPECT_TRUE(is_ready(f));
        EXPECT_EQ(entries_seen(f), c.ready_at);
    }
}

TEST(ForestUpdate, LongStreamKeepsTheBooksAndIsDeterministic) {
    const Args args{.input_dim = 2, .shingle_size = 2, .capacity = 16, .num_trees = 6};
    Forest a = make(args, 77);
    Forest b = make(args, 77);
    std::mt19937 gen(4);
    std::normal_distribution<float> noise(0.0f, 1.0f);
    for (int i = 0; i < 600; ++i) {
        // Coarse values make duplicate leaves common.
        const Vec p{std::round(noise(gen) * 2), std::round(noise(gen) * 2)};
        ASSERT_TRUE(update(a, p).has_value());
        ASSERT_TRUE(update(b, p).has_value());
        if (i % 50 == 0) {
            check_books(a);
            EXPECT_EQ(to_json(a), to_json(b));
        }
    }
    check_books(a);
    for (const Sampler& s : a.samplers) EXPECT_EQ(s.size, 16u);
    EXPECT_LE(a.point_store.size, 16u * 6);
    EXPECT_EQ(a.point_store.capacity, 16u * 6 + 1);  // never grew
    EXPECT_EQ(to_json(a), to_json(b));
    EXPECT_NE(to_json(a), to_json(make(args, 78)));
}
