// The warm analysis parent: a single-threaded Python process (started for this purpose, with
// pandas, numpy and matplotlib already imported). It keeps one worker forked and prepared ahead of
// need; a request goes to that worker (or to one forked for it) and a new one is prepared. It ends
// a worker as soon as the host has what it wanted (the host closes or shuts down the run's
// lifecycle channel), reaps it, removes its run folder and says how it ended. It never reads what
// a worker writes: workers speak to the host directly, on their data channel.
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
    std::vector<std::string> devices;                              // what they may read and write
    std::vector<std::pair<std::string, std::string>> environment;  // passed to workers
    py::handle timeout_class;
};

// Serves REQUESTs from `control` until the host closes it (or goes away); then kills the
// remaining workers and cleans up. Call with the GIL held, on the only thread of the process.
void serve(int control, const ParentConfig& config);

// Removes a folder and everything in it, never following symbolic links.
void remove_tree(const std::string& path);

}  // namespace qx::sandbox
