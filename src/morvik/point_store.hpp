// The forest's shared point storage: every point some tree references is held
// once, as a row of one contiguous row-major block, with a reference count per
// row (one per sampler entry holding it) and a LIFO list of released rows.
// It also keeps the rolling shingle of the last `shingle_size` observations.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "frame/error.hpp"
#include "frame/json.hpp"
#include "frame/large_array.hpp"
#include "morvik/fault.hpp"

namespace morvik3::morvik {

// "No node" / "no row" wherever an index is expected.
inline constexpr std::uint64_t NULL_INDEX = static_cast<std::uint64_t>(-1);

struct PointStore {
    std::uint64_t dim = 0;
    std::uint64_t input_dim = 0;
    std::uint64_t shingle_size = 1;
    bool internal_shingling = true;
    // Rows are handed out in order, so the untouched tail of these costs no
    // memory until the rows are used.
    LargeArray<float> store;  // capacity rows x dim, row-major
    LargeArray<bool> occupied;
    LargeArray<std::uint64_t> ref_count;
    std::uint64_t next_free = 0;
    std::vector<std::uint64_t> free_list;
    std::uint64_t size = 0;
    std::uint64_t capacity = 0;
    std::vector<float> shingle_buf;  // oldest observation first
    std::uint64_t entries_seen = 0;

    // Not part of the store's value: whether any row was ever given a zero or
    // NaN coordinate (write_row, or a loaded document).  Until then every box
    // bound is nonzero and not NaN, so its value fixes its bits whatever the
    // order boxes are merged in, and trees can skip checking for that.
    bool zero_or_nan_written = false;
    // The rows and columns a loaded document gave `store`, for the checks
    // that compare them with `capacity` and `dim`; not part of the value.
    std::array<std::uint64_t, 2> loaded_shape{};

    // The document writes `store` as a `capacity` x `dim` array.
    struct StoreForm {
        using Record = PointStore;
        static void write(std::string& out, const PointStore& s);
        [[nodiscard]] static bool read(json::Reader& r, PointStore& s);
    };

    static constexpr std::string_view json_name = "PointStore";
    static constexpr auto json_fields() {
        return std::tuple{json::field("dim", &PointStore::dim),
                          json::field("input_dim", &PointStore::input_dim),
                          json::field("shingle_size", &PointStore::shingle_size),
                          json::field("internal_shingling", &PointStore::internal_shingling),
                          json::form_field<StoreForm>("store"),
                          json::field("occupied", &PointStore::occupied),
                          json::field("ref_count", &PointStore::ref_count),
                          json::field("next_free", &PointStore::next_free),
                          json::field("free_list", &PointStore::free_list),
                          json::field("size", &PointStore::size),
                          json::field("capacity", &PointStore::capacity),
                          json::field("shingle_buf", &PointStore::shingle_buf),
                          json::field("entries_seen", &PointStore::entries_seen)};
    }

    // An empty store of `rows` zero rows, committed as they are used.
    [[nodiscard]] static PointStore create(std::uint64_t input_dim, std::uint64_t shingle_size,
                                           bool internal_shingling, std::uint64_t rows);

    // True when the next allocation can only be served by growing, and growing
    // would overflow; allocate_row() then fails.
    [[nodiscard]] bool allocation_would_overflow() const;

    // The most recently released row, else the first never-used row, else a
    // row of a store grown to 2 * capacity + 4.  Touches neither `occupied`,
    // `ref_count`, `size` nor `entries_seen`.
    [[nodiscard]] Result<std::uint64_t> allocate_row();

    void write_row(std::uint64_t r, std::span<const float> values);
    void add_ref(std::uint64_t r);
    // Drops one reference; frees the row once none is left.
    void release(std::uint64_t r);

    // Inline: every walk ends on a row.
    [[nodiscard]] std::span<const float> row(std::uint64_t r) const {
        std::uint64_t end = 0;
        if (r >= capacity || __builtin_mul_overflow(r + 1, dim, &end) || end > store.size()) [[unlikely]]
            row_fault(r);
        return {store.data() + (end - dim), dim};
    }
    // Exact 32-bit equality of the whole row (NaN never equal, -0 == +0).
    [[nodiscard]] bool equals(std::uint64_t r, std::span<const float> values) const {
        if (values.size() != dim) return false;
        return std::ranges::equal(row(r), values);
    }

    // Shifts the shingle left by one observation and appends `obs`.
    void push_observation(std::span<const float> obs);

  private:
    [[noreturn]] void row_fault(std::uint64_t r) const;
};

// The rows of a store as trees read them.  A parallel batch gives each worker
// a view in which the rows the batch has stored so far read from the batch's
// own copy of the points (`stored`, by row, null where the block holds the
// row): the block is written only once every worker is done with the rows
// being replaced.
class RowView {
  public:
    // Every tree operation takes a store this way.
    RowView(const PointStore& store)  // NOLINT(google-explicit-constructor)
        : dim(store.dim),
          zero_or_nan_written(store.zero_or_nan_written),
          block_(store.store.data()),
          capacity_(store.capacity),
          rows_(store.dim == 0 ? store.capacity : std::min<std::uint64_t>(store.capacity, store.store.size() / store.dim)) {}
    RowView(const PointStore& store, const float* const* stored, bool zero_or_nan) : RowView(store) {
        stored_ = stored;
        zero_or_nan_written = zero_or_nan;
    }

    [[nodiscard]] std::span<const float> row(std::uint64_t r) const {
        if (r >= rows_) [[unlikely]]
            row_fault(r);
        if (stored_ != nullptr && stored_[r] != nullptr) [[unlikely]]
            return {stored_[r], dim};
        return {block_ + r * dim, dim};
    }
    // Exact 32-bit equality of the whole row (NaN never equal, -0 == +0).
    [[nodiscard]] bool equals(std::uint64_t r, std::span<const float> values) const {
        if (values.size() != dim) return false;
        return std::ranges::equal(row(r), values);
    }

    std::uint64_t dim = 0;
    bool zero_or_nan_written = false;

  private:
    [[noreturn]] void row_fault(std::uint64_t r) const;

    const float* block_ = nullptr;
    std::uint64_t capacity_ = 0;
    std::uint64_t rows_ = 0;  // rows the block holds in full
    const float* const* stored_ = nullptr;
};

// The point update(x) would store for base observation `x` under internal
// shingling: the shingle shifted left by `input_dim` with `x` appended.
// `x` has `input_dim` values, `out` has `dim`.
void shingled_query(const PointStore& store, std::span<const float> x, std::span<float> out);

}  // namespace morvik3::morvik
