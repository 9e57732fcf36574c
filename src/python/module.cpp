// Module entry: multi-phase initialisation, one module state per import.
#include "classes.hpp"
#include "pyutil.hpp"

#include <mutex>

#include "frame/thread_pool.hpp"

namespace morvik3::py {
namespace {

int add(PyObject* module, const char* name, PyObject* value) {
    if (value == nullptr) return -1;
    return PyModule_Add(module, name, value);  // steals value, even on failure
}

// The batches' worker threads end with the interpreter: joined once it has
// finalised, idle by then.
void stop_workers_at_exit() noexcept {
    try {
        stop_worker_threads();
    } catch (...) {
        // The process is ending; its threads end with it.
    }
}

int exec_module(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyErr_SetString(PyExc_TypeError, "morvik3 can only be initialised into a module object");
        return -1;
    }
    static std::once_flag at_exit;
    std::call_once(at_exit, [] { Py_AtExit(stop_workers_at_exit); });
    auto* state = state_of_module(module);
    state->internal_error = create_internal_error_type();
    if (state->internal_error == nullptr) return -1;
    if (add(module, "FeatureSketch", create_featuresketch_type(module)) < 0) return -1;
    if (add(module, "MStream", create_mstream_type(module)) < 0) return -1;
    if (add(module, "OnlineIForest", create_onlineiforest_type(module)) < 0) return -1;
    if (add(module, "Forest", create_forest_type(module)) < 0) return -1;
    if (add(module, "ScoreCalibrator", create_calibrator_type(module)) < 0) return -1;
    if (add(module, "__version__", PyUnicode_FromString(MORVIK3_VERSION)) < 0) return -1;
    if (add(module, "InternalError", Py_NewRef(state->internal_error)) < 0) return -1;
    return 0;
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
    auto* state = state_of_module(module);
    if (state == nullptr) return 0;
    Py_VISIT(state->internal_error);
    for (PyObject* c : state->classes) Py_VISIT(c);
    return 0;
}

int clear_module(PyObject* module) {
    auto* state = state_of_module(module);
    if (state == nullptr) return 0;
    Py_CLEAR(state->internal_error);
    for (PyObject*& c : state->classes) Py_CLEAR(c);
    return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    // Every object lives in the state of the import that made it, and the
    // cores share nothing: each interpreter, each with its own GIL, has its own.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "morvik3",
    "",
    sizeof(ModuleState),
    nullptr,
    slots,
    traverse_module,
    clear_module,
    free_module,
};

}  // namespace
}  // namespace morvik3::py

PyMODINIT_FUNC PyInit_morvik3() { return PyModuleDef_Init(&morvik3::py::definition); }
