#include "pyutil.hpp"

#include <exception>
#include <new>
#include <stdexcept>

#include "frame/excerpt.hpp"

namespace morvik3::py {

namespace {

// The module's internal-failure type; SystemError should the module be
// gone, as at the end of an interpreter.
PyObject* internal_error_of(ModuleState* state) {
    if (state != nullptr && state->internal_error != nullptr) return state->internal_error;
    return PyExc_SystemError;
}

}  // namespace

ModuleState* state_of(PyTypeObject* owner) {
    auto* state = static_cast<ModuleState*>(PyType_GetModuleState(owner));
    if (state == nullptr) PyErr_Clear();
    return state;
}

ModuleState* state_of_module(PyObject* module) {
    auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
    if (state == nullptr) PyErr_Clear();
    return state;
}

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

void raise_current_exception(ModuleState* state) noexcept {
    try {
        throw;
    } catch (const InternalError& e) {
        raise_internal(state, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(internal_error_of(state), "unexpected C++ exception: %s", e.what());
    } catch (...) {
        PyErr_SetString(internal_error_of(state), "unexpected C++ exception");
    }
}

PyObject* raise_internal(ModuleState* state, std::string_view message) {
    Ref msg(str_from(message));
    if (msg) PyErr_SetObject(internal_error_of(state), msg.get());
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
