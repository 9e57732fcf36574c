// One argument parser for every method and constructor.  It maps positional
// and keyword arguments onto a fixed parameter list without building a tuple
// or dict, and words its errors like the interpreter's own argument parsing.
#pragma once

#include "pyutil.hpp"

#include <array>
#include <cstddef>
#include <initializer_list>

namespace morvik3::py {

struct Signature {
    static constexpr std::size_t max_params = 10;

    const char* qualname;  // e.g. "Forest.update()"
    std::array<const char*, max_params> names{};
    std::size_t count = 0;
    std::size_t required = 0;
    std::size_t positional = 0;  // the parameters after these are keyword-only

    constexpr Signature(const char* q, std::initializer_list<const char*> params, std::size_t n_required)
        : Signature(q, params, n_required, params.size()) {}
    constexpr Signature(const char* q, std::initializer_list<const char*> params, std::size_t n_required,
                        std::size_t n_positional)
        : qualname(q), required(n_required), positional(n_positional) {
        for (const char* p : params) names[count++] = p;
    }

    // Vectorcall form.  `out` receives `count` borrowed references, nullptr
    // for an absent optional parameter.  Returns false with an exception set.
    bool parse(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, PyObject** out) const;
    // Tuple-and-dict form used by constructors.
    bool parse(PyObject* args, PyObject* kwargs, PyObject** out) const;

  private:
    bool place_positional(Py_ssize_t nargs, PyObject* const* args, PyObject** out) const;
    bool place_keyword(PyObject* name, PyObject* value, Py_ssize_t nargs, PyObject** out) const;
    bool check_missing(PyObject** out) const;
};

}  // namespace morvik3::py
