// Small RAII helpers over the raw CPython API, and the mapping of core error
// values to Python exceptions.  Only src/python/ includes Python.h.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <string_view>
#include <utility>

#include "frame/error.hpp"

namespace morvik3::py {

// An owned (strong) reference.
class Ref {
  public:
    Ref() = default;
    explicit Ref(PyObject* o) : o_(o) {}  // steals
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& r) noexcept : o_(std::exchange(r.o_, nullptr)) {}
    Ref& operator=(Ref&& r) noexcept {
        if (this != &r) {
            Py_XDECREF(o_);
            o_ = std::exchange(r.o_, nullptr);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(o_); }
    static Ref borrow(PyObject* o) { return Ref(Py_XNewRef(o)); }
    PyObject* get() const { return o_; }
    PyObject* release() { return std::exchange(o_, nullptr); }
    explicit operator bool() const { return o_ != nullptr; }

  private:
    PyObject* o_ = nullptr;
};

// Detaches the calling thread from the interpreter for the lifetime of the
// scope; no Python object may be touched until it ends.
class Detached {
  public:
    Detached() : state_(PyEval_SaveThread()) {}
    Detached(const Detached&) = delete;
    Detached& operator=(const Detached&) = delete;
    ~Detached() { PyEval_RestoreThread(state_); }

  private:
    PyThreadState* state_;
};

// The classes of the module, in the order the module adds them.
enum class ClassSlot : std::size_t { feature_sketch, mstream, online_iforest, forest, score_calibrator, count };

// What one import of the module holds: each interpreter imports its own, so
// nothing of one interpreter is ever seen by another.  Its classes find it
// through PyType_GetModuleState, its static methods through their module.
struct ModuleState {
    PyObject* internal_error;  // the BaseException subclass raised for broken invariants
    PyObject* classes[static_cast<std::size_t>(ClassSlot::count)];
};

// The state of the module that made `owner`, one of its classes, or of
// `module`; nullptr (no exception) once the module is gone.
ModuleState* state_of(PyTypeObject* owner);
ModuleState* state_of_module(PyObject* module);

// A new exception type for ModuleState::internal_error.
PyObject* create_internal_error_type();

// Raise the exception a core error maps to; always returns nullptr.
PyObject* raise(const Error& e);
// Raise the internal-failure exception of the module `state`; always
// returns nullptr.
PyObject* raise_internal(ModuleState* state, std::string_view message);
// Inside a catch block: raise what the C++ exception in flight maps to,
// MemoryError for an allocation that failed or could never succeed, the
// internal failure (of the module `state`) for anything else.
void raise_current_exception(ModuleState* state) noexcept;

// KeyboardInterrupt, SystemExit and MemoryError: whatever raised them, they
// are raised on as they are, never taken for a bad argument or a bad row.
inline bool propagates_as_itself(PyObject* exc) {
    return PyErr_GivenExceptionMatches(exc, PyExc_KeyboardInterrupt) ||
           PyErr_GivenExceptionMatches(exc, PyExc_SystemExit) || PyErr_GivenExceptionMatches(exc, PyExc_MemoryError);
}
// The same of the exception being raised.
inline bool pending_propagates() {
    PyObject* exc = PyErr_GetRaisedException();
    const bool propagates = exc != nullptr && propagates_as_itself(exc);
    PyErr_SetRaisedException(exc);
    return propagates;
}

inline PyObject* str_from(std::string_view s) {
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

// Qualified name of an object's type, as used in conversion messages (its
// excerpt, for a type named at length).
std::string type_name(PyObject* o);

}  // namespace morvik3::py
