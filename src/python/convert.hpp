// Conversion of Python arguments into plain values.  Every converter returns
// false with a Python exception set on failure; TypeErrors are reworded as
// "argument '<name>': <message>" with the original as their cause.
#pragma once

#include "pyutil.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "frame/key_value.hpp"

namespace morvik3::py {

// False with a MemoryError when `length` items of `item_bytes` each, as an
// argument says it holds, exceed the machine's physical memory: converting
// them could only fail, and only after a long time.
bool items_fit(const char* name, Py_ssize_t length, std::size_t item_bytes);

bool to_u64(PyObject* o, const char* name, std::uint64_t& out);
// Absent (nullptr) or None gives nullopt.
bool to_seed(PyObject* o, const char* name, std::optional<std::uint64_t>& out);
bool to_f64(PyObject* o, const char* name, double& out);
bool to_bool(PyObject* o, const char* name, bool& out);
bool to_f64_vector(PyObject* o, const char* name, std::vector<double>& out);
// The same conversion, each value narrowed to a 32-bit float.
bool to_f32_vector(PyObject* o, const char* name, std::vector<float>& out);
bool to_i64_vector(PyObject* o, const char* name, std::vector<std::int64_t>& out);
bool to_index_list(PyObject* o, const char* name, std::vector<std::uint64_t>& out);
bool to_key_value(PyObject* o, const char* name, KeyValueLike& out);

// The bytes of a text argument: those of an immutable str or bytes object,
// which it keeps alive and which may be read detached, or its own copy of a
// mutable buffer or a sequence.
class TextArg {
  public:
    [[nodiscard]] std::string_view view() const { return kept_ ? kept_view_ : std::string_view(copy_); }

  private:
    friend bool to_str_or_bytes(PyObject*, const char*, TextArg&);
    friend bool to_text(PyObject*, const char*, TextArg&);
    void keep(PyObject* o, const char* data, Py_ssize_t size);

    Ref kept_;
    std::string_view kept_view_;
    std::string copy_;
};

// A str (its UTF-8) or bytes-like value (its bytes): the text of a document.
bool to_str_or_bytes(PyObject* o, const char* name, TextArg& out);
// Only a str, as UTF-8.
bool to_text(PyObject* o, const char* name, TextArg& out);
// os.fspath(o), which must be a str without NUL, encoded for the file system.
bool to_path(PyObject* o, const char* name, std::string& out);

}  // namespace morvik3::py
