#include "sandbox_worker.hpp"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "landlock.hpp"
#include "process_filter.hpp"
#include "qx/output_capture.hpp"
#include "qx/time_limit.hpp"
#include "sandbox_confine.hpp"
#include "sandbox_protocol.hpp"

namespace qx::sandbox {
namespace {

constexpr int channel_fd = 3;

// One analysis request, as the host sent it.
struct Order {
    std::string code;
    bool code_is_bytes = false;
    double seconds = 60;
    std::uint64_t memory = 0;
    std::string chart;
    bool required = false;
    std::string directory;
    std::size_t output_limit = 0;
    std::uint64_t quota = 0;
};

bool parse(const Message& message, Order& order) {
    const std::vector<std::string>& fields = message.fields;
    if (message.kind != Kind::request || fields.size() < 9 || message.fds.size() != 1) return false;
    order.code = fields[0];
    order.code_is_bytes = fields[1] == "1";
    order.seconds = std::strtod(fields[2].c_str(), nullptr);
    order.memory = std::strtoull(fields[3].c_str(), nullptr, 10);
    order.chart = fields[4];
    order.required = fields[5] == "1";
    order.directory = fields[6];
    order.output_limit = std::strtoull(fields[7].c_str(), nullptr, 10);
    order.quota = std::strtoull(fields[8].c_str(), nullptr, 10);
    return true;
}

// Only the order channel survives; the standard descriptors point at /dev/null so that C code
// writing to them (and a later open() landing on 1 or 2) harms nothing.
void keep_only_the_channel(int channel) {
    if (channel != channel_fd) {
        if (dup2(channel, channel_fd) < 0) _exit(120);
    } else {
        fcntl(channel_fd, F_SETFD, 0);
    }
    const int null = open("/dev/null", O_RDWR);
    for (int fd = 0; fd < 3; ++fd)
        if (null >= 0 && null != fd) dup2(null, fd);
    if (syscall(SYS_close_range, channel_fd + 1, ~0U, 0) != 0) {
        for (int fd = channel_fd + 1; fd < 65536; ++fd) close(fd);
    }
}

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += (text.empty() ? "" : "\n") + line;
    return text;
}

std::string utf8(py::handle text) {
    py::object encoded =
        py::reinterpret_steal<py::object>(PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogatepass"));
    if (!encoded) throw py::error_already_set();
    return std::string(PyBytes_AS_STRING(encoded.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.ptr())));
}

// The first `limit` characters of a text, in UTF-8.
std::string head(py::handle text, std::size_t limit) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
    if (static_cast<std::size_t>(length) <= limit) return utf8(text);
    py::object cut =
        py::reinterpret_steal<py::object>(PyUnicode_Substring(text.ptr(), 0, static_cast<Py_ssize_t>(limit)));
    if (!cut) throw py::error_already_set();
    return utf8(cut);
}

[[noreturn]] void report(const std::vector<std::string>& fields) {
    send_message(channel_fd, Message{Kind::result, fields, {}});
    _exit(0);
}

// str() of a value the program made, which may itself raise: then what Python's own traceback
// printing shows.
py::str text_of(py::handle value) {
    PyObject* text = PyObject_Str(value.ptr());
    if (text == nullptr) {
        PyErr_Clear();
        return py::str("<exception str() failed>");
    }
    return py::reinterpret_steal<py::str>(text);
}

// "ClassName: message", as the in-process node reports a failure.
py::str describe(const py::error_already_set& error, const Order& order) {
    if (error.matches(PyExc_MemoryError))
        return py::str("MemoryError: the analysis program used more than " + memory_text(order.memory));
    py::object exception = error.value();
    return py::str("{}: {}").attr("format")(py::type::handle_of(exception).attr("__name__"), text_of(exception));
}

// The Python side of a worker, set up while it waits: what no request changes.
struct Stage {
    py::object stray_out;  // what threads of the program print outside the capture
    py::object stray_err;
};

void prepare_python(const WorkerSetup& setup, Stage& stage) {
    py::module_ os = py::module_::import("os");
    py::module_ sys = py::module_::import("sys");
    clearenv();
    os.attr("environ").attr("clear")();
    for (const auto& [name, value] : setup.environment) os.attr("environ")[py::str(name)] = py::str(value);
    os.attr("environ")["HOME"] = setup.folder;
    os.attr("environ")["TMPDIR"] = setup.folder;
    // The parent's own temporary folder may already be cached there.
    py::dict modules = sys.attr("modules");
    if (modules.contains("tempfile")) modules["tempfile"].attr("tempdir") = py::none();
    os.attr("environ")["MPLCONFIGDIR"] = setup.folder + "/.matplotlib";
    // Handed back to the host's streams.
    stage.stray_out = bounded_text_buffer(stray_limit);
    stage.stray_err = bounded_text_buffer(stray_limit);
    sys.attr("stdout") = stage.stray_out;
    sys.attr("stderr") = stage.stray_err;
    // One small program through the same steps as the real one: the pages they write (reference
    // counts of the interpreter's objects, all shared with the parent until written) are copied
    // now rather than while the host waits.
    OutputCapture capture;
    py::object builtins = py::module_::import("builtins");
    py::dict scratch;
    scratch["datetime"] = py::module_::import("datetime");
    py::object tree = py::module_::import("ast").attr("parse")(py::str("print(6 * 7)"), py::arg("mode") = "exec");
    builtins.attr("exec")(builtins.attr("compile")(tree, py::arg("filename") = "<ast>", py::arg("mode") = "exec"),
                          scratch);
    static_cast<void>(capture.text());
}

void run_program(const WorkerSetup& setup, const Stage& stage, const Order& order, bool& started) {
    const pid_t self = getpid();
    const py::object& stray_out = stage.stray_out;
    const py::object& stray_err = stage.stray_err;
    setup.timeout_class.attr("seconds") = py::module_::import("builtins").attr("format")(order.seconds, "g");

    py::dict namespace_;
    namespace_["datetime"] = py::module_::import("datetime");
    std::string outcome = "ok";
    py::object text = py::str("");
    std::size_t length = 0;
    std::string exit_type;
    py::object source = order.code_is_bytes
                            ? py::object(py::bytes(order.code))
                            : py::reinterpret_steal<py::object>(PyUnicode_DecodeUTF8(
                                  order.code.data(), static_cast<Py_ssize_t>(order.code.size()), "surrogatepass"));
    started = true;
    try {
        if (!source) throw py::error_already_set();
        py::object tree = py::module_::import("ast").attr("parse")(source, py::arg("mode") = "exec");
        OutputCapture capture(order.output_limit);
        py::object builtins = py::module_::import("builtins");
        py::object code = builtins.attr("compile")(tree, py::arg("filename") = "<ast>", py::arg("mode") = "exec");
        {
            TimeLimit limit(order.seconds, setup.timeout_class);
            builtins.attr("exec")(code, namespace_);
        }
        // Read inside the guard: a program that closed the buffer fails like any other program.
        text = capture.text();
        length = capture.written();
    } catch (py::error_already_set& error) {
        // A process the program forked (where the OS let it) ends here, silently.
        if (getpid() != self) _exit(0);
        if (error.matches(PyExc_SystemExit)) {
            outcome = "exit";
            py::object code = error.value().attr("code");
            exit_type = code.is_none() ? "none" : PyLong_Check(code.ptr()) ? "int" : "str";
            if (!code.is_none()) text = text_of(code);
        } else if (error.matches(PyExc_KeyboardInterrupt)) {
            outcome = "interrupt";
        } else {
            outcome = "error";
            text = describe(error, order);
        }
        if (outcome != "ok") length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text.ptr()));
    }
    if (getpid() != self) _exit(0);
    namespace_.clear();
    report({outcome, head(text, order.output_limit), std::to_string(length),
            head(stray_out.attr("getvalue")(), stray_limit), head(stray_err.attr("getvalue")(), stray_limit),
            exit_type});
}

struct Prepared {
    confine::Layers layers;
    bool view = false;
    landlock::Ruleset rules;
    Stage python;
    std::string fatal;  // why the program cannot run at all, said after CONFINED
};

// What no request changes, done while the worker waits.
void prepare(const WorkerSetup& setup, Prepared& prepared) {
    confine::enter_namespaces(prepared.layers);
    confine::empty_bounding_set();
    std::string why;
    if (prepared.layers.mount_namespace) {
        prepared.view = view::build(setup.view, why);
        if (!prepared.view) prepared.layers.missing.push_back("filesystem view (mount namespace): " + why);
    }
    const int abi = landlock::abi_version();
    why.clear();
    if (!prepared.rules.create(abi, why)) {
        prepared.layers.missing.push_back("filesystem (Landlock): " + why);
        return;
    }
    for (const std::string& line : landlock::lacking(abi)) prepared.layers.missing.push_back(line);
    bool ready = true;
    for (const std::string& path : setup.read_only) ready = ready && prepared.rules.allow_reading(path, why);
    for (const std::string& path : setup.devices) ready = ready && prepared.rules.allow_device(path, why);
    if (!ready) prepared.layers.missing.push_back("filesystem (Landlock): " + why);
}

// The steps that depend on the request. The program has not run yet.
void confine_for(const WorkerSetup& setup, const Order& order, Prepared& prepared) {
    confine::Layers& layers = prepared.layers;
    std::string why;
    if (prepared.view) {
        bool sealed = order.chart.empty() || view::expose_file(order.chart, why);
        if (!order.directory.empty()) view::make_directory(order.directory);
        sealed = sealed && view::set_quota(setup.folder, order.quota, why) && view::seal(why);
        if (!sealed) layers.missing.push_back("filesystem view (mount namespace): " + why);
    }
    // The host's working directory, so that a relative chart path means what it means in-process
    // (Landlock still decides what may be read or written there).
    if ((order.directory.empty() || chdir(order.directory.c_str()) != 0) && chdir(setup.folder.c_str()) != 0)
        prepared.fatal = "RuntimeError: cannot enter the run folder: " + std::string(std::strerror(errno));
    confine::drop_privileges(layers);
    // The run folder's quota is the tmpfs's size; without a view, no file may pass it.
    confine::set_limits(order.seconds, order.memory, order.quota, layers);
    prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    if (prepared.rules.created()) {
        why.clear();
        const bool enforced = prepared.rules.allow_everything(setup.folder, why) &&
                              (order.chart.empty() || prepared.rules.allow_writing_file(order.chart, why)) &&
                              prepared.rules.restrict_self(why);
        if (!enforced) layers.missing.push_back("filesystem (Landlock): " + why);
    }
    why.clear();
    if (!process_filter::install(why)) layers.missing.push_back("processes and sockets (seccomp): " + why);
}

}  // namespace

std::string memory_text(std::uint64_t bytes) {
    const char* units[] = {"GiB", "MiB", "KiB"};
    const int shifts[] = {30, 20, 10};
    for (int i = 0; i < 3; ++i) {
        const std::uint64_t unit = std::uint64_t{1} << shifts[i];
        if (bytes >= unit && bytes % unit == 0) return std::to_string(bytes / unit) + " " + units[i];
    }
    return std::to_string(bytes) + " bytes";
}

void run_worker(const WorkerSetup& setup) {
    // The worker must not outlive the parent that reaps it and cleans its folder.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != setup.parent) _exit(0);
    keep_only_the_channel(setup.order);
    Prepared prepared;
    prepare(setup, prepared);
    try {
        prepare_python(setup, prepared.python);
    } catch (...) {
        PyErr_Clear();
        prepared.fatal = "RuntimeError: the analysis worker failed before the program could run";
    }

    Message message;
    Order order;
    if (receive_message(channel_fd, message, Clock::time_point::max()) != Received::message || !parse(message, order))
        _exit(0);
    // From here on the worker speaks only to the host, on the run's data channel: the order
    // channel (to the parent) is gone before the program could use it.
    if (dup2(message.fds[0], channel_fd) < 0) _exit(0);
    close(message.fds[0]);
    message.fds.clear();

    confine_for(setup, order, prepared);
    const std::vector<std::string>& missing = prepared.layers.missing;
    const bool runs = !order.required || missing.empty();
    // Written before the program exists, so the host may believe it.
    send_message(channel_fd, Message{Kind::confined, {joined(missing), runs ? "1" : "0"}, {}});
    if (!runs) _exit(0);
    if (!prepared.fatal.empty()) report({"error", prepared.fatal, "0", "", "", ""});
    bool started = false;
    try {
        run_program(setup, prepared.python, order, started);
    } catch (...) {
        // A failure of the machinery itself (not of the program): say so rather than hang.
        PyErr_Clear();
        report({"error",
                started ? "RuntimeError: the analysis worker failed after the program ran; its output is lost"
                        : "RuntimeError: the analysis worker failed before the program could run",
                "0", "", "", ""});
    }
    _exit(0);
}

}  // namespace qx::sandbox
