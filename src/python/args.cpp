#include "args.hpp"

#include <string>

namespace morvik3::py {

bool Signature::place_positional(Py_ssize_t nargs, PyObject* const* args, PyObject** out) const {
    for (std::size_t i = 0; i < count; ++i) out[i] = nullptr;
    if (static_cast<std::size_t>(nargs) > positional) {
        const char* was = nargs == 1 ? "was" : "were";
        if (required != positional) {
            PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given", qualname,
                         required, positional, nargs, was);
        } else {
            PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given", qualname, positional,
                         nargs, was);
        }
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    return true;
}

bool Signature::place_keyword(PyObject* name, PyObject* value, Py_ssize_t nargs, PyObject** out) const {
    if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "%s keywords must be strings", qualname);
        return false;
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (PyUnicode_EqualToUTF8(name, names[i])) {
            if (static_cast<Py_ssize_t>(i) < nargs || out[i] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", qualname, names[i]);
                return false;
            }
            out[i] = value;
            return true;
        }
    }
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", qualname, name);
    return false;
}

bool Signature::check_missing(PyObject** out) const {
    std::size_t missing[max_params];
    std::size_t n = 0;
    for (std::size_t i = 0; i < required; ++i) {
        if (out[i] == nullptr) missing[n++] = i;
    }
    if (n == 0) return true;
    // 'a'; 'a' and 'b'; 'a', 'b', and 'c'
    std::string list;
    for (std::size_t k = 0; k < n; ++k) {
        if (k != 0) {
            if (n > 2) list += ',';
            list += k == n - 1 ? " and " : " ";
        }
        list += '\'';
        list += names[missing[k]];
        list += '\'';
    }
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s", qualname, n, n > 1 ? "s" : "",
                 list.c_str());
    return false;
}

bool Signature::parse(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, PyObject** out) const {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (!place_positional(nargs, args, out)) return false;
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (!place_keyword(PyTuple_GET_ITEM(kwnames, k), args[nargs + k], nargs, out)) return false;
        }
    }
    return check_missing(out);
}

bool Signature::parse(PyObject* args, PyObject* kwargs, PyObject** out) const {
    const Py_ssize_t nargs = args == nullptr ? 0 : PyTuple_GET_SIZE(args);
    if (!place_positional(nargs, nargs ? &PyTuple_GET_ITEM(args, 0) : nullptr, out)) return false;
    if (kwargs != nullptr) {
        // The interpreter hands constructors a fresh dict no other thread sees.
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!place_keyword(key, value, nargs, out)) return false;
        }
    }
    return check_missing(out);
}

}  // namespace morvik3::py
