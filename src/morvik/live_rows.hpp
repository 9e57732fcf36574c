// The point store's occupied rows, by value: a point equal to none of them
// cannot be merged into a duplicate leaf by any tree, which is what lets a
// parallel batch run ahead of its trees (forest/batch.hpp).  Derived from the
// store, never stored; it says itself whether it still describes it.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "morvik/point_store.hpp"

namespace morvik3::morvik {

class LiveRows {
  public:
    // Every occupied row of `store`, `extra` more to come; throws
    // std::bad_alloc when memory runs out.
    void build(const PointStore& store, std::uint64_t extra);
    // Whether it describes the store still: a change it was not told of
    // (an update outside a batch) drops it.
    [[nodiscard]] bool current() const { return current_; }
    void drop() { current_ = false; }

    // Some row it holds equals `x` exactly (-0 == +0, NaN never), its values
    // read through `rows`.
    [[nodiscard]] bool holds_equal(std::span<const float> x, const RowView& rows) const;
    void add(std::uint64_t row, std::span<const float> values);
    // Forgets `row`, whose values are `values`; a row it does not hold is
    // left alone.
    void remove(std::uint64_t row, std::span<const float> values);

    [[nodiscard]] std::uint64_t bytes() const { return slots_.capacity() * sizeof(Slot); }

  private:
    struct Slot {
        std::uint64_t hash = 0;
        std::uint64_t row = NULL_INDEX;
    };

    void place(Slot s);
    void grow();

    std::vector<Slot> slots_;  // open addressing, linear probing
    std::size_t used_ = 0;
    bool current_ = false;
};

}  // namespace morvik3::morvik
