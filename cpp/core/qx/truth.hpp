// Truth and comparison of Python values as Python's own statements take them.  Every body asks
// these, so a failing __bool__, __len__ or __eq__ always raises its own error instead of being
// read as false (or leaving an exception set behind a normal return).
#pragma once

#include <pybind11/pybind11.h>

namespace qx {

namespace py = pybind11;

// `if value:`
inline bool truth(py::handle value) {
    const int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw py::error_already_set();
    return result != 0;
}

// `if left <op> right:` with op one of Py_LT, Py_EQ, ...: the rich comparison itself (no identity
// shortcut, so a value unequal to itself stays unequal), then the truth of its result.
inline bool compare(py::handle left, int op, py::handle right) {
    PyObject* result = PyObject_RichCompare(left.ptr(), right.ptr(), op);
    if (result == nullptr) throw py::error_already_set();
    const py::object outcome = py::reinterpret_steal<py::object>(result);
    return truth(outcome);
}

// `if left == right:`
inline bool equals(py::handle left, py::handle right) {
    return compare(left, Py_EQ, right);
}

}  // namespace qx
