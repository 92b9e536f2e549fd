// The analysis-code runtime: one virtual environment per process for analysis packages, pip
// installs into it, and running a program in this module's namespace with its output captured.
#pragma once

#include "qx/function.hpp"

namespace codebench {

namespace py = pybind11;

// Bodies of the module functions; each reads the module's globals and calls its siblings through
// the module namespace at call time, so a replaced global takes effect at the next call.
py::object initialize_environment(qx::Call& call);
py::object ensure_virtual_environment(qx::Call& call);
py::object install_defaults(qx::Call& call);
py::object safe_install_modules(qx::Call& call);
py::object install_dependencies(qx::Call& call);
py::object execute_code(qx::Call& call);

// Declares InstallationError, raised by install_dependencies when pip fails for any package.
void define_installation_error(py::module_& module);

}  // namespace codebench
