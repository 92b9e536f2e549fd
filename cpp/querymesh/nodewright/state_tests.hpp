// Comparisons of state values as Python's operators make them inside an `if`: the rich comparison
// itself (no identity shortcut), then the truth of its result.
#pragma once

#include <pybind11/pybind11.h>

namespace nodewright {

namespace py = pybind11;

inline bool holds(py::handle left, int op, py::handle right) {
    PyObject* result = PyObject_RichCompare(left.ptr(), right.ptr(), op);
    if (result == nullptr) throw py::error_already_set();
    const int truth = PyObject_IsTrue(result);
    Py_DECREF(result);
    if (truth < 0) throw py::error_already_set();
    return truth != 0;
}

inline bool is_true(py::handle value) {
    const int truth = PyObject_IsTrue(value.ptr());
    if (truth < 0) throw py::error_already_set();
    return truth != 0;
}

}  // namespace nodewright
