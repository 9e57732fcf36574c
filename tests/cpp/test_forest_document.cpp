#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "morvik/forest/document.hpp"
#include "morvik/forest/update.hpp"

using namespace morvik3;
using namespace morvik3::morvik;

namespace {

using Vec = std::vector<float>;
constexpr std::string_view prefix = "invalid forest JSON: ";

Forest make(std::uint64_t input_dim, std::uint64_t shingle_size, std::uint64_t capacity, std::uint64_t trees,
            double time_decay = 0.0, double accept = 0.125, std::uint64_t seed = 5) {
    return Forest::create(
        MorvikConfig::build(input_dim, shingle_size, capacity, trees, time_decay, 0, true, accept).value(), seed);
}

// A forest past warm-up: evictions have vacated node slots and store rows,
// and coarse values have made duplicate leaves.
Forest busy_forest() {
    Forest f = make(2, 2, 8, 3);
    std::mt19937 gen(8);
    for (int i = 0; i < 150; ++i) (void)update(f, Vec{float(gen() % 2), float(gen() % 2) * 0.5f});
    return f;
}

void feed(Forest& f, int n, std::uint32_t seed) {
    std::mt19937 gen(seed);
    for (int i = 0; i < n; ++i) {
        Vec p(f.config.update_length());
        for (float& v : p) v = float(gen() % 9);
        ASSERT_TRUE(update(f, p).has_value());
    }
}

doc::Forest parse(const std::string& text) { return json::read<doc::Forest>(text).value(); }

// First slot of tree 0 that satisfies `pred`.
std::uint64_t find_slot(const doc::Forest& d, const std::function<bool(const std::optional<doc::Node>&)>& pred) {
    const auto& nodes = d.trees[0].arena.nodes;
    for (std::uint64_t k = 0; k < nodes.size(); ++k)
        if (pred(nodes[k])) return k;
    ADD_FAILURE() << "no such slot";
    return 0;
}
bool is_internal(const std::optional<doc::Node>& n) { return n && std::holds_alternative<doc::Internal>(*n); }
bool is_leaf(const std::optional<doc::Node>& n) { return n && std::holds_alternative<doc::Leaf>(*n); }
doc::Internal& internal(doc::Forest& d, std::uint64_t k) { return std::get<doc::Internal>(*d.trees[0].arena.nodes[k]); }
doc::Internal& first_internal(doc::Forest& d) { return internal(d, find_slot(d, is_internal)); }
doc::Leaf& first_leaf(doc::Forest& d) { return std::get<doc::Leaf>(*d.trees[0].arena.nodes[find_slot(d, is_leaf)]); }
std::uint64_t vacant(const doc::Forest& d) {
    return find_slot(d, [](const auto& n) { return !n.has_value(); });
}
std::uint64_t free_row(const doc::Forest& d) {
    EXPECT_FALSE(d.point_store.free_list.empty());
    return d.point_store.free_list.empty() ? 0 : d.point_store.free_list.back();
}

}  // namespace

TEST(ForestDocument, FreshForestLayout) {
    const std::string text = to_json(make(1, 1, 2, 1, 0.0, 0.125, 0));
    EXPECT_PRED2([](const std::string& t, const std::string& p) { return t.starts_with(p); }, text,
              R"({"config":{"input_dim":1,"shingle_size":1,"capacity":2,"num_trees":1,"time_decay":0.0,"output_after":0,)"
              R"("internal_shingling":true,"initial_accept_fraction":0.125},"trees":[{"root":18446744073709551615,"tree_ma)");
    EXPECT_NE(text.find(R"("samplers":[{"capacity":2,"weights":[0.0,0.0],"point_indices":[18446744073709551615,)"
                        R"(18446744073709551615],"size":0}])"),
              std::string::npos);
    EXPECT_NE(text.find(R"("store":{"v":1,"dim":[4,1],"data":[0.0,0.0,0.0,0.0]})"), std::string::npos);
}

TEST(ForestDocument, RoundTripIsByteExactAndContinuesIdentically) {
    for (Forest f : {make(3, 1, 16, 4), make(2, 3, 8, 3), busy_forest()}) {
        feed(f, 40, 1);
        const std::string text = to_json(f);
        auto loaded = from_json(text);
        ASSERT_TRUE(loaded.has_value()) << loaded.error().message;
        EXPECT_EQ(to_json(*loaded), text);
        EXPECT_EQ(repr(*loaded), repr(f));
        feed(f, 60, 2);
        feed(*loaded, 60, 2);
        EXPECT_EQ(to_json(*loaded), to_json(f));
    }
}

TEST(ForestDocument, VacatedSlotsAreNullAndComeBackInPlace) {
    const Forest f = busy_forest();
    ASSERT_FALSE(f.trees[0].arena.free.empty());
    const std::string text = to_json(f);
    EXPECT_NE(text.find(",null,"), std::string::npos);
    const Forest loaded = from_json(text).value();
    EXPECT_EQ(loaded.trees[0].arena.free, f.trees[0].arena.free);
    for (std::uint64_t k : f.trees[0].arena.free) EXPECT_EQ(loaded.trees[0].arena.nodes[k].kind, NodeKind::vacant);
}

TEST(ForestDocument, OverflowingRangeSumLoadsBackAsInfinity) {
    Forest f = make(1, 1, 4, 2, 0.0, 1.0);
    for (float v : {-3e38f, 3e38f, 1.0f, 2.0f}) ASSERT_TRUE(update(f, Vec{v}).has_value());
    const std::string text = to_json(f);
    ASSERT_NE(text.find(R"("range_sum":null)"), std::string::npos);
    const Forest loaded = from_json(text).value();
    EXPECT_EQ(to_json(loaded), text);
    const MorvikTree& t = loaded.trees[0];
    EXPECT_EQ(t.arena.get(t.root).range_sum, std::numeric_limits<double>::infinity());
}

TEST(ForestDocument, OverflowingWeightLoadsBackAsMinusInfinity) {
    Forest f = make(1, 1, 4, 2, 1e308, 1.0);
    feed(f, 3, 3);  // from the second observation on, seq * decay is +inf
    const std::string text = to_json(f);
    ASSERT_NE(text.find(R"("weights":[-1e308,null,null,0.0])"), std::string::npos);
    const Forest loaded = from_json(text).value();
    EXPECT_EQ(loaded.samplers[0].weights[1], -std::numeric_limits<double>::infinity());
    EXPECT_EQ(to_json(loaded), text);
}

TEST(ForestDocument, NullIsRefusedEverywhereElse) {
    const std::string text = to_json(busy_forest());
    const std::vector<std::pair<std::string, std::string>> cases{
        {R"("time_decay":0.0)", R"("time_decay":null)"},
        {R"("data":[)", R"("data":[null,)"},
        {R"("cut_val":)", R"("cut_val":null,"x":)"},
        {R"("entries_seen":)", R"("entries_seen":null,"x":)"},
    };
    for (const auto& [from, to] : cases) {
        std::string broken = text;
        broken.replace(broken.find(from), from.size(), to);
        const auto r = from_json(broken);
        ASSERT_FALSE(r.has_value()) << to;
        EXPECT_TRUE(r.error().message.starts_with(std::string(prefix) + "invalid type: null, expected "))
            << r.error().message;
    }
}

TEST(ForestDocument, ParseErrorsCarryThePrefix) {
    struct Case {
        std::string text, message;
    };
    const std::vector<Case> cases{
        {"", "EOF while parsing a value at line 1 column 0"},
        {"{\"config\":1}", "invalid type: integer `1`, expected struct MorvikConfig at line 1 column 11"},
        {"[]", "invalid length 0, expected struct Forest with 6 elements at line 1 column 2"},
    };
    for (const auto& c : cases) {
        const auto r = from_json(c.text);
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error().kind, ErrorKind::invalid_argument);
        EXPECT_EQ(r.error().message, std::string(prefix) + c.message);
    }
}

TEST(ForestDocument, InconsistentDocumentsAreRejected) {
    const std::string base = to_json(busy_forest());
    struct Case {
        const char* name;
        std::function<void(doc::Forest&)> corrupt;
        const char* message;
    };
    const std::vector<Case> cases{
        {"config", [](auto& d) { d.config.capacity = 0; }, "capacity must be > 0"},
        {"tree count", [](auto& d) { d.trees.pop_back(); }, "the document has 2 trees for num_trees 3"},
        {"sampler count", [](auto& d) { d.samplers.push_back(d.samplers[0]); }, "the document has 4 samplers for num_trees 3"},
        {"store dim", [](auto& d) { d.point_store.dim = 2; }, "point store dim 2 differs from input_dim * shingle_size 4"},
        {"store shingling", [](auto& d) { d.point_store.internal_shingling = false; }, "point store shingling differs"},
        {"store shape",
         [](auto& d) {
             d.point_store.store.dim[0] -= 1;
             d.point_store.store.data.resize(d.point_store.store.data.size() - 4);
         },
         "point store array is 24 x 4, expected capacity 25 x dim 4"},
        {"occupied length", [](auto& d) { d.point_store.occupied.pop_back(); }, "point store occupied has 24 entries"},
        {"ref_count length", [](auto& d) { d.point_store.ref_count.push_back(0); }, "point store ref_count has 26 entries"},
        {"shingle length", [](auto& d) { d.point_store.shingle_buf.pop_back(); }, "shingle buffer has 3 values, expected 4"},
        {"next_free", [](auto& d) { d.point_store.next_free = 26; }, "next_free 26 exceeds its capacity 25"},
        {"size", [](auto& d) { d.point_store.size += 1; }, "point store size"},
        {"free list range",
         [](auto& d) { d.point_store.free_list.push_back(d.point_store.next_free); },
         "is not below next_free"},
        {"free list occupied", [](auto& d) { d.point_store.free_list.push_back(d.samplers[0].point_indices[0]); }, "is occupied"},
        {"free list twice", [](auto& d) { d.point_store.free_list.push_back(free_row(d)); }, "twice"},
        {"leaked row", [](auto& d) { d.point_store.free_list.pop_back(); }, "is neither occupied nor on the free list"},
        {"occupied unheld",
         [](auto& d) {
             const auto r = free_row(d);
             d.point_store.free_list.pop_back();
             d.point_store.occupied[r] = true;
             d.point_store.size += 1;
         },
         "is occupied but no sampler holds it"},
        {"ref_count", [](auto& d) { d.point_store.ref_count[d.samplers[1].point_indices[0]] += 1; }, "has ref_count"},
        {"sampler row free", [](auto& d) { d.samplers[0].point_indices[0] = free_row(d); }, "which is not an occupied point-store row"},
        {"sampler row range", [](auto& d) { d.samplers[0].point_indices[0] = NULL_INDEX; }, "holds row 18446744073709551615"},
        {"sampler heap", [](auto& d) { std::swap(d.samplers[2].weights[0], d.samplers[2].weights[1]); }, "not in heap order"},
        {"sampler capacity", [](auto& d) { d.samplers[1].capacity = 9; }, "sampler 1 capacity 9 differs"},
        {"sampler vectors", [](auto& d) { d.samplers[1].weights.pop_back(); }, "vectors differ in length"},
        {"sampler size", [](auto& d) { d.samplers[1].size = 9; }, "size 9 exceeds its capacity"},
        {"tree dims", [](auto& d) { d.trees[0].dims = 3; }, "tree 0 dims 3 differs"},
        {"root outside", [](auto& d) { d.trees[0].root = d.trees[0].arena.nodes.size(); }, "is not a live node"},
        {"root vacant", [](auto& d) { d.trees[0].root = vacant(d); }, "is not a live node"},
        {"child outside", [](auto& d) { first_internal(d).left = 1000; }, "has child 1000 outside the arena"},
        {"child vacant", [](auto& d) { first_internal(d).right = vacant(d); }, "a vacated slot"},
        {"same child", [](auto& d) { first_internal(d).right = first_internal(d).left; }, "the same child on both sides"},
        {"cycle", [](auto& d) { internal(d, d.trees[0].root).left = d.trees[0].root; }, "is reached twice"},
        {"shared child",
         [](auto& d) {
             auto& root = internal(d, d.trees[0].root);
             const std::uint64_t inner = is_internal(d.trees[0].arena.nodes[root.left]) ? root.left : root.right;
             const std::uint64_t other = inner == root.left ? root.right : root.left;
             internal(d, inner).left = other;
         },
         "is reached twice"},
        {"orphan", [](auto& d) { d.trees[0].arena.nodes.push_back(doc::Leaf{0, 1}); }, "is not reachable from the root"},
        {"leaf row", [](auto& d) { first_leaf(d).point_idx = free_row(d); }, "which is not an occupied point-store row"},
        {"leaf mass 0", [](auto& d) { first_leaf(d).mass = 0; }, "is a leaf of mass 0"},
        {"mass sum", [](auto& d) { first_internal(d).mass += 1; }, "differs from the sum of its children's masses"},
        {"tree_mass", [](auto& d) { d.trees[1].tree_mass += 1; }, "tree 1 tree_mass"},
        {"cut_dim", [](auto& d) { first_internal(d).cut_dim = 4; }, "cuts dimension 4 of 4"},
        {"cut_val", [](auto& d) { first_internal(d).cut_val = 1e30f; }, "cut does not separate its children"},
        {"box length", [](auto& d) { first_internal(d).bbox.max.push_back(0); }, "box length differs from dims"},
        {"box value", [](auto& d) { first_internal(d).bbox.min[0] -= 1; }, "box differs from the merge"},
        {"range_sum", [](auto& d) { first_internal(d).bbox.range_sum = 1e9; }, "range_sum differs from its box"},
        {"arena free range", [](auto& d) { d.trees[0].arena.free.push_back(5000); }, "free list entry 5000 is outside the arena"},
        {"arena free live", [](auto& d) { d.trees[0].arena.free.push_back(d.trees[0].root); }, "is an occupied slot"},
        {"arena free twice", [](auto& d) { d.trees[0].arena.free.push_back(vacant(d)); }, "holds slot"},
        {"arena leak", [](auto& d) { d.trees[0].arena.free.clear(); }, "is vacant but not on the free list"},
        {"empty tree mass",
         [](auto& d) {
             d.trees[2].root = NULL_INDEX;
         },
         "tree 2 is empty but has tree_mass 8"},
        {"sampler vs leaves",
         [](auto& d) {
             // Same rows, same counts overall, but given to the wrong trees.
             std::swap(d.samplers[0].point_indices, d.samplers[1].point_indices);
             std::swap(d.samplers[0].weights, d.samplers[1].weights);
         },
         "leaves differ from the rows its sampler holds"},
    };
    for (const auto& c : cases) {
        doc::Forest d = parse(base);
        c.corrupt(d);
        const auto r = from_json(json::write(d));
        ASSERT_FALSE(r.has_value()) << c.name;
        EXPECT_EQ(r.error().kind, ErrorKind::invalid_argument) << c.name;
        EXPECT_TRUE(r.error().message.starts_with(prefix)) << c.name;
        EXPECT_NE(r.error().message.find(c.message), std::string::npos) << c.name << ": " << r.error().message;
    }
}

TEST(ForestDocument, ASmallerStoreGrowsOnDemand) {
    doc::Forest d = parse(to_json(make(2, 1, 8, 3)));
    auto& s = d.point_store;
    s.capacity = 0;
    s.store = {{0, 2}, {}};
    s.occupied.clear();
    s.ref_count.clear();
    Forest f = from_json(json::write(d)).value();
    feed(f, 100, 4);
    EXPECT_EQ(f.point_store.capacity, 28u);  // 0 -> 4 -> 12 -> 28
    EXPECT_EQ(to_json(from_json(to_json(f)).value()), to_json(f));
}

TEST(ForestDocument, NonFiniteStoredValuesAreRejected) {
    Forest f = make(1, 1, 4, 2);
    for (float v : {1.0f, 1234.5f, 2.0f}) ASSERT_TRUE(update(f, Vec{v}).has_value());
    std::string text = to_json(f);
    for (std::size_t at; (at = text.find("1234.5")) != std::string::npos;) text.replace(at, 6, "1e39");
    const auto r = from_json(text);
    ASSERT_FALSE(r.has_value());
    EXPECT_NE(r.error().message.find("non-finite"), std::string::npos) << r.error().message;
}

// Random edits of the integers of a document: every load either fails with an
// invalid-document error or yields a forest that keeps working.
TEST(ForestDocument, EditedIntegersNeverBreakALoadedForest) {
    const std::string base = to_json(busy_forest());
    std::vector<std::size_t> starts;
    const auto digit = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; };
    for (std::size_t i = 1; i < base.size(); ++i)
        if (digit(base[i]) && std::string_view(":,[").find(base[i - 1]) != std::string_view::npos) starts.push_back(i);
    std::mt19937_64 gen(12);
    const std::vector<std::string> values{"0", "1", "2", "3", "7", "24", "25", "18446744073709551615", "4294967296"};
    int loaded = 0;
    for (int trial = 0; trial < 1500; ++trial) {
        std::string text = base;
        const std::size_t at = starts[gen() % starts.size()];
        std::size_t end = at;
        while (end < text.size() && (digit(text[end]) || std::string_view(".e-").find(text[end]) != std::string_view::npos))
            ++end;
        text.replace(at, end - at, values[gen() % values.size()]);
        auto r = from_json(text);
        if (!r) {
            EXPECT_TRUE(r.error().message.starts_with(prefix));
            continue;
        }
        ++loaded;
        EXPECT_NO_THROW({
            std::mt19937 points(static_cast<std::uint32_t>(trial));
            for (int i = 0; i < 30; ++i) {
                // Only a counter edited to its limit may stop an update.
                const auto u = update(*r, Vec{float(points() % 9), float(points() % 9)});
                if (!u) {
                    EXPECT_EQ(u.error().kind, ErrorKind::overflow);
                }
            }
            (void)to_json(*r);
        }) << "edit at " << at;
    }
    EXPECT_GT(loaded, 0);
}
