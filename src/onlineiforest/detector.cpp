#include "onlineiforest/detector.hpp"

#include <algorithm>
#include <limits>
#include <new>
#include <optional>
#include <stdexcept>
#include <utility>

#include "frame/document.hpp"

namespace morvik3::onlineiforest {

namespace {

constexpr std::uint64_t u64_max = std::numeric_limits<std::uint64_t>::max();

Result<void> invalid(const char* message) { return std::unexpected(Error::invalid_argument(message)); }

}  // namespace

Result<void> check_point(const OnlineIForest& f, std::span<const float> point) {
    if (point.size() != f.config.input_dim)
        return std::unexpected(Error::dimension_mismatch(f.config.input_dim, point.size()));
    if (!std::ranges::all_of(point, [](float v) { return std::isfinite(v); }))
        return invalid("point values must be finite");
    return {};
}

Result<void> check_countable(std::uint64_t entries_seen) {
    if (entries_seen == u64_max) return std::unexpected(Error::overflow("entries_seen overflows u64"));
    return {};
}

double score_of_lengths(const OnlineIForest& f, double sum) {
    if (f.trees.empty()) return 0.0;
    return std::pow(2.0, -(sum / static_cast<double>(f.trees.size())) / f.max_depth);
}

double score_checked(const OnlineIForest& f, std::span<const float> point) {
    double sum = 0.0;
    for (const OnlineITree& tree : f.trees) sum += tree.path_length(point, f.config.max_leaf_samples);
    return score_of_lengths(f, sum);
}

Result<void> OnlineIForestConfig::validate() const {
    if (input_dim == 0) return invalid("input_dim must be > 0");
    if (num_trees == 0) return invalid("num_trees must be > 0");
    if (window_size == 0) return invalid("window_size must be > 0");
    if (window_size == u64_max) return invalid("window_size is too large");
    if (max_leaf_samples == 0) return invalid("max_leaf_samples must be > 0");
    // Compared as doubles too: sizes that meet there would make max_depth 0.
    if (max_leaf_samples >= window_size ||
        static_cast<double>(max_leaf_samples) >= static_cast<double>(window_size))
        return invalid("window_size must be greater than max_leaf_samples");
    return {};
}

void Window::reserve(std::uint64_t window_size) { reserve_for(1, window_size); }

void Window::reserve_for(std::uint64_t points, std::uint64_t window_size) {
    const std::uint64_t wanted = std::min(window_size, count + points);
    if (wanted <= count || values.capacity() / dim >= wanted) return;
    const std::uint64_t slots = std::min(window_size, std::max<std::uint64_t>({2 * count, wanted, 8}));
    std::uint64_t floats = 0;
    if (__builtin_mul_overflow(slots, dim, &floats)) throw std::bad_alloc();
    allocating([&] { values.reserve(floats); });
}

void Window::push(std::span<const float> point, std::uint64_t window_size) {
    if (count < window_size) {
        values.insert(values.end(), point.begin(), point.end());
        ++count;
        return;
    }
    std::ranges::copy(point, values.begin() + static_cast<std::ptrdiff_t>(head * dim));
    head = head + 1 == count ? 0 : head + 1;
}

ByteCount memory_need(const OnlineIForestConfig& c) {
    // A node at depth d splits once its height reaches M x 2^d, and the
    // heights at one depth add up to at most the window: fewer than 2 W / M
    // internal nodes, each with a pair of children.
    const std::uint64_t nodes = ByteCount::of(c.window_size / c.max_leaf_samples, 4).bytes;
    const ByteCount tree = ByteCount::of(nodes, sizeof(Node) + sizeof(std::uint64_t)) +
                           ByteCount::of<float>(nodes) * (2 * c.input_dim) + ByteCount::of<OnlineITree>(1);
    const ByteCount window = ByteCount::of<float>(c.window_size) * c.input_dim;
    return window + tree * c.num_trees + ByteCount::of<float>(c.input_dim);  // and the point of a call
}

std::uint64_t memory_bytes(const OnlineIForest& f) {
    std::uint64_t bytes = sizeof(OnlineIForest) + held(f.trees) + held(f.window.values);
    for (const OnlineITree& t : f.trees) bytes += held(t.pool.nodes) + held(t.pool.bounds) + held(t.pool.free_pairs);
    return bytes;
}

Result<OnlineIForest> OnlineIForest::create(const OnlineIForestConfig& config, std::uint64_t resolved_seed) {
    if (auto valid = config.validate(); !valid) return std::unexpected(valid.error());
    OnlineIForest f;
    f.config = config;
    f.max_depth = config.max_depth();
    f.window.dim = config.input_dim;
    try {
        f.trees.reserve(config.num_trees);
    } catch (const std::length_error&) {
        throw std::bad_alloc();
    }
    auto master = Xoshiro256PlusPlus::seed_from_u64(resolved_seed);
    for (std::uint64_t i = 0; i < config.num_trees; ++i)
        f.trees.push_back(OnlineITree::create(config.input_dim, Xoshiro256PlusPlus::seed_from_u64(master.next_u64())));
    return f;
}

Result<void> update(OnlineIForest& f, std::span<const float> point) {
    if (auto ok = check_point(f, point); !ok) return ok;
    if (auto ok = check_countable(f.entries_seen); !ok) return ok;
    const OnlineIForestConfig& c = f.config;
    // Every allocation comes first, so running out of memory changes nothing.
    f.window.reserve(c.window_size);
    for (OnlineITree& tree : f.trees) tree.reserve();

    // Each tree learns the new point, then forgets the oldest one: trees share
    // nothing, so this is the same as all learning before all forgetting.
    const bool evict = f.window.count == c.window_size;
    const std::span<const float> oldest = evict ? f.window.at(0) : std::span<const float>();
    for (OnlineITree& tree : f.trees) {
        tree.learn(point, c.max_leaf_samples, f.max_depth);
        if (evict) tree.unlearn(oldest, c.max_leaf_samples);
    }
    f.window.push(point, c.window_size);
    ++f.entries_seen;
    return {};
}

Result<double> score(const OnlineIForest& f, std::span<const float> point) {
    if (auto ok = check_point(f, point); !ok) return std::unexpected(ok.error());
    return score_checked(f, point);
}

Result<double> update_and_score(OnlineIForest& f, std::span<const float> point) {
    if (auto ok = update(f, point); !ok) return std::unexpected(ok.error());
    return score_checked(f, point);
}

// ---------------------------------------------------------------------------
// The state document

namespace doc {

struct OnlineIForest {
    OnlineIForestConfig config;
    std::vector<OnlineITree> trees;
    std::vector<std::vector<float>> window;
    std::uint64_t entries_seen = 0;

    static constexpr std::string_view json_name = "OnlineIForest";
    static constexpr auto json_fields() {
        using F = OnlineIForest;
        return std::tuple{json::field("config", &F::config), json::field("trees", &F::trees),
                          json::field("window", &F::window), json::field("entries_seen", &F::entries_seen)};
    }
};

}  // namespace doc

namespace {

std::string count(std::uint64_t n) { return std::to_string(n); }

std::optional<std::string> window_problem(const doc::OnlineIForest& d) {
    const std::uint64_t dim = d.config.input_dim;
    if (d.window.size() > d.config.window_size)
        return "the window holds " + count(d.window.size()) + " points, more than window_size " +
               count(d.config.window_size);
    for (std::size_t i = 0; i < d.window.size(); ++i) {
        const std::vector<float>& p = d.window[i];
        if (p.size() != dim)
            return "window point " + count(i) + " has " + count(p.size()) + " values, expected " + count(dim);
        if (!std::ranges::all_of(p, [](float v) { return std::isfinite(v); }))
            return "window point " + count(i) + " holds a value outside the 32-bit float range";
    }
    return std::nullopt;
}

// A node at depth d holds at most its window points plus d x (window length
// + 1): a child starts from the sampled share of its parent's height, and
// from then on its height rises only with points that stay in its region.
// Operations keep the bound, so it holds for every state they reach, and it
// keeps the sampling of a split proportional to the document.
std::optional<std::string> height_problem(const OnlineITree& tree, const std::vector<std::uint64_t>& depths,
                                          const Window& window) {
    const NodePool& pool = tree.pool;
    std::vector<std::uint64_t> held(pool.nodes.size(), 0);
    for (std::uint64_t i = 0; i < window.count; ++i) {
        const std::span<const float> p = window.at(i);
        std::uint64_t slot = 0;
        for (;;) {
            ++held[slot];
            if (pool.nodes[slot].is_leaf()) break;
            slot = pool.nodes[slot].route(p);
        }
    }
    for (std::uint64_t slot = 0; slot < pool.nodes.size(); ++slot) {
        const std::uint64_t h = pool.nodes[slot].height;
        const unsigned __int128 allowed =
            held[slot] + static_cast<unsigned __int128>(depths[slot]) * (window.count + 1);
        if (h > allowed)
            return "a node at depth " + count(depths[slot]) + " has height " + count(h) + ", more than its " +
                   count(held[slot]) + " window points plus " + count(depths[slot]) + " x (window length " +
                   count(window.count) + " + 1)";
    }
    return std::nullopt;
}

std::optional<std::string> build(doc::OnlineIForest& d, OnlineIForest& f) {
    // Fewer trees load as they are; more than the configuration's would need
    // more memory than it was checked for.
    if (d.trees.size() > d.config.num_trees)
        return "the document has " + count(d.trees.size()) + " trees, more than num_trees " +
               count(d.config.num_trees);
    if (auto why = window_problem(d)) return why;
    f.config = d.config;
    f.max_depth = d.config.max_depth();
    f.entries_seen = d.entries_seen;
    const std::uint64_t dim = d.config.input_dim;
    f.window.dim = dim;
    f.window.values.reserve(d.window.size() * dim);
    for (const std::vector<float>& p : d.window) f.window.values.insert(f.window.values.end(), p.begin(), p.end());
    f.window.count = d.window.size();

    f.trees.reserve(d.trees.size());
    std::vector<std::uint64_t> depths;
    for (std::size_t i = 0; i < d.trees.size(); ++i) {
        OnlineITree& tree = f.trees.emplace_back(OnlineITree::create(dim, d.trees[i].rng));
        if (!d.trees[i].root) continue;
        depths.clear();
        auto why = doc::to_pool(*d.trees[i].root, tree.pool, depths);
        if (!why) why = height_problem(tree, depths, f.window);
        if (why) return "tree " + count(i) + ": " + *why;
        d.trees[i].root.reset();  // its copy is built; free it as we go
    }
    return std::nullopt;
}

}  // namespace

std::string to_json(const OnlineIForest& f) {
    doc::OnlineIForest d;
    d.config = f.config;
    d.trees.reserve(f.trees.size());
    for (const OnlineITree& tree : f.trees) {
        doc::OnlineITree& t = d.trees.emplace_back();
        if (!tree.pool.empty()) t.root = doc::from_pool(tree.pool, 0);
        t.rng = tree.rng;
    }
    d.window.reserve(f.window.count);
    for (std::uint64_t i = 0; i < f.window.count; ++i) {
        const std::span<const float> p = f.window.at(i);
        d.window.emplace_back(p.begin(), p.end());
    }
    d.entries_seen = f.entries_seen;
    return json::write(d);
}

Result<OnlineIForest> from_json(std::string_view text, std::uint64_t memory) {
    constexpr std::string_view prefix = "invalid OnlineIForest JSON: ";
    auto parsed = read_document<doc::OnlineIForest>(text, prefix, "OnlineIForest", memory);
    if (!parsed) return std::unexpected(parsed.error());
    OnlineIForest f;
    if (auto why = build(*parsed, f)) return std::unexpected(Error::invalid_argument(std::string(prefix) + *why));
    return f;
}

std::string repr(const OnlineIForest& f) {
    const OnlineIForestConfig& c = f.config;
    return "OnlineIForest(input_dim=" + count(c.input_dim) + ", num_trees=" + count(c.num_trees) +
           ", window_size=" + count(c.window_size) + ", max_leaf_samples=" + count(c.max_leaf_samples) +
           ", entries_seen=" + count(f.entries_seen) + ")";
}

}  // namespace morvik3::onlineiforest
