// The last scores of a stream in arrival order, kept also in a red-black tree
// whose nodes count their subtrees, so that how many of them lie below or at
// a value is answered in O(log capacity) and a score joins (the oldest
// leaving) in O(log capacity) without allocating.
//
// Node i (1 <= i <= capacity) is slot i of the ring of arrivals; node 0 is the
// tree's shared leaf, always black and of size 0.
#pragma once

#include <cstdint>
#include <string>

#include "frame/large_array.hpp"

namespace morvik3::calibrator {

// A node's index: 32 bits keep a node in 32 bytes, and a window of 2^32
// scores would need 128 GiB anyway.
using RankIndex = std::uint32_t;

// The two sides of a node, indexing RankNode::child; !side is the other one.
enum Side : unsigned { left = 0, right = 1 };

struct RankNode {
    double value = 0.0;
    std::uint64_t size = 0;  // nodes in the subtree rooted here
    RankIndex child[2] = {0, 0};
    RankIndex parent = 0;
    std::uint32_t red = 0;  // 0 or 1; a full word leaves no padding in the node
};

// Scores of the window strictly below a value, and equal to it.
struct RankCounts {
    std::uint64_t below = 0;
    std::uint64_t equal = 0;
};

class RankedWindow {
  public:
    RankedWindow() : RankedWindow(0) {}
    // The largest capacity node indices can number.
    static constexpr std::uint64_t max_capacity = static_cast<RankIndex>(-1);

    // An empty window of `capacity` <= max_capacity scores; the nodes cost
    // memory only as they are first used.
    explicit RankedWindow(std::uint64_t capacity)
        : nodes_(capacity + 1), capacity_(static_cast<RankIndex>(capacity)) {}

    [[nodiscard]] std::uint64_t capacity() const { return capacity_; }
    [[nodiscard]] std::uint64_t size() const { return nodes_[root_].size; }

    // Scores compare as doubles: -0.0 equals 0.0, and infinities order
    // beyond every finite score.  `value` is never NaN.
    [[nodiscard]] RankCounts counts(double value) const;
    // Adds `value` as the newest score, removing the oldest when full.
    void push(double value);
    // The i-th oldest score, i < size().
    [[nodiscard]] double at(std::uint64_t i) const;
    // The bytes of its nodes' storage the machine has given it so far.
    [[nodiscard]] std::uint64_t held_bytes() const;

    // The first broken invariant of the tree (order, subtree sizes, links,
    // red-black balance), or "" when it holds them all.  For tests: O(size).
    [[nodiscard]] std::string verify() const;

  private:
    void insert(RankIndex z, double value);
    void erase(RankIndex z);
    // x's child on the other side takes x's place, x going down to `side`.
    void rotate(RankIndex x, Side side);
    [[nodiscard]] Side side_of(RankIndex x) const;
    void transplant(RankIndex u, RankIndex v);
    void insert_fixup(RankIndex z);
    void erase_fixup(RankIndex x);

    LargeArray<RankNode> nodes_;
    RankIndex capacity_ = 0;
    RankIndex root_ = 0;
    RankIndex next_ = 1;  // the slot the next score takes: the oldest one's once full
};

}  // namespace morvik3::calibrator
