// Package installation with pip: one child process per package, started without a shell and
// inheriting this process's standard streams, so pip's own progress and errors reach the user.
#include <string>

#include "codebench.hpp"
#include "qx/classes.hpp"
#include "qx/python.hpp"
#include "qx/statements.hpp"

namespace codebench {

void define_installation_error(py::module_& module) {
    qx::ClassBuilder error(module, "InstallationError",
                           py::make_tuple(qx::type_object(reinterpret_cast<PyTypeObject*>(PyExc_RuntimeError))));
    error.attribute("__doc__", py::str("pip could not install one or more packages; `failures` holds (package, "
                                       "exit status) pairs in installation order."));
    error.create();
}

py::object install_dependencies(qx::Call& call) {
    py::list failures;
    std::string report;
    for (py::handle dependency : call[0]) {
        py::list command;
        command.append(call.global("python_executable"));
        for (const char* word : {"-m", "pip", "install"}) command.append(word);
        command.append(dependency);
        py::object status = call.global("subprocess").attr("call")(command);
        // A failed package must not hide behind a later success: keep going, report them all.
        if (status.equal(py::int_(0))) continue;
        failures.append(py::make_tuple(dependency, status));
        report +=
            (report.empty() ? "" : ", ") + qx::text_utf8(dependency) + " (exit status " + qx::text_utf8(status) + ")";
    }
    if (failures.empty()) return py::none();
    py::object error =
        call.global("InstallationError")("pip could not install: " + report + "; pip's own output above says why");
    error.attr("failures") = failures;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    throw py::error_already_set();
}

py::object safe_install_modules(qx::Call& call) {
    try {
        call.global("install_dependencies")(call[0]);
        qx::print(call, py::str("Installation successful."));
    } catch (py::error_already_set& e) {
        if (!qx::is_ordinary(e)) throw;
        qx::print(call, py::str("An error occurred during installation: ") + qx::text(e.value()));
    }
    return py::none();
}

}  // namespace codebench
