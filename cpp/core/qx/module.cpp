#include "qx/module.hpp"

namespace qx {

int run_module_body(PyObject* module, ModuleBody body) {
    try {
        py::module_ handle = py::reinterpret_borrow<py::module_>(module);
        body(handle);
        return 0;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (py::builtin_exception& e) {
        e.set_error();
    } catch (std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return -1;
}

}  // namespace qx
