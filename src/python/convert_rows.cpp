#include "convert_rows.hpp"

#include <bit>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>

#include "frame/excerpt.hpp"

namespace morvik3::py {

namespace {

bool set_error(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    return false;
}

Element sized(char kind, Py_ssize_t size) {
    const bool is_signed = kind == 's';
    switch (size) {
        case 1: return is_signed ? Element::i8 : Element::u8;
        case 2: return is_signed ? Element::i16 : Element::u16;
        case 4: return is_signed ? Element::i32 : Element::u32;
        case 8: return is_signed ? Element::i64 : Element::u64;
        default: return Element::none;
    }
}

// One element of type S at `p`, which need not be aligned.
template <class S>
S load(const char* p) {
    S v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Numbers reach a float row as the float protocol gives them (a double),
// then narrow: the single call's rounding, step for step.
template <class S, class T>
void read_row(const char* row, Py_ssize_t stride, std::size_t count, T* out) {
    for (std::size_t j = 0; j < count; ++j) {
        const S v = load<S>(row + static_cast<Py_ssize_t>(j) * stride);
        if constexpr (std::is_floating_point_v<T>) {
            out[j] = static_cast<T>(static_cast<double>(v));
        } else {
            out[j] = static_cast<T>(v);
        }
    }
}

template <class T>
using Reader = void (*)(const char*, Py_ssize_t, std::size_t, T*);

// The reader of a buffer element into a row of T, or nullptr where the single
// call's conversion could fail in a way the reader cannot tell (floats or
// booleans into integers, unsigned 64-bit values beyond the signed range).
template <class T>
Reader<T> reader_for(Element e) {
    constexpr bool floats = std::is_floating_point_v<T>;
    constexpr bool to_signed = std::is_same_v<T, std::int64_t>;
    switch (e) {
        case Element::boolean: return floats ? read_row<std::uint8_t, T> : nullptr;
        case Element::i8: return read_row<std::int8_t, T>;
        case Element::i16: return read_row<std::int16_t, T>;
        case Element::i32: return read_row<std::int32_t, T>;
        case Element::i64: return read_row<std::int64_t, T>;
        case Element::u8: return read_row<std::uint8_t, T>;
        case Element::u16: return read_row<std::uint16_t, T>;
        case Element::u32: return read_row<std::uint32_t, T>;
        case Element::u64: return to_signed ? nullptr : read_row<std::uint64_t, T>;
        case Element::f32: return floats ? read_row<float, T> : nullptr;
        case Element::f64: return floats ? read_row<double, T> : nullptr;
        case Element::none: return nullptr;
    }
    return nullptr;
}

template <class T>
constexpr Element element_of() {
    if constexpr (std::is_same_v<T, float>) return Element::f32;
    if constexpr (std::is_same_v<T, double>) return Element::f64;
    if constexpr (std::is_same_v<T, std::int64_t>) return Element::i64;
    return Element::none;
}

std::string dimensions(int ndim) { return ndim == 1 ? "1 dimension" : std::to_string(ndim) + " dimensions"; }

}  // namespace

// ---- BufferView ----

bool BufferView::open(PyObject* o) {
    release();
    if (!PyObject_CheckBuffer(o)) return false;
    if (PyObject_GetBuffer(o, &view_, PyBUF_RECORDS_RO) < 0) {
        PyErr_Clear();
        return false;
    }
    open_ = true;
    return true;
}

bool BufferView::open_writable(PyObject* o) {
    release();
    if (PyObject_GetBuffer(o, &view_, PyBUF_WRITABLE | PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) < 0) return false;
    open_ = true;
    return true;
}

void BufferView::release() {
    if (open_) PyBuffer_Release(&view_);
    open_ = false;
}

Element BufferView::element() const {
    const char* f = view_.format != nullptr ? view_.format : "B";
    const bool little = std::endian::native == std::endian::little;
    if (*f == '@' || *f == '=' || (*f == '<' && little) || ((*f == '>' || *f == '!') && !little)) {
        ++f;
    } else if (*f == '<' || *f == '>' || *f == '!') {
        return Element::none;  // foreign byte order
    }
    if (f[0] == '\0' || f[1] != '\0') return Element::none;
    const Py_ssize_t size = view_.itemsize;
    switch (f[0]) {
        case 'f': return size == 4 ? Element::f32 : Element::none;
        case 'd': return size == 8 ? Element::f64 : Element::none;
        case 'b': case 'h': case 'i': case 'l': case 'q': case 'n': return sized('s', size);
        case 'B': case 'H': case 'I': case 'L': case 'Q': case 'N': return sized('u', size);
        case '?': return size == 1 ? Element::boolean : Element::none;
        default: return Element::none;
    }
}

// ---- RowColumn ----

bool RowColumn::not_iterable(PyObject* o, const char* name) {
    PyErr_Clear();
    return set_error(PyExc_TypeError,
                     std::string("argument '") + name + "': '" + type_name(o) + "' object is not iterable");
}

// ---- NumberRows ----

template <class T, bool (*ConvertRow)(PyObject*, const char*, std::vector<T>&)>
bool NumberRows<T, ConvertRow>::convert(PyObject* o, const char* name, const char* row_name) {
    if (buffer_.open(o)) {
        if (buffer_.ndim() != 2) {
            const std::string got = dimensions(buffer_.ndim());
            buffer_.release();
            return set_error(PyExc_ValueError, std::string("argument '") + name + "': expected a 2-D array, got " + got);
        }
        read_ = reader_for<T>(buffer_.element());
        if (read_ != nullptr) {
            size_ = static_cast<std::size_t>(buffer_.shape(0));
            length_ = buffer_.shape(0);
            const auto stride = static_cast<Py_ssize_t>(sizeof(T));
            contiguous_ = buffer_.element() == element_of<T>() &&
                          (buffer_.shape(1) <= 1 || buffer_.stride(1) == stride);
            width_ = static_cast<std::size_t>(buffer_.shape(1));
            scratch_.resize(width_);
            return true;
        }
        // A dtype the in-place reader does not take: row by row, as the single call would.
        buffer_.release();
    }
    starts_.push_back(0);
    std::vector<T> row;
    return iterate(o, name, sizeof(std::size_t), [&](PyObject* item) {
        if (!ConvertRow(item, row_name, row)) return false;
        values_.insert(values_.end(), row.begin(), row.end());
        starts_.push_back(values_.size());
        return true;
    });
}

template <class T, bool (*ConvertRow)(PyObject*, const char*, std::vector<T>&)>
std::span<const T> NumberRows<T, ConvertRow>::row(std::size_t i, std::span<T> scratch) const {
    if (read_ == nullptr) return std::span<const T>(values_).subspan(starts_[i], starts_[i + 1] - starts_[i]);
    const char* at = buffer_.data() + static_cast<Py_ssize_t>(i) * buffer_.stride(0);
    if (contiguous_) {
        if (width_ != 0) std::memcpy(scratch.data(), at, width_ * sizeof(T));
    } else {
        read_(at, buffer_.stride(1), width_, scratch.data());
    }
    return scratch.first(width_);
}

template class NumberRows<float, to_f32_vector>;
template class NumberRows<double, to_f64_vector>;
template class NumberRows<std::int64_t, to_i64_vector>;

// ---- IndexColumn ----

bool IndexColumn::convert(PyObject* o, const char* name, const char* row_name) {
    BufferView buffer;
    const Reader<std::uint64_t> read = buffer.open(o) && buffer.ndim() == 1 ? reader_for<std::uint64_t>(buffer.element())
                                                                           : nullptr;
    if (read != nullptr) {
        const Element e = buffer.element();
        const bool is_signed = e == Element::i8 || e == Element::i16 || e == Element::i32 || e == Element::i64;
        const auto n = static_cast<std::size_t>(buffer.shape(0));
        values_.reserve(n);
        for (std::size_t i = 0; i < n; ++i) {
            const char* p = buffer.data() + static_cast<Py_ssize_t>(i) * buffer.stride(0);
            std::uint64_t v = 0;
            read(p, 0, 1, &v);
            // A negative value fails as the single call fails on it.
            if (is_signed && static_cast<std::int64_t>(v) < 0) {
                set_error(PyExc_OverflowError, "can't convert negative int to unsigned");
                fail_row();
                break;
            }
            values_.push_back(v);
            ++size_;
        }
        length_ = buffer.shape(0);
        return true;
    }
    return iterate(o, name, sizeof(std::uint64_t), [&](PyObject* item) {
        std::uint64_t v = 0;
        if (!to_u64(item, row_name, v)) return false;
        values_.push_back(v);
        return true;
    });
}

// ---- ValueColumn ----

bool ValueColumn::convert(PyObject* o, const char* name, const char* row_name) {
    if (buffer_.open(o)) {
        if (buffer_.ndim() != 1) {
            const std::string got = dimensions(buffer_.ndim());
            buffer_.release();
            return set_error(PyExc_ValueError, std::string("argument '") + name + "': expected a 1-D array, got " + got);
        }
        const Reader<double> read = reader_for<double>(buffer_.element());
        if (read != nullptr) {
            size_ = static_cast<std::size_t>(buffer_.shape(0));
            length_ = buffer_.shape(0);
            direct_ = buffer_.element() == Element::f64;
            if (!direct_) {
                values_.resize(size_);
                for (std::size_t i = 0; i < size_; ++i)
                    read(buffer_.data() + static_cast<Py_ssize_t>(i) * buffer_.stride(0), 0, 1, &values_[i]);
                buffer_.release();
            }
            return true;
        }
        // A dtype the in-place reader does not take: element by element, as the single call would.
        buffer_.release();
    }
    return iterate(o, name, sizeof(double), [&](PyObject* item) {
        double v = 0.0;
        if (!to_f64(item, row_name, v)) return false;
        values_.push_back(v);
        return true;
    });
}

// ---- EventRows ----

bool EventRows::convert(PyObject* o, const char* name, const char* row_name) {
    return iterate(o, name, sizeof(KeyValueLike), [&](PyObject* item) {
        KeyValueLike event;
        if (!to_key_value(item, row_name, event)) return false;
        events_.push_back(std::move(event));
        return true;
    });
}

// ---- results and errors ----

PyObject* new_float64_array(std::size_t n) {
    Ref numpy(PyImport_ImportModule("numpy"));
    if (!numpy) return nullptr;
    return PyObject_CallMethod(numpy.get(), "empty", "n", static_cast<Py_ssize_t>(n));
}

double* open_results(BufferView& view, PyObject* array, std::size_t n, PyTypeObject* owner) {
    if (!view.open_writable(array)) return nullptr;
    if (view.element() == Element::f64 && view.bytes() == static_cast<Py_ssize_t>(n * sizeof(double)))
        return reinterpret_cast<double*>(view.data());
    const std::string got = std::to_string(view.bytes()) + " bytes of format '" + excerpt(view.format()) + "'";
    view.release();
    raise_internal(state_of(owner), "numpy.empty(" + std::to_string(n) + ") gave " + got + ", not " + std::to_string(n) +
                   " float64 values");
    return nullptr;
}

void mark_row_error(std::size_t row) {
    Ref exc(PyErr_GetRaisedException());
    if (!exc) return;
    if (!propagates_as_itself(exc.get())) {
        Ref number(PyLong_FromSize_t(row));
        if (!number || PyObject_SetAttrString(exc.get(), "row", number.get()) < 0) PyErr_Clear();
        // The message takes the prefix where it is the exception's only
        // argument; any other exception keeps its arguments and is told the
        // row in a note.
        Ref args(PyException_GetArgs(exc.get()));
        Ref message(PyObject_Str(exc.get()));
        PyObject* only = args && PyTuple_GET_SIZE(args.get()) == 1 ? PyTuple_GET_ITEM(args.get(), 0) : nullptr;
        const bool plain = message && (PyTuple_GET_SIZE(args.get()) == 0 ||
                                       (only != nullptr && PyUnicode_Check(only) &&
                                        PyUnicode_Compare(only, message.get()) == 0));
        Ref text(plain ? PyUnicode_FromFormat("row %zu: %U", row, message.get()) : nullptr);
        Ref prefixed(text ? PyTuple_Pack(1, text.get()) : nullptr);
        if (prefixed) {
            PyException_SetArgs(exc.get(), prefixed.get());
        } else {
            PyErr_Clear();
            Ref note(PyUnicode_FromFormat("in row %zu", row));
            Ref added(note ? PyObject_CallMethod(exc.get(), "add_note", "O", note.get()) : nullptr);
            if (!added) PyErr_Clear();
        }
    }
    PyErr_SetRaisedException(exc.release());
}

}  // namespace morvik3::py
