#include "analysis_settings.hpp"

#include <string>

namespace nodewright {
namespace {

// The checked value of one setting from quorlix.config: the settings a command installed at
// start, else the environment's now, so a host can change them between runs. A value that
// cannot be used raises quorlix.config.ConfigError (a ValueError) naming the variable.
py::object setting(const char* name) {
    return py::module_::import("quorlix.config").attr("setting")(name);
}

}  // namespace

SandboxMode analysis_sandbox_mode() {
    const std::string mode = setting("analysis_sandbox").cast<std::string>();
    if (mode == "required") return SandboxMode::required;
    if (mode == "off") return SandboxMode::off;
    return SandboxMode::automatic;
}

double analysis_timeout() {
    return setting("analysis_timeout").cast<double>();
}

std::size_t analysis_output_limit() {
    return setting("analysis_output_limit").cast<std::size_t>();
}

std::uint64_t analysis_memory() {
    return setting("analysis_memory").cast<std::uint64_t>();
}

std::uint64_t analysis_disk() {
    return setting("analysis_disk").cast<std::uint64_t>();
}

}  // namespace nodewright
