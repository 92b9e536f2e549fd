// Python statements that C++ bodies need with their exact semantics: the `with` statement and the
// `except Exception` test.
#pragma once

#include <pybind11/pybind11.h>

#include <utility>

namespace qx {

namespace py = pybind11;

// True for an exception that `except Exception` catches; KeyboardInterrupt, SystemExit and
// GeneratorExit are not among them and must keep unwinding.
inline bool is_ordinary(const py::error_already_set& error) {
    return error.matches(PyExc_Exception);
}

// A context manager entered the way the `with` statement enters it: __enter__ and __exit__ are
// found on the type, and __exit__ learns about an exception leaving the block.
class ContextManager {
public:
    explicit ContextManager(py::handle manager);
    py::object enter();
    void exit_cleanly();
    // Returns true when __exit__ swallowed the exception.
    bool exit_with(const py::error_already_set& error);

private:
    py::object manager_;
    py::object enter_;
    py::object exit_;
};

// `with manager as value: return body(value)`.  Returns the body's result, or an empty object when
// __exit__ swallowed an exception (the statement after the block then runs, as in Python).
template <class Body>
py::object with(py::handle manager, Body&& body) {
    ContextManager context(manager);
    py::object value = context.enter();
    py::object result;
    try {
        try {
            result = std::forward<Body>(body)(value);
        } catch (py::builtin_exception& error) {
            // A C++-side failure becomes the Python exception it stands for before __exit__ sees it.
            error.set_error();
            throw py::error_already_set();
        }
    } catch (py::error_already_set& error) {
        if (context.exit_with(error)) return py::object();
        throw;
    }
    context.exit_cleanly();
    return result;
}

}  // namespace qx
