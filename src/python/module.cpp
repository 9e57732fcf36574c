// Module entry: multi-phase initialisation without per-module state.
#include "classes.hpp"
#include "pyutil.hpp"

#include <mutex>

#include "frame/thread_pool.hpp"

namespace morvik3::py {
namespace {

constexpr const char* version = "0.5.0";

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
    if (add(module, "FeatureSketch", create_featuresketch_type(module)) < 0) return -1;
    if (add(module, "MStream", create_mstream_type(module)) < 0) return -1;
    if (add(module, "OnlineIForest", create_onlineiforest_type(module)) < 0) return -1;
    if (add(module, "Forest", create_forest_type(module)) < 0) return -1;
    if (add(module, "ScoreCalibrator", create_calibrator_type(module)) < 0) return -1;
    if (add(module, "__version__", PyUnicode_FromString(version)) < 0) return -1;
    PyObject* internal = create_internal_error_type();
    if (add(module, "InternalError", Py_XNewRef(internal)) < 0) return -1;
    return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "morvik3",
    "",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace morvik3::py

PyMODINIT_FUNC PyInit_morvik3() { return PyModuleDef_Init(&morvik3::py::definition); }
