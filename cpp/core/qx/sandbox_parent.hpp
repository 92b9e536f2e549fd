// The warm analysis parent: a single-threaded Python process (started for this purpose, with
// pandas, numpy and matplotlib already imported) whose loop forks one worker per request, tells
// the host the worker's pid and pidfd, reaps it, reports how it ended and removes its run folder.
// Several workers run at once; the loop itself only waits on its sockets and the workers' pidfds.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <utility>
#include <vector>

namespace qx::sandbox {

namespace py = pybind11;

struct ParentConfig {
    std::string base;                                              // run folders are made in here
    std::vector<std::string> read_only;                            // what workers may read besides their run folder
    std::vector<std::pair<std::string, std::string>> environment;  // passed to workers
    py::handle timeout_class;
};

// Serves REQUESTs from `control` until the host closes it (or goes away); then kills the
// remaining workers and cleans up. Call with the GIL held, on the only thread of the process.
void serve(int control, const ParentConfig& config);

// Removes a folder and everything in it, never following symbolic links.
void remove_tree(const std::string& path);

}  // namespace qx::sandbox
