// Runs a program in this module's namespace (as its globals and locals, so the names it binds
// stay for later runs) and returns what it printed.  Only the calling thread's output is taken:
// a run on another thread, or a host printing meanwhile, keeps its own output.
#include "codebench.hpp"
#include "qx/output_capture.hpp"

namespace codebench {

py::object execute_code(qx::Call& call) {
    // A syntax error surfaces here, before standard output is touched.
    py::object tree = call.global("ast").attr("parse")(call[0], py::arg("mode") = "exec");
    qx::OutputCapture capture;
    py::object program = call.global("compile")(tree, py::arg("filename") = "<ast>", py::arg("mode") = "exec");
    call.global("exec")(program, call.globals(), call.globals());
    return capture.text();
}

}  // namespace codebench
