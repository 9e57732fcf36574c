// Type creation entry points of the classes.
#pragma once

#include "pyutil.hpp"

namespace morvik3::py {

PyObject* create_forest_type(PyObject* module);
PyObject* create_featuresketch_type(PyObject* module);
PyObject* create_onlineiforest_type(PyObject* module);
PyObject* create_mstream_type(PyObject* module);
PyObject* create_calibrator_type(PyObject* module);

}  // namespace morvik3::py
