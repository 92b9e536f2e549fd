#include "qx/statements.hpp"

#include <string>

#include "qx/truth.hpp"

namespace qx {

namespace {

py::object special_method(py::handle manager, const char* name) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(manager.ptr()));
    PyObject* method = PyObject_GetAttrString(type, name);
    if (method == nullptr) PyErr_Clear();
    return py::reinterpret_steal<py::object>(method);
}

[[noreturn]] void refuse(py::handle manager, const char* detail) {
    std::string message = "'" + std::string(Py_TYPE(manager.ptr())->tp_name) +
                          "' object does not support the context manager protocol" + detail;
    PyErr_SetString(PyExc_TypeError, message.c_str());
    throw py::error_already_set();
}

}  // namespace

ContextManager::ContextManager(py::handle manager) : manager_(py::reinterpret_borrow<py::object>(manager)) {
    enter_ = special_method(manager, "__enter__");
    if (!enter_) refuse(manager, "");
    exit_ = special_method(manager, "__exit__");
    if (!exit_) refuse(manager, " (missed __exit__ method)");
}

py::object ContextManager::enter() {
    return enter_(manager_);
}

void ContextManager::exit_cleanly() {
    exit_(manager_, py::none(), py::none(), py::none());
}

bool ContextManager::exit_with(const py::error_already_set& error) {
    // A freshly raised exception may have no traceback yet; __exit__ is then given None for it.
    py::handle trace = error.trace() ? error.trace() : py::none();
    py::object swallowed = exit_(manager_, error.type(), error.value(), trace);
    return truth(swallowed);
}

}  // namespace qx
