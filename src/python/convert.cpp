#include "convert.hpp"

#include <algorithm>
#include <cmath>
#include <string_view>
#include <utility>

#include "frame/memory_budget.hpp"

namespace morvik3::py {

namespace {

PyObject* new_type_error(std::string_view message) {
    Ref text(str_from(message));
    if (!text) return nullptr;
    return PyObject_CallOneArg(PyExc_TypeError, text.get());
}

// Re-raise a pending TypeError (exactly that type) as "argument 'name': ...",
// chained to the original; other exceptions pass unchanged.
bool fail_argument(const char* name) {
    PyObject* exc = PyErr_GetRaisedException();
    if (exc == nullptr || Py_TYPE(exc) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_SetRaisedException(exc);
        return false;
    }
    Ref message(PyObject_Str(exc));
    if (!message) {
        Py_DECREF(exc);
        return false;
    }
    PyObject* wrapped = PyUnicode_FromFormat("argument '%s': %U", name, message.get());
    if (wrapped == nullptr) {
        Py_DECREF(exc);
        return false;
    }
    PyObject* outer = PyObject_CallOneArg(PyExc_TypeError, wrapped);
    Py_DECREF(wrapped);
    if (outer == nullptr) {
        Py_DECREF(exc);
        return false;
    }
    PyException_SetCause(outer, exc);  // steals exc
    PyErr_SetRaisedException(outer);
    return false;
}

bool set_type_error(std::string_view message) {
    PyObject* e = new_type_error(message);
    if (e != nullptr) PyErr_SetRaisedException(e);
    return false;
}

bool not_an_instance(PyObject* o, const char* what) {
    std::string text = "'";
    text.append(type_name(o)).append("' object is not an instance of '").append(what).append("'");
    return set_type_error(text);
}

// The bare conversions below report the underlying error without the
// argument prefix; the public wrappers add it.

bool u64_of(PyObject* o, std::uint64_t& out) {
    if (PyLong_Check(o)) {
        out = PyLong_AsUnsignedLongLong(o);
        return !(out == static_cast<std::uint64_t>(-1) && PyErr_Occurred());
    }
    Ref index(PyNumber_Index(o));
    if (!index) return false;
    out = PyLong_AsUnsignedLongLong(index.get());
    return !(out == static_cast<std::uint64_t>(-1) && PyErr_Occurred());
}

bool i64_of(PyObject* o, std::int64_t& out) {
    Ref index(PyLong_Check(o) ? Py_NewRef(o) : PyNumber_Index(o));
    if (!index) return false;
    out = PyLong_AsLongLong(index.get());
    return !(out == -1 && PyErr_Occurred());
}

bool f64_of(PyObject* o, double& out) {
    if (PyFloat_CheckExact(o)) {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    out = PyFloat_AsDouble(o);
    return !(out == -1.0 && PyErr_Occurred());
}

bool u8_of(PyObject* o, std::uint8_t& out) {
    std::int64_t v = 0;
    if (!i64_of(o, v)) {
        if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_Clear();
            PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        }
        return false;
    }
    if (v < 0 || v > 255) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = static_cast<std::uint8_t>(v);
    return true;
}

bool utf8_of_str(PyObject* o, std::string& out) {
    if (!PyUnicode_Check(o)) return not_an_instance(o, "str");
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(o, &n);
    if (s == nullptr) return false;
    out.assign(s, static_cast<std::size_t>(n));
    return true;
}

bool is_sequence(PyObject* o) {
    if (PySequence_Check(o)) return true;
    Ref abc(PyImport_ImportModule("collections.abc"));
    if (!abc) return false;
    Ref sequence(PyObject_GetAttrString(abc.get(), "Sequence"));
    if (!sequence) return false;
    const int r = PyObject_IsInstance(o, sequence.get());
    if (r < 0) PyErr_Clear();
    return r > 0;
}

// Visits the items of a non-str sequence in order, calling `each(item)`
// (a borrowed reference, valid during the call) until it returns false.  A
// length beyond what `item_bytes` each could take of the machine's memory is
// refused at once, before any item is read.
template <class Each>
bool for_each_item(PyObject* o, const char* name, std::size_t item_bytes, Py_ssize_t& hint, Each&& each) {
    if (PyUnicode_Check(o)) return set_type_error("Can't extract `str` to `Vec`");
    if (!is_sequence(o)) {
        if (PyErr_Occurred()) return false;
        return not_an_instance(o, "Sequence");
    }
    hint = PyObject_Size(o);
    if (hint < 0) {
        PyErr_Clear();
        hint = 0;
    }
    if (!items_fit(name, hint, item_bytes)) return false;
    if (PyTuple_CheckExact(o)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(o); ++i) {
            if (!each(PyTuple_GET_ITEM(o, i))) return false;
        }
        return true;
    }
    if (PyList_CheckExact(o)) {
        // Index-wise with a strong reference per item: safe while another
        // thread changes the list; the walk sees whatever is there.
        for (Py_ssize_t i = 0;; ++i) {
            Ref item(PyList_GetItemRef(o, i));
            if (!item) {
                if (PyErr_ExceptionMatches(PyExc_IndexError)) {
                    PyErr_Clear();
                    return true;
                }
                return false;
            }
            if (!each(item.get())) return false;
        }
    }
    Ref it(PyObject_GetIter(o));
    if (!it) return false;
    while (true) {
        Ref item(PyIter_Next(it.get()));
        if (!item) return !PyErr_Occurred();
        if (!each(item.get())) return false;
    }
}

// A sequence's length is only a hint: a length far beyond what is converted
// must cost nothing, so no more than this is reserved up front.
constexpr Py_ssize_t max_reserved_items = Py_ssize_t{1} << 16;

template <class T, class Convert>
bool vector_of(PyObject* o, const char* name, std::vector<T>& out, Convert&& convert) {
    out.clear();
    Py_ssize_t hint = 0;
    bool reserved = false;
    return for_each_item(o, name, sizeof(T), hint, [&](PyObject* item) {
        if (!reserved) {
            out.reserve(static_cast<std::size_t>(std::min(hint, max_reserved_items)));
            reserved = true;
        }
        T v{};
        if (!convert(item, v)) return false;
        out.push_back(v);
        return true;
    });
}

// "TypeError: message" for the enum-variant report.
std::string describe_pending() {
    PyObject* exc = PyErr_GetRaisedException();
    if (exc == nullptr) return "unknown error";
    std::string text = type_name(exc);
    Ref message(PyObject_Str(exc));
    Py_DECREF(exc);
    text += ": ";
    if (message) {
        const char* s = PyUnicode_AsUTF8(message.get());
        if (s != nullptr) text += s;
    }
    PyErr_Clear();
    return text;
}

bool enum_failure(const char* name, const char* enum_name, const char* v1, const std::string& e1, const char* v2,
                  const std::string& e2) {
    std::string text = std::string("argument '") + name + "': failed to extract enum " + enum_name + " ('" + v1 +
                       " | " + v2 + "')\n- variant " + v1 + " (" + v1 + "): " + e1 + "\n- variant " + v2 + " (" + v2 +
                       "): " + e2;
    return set_type_error(text);
}

bool pairs_of(PyObject* o, const char* name, std::vector<std::pair<std::string, double>>& out) {
    out.clear();
    Py_ssize_t hint = 0;
    return for_each_item(o, name, sizeof(out.front()), hint, [&](PyObject* item) {
        if (!PyTuple_Check(item)) return not_an_instance(item, "tuple");
        const Py_ssize_t n = PyTuple_GET_SIZE(item);
        if (n != 2) {
            // A tuple of the wrong length is a wrong value, not a wrong type.
            const std::string text = "expected tuple of length 2, but got tuple of length " + std::to_string(n);
            PyErr_SetString(PyExc_ValueError, text.c_str());
            return false;
        }
        std::pair<std::string, double> entry;
        if (!utf8_of_str(PyTuple_GET_ITEM(item, 0), entry.first)) return false;
        if (!f64_of(PyTuple_GET_ITEM(item, 1), entry.second)) return false;
        out.push_back(std::move(entry));
        return true;
    });
}

// Sets `changed` when the dict changed under the iteration: the caller's
// doing, reported as Python reports it, not a variant that failed to match.
bool dict_of(PyObject* o, std::vector<std::pair<std::string, double>>& out, bool& changed) {
    out.clear();
    changed = false;
    if (!PyDict_Check(o)) return not_an_instance(o, "dict");
    Py_ssize_t pos = 0;
    const Py_ssize_t initial = PyDict_GET_SIZE(o);
    out.reserve(static_cast<std::size_t>(initial));
    for (Py_ssize_t seen = 0;; ++seen) {
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        bool resized = false;
        int more = 0;
        // One step at a time under the dict's lock: converting a value may
        // run Python code, which must not happen inside the critical section.
        Py_BEGIN_CRITICAL_SECTION(o);
        if (PyDict_GET_SIZE(o) != initial) {
            resized = true;
        } else {
            more = PyDict_Next(o, &pos, &key, &value);
            if (more) {
                Py_INCREF(key);
                Py_INCREF(value);
            }
        }
        Py_END_CRITICAL_SECTION();
        if (resized) {
            changed = true;
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return false;
        }
        if (!more) break;
        Ref k(key), v(value);
        if (seen >= initial) {
            changed = true;
            PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
            return false;
        }
        std::pair<std::string, double> entry;
        if (!utf8_of_str(k.get(), entry.first)) return false;
        if (!f64_of(v.get(), entry.second)) return false;
        out.push_back(std::move(entry));
    }
    // An ordered map by name bytes: a name met again keeps the later value.
    std::stable_sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::size_t kept = 0;
    for (std::size_t r = 0; r < out.size(); ++r) {
        if (kept > 0 && out[kept - 1].first == out[r].first) {
            out[kept - 1] = std::move(out[r]);
        } else {
            if (kept != r) out[kept] = std::move(out[r]);
            ++kept;
        }
    }
    out.resize(kept);
    return true;
}

}  // namespace

bool items_fit(const char* name, Py_ssize_t length, std::size_t item_bytes) {
    if (length <= 0) return true;
    const auto fits = check_items_fit(std::string("argument '") + name + "'", static_cast<std::uint64_t>(length),
                                      item_bytes);
    if (!fits) raise(fits.error());
    return static_cast<bool>(fits);
}

bool to_u64(PyObject* o, const char* name, std::uint64_t& out) { return u64_of(o, out) || fail_argument(name); }

bool to_seed(PyObject* o, const char* name, std::optional<std::uint64_t>& out) {
    out.reset();
    if (o == nullptr || o == Py_None) return true;
    std::uint64_t v = 0;
    if (!to_u64(o, name, v)) return false;
    out = v;
    return true;
}

bool to_f64(PyObject* o, const char* name, double& out) { return f64_of(o, out) || fail_argument(name); }

bool to_bool(PyObject* o, const char* name, bool& out) {
    if (o == Py_True || o == Py_False) {
        out = o == Py_True;
        return true;
    }
    // numpy's boolean scalar, named bool_ (numpy 1) or bool (numpy 2).
    PyTypeObject* type = Py_TYPE(o);
    Ref module(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
    if (!module) PyErr_Clear();
    Ref type_name_obj(PyType_GetName(type));
    if (!type_name_obj) PyErr_Clear();
    if (module && type_name_obj && PyUnicode_Check(module.get()) && PyUnicode_EqualToUTF8(module.get(), "numpy") &&
        (PyUnicode_EqualToUTF8(type_name_obj.get(), "bool_") || PyUnicode_EqualToUTF8(type_name_obj.get(), "bool"))) {
        if (type->tp_as_number == nullptr || type->tp_as_number->nb_bool == nullptr) {
            set_type_error("object of type '" + type_name(o) + "' does not define a '__bool__' conversion");
            return fail_argument(name);
        }
        const int truth = type->tp_as_number->nb_bool(o);
        if (truth < 0) return fail_argument(name);
        out = truth != 0;
        return true;
    }
    not_an_instance(o, "bool");
    return fail_argument(name);
}

bool to_f64_vector(PyObject* o, const char* name, std::vector<double>& out) {
    return vector_of(o, name, out, f64_of) || fail_argument(name);
}

bool to_f32_vector(PyObject* o, const char* name, std::vector<float>& out) {
    auto narrow = [](PyObject* item, float& v) {
        double d = 0.0;
        if (!f64_of(item, d)) return false;
        v = static_cast<float>(d);
        return true;
    };
    return vector_of(o, name, out, narrow) || fail_argument(name);
}

bool to_i64_vector(PyObject* o, const char* name, std::vector<std::int64_t>& out) {
    return vector_of(o, name, out, i64_of) || fail_argument(name);
}

bool to_index_list(PyObject* o, const char* name, std::vector<std::uint64_t>& out) {
    return vector_of(o, name, out, u64_of) || fail_argument(name);
}

bool to_key_value(PyObject* o, const char* name, KeyValueLike& out) {
    // A dict is read as a dict first: trying it as a sequence of pairs first,
    // as other values are, would raise and discard an exception on every
    // call.  When both readings fail, both messages are reported.
    const bool dict_first = PyDict_CheckExact(o);
    bool changed = false;
    auto as_pairs = [&] {
        out.kind = KeyValueLike::Kind::pairs;
        return pairs_of(o, name, out.entries);
    };
    auto as_dict = [&] {
        out.kind = KeyValueLike::Kind::dict;
        return dict_of(o, out.entries, changed);
    };
    if (dict_first ? as_dict() : as_pairs()) return true;
    if (changed || pending_propagates()) return false;
    const std::string first_error = describe_pending();
    if (dict_first ? as_pairs() : as_dict()) return true;
    if (changed || pending_propagates()) return false;
    const std::string second_error = describe_pending();
    return enum_failure(name, "KeyValueLike", "Pairs", dict_first ? second_error : first_error, "Dict",
                        dict_first ? first_error : second_error);
}

// The UTF-8 of a str and the contents of a bytes object never change, so a
// view of them stays valid, attached or not, while the object lives.
void TextArg::keep(PyObject* o, const char* data, Py_ssize_t size) {
    kept_ = Ref::borrow(o);
    kept_view_ = std::string_view(data, static_cast<std::size_t>(size));
}

bool to_str_or_bytes(PyObject* o, const char* name, TextArg& out) {
    if (PyUnicode_Check(o)) {
        Py_ssize_t n = 0;
        const char* s = PyUnicode_AsUTF8AndSize(o, &n);
        if (s != nullptr) {
            out.keep(o, s, n);
            return true;
        }
    } else {
        not_an_instance(o, "str");
    }
    if (pending_propagates()) return false;
    std::string str_error = describe_pending();
    if (PyBytes_Check(o)) {
        out.keep(o, PyBytes_AS_STRING(o), PyBytes_GET_SIZE(o));
        return true;
    }
    if (PyByteArray_Check(o)) {
        Py_BEGIN_CRITICAL_SECTION(o);
        out.copy_.assign(PyByteArray_AS_STRING(o), static_cast<std::size_t>(PyByteArray_GET_SIZE(o)));
        Py_END_CRITICAL_SECTION();
        return true;
    }
    std::vector<std::uint8_t> bytes;
    if (vector_of(o, name, bytes, u8_of)) {
        out.copy_.assign(bytes.begin(), bytes.end());
        return true;
    }
    if (pending_propagates()) return false;
    std::string bytes_error = describe_pending();
    return enum_failure(name, "StrOrBytes", "Str", str_error, "Bytes", bytes_error);
}

bool to_text(PyObject* o, const char* name, TextArg& out) {
    if (!PyUnicode_Check(o)) {
        not_an_instance(o, "str");
        return fail_argument(name);
    }
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(o, &n);
    if (s == nullptr) return fail_argument(name);
    out.keep(o, s, n);
    return true;
}

bool to_path(PyObject* o, const char* name, std::string& out) {
    Ref path(PyOS_FSPath(o));
    if (!path) return fail_argument(name);
    if (!PyUnicode_Check(path.get())) {
        not_an_instance(path.get(), "str");
        return fail_argument(name);
    }
    // Encodes like open() does, refusing an embedded NUL with its ValueError
    // rather than letting the file system see a shorter name.
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(path.get(), &encoded)) return fail_argument(name);
    Ref bytes(encoded);
    out.assign(PyBytes_AS_STRING(encoded), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded)));
    return true;
}

}  // namespace morvik3::py
