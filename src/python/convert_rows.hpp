// Conversion of the arguments of the batch methods (`update_many` and the
// like).  Each argument becomes a column of rows: converted while attached,
// then read row by row by the detached loop.  A numeric array is read in place
// through the buffer protocol; anything else is iterated and each row
// converted with the rules of the single call, so a row fails exactly as that
// call would.  Conversion stops at the first row that fails and keeps its
// exception, so the rows before it can still be processed.
#pragma once

#include "convert.hpp"
#include "pyutil.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "frame/key_value.hpp"

namespace morvik3::py {

// The element types read in place from a buffer.
enum class Element { none, boolean, i8, i16, i32, i64, u8, u16, u32, u64, f32, f64 };

// A buffer export with its shape and strides; released when it goes, which
// must happen while attached.
class BufferView {
  public:
    BufferView() = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() { release(); }

    // Requests a strided, typed view of `o` (false, no exception, when `o`
    // cannot give one).
    bool open(PyObject* o);
    // Requests a writable C-contiguous view; false with an exception set.
    bool open_writable(PyObject* o);
    void release();

    [[nodiscard]] int ndim() const { return view_.ndim; }
    [[nodiscard]] Py_ssize_t shape(int axis) const { return view_.shape[axis]; }
    [[nodiscard]] Py_ssize_t stride(int axis) const { return view_.strides[axis]; }
    [[nodiscard]] char* data() const { return static_cast<char*>(view_.buf); }
    [[nodiscard]] Py_ssize_t bytes() const { return view_.len; }
    [[nodiscard]] const char* format() const { return view_.format != nullptr ? view_.format : "B"; }
    // The element type, from the format and item size; none when not numeric
    // in the machine's byte order.
    [[nodiscard]] Element element() const;

  private:
    Py_buffer view_{};
    bool open_ = false;
};

// What every column keeps besides its rows.
class RowColumn {
  public:
    // Rows converted: all of them, or those before the row that failed.
    [[nodiscard]] std::size_t size() const { return size_; }
    // Rows the argument holds, when known (its len()); -1 when not.
    [[nodiscard]] Py_ssize_t length() const { return length_; }
    [[nodiscard]] bool failed() const { return static_cast<bool>(error_); }
    // Raises the failed row's exception again (as it was raised).
    void restore_error() { PyErr_SetRaisedException(error_.release()); }

  protected:
    // Iterates `o`, calling `each(item)` per row until it returns false; the
    // exception of that row is kept.  False when `o` cannot be iterated, or
    // says it holds more rows than memory could, at `row_bytes` a row.
    template <class Each>
    bool iterate(PyObject* o, const char* name, std::size_t row_bytes, Each&& each);
    // Keeps the current exception as the one of row size().
    void fail_row() { error_ = Ref(PyErr_GetRaisedException()); }
    bool not_iterable(PyObject* o, const char* name);

    std::size_t size_ = 0;
    Py_ssize_t length_ = -1;
    Ref error_;
};

template <class Each>
bool RowColumn::iterate(PyObject* o, const char* name, std::size_t row_bytes, Each&& each) {
    Ref it(PyObject_GetIter(o));
    if (!it) return not_iterable(o, name);
    length_ = PyObject_Size(o);
    if (length_ < 0) PyErr_Clear();
    if (!items_fit(name, length_, row_bytes)) return false;
    while (true) {
        Ref item(PyIter_Next(it.get()));
        if (!item) {
            if (PyErr_Occurred()) fail_row();
            return true;
        }
        if (!each(item.get())) {
            fail_row();
            return true;
        }
        ++size_;
    }
}

// Rows of numbers, each a span of T; `ConvertRow` is the single call's vector
// conversion.  A 2-D array of a numeric dtype is read in place, each row
// copied out once into scratch before a core sees it: another thread may
// write the caller's array meanwhile, and a core that checked a value must
// store that same value.
template <class T, bool (*ConvertRow)(PyObject*, const char*, std::vector<T>&)>
class NumberRows : public RowColumn {
  public:
    // False with an exception when the argument as a whole is unusable.
    bool convert(PyObject* o, const char* name, const char* row_name);
    // Row i < size(); valid until the next call.  Runs detached.
    std::span<const T> operator[](std::size_t i) { return row(i, scratch_); }
    // Row i < size(), copied into `scratch` (width() values) where it lies in
    // the caller's array; valid while `scratch` is.  Reads nothing else of
    // the column, so threads may each fetch rows with their own scratch.
    std::span<const T> row(std::size_t i, std::span<T> scratch) const;
    [[nodiscard]] std::size_t width() const { return width_; }

  private:
    using Reader = void (*)(const char* row, Py_ssize_t stride, std::size_t count, T* out);

    BufferView buffer_;
    Reader read_ = nullptr;
    bool contiguous_ = false;  // rows are contiguous T: copied whole
    std::size_t width_ = 0;
    std::vector<T> scratch_;
    // Rows converted one by one, back to back: row i is values_[starts_[i], starts_[i + 1]).
    std::vector<T> values_;
    std::vector<std::size_t> starts_;
};

using PointRows = NumberRows<float, to_f32_vector>;
using FloatRows = NumberRows<double, to_f64_vector>;
using IntegerRows = NumberRows<std::int64_t, to_i64_vector>;

// One unsigned integer per row (for example a timestamp): a 1-D integer array
// read in place, or any iterable of values converted as unsigned integers.
class IndexColumn : public RowColumn {
  public:
    bool convert(PyObject* o, const char* name, const char* row_name);
    std::uint64_t operator[](std::size_t i) const { return values_[i]; }

  private:
    std::vector<std::uint64_t> values_;
};

// One number per row (for example a score): a 1-D numeric array, viewed in
// place when it holds float64, or any iterable of numbers converted as the
// single call converts one.
class ValueColumn : public RowColumn {
  public:
    bool convert(PyObject* o, const char* name, const char* row_name);
    double operator[](std::size_t i) const {
        if (!direct_) return values_[i];
        double v;
        std::memcpy(&v, buffer_.data() + static_cast<Py_ssize_t>(i) * buffer_.stride(0), sizeof v);
        return v;
    }

  private:
    BufferView buffer_;
    bool direct_ = false;
    std::vector<double> values_;
};

// One feature event per row, from any iterable of events.
class EventRows : public RowColumn {
  public:
    bool convert(PyObject* o, const char* name, const char* row_name);
    const KeyValueLike& operator[](std::size_t i) const { return events_[i]; }
    // The events converted; threads may read them at once.
    [[nodiscard]] std::span<const KeyValueLike> events() const { return events_; }

  private:
    std::vector<KeyValueLike> events_;
};

// A new float64 numpy array of n elements, uninitialised.
PyObject* new_float64_array(std::size_t n);
// The storage of the n float64 values of `array`, from new_float64_array,
// opened in `view`.  Whatever answered to numpy.empty is checked first, and
// anything but n float64 values in one block is an internal failure of
// `owner` (nullptr with the exception set) before a single value is written.
double* open_results(BufferView& view, PyObject* array, std::size_t n, PyTypeObject* owner);

// Marks the current exception as the failure of row N: a `row` attribute of
// N, and "row N: " before its message; the exception object itself, with its
// type, attributes, traceback, cause and notes, is what is raised.  Leaves
// exceptions that propagate as themselves alone.
void mark_row_error(std::size_t row);

}  // namespace morvik3::py
