#include "pyutil.hpp"

#include <exception>
#include <new>
#include <stdexcept>

#include "frame/excerpt.hpp"

namespace morvik3::py {

namespace {

// The internal-failure type of `owner`'s module; SystemError should that
// module be gone, as at the end of an interpreter.
PyObject* internal_error_of(PyTypeObject* owner) {
    auto* state = owner != nullptr ? static_cast<ModuleState*>(PyType_GetModuleState(owner)) : nullptr;
    if (state != nullptr && state->internal_error != nullptr) return state->internal_error;
    PyErr_Clear();
    return PyExc_SystemError;
}

}  // namespace

PyObject* create_internal_error_type() {
    return PyErr_NewExceptionWithDoc(
        "morvik3.morvik3.InternalError",
        "Raised when a detector meets a broken internal invariant, which only an\n"
        "inconsistent state document can cause. Derives from BaseException so that\n"
        "ordinary `except Exception` handlers do not swallow it.",
        PyExc_BaseException, nullptr);
}

PyObject* raise(const Error& e) {
    const std::string text = e.display();
    PyObject* type = PyExc_RuntimeError;
    if (e.kind == ErrorKind::invalid_argument || e.kind == ErrorKind::dimension_mismatch) type = PyExc_ValueError;
    if (e.kind == ErrorKind::out_of_memory) type = PyExc_MemoryError;
    // Messages may quote file names, which need not be UTF-8.
    Ref message(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "backslashreplace"));
    if (message) PyErr_SetObject(type, message.get());
    return nullptr;
}

void raise_current_exception(PyTypeObject* owner) noexcept {
    try {
        throw;
    } catch (const InternalError& e) {
        raise_internal(owner, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(internal_error_of(owner), "unexpected C++ exception: %s", e.what());
    } catch (...) {
        PyErr_SetString(internal_error_of(owner), "unexpected C++ exception");
    }
}

PyObject* raise_internal(PyTypeObject* owner, std::string_view message) {
    Ref msg(str_from(message));
    if (msg) PyErr_SetObject(internal_error_of(owner), msg.get());
    return nullptr;
}

std::string type_name(PyObject* o) {
    Ref name(PyType_GetQualName(Py_TYPE(o)));
    const char* s = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
    if (s == nullptr) {
        PyErr_Clear();
        s = Py_TYPE(o)->tp_name;
    }
    return excerpt(s);
}

}  // namespace morvik3::py
