// Extension modules with multi-phase initialisation: the module object is in sys.modules while
// its body runs (so classes and TypedDicts can resolve names through it), and an exception raised
// by the body reaches the importer unchanged.
#pragma once

#include <pybind11/pybind11.h>

#include "qx/function.hpp"

namespace qx {

using ModuleBody = void (*)(py::module_&);

// Runs a module body, turning C++ unwinding back into the pending Python exception. Refuses to
// run in a sub-interpreter (ImportError), see module.cpp.
int run_module_body(PyObject* module, ModuleBody body);

}  // namespace qx

#if PY_VERSION_HEX >= 0x030C0000
#define QX_SUB_INTERPRETER_SLOT {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#else
#define QX_SUB_INTERPRETER_SLOT
#endif

// Defines PyInit_<name> for a module whose body is the function `body`.
#define QX_MODULE(name, doc, body)                                                                       \
    static int qx_exec_##name(PyObject* module) {                                                        \
        return ::qx::run_module_body(module, body);                                                      \
    }                                                                                                    \
    static PyModuleDef_Slot qx_slots_##name[] = {{Py_mod_exec, reinterpret_cast<void*>(qx_exec_##name)}, \
                                                 QX_SUB_INTERPRETER_SLOT{0, nullptr}};                   \
    static PyModuleDef qx_def_##name = {PyModuleDef_HEAD_INIT, #name,   doc,     0,      nullptr,        \
                                        qx_slots_##name,       nullptr, nullptr, nullptr};               \
    extern "C" PYBIND11_EXPORT PyObject* PyInit_##name() {                                               \
        return PyModuleDef_Init(&qx_def_##name);                                                         \
    }
