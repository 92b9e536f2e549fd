// The worker: a process forked from the warm analysis parent that confines itself and then runs
// one analysis program, reporting on its run channel (see sandbox_protocol.hpp).
//
// Confinement, in this order, before any of the program runs: only the run channel stays open
// (as fd 3; 0-2 become /dev/null), a new network namespace (with a new user namespace when that
// is what the OS allows), resource limits, no_new_privs, Landlock, the process filter, and an
// environment holding only PATH, LANG, TZ, HOME and TMPDIR (the run folder) and MPLCONFIGDIR
// (inside it).
// Each of network, filesystem and processes is a layer; a layer the OS refuses is named in the
// RESULT, and with `required` the program is not run at all.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace qx::sandbox {

namespace py = pybind11;

struct WorkerSetup {
    int channel = -1;
    std::string folder;                  // the run folder: HOME and TMPDIR, writable
    std::string directory;               // the working directory (the run folder when "")
    std::string chart;                   // an existing file the program may write ("" for none)
    std::vector<std::string> read_only;  // the Python installation, shared libraries, fonts, data
    std::vector<std::pair<std::string, std::string>> environment;  // PATH, LANG, TZ as the parent has them
    std::string code;
    bool code_is_bytes = false;
    double seconds = 60;
    std::uint64_t memory = 0;
    bool required = false;
    py::handle timeout_class;  // raised inside the program at the time limit
};

// Runs in the forked child with the GIL held (after PyOS_AfterFork_Child); never returns.
[[noreturn]] void run_worker(const WorkerSetup& setup);

// "2 GiB", "512 MiB", "1000 bytes": the memory limit as messages show it.
std::string memory_text(std::uint64_t bytes);

}  // namespace qx::sandbox
