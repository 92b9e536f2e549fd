// The analysis node's settings, taken from quorlix.config at every run (the settings a command
// installed, else the environment's), so a host can change them without rebuilding the graph. An
// invalid value is a ValueError naming the variable.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>

namespace nodewright {

namespace py = pybind11;

enum class SandboxMode { off, automatic, required };

// QUORLIX_ANALYSIS_SANDBOX: "auto" (the default), "required" or "off".
SandboxMode analysis_sandbox_mode();

// QUORLIX_ANALYSIS_TIMEOUT: seconds, 60 by default.
double analysis_timeout();

// QUORLIX_ANALYSIS_OUTPUT_LIMIT: characters of printed output (and of an error message) kept,
// 1 Mi by default.
std::size_t analysis_output_limit();

// QUORLIX_ANALYSIS_MEMORY: the worker's address space in bytes, 2 GiB by default.
std::uint64_t analysis_memory();

// QUORLIX_ANALYSIS_DISK: what the worker's run folder may hold in bytes, 256 MiB by default.
std::uint64_t analysis_disk();

}  // namespace nodewright
