#include "morvik/point_store.hpp"

#include "morvik/bounding_box.hpp"

#include <algorithm>
#include <limits>

namespace morvik3::morvik {

void PointStore::StoreForm::write(std::string& out, const PointStore& s) {
    json::write_ndarray(out, std::array{s.capacity, s.dim}, s.store);
}

// Read whole into a vector first: the block then holds exactly its rows, as
// when it is built.
bool PointStore::StoreForm::read(json::Reader& r, PointStore& s) {
    json::NdArray<float, 2> array;
    if (!json::Codec<decltype(array)>::read(r, array)) return false;
    s.loaded_shape = array.dim;
    s.store = LargeArray<float>(std::span<const float>(array.data));
    return true;
}

namespace {

// Largest capacity whose growth to 2 * capacity + 4 still fits in 64 bits.
constexpr std::uint64_t max_growable_capacity = (std::numeric_limits<std::uint64_t>::max() - 4) / 2;

// Offset of row r in the flat block, refusing rows the block does not hold.
std::size_t row_offset(const PointStore& s, std::uint64_t r) {
    return static_cast<std::size_t>(s.row(r).data() - s.store.data());
}

}  // namespace

PointStore PointStore::create(std::uint64_t input_dim, std::uint64_t shingle_size, bool internal_shingling,
                              std::uint64_t rows) {
    PointStore s;
    s.dim = input_dim * shingle_size;
    s.input_dim = input_dim;
    s.shingle_size = shingle_size;
    s.internal_shingling = internal_shingling;
    s.store = LargeArray<float>(rows * s.dim);
    s.occupied = LargeArray<bool>(rows);
    s.ref_count = LargeArray<std::uint64_t>(rows);
    s.capacity = rows;
    s.shingle_buf.assign(s.dim, 0.0f);
    return s;
}

bool PointStore::allocation_would_overflow() const {
    return free_list.empty() && next_free >= capacity && capacity > max_growable_capacity;
}

Result<std::uint64_t> PointStore::allocate_row() {
    if (!free_list.empty()) {
        const std::uint64_t r = free_list.back();
        free_list.pop_back();
        return r;
    }
    if (next_free < capacity) return next_free++;
    if (capacity > max_growable_capacity)
        return std::unexpected(Error::overflow("point store capacity growth overflows usize"));
    const std::uint64_t grown = 2 * capacity + 4;
    // Rows keep their indices; resize zero-fills the new tail.
    store.resize(grown * dim);
    occupied.resize(grown);
    ref_count.resize(grown);
    capacity = grown;
    return next_free++;
}

void PointStore::write_row(std::uint64_t r, std::span<const float> values) {
    const std::size_t at = row_offset(*this, r);
    if (values.size() != dim) internal_failure("point length differs from the store's dim");
    std::ranges::copy(values, store.begin() + static_cast<std::ptrdiff_t>(at));
    zero_or_nan_written = zero_or_nan_written || !box::settled(values.data(), values.size());
}

void PointStore::add_ref(std::uint64_t r) {
    check_index(r, ref_count.size(), "point store row out of range");
    ++ref_count[r];
}

void PointStore::release(std::uint64_t r) {
    check_index(r, ref_count.size(), "point store row out of range");
    check_index(r, occupied.size(), "point store row out of range");
    if (ref_count[r] > 0) --ref_count[r];
    if (ref_count[r] == 0 && occupied[r]) {
        occupied[r] = false;
        --size;
        free_list.push_back(r);
    }
}

void PointStore::row_fault(std::uint64_t r) const {
    check_index(r, capacity, "point store row out of range");
    fault("point store row outside the stored block");
}

void RowView::row_fault(std::uint64_t r) const {
    check_index(r, capacity_, "point store row out of range");
    fault("point store row outside the stored block");
}

void PointStore::push_observation(std::span<const float> obs) {
    if (obs.size() != input_dim || shingle_buf.size() != dim)
        internal_failure("observation length differs from input_dim");
    std::shift_left(shingle_buf.begin(), shingle_buf.end(), static_cast<std::ptrdiff_t>(input_dim));
    std::ranges::copy(obs, shingle_buf.end() - static_cast<std::ptrdiff_t>(input_dim));
}

void shingled_query(const PointStore& store, std::span<const float> x, std::span<float> out) {
    const std::uint64_t d = store.input_dim;
    if (x.size() != d || out.size() != store.dim || store.shingle_buf.size() != store.dim)
        internal_failure("shingled query lengths differ from the store's shape");
    const auto kept = std::span<const float>(store.shingle_buf).subspan(d);
    std::ranges::copy(kept, out.begin());
    std::ranges::copy(x, out.begin() + static_cast<std::ptrdiff_t>(kept.size()));
}

}  // namespace morvik3::morvik
