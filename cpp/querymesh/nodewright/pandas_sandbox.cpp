#include "pandas_sandbox.hpp"

#include <atomic>
#include <cctype>
#include <cstdint>
#include <limits>
#include <string>

#include "qx/python.hpp"
#include "qx/statements.hpp"

namespace nodewright {
namespace {

constexpr const char* mode_variable = "QUORLIX_ANALYSIS_SANDBOX";
constexpr const char* memory_variable = "QUORLIX_ANALYSIS_MEMORY";
constexpr std::uint64_t default_memory = std::uint64_t{2} << 30;
// Below this an interpreter with pandas and matplotlib loaded cannot do anything useful.
constexpr std::uint64_t least_memory = std::uint64_t{256} << 20;

// The variable's value stripped, or "" when unset.
std::string setting(const char* name) {
    py::object value = py::module_::import("os").attr("environ").attr("get")(name);
    if (value.is_none()) return "";
    return qx::text_utf8(value.attr("strip")());
}

std::string quoted(const std::string& text) {
    return qx::text_utf8(py::repr(py::str(text)));
}

// Bytes, or a number with a K, M, G or T suffix (powers of 1024; "2G", "2GB" and "2GiB" agree).
bool parse_size(std::string text, std::uint64_t& bytes) {
    for (char& letter : text) letter = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
    if (text.size() > 2 && text.compare(text.size() - 2, 2, "IB") == 0) {
        text.erase(text.size() - 2);
    } else if (text.size() > 1 && text.back() == 'B' &&
               std::isalpha(static_cast<unsigned char>(text[text.size() - 2]))) {
        text.pop_back();
    }
    int shift = 0;
    if (!text.empty()) {
        switch (text.back()) {
            case 'K':
                shift = 10;
                break;
            case 'M':
                shift = 20;
                break;
            case 'G':
                shift = 30;
                break;
            case 'T':
                shift = 40;
                break;
            default:
                break;
        }
        if (shift != 0) text.pop_back();
    }
    if (text.empty() || text.size() > 19) return false;
    std::uint64_t number = 0;
    for (const char digit : text) {
        if (digit < '0' || digit > '9') return false;
        number = number * 10 + static_cast<std::uint64_t>(digit - '0');
    }
    if (number > (std::numeric_limits<std::uint64_t>::max() >> 1 >> shift)) return false;
    bytes = number << shift;
    return true;
}

std::uint64_t analysis_memory() {
    const std::string text = setting(memory_variable);
    if (text.empty()) return default_memory;
    std::uint64_t bytes = 0;
    if (!parse_size(text, bytes) || bytes < least_memory)
        qx::raise(PyExc_ValueError, std::string(memory_variable) +
                                        " must be a size in bytes, optionally with a K, M or G suffix, of at least "
                                        "256M (such as 2G), got " +
                                        quoted(text) + "; unset it for the default of 2G");
    return bytes;
}

py::object describe(const py::error_already_set& error) {
    py::object exception = error.value();
    return py::str("{}: {}").attr("format")(py::type::handle_of(exception).attr("__name__"), py::str(exception));
}

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

}  // namespace

SandboxMode analysis_sandbox_mode() {
    std::string text = setting(mode_variable);
    for (char& letter : text) letter = static_cast<char>(std::tolower(static_cast<unsigned char>(letter)));
    if (text.empty() || text == "auto") return SandboxMode::automatic;
    if (text == "required") return SandboxMode::required;
    if (text == "off") return SandboxMode::off;
    qx::raise(PyExc_ValueError, std::string(mode_variable) + " must be required, auto or off, got " + quoted(text) +
                                    "; unset it for the default, auto");
}

py::object run_in_sandbox(qx::Call& call, py::dict state, double seconds, SandboxMode mode) {
    const std::uint64_t memory = analysis_memory();
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
        update["python_error_message"] = describe(error);
        return std::move(update);
    }
    py::object chart = py::none();
    if (PyObject* path = PyDict_GetItemWithError(state.ptr(), QX_KEY("save_path").ptr()))
        chart = py::reinterpret_borrow<py::object>(path);
    else if (PyErr_Occurred())
        throw py::error_already_set();

    py::tuple outcome = py::module_::import("quorlix._sandbox")
                            .attr("run")(code, seconds, memory, chart, mode == SandboxMode::required);
    const std::string kind = outcome[0].cast<std::string>();
    py::object value = outcome[1];
    forward("stdout", outcome[2]);
    forward("stderr", outcome[3]);
    if (kind == "refused")
        qx::raise(PyExc_RuntimeError,
                  std::string(mode_variable) +
                      "=required, but this system does not offer every layer of the analysis sandbox:\n  " +
                      py::str(outcome[4]).attr("replace")("\n", "\n  ").cast<std::string>() +
                      "\nRun on a Linux kernel with Landlock, network namespaces and seccomp, or set " + mode_variable +
                      "=auto to run with the layers there are.");
    if (py::len(outcome[4]) > 0) warn_missing_layers(call, outcome[4].cast<std::string>());
    if (kind == "exit") {
        py::object exit = qx::type_object(reinterpret_cast<PyTypeObject*>(PyExc_SystemExit))(value);
        PyErr_SetObject(PyExc_SystemExit, exit.ptr());
        throw py::error_already_set();
    }
    if (kind == "interrupt") {
        PyErr_SetNone(PyExc_KeyboardInterrupt);
        throw py::error_already_set();
    }
    if (kind == "ok") {
        update["python_executed_output"] = value;
        update["python_execution_success"] = true;
    } else {
        update["python_execution_success"] = false;
        update["python_error_message"] = value;
    }
    return std::move(update);
}

}  // namespace nodewright
