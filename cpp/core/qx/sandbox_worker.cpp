#include "qx/sandbox_worker.hpp"

#include <fcntl.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "qx/landlock.hpp"
#include "qx/output_capture.hpp"
#include "qx/process_filter.hpp"
#include "qx/sandbox_protocol.hpp"
#include "qx/time_limit.hpp"

namespace qx::sandbox {
namespace {

constexpr int channel_fd = 3;

std::string error_text(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

// Only the run channel survives; the standard descriptors point at /dev/null so that C code
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

struct Layers {
    std::vector<std::string> missing;  // "name: reason"
    bool own_user_namespace = false;
};

void enter_network_namespace(Layers& layers) {
    if (unshare(CLONE_NEWNET) == 0) return;
    const std::string plain = error_text("unshare(CLONE_NEWNET)");
    // Without CAP_SYS_ADMIN a new user namespace brings the right to a network namespace.
    if (unshare(CLONE_NEWUSER | CLONE_NEWNET) == 0) {
        layers.own_user_namespace = true;
        return;
    }
    layers.missing.push_back("network namespace: " + plain + "; " + error_text("with CLONE_NEWUSER"));
}

// A host running as root would otherwise hand the program every capability (loading kernel
// modules, raw I/O, changing the clock): all are dropped, for good.
void drop_capabilities() {
    for (int capability = 0; capability < 64; ++capability) prctl(PR_CAPBSET_DROP, capability, 0, 0, 0);
    prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    struct {
        std::uint32_t version;
        int pid;
    } header{0x20080522, 0};  // _LINUX_CAPABILITY_VERSION_3
    std::uint32_t sets[6] = {};
    syscall(SYS_capset, &header, sets);
}

void limit(int resource, rlim_t value) {
    rlimit bounds{value, value};
    setrlimit(resource, &bounds);
}

void set_limits(const WorkerSetup& setup, const Layers& layers) {
    limit(RLIMIT_AS, static_cast<rlim_t>(setup.memory));
    // A little above the time limit: the watchdog's TimeoutError comes first, the CPU limit
    // stops a program that keeps catching it.
    const double cpu = std::ceil(std::min(setup.seconds, 1e9)) + 2;
    rlimit cpu_bounds{static_cast<rlim_t>(cpu), static_cast<rlim_t>(cpu) + 1};
    setrlimit(RLIMIT_CPU, &cpu_bounds);
    limit(RLIMIT_FSIZE, rlim_t{1} << 30);
    limit(RLIMIT_CORE, 0);
    limit(RLIMIT_NOFILE, 256);
    // Counted per user and namespace: only in a namespace of its own does the count start at
    // this worker (root is never held to it; the process filter covers that case).
    if (layers.own_user_namespace) limit(RLIMIT_NPROC, 64);
}

std::string utf8(py::handle text) {
    py::object encoded =
        py::reinterpret_steal<py::object>(PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogatepass"));
    if (!encoded) throw py::error_already_set();
    return std::string(PyBytes_AS_STRING(encoded.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.ptr())));
}

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += (text.empty() ? "" : "\n") + line;
    return text;
}

[[noreturn]] void report(const std::vector<std::string>& fields) {
    Message result{Kind::result, fields, -1};
    send_message(channel_fd, result);
    _exit(0);
}

// "ClassName: message", as the in-process node reports a failure.
std::string describe(const py::error_already_set& error, const WorkerSetup& setup) {
    if (error.matches(PyExc_MemoryError))
        return "MemoryError: the analysis program used more than " + memory_text(setup.memory);
    py::object exception = error.value();
    return utf8(py::str("{}: {}").attr("format")(py::type::handle_of(exception).attr("__name__"), py::str(exception)));
}

void run_program(const WorkerSetup& setup, const std::vector<std::string>& missing) {
    const pid_t self = getpid();
    py::module_ os = py::module_::import("os");
    py::module_ sys = py::module_::import("sys");
    py::module_ io = py::module_::import("io");
    clearenv();
    os.attr("environ").attr("clear")();
    for (const auto& [name, value] : setup.environment) os.attr("environ")[py::str(name)] = py::str(value);
    os.attr("environ")["HOME"] = setup.folder;
    os.attr("environ")["TMPDIR"] = setup.folder;
    // The parent's own temporary folder may already be cached there.
    py::dict modules = sys.attr("modules");
    if (modules.contains("tempfile")) modules["tempfile"].attr("tempdir") = py::none();
    os.attr("environ")["MPLCONFIGDIR"] = setup.folder + "/.matplotlib";

    // Threads of the program that print outside the capture: handed back to the host's streams.
    py::object stray_out = io.attr("StringIO")();
    py::object stray_err = io.attr("StringIO")();
    sys.attr("stdout") = stray_out;
    sys.attr("stderr") = stray_err;
    setup.timeout_class.attr("seconds") = py::module_::import("builtins").attr("format")(setup.seconds, "g");

    py::dict namespace_;
    namespace_["datetime"] = py::module_::import("datetime");
    std::string outcome = "ok";
    std::string text;
    std::string exit_type;
    py::object source = setup.code_is_bytes
                            ? py::object(py::bytes(setup.code))
                            : py::reinterpret_steal<py::object>(PyUnicode_DecodeUTF8(
                                  setup.code.data(), static_cast<Py_ssize_t>(setup.code.size()), "surrogatepass"));
    try {
        if (!source) throw py::error_already_set();
        py::object tree = py::module_::import("ast").attr("parse")(source, py::arg("mode") = "exec");
        OutputCapture capture;
        py::object builtins = py::module_::import("builtins");
        py::object code = builtins.attr("compile")(tree, py::arg("filename") = "<ast>", py::arg("mode") = "exec");
        {
            TimeLimit limit(setup.seconds, setup.timeout_class);
            builtins.attr("exec")(code, namespace_);
        }
        text = utf8(capture.text());
    } catch (py::error_already_set& error) {
        // A process the program forked (where the OS let it) ends here, silently.
        if (getpid() != self) _exit(0);
        if (error.matches(PyExc_SystemExit)) {
            outcome = "exit";
            py::object code = error.value().attr("code");
            if (code.is_none()) {
                exit_type = "none";
            } else if (PyLong_Check(code.ptr())) {
                exit_type = "int";
                text = utf8(py::str(code));
            } else {
                exit_type = "str";
                text = utf8(py::str(code));
            }
        } else if (error.matches(PyExc_KeyboardInterrupt)) {
            outcome = "interrupt";
        } else {
            outcome = "error";
            text = describe(error, setup);
        }
    }
    if (getpid() != self) _exit(0);
    namespace_.clear();
    report({outcome, text, utf8(stray_out.attr("getvalue")()), utf8(stray_err.attr("getvalue")()), joined(missing),
            exit_type});
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
    keep_only_the_channel(setup.channel);
    Layers layers;
    enter_network_namespace(layers);
    // The host's working directory, so that a relative chart path means what it means in-process
    // (Landlock still decides what may be read or written there).
    if ((setup.directory.empty() || chdir(setup.directory.c_str()) != 0) && chdir(setup.folder.c_str()) != 0)
        report({"error", error_text("RuntimeError: cannot enter the run folder"), "", "", "", ""});
    set_limits(setup, layers);
    prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    drop_capabilities();
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);

    landlock::Policy policy;
    policy.read_only = setup.read_only;
    policy.read_write = {setup.folder};
    policy.devices = {"/dev/null", "/dev/zero", "/dev/urandom", "/dev/random"};
    policy.writable_file = setup.chart;
    std::string why;
    if (!landlock::restrict_self(policy, why)) layers.missing.push_back("filesystem (Landlock): " + why);
    why.clear();
    if (!process_filter::forbid_new_processes(why)) layers.missing.push_back("processes (seccomp): " + why);

    if (setup.required && !layers.missing.empty()) report({"refused", "", "", "", joined(layers.missing), ""});
    try {
        run_program(setup, layers.missing);
    } catch (...) {
        // A failure of the machinery itself (not of the program): say so rather than hang.
        PyErr_Clear();
        report({"error", "RuntimeError: the analysis worker failed before the program could run", "", "",
                joined(layers.missing), ""});
    }
    _exit(0);
}

}  // namespace qx::sandbox
