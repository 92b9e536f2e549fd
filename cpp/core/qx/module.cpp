#include "qx/module.hpp"

#include <string>

#include "qx/boundary.hpp"

namespace qx {

namespace {

// The modules keep process-wide statics that hold Python objects (the function type, the output
// router class, interned keys). Objects of one interpreter must not reach another, so the modules
// load in the main interpreter only; 3.12 and later also learn it from the module's slots.
bool refuse_sub_interpreter(PyObject* module) {
    if (PyInterpreterState_Get() == PyInterpreterState_Main()) return false;
    const char* name = PyModule_GetName(module);
    if (name == nullptr) return true;
    PyErr_Format(PyExc_ImportError,
                 "%s cannot be imported in a sub-interpreter: it keeps process-wide state for the main "
                 "interpreter. Import it in the main interpreter (run work that needs isolation in a "
                 "separate process instead).",
                 name);
    return true;
}

}  // namespace

int run_module_body(PyObject* module, ModuleBody body) {
    if (refuse_sub_interpreter(module)) return -1;
    return guarded<int>(
        "module", [] { return std::string("module body"); },
        [&] {
            py::module_ handle = py::reinterpret_borrow<py::module_>(module);
            body(handle);
            return 0;
        });
}

}  // namespace qx
