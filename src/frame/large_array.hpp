// An array whose size follows from a configuration and may be far larger than
// what a detector ever touches: its storage comes zero-filled from the
// operating system, which maps a page only when it is first written, so a
// large table costs memory as it is used instead of at construction.
//
// Elements must be trivially copyable and read all zero bits as their
// value-initialised state (0.0, 0, false, records of such).  Copies keep
// untouched pages untouched.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <new>
#include <span>
#include <type_traits>
#include <utility>

namespace morvik3 {

namespace large_array {

struct Block {
    void* data = nullptr;
    bool mapped = false;  // straight from the operating system, not the heap
};

// Zero-filled storage of at least `bytes`; throws std::bad_alloc.
[[nodiscard]] Block allocate(std::size_t bytes);
void release(Block block, std::size_t bytes) noexcept;
// Copies `bytes` into zero-filled `to`, leaving its pages untouched where
// `from` holds only zeros.
void copy_into_zeroed(void* to, const void* from, std::size_t bytes) noexcept;
// The bytes a block from `allocate` takes from the machine: the allocator's
// block on the heap, or the pages of a mapping that were written (those only
// read share the system's zero page).  Asks the operating system which pages
// are in memory, so that untouched pages are never read (and mapped) just to
// be counted.
[[nodiscard]] std::size_t committed_bytes(Block block, std::size_t bytes) noexcept;

}  // namespace large_array

template <class T>
class LargeArray {
    static_assert(std::is_trivially_copyable_v<T> && std::is_default_constructible_v<T>);

    static constexpr bool zero_is_default() {
        const auto bytes = std::bit_cast<std::array<unsigned char, sizeof(T)>>(T{});
        return std::ranges::all_of(bytes, [](unsigned char b) { return b == 0; });
    }
    static_assert(zero_is_default(), "a value-initialised element must be all zero bits");

  public:
    using value_type = T;
    using iterator = T*;
    using const_iterator = const T*;

    LargeArray() = default;
    // `n` value-initialised elements.
    explicit LargeArray(std::size_t n) { resize(n); }
    LargeArray(std::initializer_list<T> values) : LargeArray(std::span<const T>(values.begin(), values.size())) {}
    explicit LargeArray(std::span<const T> values) {
        reserve(values.size());
        if (!values.empty()) large_array::copy_into_zeroed(data_, values.data(), values.size_bytes());
        size_ = values.size();
    }
    LargeArray(const LargeArray& other) {
        reserve(other.size_);
        if (other.size_ != 0) large_array::copy_into_zeroed(data_, other.data_, other.size_ * sizeof(T));
        size_ = other.size_;
    }
    LargeArray(LargeArray&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)),
          mapped_(other.mapped_) {}
    LargeArray& operator=(const LargeArray& other) {
        if (this != &other) *this = LargeArray(other);
        return *this;
    }
    LargeArray& operator=(LargeArray&& other) noexcept {
        if (this != &other) {
            free_storage();
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
            mapped_ = other.mapped_;
        }
        return *this;
    }
    ~LargeArray() { free_storage(); }

    [[nodiscard]] std::size_t size() const { return size_; }
    [[nodiscard]] bool empty() const { return size_ == 0; }
    [[nodiscard]] std::size_t capacity() const { return capacity_; }
    // The bytes of its storage in use by the machine: the written pages of a
    // mapped block, the whole of a small one.
    [[nodiscard]] std::size_t committed_bytes() const {
        return data_ == nullptr ? 0 : large_array::committed_bytes({data_, mapped_}, capacity_ * sizeof(T));
    }
    [[nodiscard]] T* data() { return data_; }
    [[nodiscard]] const T* data() const { return data_; }
    [[nodiscard]] T& operator[](std::size_t i) { return data_[i]; }
    [[nodiscard]] const T& operator[](std::size_t i) const { return data_[i]; }
    [[nodiscard]] T* begin() { return data_; }
    [[nodiscard]] T* end() { return data_ + size_; }
    [[nodiscard]] const T* begin() const { return data_; }
    [[nodiscard]] const T* end() const { return data_ + size_; }
    operator std::span<T>() { return {data_, size_}; }              // NOLINT: a contiguous range like vector
    operator std::span<const T>() const { return {data_, size_}; }  // NOLINT

    // Room for `n` elements; past the size everything reads as zero.
    void reserve(std::size_t n) {
        if (n <= capacity_) return;
        if (n > max_size()) throw std::bad_alloc();
        const large_array::Block grown = large_array::allocate(n * sizeof(T));
        if (size_ != 0) large_array::copy_into_zeroed(grown.data, data_, size_ * sizeof(T));
        const std::size_t size = size_;
        free_storage();
        data_ = static_cast<T*>(grown.data);
        size_ = size;
        capacity_ = n;
        mapped_ = grown.mapped;
    }
    // Shrinking zeroes the dropped tail, so growing again reads zeros.
    void resize(std::size_t n) {
        if (n > capacity_) reserve(std::max(n, capacity_ < max_size() / 2 ? 2 * capacity_ : max_size()));
        if (n < size_) std::fill(data_ + n, data_ + size_, T{});
        size_ = n;
    }
    void push_back(const T& value) {
        if (size_ == capacity_) resize(size_ + 1);
        else ++size_;
        data_[size_ - 1] = value;
    }
    void clear() { resize(0); }

    [[nodiscard]] static constexpr std::size_t max_size() { return static_cast<std::size_t>(-1) / sizeof(T) / 2; }

    friend bool operator==(const LargeArray& a, const LargeArray& b) { return std::ranges::equal(a, b); }

  private:
    void free_storage() noexcept {
        if (data_ != nullptr) large_array::release({data_, mapped_}, capacity_ * sizeof(T));
        data_ = nullptr;
        size_ = 0;
        capacity_ = 0;
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    bool mapped_ = false;
};

}  // namespace morvik3
