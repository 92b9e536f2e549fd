#include "qx/boundary.hpp"

#include <exception>
#include <new>

namespace qx {

namespace detail {

void (*entry_hook)(const char* entry) = nullptr;

void report_null_without_error(const std::string& function) {
    PyErr_Format(PyExc_SystemError, "%s returned NULL without setting an exception", function.c_str());
}

}  // namespace detail

void set_error_from_current_exception() {
    try {
        throw;
    } catch (py::error_already_set& error) {
        error.restore();
    } catch (py::builtin_exception& error) {
        error.set_error();
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (std::exception& error) {
        PyErr_SetString(PyExc_SystemError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

}  // namespace qx
