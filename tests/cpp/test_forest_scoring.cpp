#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <ostream>
#include <random>
#include <thread>
#include <vector>

#include "error.hpp"
#include "morvik/forest/mod.hpp"
#include "morvik/forest/query.hpp"
#include "morvik/forest/update.hpp"

namespace {

using namespace morvik3;
using namespace morvik3::morvik;

constexpr float inf = std::numeric_limits<float>::infinity();
constexpr float nan = std::numeric_limits<float>::quiet_NaN();

struct Shape {
    std::uint64_t input_dim = 1;
    std::uint64_t shingle_size = 1;
    bool internal_shingling = true;
    std::uint64_t num_trees = 1;
    std::uint64_t capacity = 16;
};

void PrintTo(const Shape& s, std::ostream* os) {
    *os << "input_dim=" << s.input_dim << " shingle_size=" << s.shingle_size
        << " internal_shingling=" << s.internal_shingling << " num_trees=" << s.num_trees << " capacity=" << s.capacity;
}

// initial_accept_fraction 1.0: every tree accepts every point until it holds `capacity` of them.
Forest make_forest(const Shape& s, std::uint64_t seed = 7) {
    auto config = MorvikConfig::build(s.input_dim, s.shingle_size, s.capacity, s.num_trees, 0.0, 0,
                                      s.internal_shingling, 1.0);
    EXPECT_TRUE(config.has_value());
    return Forest::create(*config, seed);
}

void feed(Forest& f, const std::vector<std::vector<float>>& points) {
    for (const auto& p : points) ASSERT_TRUE(update(f, p).has_value());
}

double value(const Result<double>& r) {
    EXPECT_TRUE(r.has_value());
    return r.value_or(nan);
}

// ---------------------------------------------------------------------------
// Hand-computed trees.  With every point accepted, one point makes a root leaf
// and two distinct 1-d points 0 and 1 make a root with box [0, 1]
// (range_sum 1, mass 2) over leaves 0 (left) and 1 (right), whatever the cut.

const double lg3 = std::log2(3.0);

struct HandCase {
    const char* name;
    std::vector<std::vector<float>> points;
    std::vector<float> query;
    double score;
    double displacement;
    double density;
    std::vector<Attribution> attribution;
};

void PrintTo(const HandCase& c, std::ostream* os) { *os << c.name; }

// Root separating with probability p above a leaf at depth 1 that misses.
double score_miss_below(double p) { return (0.5 * (1.0 - p) + 1.0 * p) * lg3; }
double displacement_miss_below(double p) { return (1.0 * (1.0 - p) + 2.0 * p) / 3.0; }
double density_miss_below(double p) { return 0.0 * (1.0 - p) + 2.0 * p; }

std::vector<HandCase> hand_cases() {
    const double p3 = 2.0 / (1.0 + 2.0);  // query 3 against [0, 1]
    const double pm1 = 1.0 / (1.0 + 1.0);  // query -1 against [0, 1]
    const double p2d = 7.0 / (1.0 + 7.0);  // query (3, 5) against [0, 1] x [0, 0]
    const std::vector<std::vector<float>> pair{{0.0f}, {1.0f}};
    const std::vector<std::vector<float>> pair2d{{0.0f, 0.0f}, {1.0f, 0.0f}};
    const double matched_leaf = 1.0 / (1.0 + std::log2(2.0)) * (1.0 - 1.0 / 4.0) * lg3;
    return {
        // A leaf holding all the mass damps a match by exactly one half.
        {"lone_leaf_match", {{5.0f}}, {5.0f}, 1.0 / std::log2(2.0) * 0.5 * std::log2(2.0), 0.5 * 0.5 / 2.0, 1.0,
         {{0.0, 0.0}}},
        {"lone_leaf_miss", {{5.0f}}, {7.0f}, 1.0 * std::log2(2.0), 1.0 / 2.0, 0.0, {{0.0, 0.0}}},
        {"duplicate_leaf_match", {{5.0f}, {5.0f}}, {5.0f}, 1.0 / lg3 * (1.0 - 2.0 / 4.0) * lg3,
         1.0 / 3.0 * 0.5 / 3.0, 2.0, {{0.0, 0.0}}},
        {"duplicate_leaf_miss", {{5.0f}, {5.0f}}, {6.0f}, 1.0 * lg3, 2.0 / 3.0, 0.0, {{0.0, 0.0}}},
        {"outside_right", pair, {3.0f}, score_miss_below(p3), displacement_miss_below(p3), density_miss_below(p3),
         {{p3 * lg3, 0.0}}},
        {"outside_left", pair, {-1.0f}, score_miss_below(pm1), displacement_miss_below(pm1),
         density_miss_below(pm1), {{0.0, pm1 * lg3}}},
        {"stored_right", pair, {1.0f}, matched_leaf, 0.5 * 0.75 / 3.0, 1.0, {{0.0, 0.0}}},
        {"stored_left", pair, {0.0f}, matched_leaf, 0.5 * 0.75 / 3.0, 1.0, {{0.0, 0.0}}},
        // Infinite gaps separate with certainty: the leaf term drops out and
        // the attribution carries the whole score.
        {"minus_infinity", pair, {-inf}, 1.0 * lg3, 2.0 / 3.0, 2.0, {{0.0, lg3}}},
        {"plus_infinity", pair, {inf}, 1.0 * lg3, 2.0 / 3.0, 2.0, {{lg3, 0.0}}},
        // NaN routes right, adds no gap, and never matches.
        {"nan", pair, {nan}, 0.5 * lg3, 1.0 / 3.0, 0.0, {{0.0, 0.0}}},
        // The gap spans every dimension; only the cut dimension is credited.
        {"gap_over_all_dims", pair2d, {3.0f, 5.0f}, score_miss_below(p2d), displacement_miss_below(p2d),
         density_miss_below(p2d), {{p2d * lg3, 0.0}, {0.0, 0.0}}},
        {"infinite_in_uncut_dim", pair2d, {-0.5f, -inf}, 1.0 * lg3, 2.0 / 3.0, 2.0, {{0.0, lg3}, {0.0, 0.0}}},
    };
}

class ForestScoringHand : public testing::TestWithParam<std::tuple<HandCase, std::uint64_t>> {};

TEST_P(ForestScoringHand, MatchesHandComputation) {
    const auto& [c, num_trees] = GetParam();
    Forest f = make_forest({.input_dim = c.query.size(), .num_trees = num_trees});
    feed(f, c.points);
    EXPECT_EQ(value(score(f, c.query)), c.score);
    EXPECT_EQ(value(displacement_score(f, c.query)), c.displacement);
    EXPECT_EQ(value(density(f, c.query)), c.density);
    const auto a = attribution(f, c.query);
    ASSERT_TRUE(a.has_value());
    ASSERT_EQ(a->size(), c.attribution.size());
    for (std::size_t d = 0; d < a->size(); ++d) {
        EXPECT_EQ((*a)[d].below, c.attribution[d].below) << "dim " << d;
        EXPECT_EQ((*a)[d].above, c.attribution[d].above) << "dim " << d;
    }
}

INSTANTIATE_TEST_SUITE_P(ForestScoring, ForestScoringHand,
                         testing::Combine(testing::ValuesIn(hand_cases()), testing::Values(std::uint64_t{1}, std::uint64_t{2})),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) + "_" +
                                    std::to_string(std::get<1>(info.param)) + "trees";
                         });

// ---------------------------------------------------------------------------
// A plain recursive evaluation of the definitions, checked bit for bit against
// the walks on forests grown through sampling, eviction and duplicates.

struct OracleRule {
    std::function<double(double, double)> seen, unseen, damp, normalise;
    bool leaf_miss_is_zero = false;
};

double oracle_node(const MorvikTree& t, const PointStore& s, const std::vector<float>& q, std::uint64_t i,
                   double depth, const OracleRule& rule) {
    const Node& n = t.arena.nodes.at(i);
    if (n.is_leaf()) {
        const auto row = s.row(n.point_idx);
        bool same = true;
        for (std::size_t d = 0; d < q.size(); ++d) same = same && row[d] == q[d];
        const double m = static_cast<double>(n.mass);
        if (same) return rule.seen(depth, m) * rule.damp(m, static_cast<double>(t.tree_mass));
        return rule.leaf_miss_is_zero ? 0.0 : rule.unseen(depth, m);
    }
    const double v = oracle_node(t, s, q, q[n.cut_dim] <= n.cut_val ? n.left : n.right, depth + 1, rule);
    const auto lo = t.arena.min(i);
    const auto hi = t.arena.max(i);
    float gap = 0.0f;
    for (std::size_t d = 0; d < q.size(); ++d) gap += q[d] < lo[d] ? lo[d] - q[d] : (q[d] > hi[d] ? q[d] - hi[d] : 0.0f);
    if (gap == 0.0f) return v;
    const double p = (n.range_sum == 0.0 || std::isinf(gap)) ? 1.0 : double(gap) / (n.range_sum + double(gap));
    return v * (1.0 - p) + rule.unseen(depth, static_cast<double>(n.mass)) * p;
}

double oracle_forest(const Forest& f, const std::vector<float>& q, const OracleRule& rule) {
    double sum = 0.0;
    for (const MorvikTree& t : f.trees) {
        if (t.root == NULL_INDEX || t.tree_mass == 0) continue;
        sum += rule.normalise(oracle_node(t, f.point_store, q, t.root, 0.0, rule), static_cast<double>(t.tree_mass));
    }
    return sum / static_cast<double>(f.trees.size());
}

std::vector<Attribution> oracle_attribution(const Forest& f, const std::vector<float>& q) {
    std::vector<Attribution> out(q.size());
    for (const MorvikTree& t : f.trees) {
        if (t.root == NULL_INDEX) continue;
        double r = 1.0;
        double k = 0.0;
        for (std::uint64_t i = t.root; t.arena.nodes.at(i).is_internal(); k += 1.0) {
            const Node& n = t.arena.nodes.at(i);
            const auto lo = t.arena.min(i);
            const auto hi = t.arena.max(i);
            float gap = 0.0f;
            for (std::size_t d = 0; d < q.size(); ++d)
                gap += q[d] < lo[d] ? lo[d] - q[d] : (q[d] > hi[d] ? q[d] - hi[d] : 0.0f);
            const bool left = q[n.cut_dim] <= n.cut_val;
            if (gap != 0.0f) {
                const double p =
                    (n.range_sum == 0.0 || std::isinf(gap)) ? 1.0 : double(gap) / (n.range_sum + double(gap));
                (left ? out[n.cut_dim].above : out[n.cut_dim].below) +=
                    r * p * (1.0 / (k + 1.0)) * std::log2(double(t.tree_mass) + 1.0);
                r = r * (1.0 - p);
            }
            i = left ? n.left : n.right;
        }
    }
    for (Attribution& a : out) {
        a.below /= double(f.trees.size());
        a.above /= double(f.trees.size());
    }
    return out;
}

const OracleRule score_oracle{
    [](double k, double m) { return 1.0 / (k + std::log2(m + 1.0)); }, [](double k, double) { return 1.0 / (k + 1.0); },
    [](double m, double t) { return 1.0 - m / (2.0 * t); }, [](double v, double t) { return v * std::log2(t + 1.0); }};
const OracleRule displacement_oracle{
    [](double, double m) { return 1.0 / (m + 1.0); }, [](double, double m) { return m; },
    [](double m, double t) { return 1.0 - m / (2.0 * t); }, [](double v, double t) { return v / (t + 1.0); }};
const OracleRule density_oracle{[](double, double m) { return m; }, [](double, double m) { return m; },
                                [](double, double) { return 1.0; }, [](double v, double) { return v; }, true};

class ForestScoringOracle : public testing::TestWithParam<Shape> {};

TEST_P(ForestScoringOracle, WalksAgreeWithRecursiveDefinition) {
    const Shape shape = GetParam();
    Forest f = make_forest(shape, 2024);
    const std::size_t n = shape.internal_shingling ? shape.input_dim : shape.input_dim * shape.shingle_size;
    const std::size_t dim = shape.input_dim * shape.shingle_size;
    std::mt19937_64 gen(11);
    // A coarse grid makes duplicate leaves; far more points than capacity forces evictions.
    std::uniform_int_distribution<int> grid(-4, 4);
    std::vector<float> p(n);
    for (int step = 0; step < 400; ++step) {
        for (float& x : p) x = 0.5f * float(grid(gen));
        ASSERT_TRUE(update(f, p).has_value());
    }

    std::uniform_real_distribution<float> wide(-6.0f, 6.0f);
    std::vector<std::vector<float>> queries;
    for (int j = 0; j < 40; ++j) {
        std::vector<float> q(dim);
        for (float& x : q) x = j % 2 ? wide(gen) : 0.5f * float(grid(gen));
        if (j % 10 == 3) q[j % dim] = j % 20 == 3 ? inf : -inf;
        if (j % 10 == 7) q[j % dim] = nan;
        queries.push_back(q);
    }
    for (std::uint64_t r = 0; r < f.point_store.next_free; r += 3) {
        const auto row = f.point_store.row(r);
        queries.emplace_back(row.begin(), row.end());
    }

    for (const auto& q : queries) {
        EXPECT_EQ(value(score(f, q)), oracle_forest(f, q, score_oracle));
        EXPECT_EQ(value(displacement_score(f, q)), oracle_forest(f, q, displacement_oracle));
        EXPECT_EQ(value(density(f, q)), oracle_forest(f, q, density_oracle));
        const auto a = attribution(f, q);
        ASSERT_TRUE(a.has_value());
        EXPECT_EQ(*a, oracle_attribution(f, q));
        for (const Attribution& e : *a) EXPECT_TRUE(std::isfinite(e.below) && std::isfinite(e.above));
    }
}

INSTANTIATE_TEST_SUITE_P(ForestScoring, ForestScoringOracle,
                         testing::Values(Shape{1, 1, true, 5, 16}, Shape{3, 1, true, 7, 24},
                                         Shape{2, 3, true, 4, 16}, Shape{2, 3, false, 4, 16},
                                         Shape{2, 1, true, 3, 256}));

// ---------------------------------------------------------------------------

TEST(ForestScoringEmpty, EveryQueryAnswersZero) {
    for (const Shape& s : {Shape{3, 1, true, 4}, Shape{2, 3, true, 4}, Shape{2, 3, false, 4}}) {
        const Forest f = make_forest(s);
        const std::vector<float> q(s.input_dim * s.shingle_size, 1.5f);
        EXPECT_EQ(value(score(f, q)), 0.0);
        EXPECT_EQ(value(displacement_score(f, q)), 0.0);
        EXPECT_EQ(value(density(f, q)), 0.0);
        EXPECT_EQ(attribution(f, q).value(), std::vector<Attribution>(q.size()));
    }
}

struct Mismatch {
    Shape shape;
    std::size_t length;
    std::uint64_t expected;
};

class ForestScoringMismatch : public testing::TestWithParam<Mismatch> {};

TEST_P(ForestScoringMismatch, NamesFullDimensionAndLearnsNothing) {
    const auto& [shape, length, expected] = GetParam();
    Forest f = make_forest(shape);
    const std::vector<float> p(length, 1.0f);
    auto check = [&](const Error& e) {
        EXPECT_EQ(e.kind, ErrorKind::dimension_mismatch);
        EXPECT_EQ(e.expected, expected);
        EXPECT_EQ(e.got, length);
    };
    check(score(f, p).error());
    check(displacement_score(f, p).error());
    check(density(f, p).error());
    check(attribution(f, p).error());
    check(update_and_score(f, p).error());
    EXPECT_EQ(f.entries_seen, 0u);
    EXPECT_EQ(f.point_store.shingle_buf, std::vector<float>(shape.input_dim * shape.shingle_size, 0.0f));
}

INSTANTIATE_TEST_SUITE_P(ForestScoring, ForestScoringMismatch,
                         testing::Values(Mismatch{{3, 1, true}, 2, 3}, Mismatch{{2, 3, true}, 4, 6},
                                         Mismatch{{2, 3, false}, 2, 6}, Mismatch{{2, 3, true}, 0, 6}));

TEST(ForestScoringShingle, QueryIsThePointTheUpdateWouldStore) {
    Forest f = make_forest({.input_dim = 2, .shingle_size = 3, .num_trees = 3, .capacity = 64});
    feed(f, {{1, 2}, {3, 4}, {5, 6}, {7, 8}});
    const std::vector<float> x{9.0f, 10.0f};
    const std::vector<float> shifted{5, 6, 7, 8, 9, 10};

    const double before = value(score(f, x));
    EXPECT_EQ(value(score(f, x)), before);
    EXPECT_EQ(before, value(score(f, shifted)));
    EXPECT_EQ(value(density(f, x)), value(density(f, shifted)));
    EXPECT_EQ(attribution(f, x).value(), attribution(f, shifted).value());

    EXPECT_EQ(value(update_and_score(f, x)), before);
    // Every tree accepted it, so the walk now ends on a matching leaf of mass 1.
    EXPECT_EQ(value(density(f, shifted)), 1.0);
    EXPECT_EQ(f.entries_seen, 5u);
}

TEST(ForestScoringShingle, FullPointUnderShinglingScoresButUpdateRefusesIt) {
    Forest f = make_forest({.input_dim = 2, .shingle_size = 3, .num_trees = 2});
    feed(f, {{1, 2}, {3, 4}, {5, 6}});
    const std::vector<float> full{3, 4, 5, 6, 1, 2};
    EXPECT_TRUE(score(f, full).has_value());
    const auto r = update_and_score(f, full);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().expected, 2u);
    EXPECT_EQ(r.error().got, 6u);
    EXPECT_EQ(f.entries_seen, 3u);
}

TEST(ForestScoringThreads, ConcurrentQueriesShareNoScratch) {
    Forest f = make_forest({.input_dim = 2, .shingle_size = 2, .num_trees = 8, .capacity = 32});
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(update(f, std::vector<float>{float(i % 7), float(i % 5)}).has_value());
    const std::vector<std::vector<float>> queries{{1, 1}, {9, -3}, {0, 0, 2, 2}, {3, 4, 5, 6}};
    std::vector<double> expected;
    for (const auto& q : queries) expected.push_back(value(score(f, q)));
    const Forest& shared = f;
    auto worker = [&](std::size_t offset, int& mismatches) {
        for (int round = 0; round < 2000; ++round) {
            const std::size_t j = (round + offset) % queries.size();
            if (score(shared, queries[j]).value_or(nan) != expected[j]) ++mismatches;
        }
    };
    int m0 = 0, m1 = 0;
    std::thread a(worker, 0, std::ref(m0));
    std::thread b(worker, 1, std::ref(m1));
    a.join();
    b.join();
    EXPECT_EQ(m0 + m1, 0);
}

// Broken trees, reachable only through inconsistent documents, fault instead of reading out of bounds.
TEST(ForestScoringCorrupt, BrokenTreesFaultWithInternalError) {
    const std::vector<std::function<void(MorvikTree&)>> breakages{
        [](MorvikTree& t) { t.root = t.arena.nodes.size() + 5; },
        [](MorvikTree& t) { t.arena.nodes[t.arena.nodes[t.root].right] = Node{}; },
        [](MorvikTree& t) { t.arena.nodes[t.root].left = t.arena.nodes[t.root].right = t.root; },
        [](MorvikTree& t) { t.arena.nodes[t.root].cut_dim = 9; },
        [](MorvikTree& t) { t.arena.bounds.resize(2); },
    };
    for (const auto& brk : breakages) {
        Forest f = make_forest({.input_dim = 1, .num_trees = 1});
        feed(f, {{0.0f}, {1.0f}});
        brk(f.trees[0]);
        const std::vector<float> q{2.0f};
        EXPECT_THROW((void)score(f, q), InternalError);
        EXPECT_THROW((void)attribution(f, q), InternalError);
    }
}

}  // namespace
