#include "pyutil.hpp"

namespace morvik3::py {

namespace {
PyObject* g_internal_error = nullptr;
}

PyObject* internal_error_type() { return g_internal_error; }

PyObject* create_internal_error_type() {
    if (g_internal_error == nullptr) {
        g_internal_error = PyErr_NewExceptionWithDoc(
            "morvik3.morvik3.InternalError",
            "Raised when a detector meets a broken internal invariant, which only an\n"
            "inconsistent state document can cause. Derives from BaseException so that\n"
            "ordinary `except Exception` handlers do not swallow it.",
            PyExc_BaseException, nullptr);
    }
    return g_internal_error;
}

PyObject* raise(const Error& e) {
    const std::string text = e.display();
    PyObject* type = PyExc_RuntimeError;
    if (e.kind == ErrorKind::invalid_argument || e.kind == ErrorKind::dimension_mismatch) type = PyExc_ValueError;
    PyErr_SetString(type, text.c_str());
    return nullptr;
}

PyObject* raise_internal(std::string_view message) {
    Ref msg(str_from(message));
    if (msg) PyErr_SetObject(internal_error_type(), msg.get());
    return nullptr;
}

std::string type_name(PyObject* o) {
    Ref name(PyType_GetQualName(Py_TYPE(o)));
    if (!name) {
        PyErr_Clear();
        return Py_TYPE(o)->tp_name;
    }
    const char* s = PyUnicode_AsUTF8(name.get());
    if (s == nullptr) {
        PyErr_Clear();
        return Py_TYPE(o)->tp_name;
    }
    return s;
}

}  // namespace morvik3::py
