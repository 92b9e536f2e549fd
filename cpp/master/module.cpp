// quorlix.master: the start-up entry of a host.  Wraps the analysis-code runtime so that an
// ordinary failure is printed instead of raised; the wrapped functions are found in this module's
// namespace at call time (they arrive there through the star import).
#include "qx/module.hpp"

#include "qx/python.hpp"
#include "qx/statements.hpp"

namespace master {
namespace {

namespace py = pybind11;

constexpr const char* safe_install_modules_doc =
    "\n"
    "    Calls install_dependencies with a list of module names and handles any errors.\n"
    "\n"
    "    :param module_names: A list of strings representing the names of the modules to install.\n"
    "    ";

// Reports an ordinary failure on standard output; anything else (KeyboardInterrupt, SystemExit)
// goes on to the caller.
void report(const qx::Call& call, py::error_already_set& error, const char* prefix) {
    if (!qx::is_ordinary(error)) throw;
    qx::print(call, py::str(prefix) + qx::text(error.value()));
}

py::object initialize_env(qx::Call& call) {
    try {
        call.global("initialize_environment")(call[0]);
    } catch (py::error_already_set& e) {
        report(call, e, "An error occurred during initilization: ");
    }
    return py::none();
}

py::object safe_install_modules(qx::Call& call) {
    try {
        call.global("install_dependencies")(call[0]);
        qx::print(call, py::str("Installation successful."));
    } catch (py::error_already_set& e) {
        report(call, e, "An error occurred during installation: ");
    }
    return py::none();
}

void body(py::module_& m) {
    qx::star_import(m, "quorlix.codebench");
    qx::def(m, "initialize_env", {qx::arg("env_path")}, initialize_env);
    qx::def(m, "safe_install_modules", {qx::arg("module_names")}, safe_install_modules, safe_install_modules_doc);
}

}  // namespace
}  // namespace master

QX_MODULE(master, nullptr, master::body)
