// Small helpers that keep C++ bodies close to the Python they stand for: imports that bind names
// in a module namespace, text conversion as f-strings do it, printing through the builtin print,
// and raising with a message.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <string>

#include "qx/function.hpp"

namespace qx {

// `import name` / `import a.b` (binds the top-level package under `as`, or the module when given).
py::module_ import(py::module_& into, const char* dotted, const char* as = nullptr);
// `from module import a, b` into the namespace of `into`; returns the source module.
py::module_ import_from(py::module_& into, const char* module, std::initializer_list<const char*> names);
// `from module import *` (relative when the name starts with a dot): __all__ when the module has
// one, otherwise every name not starting with an underscore.
py::module_ star_import(py::module_& into, const char* module);

// The text of a value the way format(value, "") gives it, which is what f-strings and str()
// concatenation in Python produce.
py::str text(py::handle value);
std::string text_utf8(py::handle value);

// Prints through the builtin print found at call time, so a replaced sys.stdout is honoured.
void print(const Call& call, py::handle value);

// `callable(*args, **keywords, **mapping)`, merged as Python's call syntax merges them: a key of
// `mapping` that is already among `keywords` raises Python's own "got multiple values for keyword
// argument" TypeError naming the callable, and a non-mapping raises its "must be a mapping" error.
py::object call_unpacking(py::handle callable, py::tuple args, py::dict keywords, py::handle mapping);

// Sets a Python exception and unwinds to the caller.
[[noreturn]] void raise(PyObject* type, const std::string& message);

// An interned str that is never released (a static destructor would run after finalization);
// throws when it cannot be made, so the static below is tried again on the next use.
PyObject* interned(const char* text);

// A constant text made and interned once per place of use, for the keys a body stores under
// or reads on every call (Python compiles its constant keys once too).
#define QX_KEY(text)                                            \
    ([]() -> ::pybind11::handle {                               \
        static PyObject* const interned = ::qx::interned(text); \
        return interned;                                        \
    }())

// Borrows a value already known to be of the exact type, without converting it.
inline py::dict as_dict(py::handle value) {
    return py::reinterpret_borrow<py::dict>(value);
}
inline py::list as_list(py::handle value) {
    return py::reinterpret_borrow<py::list>(value);
}

// Built-in type objects for exact-type parameters and annotations.
inline PyTypeObject* dict_type() {
    return &PyDict_Type;
}
inline PyTypeObject* list_type() {
    return &PyList_Type;
}
inline PyTypeObject* str_type() {
    return &PyUnicode_Type;
}
inline PyTypeObject* int_type() {
    return &PyLong_Type;
}
inline py::object type_object(PyTypeObject* type) {
    return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(type));
}

// `typing.X[args]`, for annotations such as List[str] or Optional[int].
py::object typing(const char* name);
py::object subscript(py::handle generic, py::handle argument);

}  // namespace qx
