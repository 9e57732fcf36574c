// The Online Isolation Forest detector: a sliding window of the most recent
// points and an ensemble of online isolation trees that always describe
// exactly the points in the window.
#pragma once

#include <cmath>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "frame/error.hpp"
#include "frame/json.hpp"
#include "frame/memory_budget.hpp"
#include "onlineiforest/tree.hpp"

namespace morvik3::onlineiforest {

struct OnlineIForestConfig {
    std::uint64_t input_dim = 0;
    std::uint64_t num_trees = 32;
    std::uint64_t window_size = 2048;
    std::uint64_t max_leaf_samples = 32;

    static constexpr std::string_view json_name = "OnlineIForestConfig";
    static constexpr auto json_fields() {
        using C = OnlineIForestConfig;
        return std::tuple{json::field("input_dim", &C::input_dim), json::field("num_trees", &C::num_trees),
                          json::field("window_size", &C::window_size),
                          json::field("max_leaf_samples", &C::max_leaf_samples)};
    }

    // The constructor's checks, in its order.
    [[nodiscard]] Result<void> validate() const;
    // log2(window_size / max_leaf_samples): the depth below which leaves
    // split, and the scale of the score.
    [[nodiscard]] double max_depth() const {
        return std::log2(static_cast<double>(window_size) / static_cast<double>(max_leaf_samples));
    }

    friend bool operator==(const OnlineIForestConfig&, const OnlineIForestConfig&) = default;
};

// The most recent points, oldest first, in a ring of slots that grows as
// points arrive and never beyond window_size slots.
struct Window {
    std::uint64_t dim = 0;
    std::vector<float> values;  // count x dim
    std::uint64_t count = 0;
    std::uint64_t head = 0;  // slot of the oldest point; moves once the ring is full

    // The i-th oldest point, i < count.
    [[nodiscard]] std::span<const float> at(std::uint64_t i) const {
        const std::uint64_t slot = head + i < count ? head + i : head + i - count;
        return {values.data() + slot * dim, dim};
    }
    // Room for the next point; throws std::bad_alloc, changing nothing, when
    // memory runs out.
    void reserve(std::uint64_t window_size);
    // Room for `points` more points, the same way.
    void reserve_for(std::uint64_t points, std::uint64_t window_size);
    // Adds `point` after `reserve`, replacing the oldest once `count` has
    // reached window_size.
    void push(std::span<const float> point, std::uint64_t window_size);
};

struct OnlineIForest {
    OnlineIForestConfig config;
    std::vector<OnlineITree> trees;  // in seeding order
    Window window;
    std::uint64_t entries_seen = 0;
    double max_depth = 0.0;  // config.max_depth(), kept at hand

    // Validates, then seeds tree i from the i-th output of a generator seeded
    // with `resolved_seed`.  Every tree starts empty.
    [[nodiscard]] static Result<OnlineIForest> create(const OnlineIForestConfig& config, std::uint64_t resolved_seed);
};

// What a detector of a valid configuration comes to need with a full window:
// the window's points and trees whose internal nodes each stand for at least
// max_leaf_samples points.
[[nodiscard]] ByteCount memory_need(const OnlineIForestConfig& config);
// What the detector holds now: the record, the window's points and every
// tree's nodes and supports.
[[nodiscard]] std::uint64_t memory_bytes(const OnlineIForest& forest);

// The checks of a point before it is learned or scored: its length and its
// values.
[[nodiscard]] Result<void> check_point(const OnlineIForest& forest, std::span<const float> point);
// Whether one more point can be counted after `entries_seen`.
[[nodiscard]] Result<void> check_countable(std::uint64_t entries_seen);
// The score of a point whose path lengths over the trees add up to `sum`
// (added in tree order).
[[nodiscard]] double score_of_lengths(const OnlineIForest& forest, double sum);
// score() of a point that passed check_point.
[[nodiscard]] double score_checked(const OnlineIForest& forest, std::span<const float> point);

// Appends `point` to the window, learns it in every tree, then forgets the
// point that leaves the window.  A failed update changes nothing.
[[nodiscard]] Result<void> update(OnlineIForest& forest, std::span<const float> point);
// 2^-(mean path length / max_depth) over the trees as they are; changes
// nothing and may run on several threads at once.
[[nodiscard]] Result<double> score(const OnlineIForest& forest, std::span<const float> point);
// update(), then the score of the same point against the updated trees.
[[nodiscard]] Result<double> update_and_score(OnlineIForest& forest, std::span<const float> point);

[[nodiscard]] inline bool is_ready(const OnlineIForest& f) { return f.entries_seen > 0; }
[[nodiscard]] inline std::uint64_t entries_seen(const OnlineIForest& f) { return f.entries_seen; }
[[nodiscard]] inline std::uint64_t num_trees(const OnlineIForest& f) { return f.trees.size(); }

[[nodiscard]] std::string to_json(const OnlineIForest& forest);
// invalid_argument "invalid OnlineIForest JSON: " + the reader's message, the
// constructor's message for the configuration, or the first inconsistency.
// A configuration needing more than `memory` bytes (the machine's physical
// memory; 0 checks nothing) is refused with out_of_memory before the rest of
// the document is read (frame/document.hpp).
[[nodiscard]] Result<OnlineIForest> from_json(std::string_view text, std::uint64_t memory = physical_memory());

// "OnlineIForest(input_dim=3, num_trees=32, window_size=2048, max_leaf_samples=32, entries_seen=0)"
[[nodiscard]] std::string repr(const OnlineIForest& forest);

}  // namespace morvik3::onlineiforest
