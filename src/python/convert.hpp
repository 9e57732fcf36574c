// Conversion of Python arguments into plain values.  Every converter returns
// false with a Python exception set on failure; TypeErrors are reworded as
// "argument '<name>': <message>" with the original as their cause.
#pragma once

#include "pyutil.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "key_value.hpp"

namespace morvik3::py {

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
// A str (its UTF-8) or bytes-like value (its bytes): the text of a document.
bool to_str_or_bytes(PyObject* o, const char* name, std::string& out);
// Only a str, as UTF-8.
bool to_text(PyObject* o, const char* name, std::string& out);
// os.fspath(o), which must be a str, encoded for the file system.
bool to_path(PyObject* o, const char* name, std::string& out);

}  // namespace morvik3::py
