#include "pandas_sandbox.hpp"

#include <atomic>
#include <cstdint>
#include <string>

#include "analysis_output.hpp"
#include "qx/python.hpp"
#include "qx/statements.hpp"

namespace nodewright {
namespace {

constexpr const char* mode_variable = "QUORLIX_ANALYSIS_SANDBOX";

// Said once per process, on stderr and in the log: which layers this system lacks.
void warn_missing_layers(const qx::Call& call, const std::string& missing) {
    static std::atomic<bool> warned{false};
    if (warned.exchange(true)) return;
    const std::string message =
        "quorlix: analysis programs run in a sandbox without these layers, which this system does not offer:\n  " +
        py::str(missing).attr("replace")("\n", "\n  ").cast<std::string>() + "\nSet " + mode_variable +
        "=required to refuse to run analysis programs without them.";
    call.global("print")(message, py::arg("file") = py::module_::import("sys").attr("stderr"));
    call.global("logger").attr("warning")(message);
}

void forward(const char* stream, py::handle text) {
    if (py::len(text) == 0) return;
    py::object target = py::module_::import("sys").attr(stream);
    if (!target.is_none()) target.attr("write")(text);
}

// Raises `type(value)` as the program raised it, marked as the program's.
[[noreturn]] void raise_program_exit(PyObject* type, py::handle value) {
    if (value.is_none() && type == PyExc_KeyboardInterrupt) {
        PyErr_SetNone(type);
    } else {
        py::object exit = qx::type_object(reinterpret_cast<PyTypeObject*>(type))(value);
        PyErr_SetObject(type, exit.ptr());
    }
    py::error_already_set error;
    mark_program_exit(error);
    throw error;
}

}  // namespace

py::object run_in_sandbox(qx::Call& call, py::dict state, double seconds, std::size_t output_limit, SandboxMode mode) {
    const std::uint64_t memory = analysis_memory();
    const std::uint64_t disk = analysis_disk();
    py::object code;
    py::dict update;
    try {
        code = state["pandas_code"];
        // A syntax tree (or anything else compile() would take or refuse) as the in-process run
        // takes or refuses it; the worker gets its source text.
        if (!PyUnicode_Check(code.ptr()) && !PyBytes_Check(code.ptr())) {
            py::object ast = call.global("ast");
            code = ast.attr("unparse")(ast.attr("parse")(code, py::arg("mode") = "exec"));
        }
    } catch (py::error_already_set& error) {
        if (!qx::is_ordinary(error)) throw;
        update["python_execution_success"] = false;
        update["python_error_message"] = bounded_text(failure_text(error), 0, output_limit, "error message");
        return std::move(update);
    }
    py::object chart = py::none();
    if (PyObject* path = PyDict_GetItemWithError(state.ptr(), QX_KEY("save_path").ptr()))
        chart = py::reinterpret_borrow<py::object>(path);
    else if (PyErr_Occurred())
        throw py::error_already_set();

    py::tuple outcome =
        py::module_::import("quorlix._sandbox")
            .attr("run")(code, seconds, memory, chart, mode == SandboxMode::required, output_limit, disk);
    const std::string kind = outcome[0].cast<std::string>();
    py::object value = outcome[1];
    const std::size_t length = outcome[2].cast<std::size_t>();
    forward("stdout", outcome[3]);
    forward("stderr", outcome[4]);
    if (kind == "refused")
        qx::raise(PyExc_RuntimeError,
                  std::string(mode_variable) +
                      "=required, but this system does not offer every layer of the analysis sandbox:\n  " +
                      py::str(outcome[5]).attr("replace")("\n", "\n  ").cast<std::string>() +
                      "\nRun on a Linux kernel with Landlock (ABI 6 or later), user, network and mount namespaces "
                      "and seccomp, or set " +
                      mode_variable + "=auto to run with the layers there are.");
    if (py::len(outcome[5]) > 0) warn_missing_layers(call, outcome[5].cast<std::string>());
    if (kind == "exit") raise_program_exit(PyExc_SystemExit, value);
    if (kind == "interrupt") raise_program_exit(PyExc_KeyboardInterrupt, py::none());
    if (kind == "ok") {
        update["python_executed_output"] = bounded_text(value, length, output_limit, "output");
        update["python_execution_success"] = true;
    } else {
        update["python_execution_success"] = false;
        update["python_error_message"] = bounded_text(value, length, output_limit, "error message");
    }
    return std::move(update);
}

}  // namespace nodewright
