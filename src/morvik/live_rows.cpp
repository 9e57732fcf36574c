#include "morvik/live_rows.hpp"

#include <algorithm>
#include <bit>

#include "frame/error.hpp"

namespace morvik3::morvik {

namespace {

// Exact 32-bit equality takes -0 for +0: both hash as +0.
std::uint64_t hash_point(std::span<const float> x) {
    std::uint64_t h = 0x9E3779B97F4A7C15ULL ^ x.size();
    for (const float v : x) {
        std::uint32_t bits = std::bit_cast<std::uint32_t>(v);
        if ((bits & 0x7fffffffu) == 0) bits = 0;
        h = (h ^ bits) * 0xFF51AFD7ED558CCDULL;
        h ^= h >> 32;
    }
    return h;
}

}  // namespace

void LiveRows::build(const PointStore& store, std::uint64_t extra) {
    current_ = false;
    const RowView rows(store);
    std::size_t slots = 16;
    while (slots < 2 * (store.size + extra)) slots *= 2;
    allocating([&] { slots_.assign(slots, {}); });
    used_ = 0;
    for (std::uint64_t r = 0; r < store.capacity && r < store.occupied.size(); ++r)
        if (store.occupied[r]) add(r, rows.row(r));
    current_ = true;
}

bool LiveRows::holds_equal(std::span<const float> x, const RowView& rows) const {
    const std::uint64_t h = hash_point(x);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = h & mask; slots_[i].row != NULL_INDEX; i = (i + 1) & mask)
        if (slots_[i].hash == h && rows.equals(slots_[i].row, x)) return true;
    return false;
}

void LiveRows::add(std::uint64_t row, std::span<const float> values) {
    if (2 * (used_ + 1) > slots_.size()) grow();
    place({hash_point(values), row});
    ++used_;
}

void LiveRows::remove(std::uint64_t row, std::span<const float> values) {
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = hash_point(values) & mask;
    for (; slots_[i].row != row; i = (i + 1) & mask)
        if (slots_[i].row == NULL_INDEX) return;
    // Backward shift: later entries of the probe run move up, so no
    // tombstone is left.
    for (std::size_t j = (i + 1) & mask; slots_[j].row != NULL_INDEX; j = (j + 1) & mask) {
        const std::size_t home = slots_[j].hash & mask;
        if (((j - home) & mask) >= ((j - i) & mask)) {
            slots_[i] = slots_[j];
            i = j;
        }
    }
    slots_[i] = {};
    --used_;
}

void LiveRows::place(Slot s) {
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = s.hash & mask;
    while (slots_[i].row != NULL_INDEX) i = (i + 1) & mask;
    slots_[i] = s;
}

void LiveRows::grow() {
    std::vector<Slot> old(std::max<std::size_t>(16, 2 * slots_.size()));
    old.swap(slots_);
    for (const Slot& s : old)
        if (s.row != NULL_INDEX) place(s);
}

}  // namespace morvik3::morvik
