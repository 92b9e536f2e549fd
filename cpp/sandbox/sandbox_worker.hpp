// The worker: a process forked from the warm analysis parent ahead of need. It prepares what no
// request changes, waits for one request on its order channel, confines itself for it, reports on
// the run's data channel (see sandbox_protocol.hpp) and runs the program.
//
// Before the request (off the run's critical path): only the order channel stays open (fd 3; 0-2
// become /dev/null); new user (a host that is not root), network and mount namespaces; the view
// of the file system (sandbox_view.hpp); a Landlock ruleset holding the fixed rules.
// With the request, before any of the program runs: the chart and the working directory join the
// view, which is then sealed; the order channel is replaced by the data channel; the sandbox id
// (a root host) and no capabilities; resource limits; no_new_privs; Landlock; the process filter;
// an environment holding only PATH, LANG, TZ, HOME and TMPDIR (the run folder) and MPLCONFIGDIR
// (inside it). A layer the OS refuses is named in CONFINED, and with `required` the program is
// not run at all.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "sandbox_view.hpp"

namespace qx::sandbox {

namespace py = pybind11;

struct WorkerSetup {
    pid_t parent = -1;                   // the worker ends when this process does
    int order = -1;                      // its end of the order channel
    std::string folder;                  // the run folder: HOME and TMPDIR, writable
    view::Plan view;                     // the file-system view to build
    std::vector<std::string> read_only;  // the Python installation, shared libraries, fonts, data
    std::vector<std::string> devices;    // read and written: /dev/null and the like
    std::vector<std::pair<std::string, std::string>> environment;  // PATH, LANG, TZ as the parent has them
    py::handle timeout_class;                                      // raised inside the program at the time limit
};

// Runs in the forked child with the GIL held (after PyOS_AfterFork_Child); never returns.
[[noreturn]] void run_worker(const WorkerSetup& setup);

// "2 GiB", "512 MiB", "1000 bytes": the memory limit as messages show it.
std::string memory_text(std::uint64_t bytes);

}  // namespace qx::sandbox
