// quorlix._sandbox: private. Runs model-written analysis programs in confined worker processes
// forked from a warm parent interpreter (see qx/sandbox_*.hpp). It is an extension module of its
// own because one process must hold one parent: every other module links its own copy of the
// core, so the client state lives here and they all reach it through this module. The warm
// parent loads this same file as its entry point.
#include "qx/module.hpp"

#include <pybind11/eval.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "qx/output_capture.hpp"
#include "sandbox_client.hpp"
#include "sandbox_parent.hpp"
#include "sandbox_worker.hpp"

namespace sandbox_module {
namespace {

namespace py = pybind11;
namespace sb = qx::sandbox;

// What the parent interpreter runs: the analysis libraries first (so no run pays their import,
// and matplotlib's font list is built once), then this module's serve loop on fd 3.
constexpr const char* boot = R"(import sys
sys.path[:0] = [p for p in sys.argv[3:] if p not in sys.path]
import ast, datetime, io
for name in ("numpy", "pandas", "matplotlib"):
    try:
        __import__(name)
    except ImportError:
        pass
if "matplotlib" in sys.modules:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot
# A chart drawn once here loads what the first chart of every worker would load again: pandas'
# plotting layer, the renderer, fonts and the PNG writer.
try:
    import numpy as np, pandas as pd, matplotlib.pyplot as plt
    frame = pd.DataFrame({"k": ["a", "b", "a"], "v": np.random.default_rng(0).integers(1, 9, 3)})
    totals = frame.groupby("k")["v"].agg(["count", "sum", "mean"])
    str(totals), totals.describe().to_string(), frame.pivot_table(index="k", values="v")
    totals["sum"].plot(kind="bar", title="t", legend=True)
    plt.xlabel("x"), plt.ylabel("y"), plt.tight_layout()
    plt.savefig(io.BytesIO(), format="png")
    figure, axes = plt.subplots()
    axes.plot([1, 2], [3, 4]), axes.scatter([1], [2]), axes.hist([1, 2, 2]), axes.pie([1, 2])
    figure.savefig(io.BytesIO(), format="png")
    plt.close("all")
except Exception:
    pass
# Objects the parent made are never collected by workers, so their pages stay shared.
import gc
gc.collect()
gc.freeze()
from importlib.util import module_from_spec, spec_from_file_location
spec = spec_from_file_location("quorlix._sandbox", sys.argv[1])
module = module_from_spec(spec)
spec.loader.exec_module(module)
module.serve(3, sys.argv[2])
)";

// Raised inside a program at its time limit. CPython instantiates an asynchronous exception
// without arguments, so the message comes from __init__; each worker sets `seconds` for its run.
constexpr const char* timeout_source = R"(class TimeoutError(TimeoutError):
    seconds = "60"

    def __init__(self, *args):
        if not args:
            args = (f"the analysis program ran longer than {type(self).seconds} seconds and was stopped",)
        super().__init__(*args)
)";

// The parent's whole environment: locale, time zone and search path, and one thread for the
// numerical libraries (a process that forks must not have others). Secrets never reach it.
const char* const passed_variables[] = {"PATH", "LANG", "LC_ALL", "LC_CTYPE", "TZ", "HOME", "MPLCONFIGDIR"};
const char* const worker_variables[] = {"PATH", "LANG", "TZ"};
const char* const single_thread[] = {"OPENBLAS_NUM_THREADS=1", "OMP_NUM_THREADS=1", "MKL_NUM_THREADS=1",
                                     "NUMEXPR_NUM_THREADS=1", "VECLIB_MAXIMUM_THREADS=1"};

void configure_once(py::module_ self) {
    static bool configured = false;
    if (configured) return;
    sb::Launch launch;
    py::module_ sys = py::module_::import("sys");
    launch.argv = {py::str(sys.attr("executable")).cast<std::string>(), "-I",           "-c", boot,
                   py::str(self.attr("__file__")).cast<std::string>(),  "(run folders)"};
    launch.folder_argument = launch.argv.size() - 1;
    launch.temporary_root = py::module_::import("tempfile").attr("gettempdir")().cast<std::string>();
    // Where the analysis libraries live, for an interpreter that finds them only through the
    // host's search path.
    py::object find_spec = py::module_::import("importlib.util").attr("find_spec");
    py::object dirname = py::module_::import("os.path").attr("dirname");
    for (const char* name : {"numpy", "pandas", "matplotlib"}) {
        py::object spec = find_spec(name);
        if (spec.is_none() || spec.attr("origin").is_none()) continue;
        launch.argv.push_back(py::str(dirname(dirname(spec.attr("origin")))).cast<std::string>());
    }
    py::object environ = py::module_::import("os").attr("environ");
    for (const char* name : passed_variables) {
        py::object value = environ.attr("get")(name);
        if (!value.is_none()) launch.environment.push_back(std::string(name) + "=" + value.cast<std::string>());
    }
    for (const char* setting : single_thread) launch.environment.emplace_back(setting);
    sb::configure(launch);
    configured = true;
}

void prestart(py::module_ self) {
    configure_once(self);
    std::string why;
    bool started;
    {
        py::gil_scoped_release release;
        started = sb::prestart(why);
    }
    if (!started) throw std::runtime_error(why);
}

std::string seconds_text(double seconds) {
    return py::module_::import("builtins").attr("format")(seconds, "g").cast<std::string>();
}

py::str decoded(const std::string& text) {
    PyObject* value = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass");
    if (value == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(value);
}

// What a worker that died without reporting amounts to, as the node reports failures.
std::string ending(const sb::Outcome& outcome, const sb::Request& request) {
    const std::string timeout = "TimeoutError: the analysis program ran longer than " + seconds_text(request.seconds) +
                                " seconds and was stopped";
    const std::string memory = "MemoryError: the analysis program used more than " + sb::memory_text(request.memory);
    if (!outcome.failure.empty()) return outcome.failure;
    if (outcome.malformed)
        return "RuntimeError: the analysis program wrote on the sandbox's result channel, which ended its run";
    if (outcome.timed_out) return timeout;
    if (!outcome.exited)
        return "RuntimeError: the analysis sandbox stopped before the program finished; the next run starts a new one";
    if (WIFSIGNALED(outcome.status)) {
        const int signal = WTERMSIG(outcome.status);
        if (signal == SIGXCPU) return timeout;
        // Nobody here sent it: the kernel's out-of-memory killer.
        if (signal == SIGKILL) return memory;
        return "RuntimeError: the analysis program crashed (" + std::string(strsignal(signal)) + ")";
    }
    return "RuntimeError: the analysis program ended its process (exit status " +
           std::to_string(WEXITSTATUS(outcome.status)) + ") before it finished";
}

// (kind, value, length, stray stdout, stray stderr, missing layers): kind "ok" (value: the output),
// "error" ("Type: message"), "exit" (the SystemExit code), "interrupt" or "refused"; length: the
// whole length of the value's text, which keeps at most `output_limit` characters.
py::tuple run(py::module_ self, py::object code, double seconds, std::uint64_t memory, py::object chart, bool required,
              std::size_t output_limit, std::uint64_t quota) {
    configure_once(self);
    sb::Request request;
    if (PyBytes_Check(code.ptr())) {
        request.code = code.cast<std::string>();
        request.code_is_bytes = true;
    } else {
        PyObject* encoded = PyUnicode_AsEncodedString(code.ptr(), "utf-8", "surrogatepass");
        if (encoded == nullptr) throw py::error_already_set();
        request.code = py::reinterpret_steal<py::bytes>(encoded).cast<std::string>();
    }
    request.seconds = seconds;
    request.memory = memory;
    request.output_limit = output_limit;
    request.quota = quota;
    py::module_ os = py::module_::import("os");
    if (PyUnicode_Check(chart.ptr())) request.chart = os.attr("path").attr("abspath")(chart).cast<std::string>();
    request.required = required;
    try {
        request.directory = os.attr("getcwd")().cast<std::string>();
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_OSError)) throw;  // a deleted working directory: the run folder
    }
    sb::Outcome outcome;
    {
        py::gil_scoped_release release;
        outcome = sb::run(request);
    }
    py::str missing = decoded(outcome.missing);
    if (outcome.confined && !outcome.runs) return py::make_tuple("refused", py::none(), 0, "", "", missing);
    if (!outcome.reported) {
        const std::string text = ending(outcome, request);
        return py::make_tuple("error", text, text.size(), "", "", missing);
    }
    py::object value = decoded(outcome.text);
    // The worker's word on the length, never below what arrived.
    const std::size_t length = std::max<std::size_t>(outcome.length, py::len(value));
    if (outcome.kind == "exit") {
        if (outcome.exit_type == "none") value = py::none();
        // An int of a few digits: anything else is the program writing on its channel.
        if (outcome.exit_type == "int") {
            try {
                value = py::int_(value);
            } catch (py::error_already_set& error) {
                if (!error.matches(PyExc_ValueError)) throw;
                sb::Outcome forged;
                forged.malformed = true;
                const std::string text = ending(forged, request);
                return py::make_tuple("error", text, text.size(), "", "", missing);
            }
        }
    }
    return py::make_tuple(outcome.kind, value, length, decoded(outcome.stray_out), decoded(outcome.stray_err), missing);
}

// The warm parent's entry: never returns until the host goes away.
void serve(int control, const std::string& folder) {
    py::dict namespace_;
    namespace_["__name__"] = "quorlix._sandbox";
    py::exec(timeout_source, namespace_);
    sb::ParentConfig config;
    config.timeout_class = namespace_["TimeoutError"];
    py::object environ = py::module_::import("os").attr("environ");
    for (const char* name : worker_variables) {
        py::object value = environ.attr("get")(name);
        if (!value.is_none()) config.environment.emplace_back(name, value.cast<std::string>());
    }
    config.base = folder;

    // What a worker may read: the interpreter and its libraries, shared libraries, fonts, time
    // zones. Never "/" (a prefix of "/" would grant everything), never the host's project.
    py::module_ sys = py::module_::import("sys");
    py::list paths;
    for (const char* name : {"prefix", "exec_prefix", "base_prefix", "base_exec_prefix"}) paths.append(sys.attr(name));
    py::dict layout = py::module_::import("sysconfig").attr("get_paths")();
    for (const char* name : {"stdlib", "platstdlib", "purelib", "platlib"})
        if (layout.contains(name)) paths.append(layout[name]);
    for (py::handle path : py::module_::import("site").attr("getsitepackages")()) paths.append(path);
    py::object dirname = py::module_::import("os.path").attr("dirname");
    py::dict modules = sys.attr("modules");
    for (const char* name : {"numpy", "pandas", "matplotlib"}) {
        if (!modules.contains(name)) continue;
        py::object file = modules[name].attr("__dict__").attr("get")("__file__");
        if (!file.is_none()) paths.append(dirname(dirname(file)));
    }
    if (modules.contains("matplotlib")) paths.append(modules["matplotlib"].attr("get_data_path")());
    for (const char* fixed : {"/usr", "/lib", "/lib64", "/lib32", "/bin", "/etc/ld.so.cache", "/etc/localtime",
                              "/etc/fonts", "/etc/matplotlibrc", "/sys/devices/system/cpu"})
        paths.append(fixed);
    for (py::handle path : paths) {
        const std::string text = py::str(path).cast<std::string>();
        if (text.empty() || text == "/") continue;
        config.read_only.push_back(text);
    }
    config.devices = {"/dev/null", "/dev/zero", "/dev/urandom", "/dev/random"};
    {
        qx::OutputCapture warm;  // builds the capture's router class once, for every worker
    }
    sb::serve(control, config);
    sb::remove_tree(config.base);
}

void body(py::module_& m) {
    m.def(
        "prestart", [m]() { prestart(m); },
        "Starts the warm analysis parent now (it otherwise starts with the first analysis run).");
    m.def(
        "run",
        [m](py::object code, double seconds, std::uint64_t memory, py::object chart, bool required,
            std::size_t output_limit,
            std::uint64_t quota) { return run(m, code, seconds, memory, chart, required, output_limit, quota); },
        py::arg("code"), py::arg("seconds"), py::arg("memory"), py::arg("chart"), py::arg("required"),
        py::arg("output_limit"), py::arg("quota"));
    m.def(
        "serve", [](int control, const std::string& folder) { serve(control, folder); }, py::arg("control"),
        py::arg("folder"));
}

}  // namespace
}  // namespace sandbox_module

QX_MODULE(_sandbox, "Private: confined execution of analysis programs.", sandbox_module::body)
