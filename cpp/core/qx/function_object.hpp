// Layout of the function object; shared by the type, the argument binder and the signature
// builder, never by the modules.
#pragma once

#include "qx/function.hpp"

namespace qx::detail {

// A function holds at most this many parameters; the binder keeps them on the stack.
constexpr std::size_t max_params = 16;

struct FunctionData {
    std::vector<Param> params;
    std::size_t positional_count = 0;  // leading positional-or-keyword parameters
    std::size_t required_positional = 0;
    std::ptrdiff_t var_positional = -1;
    std::ptrdiff_t var_keyword = -1;
    py::object returns;
    Body body = nullptr;
    py::object shadow;  // Python twin that words binding errors; made on the first one
};

struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    FunctionData* data;
    PyObject* globals;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;
    PyObject* defaults;
    PyObject* kwdefaults;
    PyObject* signature;  // built on first request
    PyObject* dict;
    PyObject* weakrefs;
};

// Both may throw; the type's slots run them inside qx::guarded.
PyObject* bind_and_call(FunctionObject* function, PyObject* const* args, std::size_t nargsf, PyObject* kwnames);
PyObject* build_signature(FunctionObject* function);
void fill_introspection(FunctionObject* function);

}  // namespace qx::detail
