// The virtual environment for analysis code: created with pip when its directory is missing, with
// the default analysis packages installed into a new one; an existing directory is reused as is.
#include "codebench.hpp"
#include "qx/python.hpp"

namespace codebench {
namespace {

// Installed into every newly created environment, in this order.
constexpr const char* default_packages[] = {"matplotlib", "scikit-learn", "numpy", "statsmodels", "pandas", "scipy"};

// The environment's interpreter where venv puts it on this platform (decided at call time, as
// venv itself decides).
py::object interpreter_path(const qx::Call& call, py::handle env_path) {
    py::object join = call.global("os").attr("path").attr("join");
    if (py::object(call.global("sys").attr("platform")).equal(py::str("win32")))
        return join(env_path, "Scripts", "python.exe");
    return join(env_path, "bin", "python");
}

}  // namespace

py::object initialize_environment(qx::Call& call) {
    call.globals()["env_path"] = call[0];
    call.global("ensure_virtual_environment")();
    return py::none();
}

py::object ensure_virtual_environment(qx::Call& call) {
    py::object env_path = call.global("env_path");
    const bool env_exists = py::bool_(call.global("os").attr("path").attr("exists")(env_path));
    if (!env_exists) call.global("venv").attr("create")(env_path, py::arg("with_pip") = true);
    call.globals()["python_executable"] = interpreter_path(call, env_path);
    if (!env_exists) call.global("install_defaults")();
    return py::none();
}

py::object install_defaults(qx::Call& call) {
    py::list names;
    for (const char* name : default_packages) names.append(name);
    call.global("safe_install_modules")(names);
    return py::none();
}

}  // namespace codebench
