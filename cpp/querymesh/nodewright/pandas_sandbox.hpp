// The analysis node's confined path: the program runs in a worker process of quorlix._sandbox
// instead of this interpreter, and its outcome is reported exactly as an in-process run reports it.
#pragma once

#include <pybind11/pybind11.h>

#include "analysis_settings.hpp"
#include "qx/function.hpp"

namespace nodewright {

namespace py = pybind11;

// Runs state["pandas_code"] in a worker and returns the node's update (or raises what the program
// raised to stop the process, as SystemExit or KeyboardInterrupt).
py::object run_in_sandbox(qx::Call& call, py::dict state, double seconds, std::size_t output_limit, SandboxMode mode);

}  // namespace nodewright
