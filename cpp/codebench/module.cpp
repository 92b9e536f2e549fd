// quorlix.codebench
#include "qx/module.hpp"

#include "codebench.hpp"
#include "qx/python.hpp"

namespace codebench {
namespace {

void body(py::module_& m) {
    for (const char* name : {"ast", "os", "subprocess", "sys", "tempfile", "venv"}) qx::import(m, name);
    qx::import_from(m, "io", {"StringIO"});

    m.attr("env_path") = py::none();
    m.attr("python_executable") = py::none();
    m.attr("media_path") = py::none();

    define_installation_error(m);
    qx::def(m, "initialize_environment", {qx::arg("env_path_param")}, initialize_environment);
    qx::def(m, "ensure_virtual_environment", qx::Signature{}, ensure_virtual_environment);
    qx::def(m, "install_defaults", qx::Signature{}, install_defaults);
    qx::def(m, "safe_install_modules", {qx::arg("module_names")}, safe_install_modules);
    qx::def(m, "install_dependencies", {qx::arg("dependencies")}, install_dependencies);
    qx::def(m, "execute_code", {qx::arg("code")}, execute_code);
}

}  // namespace
}  // namespace codebench

QX_MODULE(codebench, nullptr, codebench::body)
