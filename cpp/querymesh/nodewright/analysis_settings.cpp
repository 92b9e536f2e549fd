#include "analysis_settings.hpp"

#include <cctype>
#include <cmath>
#include <limits>
#include <string>

#include "qx/python.hpp"

namespace nodewright {
namespace {

constexpr const char* mode_variable = "QUORLIX_ANALYSIS_SANDBOX";
constexpr const char* timeout_variable = "QUORLIX_ANALYSIS_TIMEOUT";
constexpr const char* output_variable = "QUORLIX_ANALYSIS_OUTPUT_LIMIT";
constexpr const char* memory_variable = "QUORLIX_ANALYSIS_MEMORY";
constexpr const char* disk_variable = "QUORLIX_ANALYSIS_DISK";

constexpr double default_timeout_seconds = 60;
constexpr std::size_t default_output_limit = std::size_t{1} << 20;
constexpr std::uint64_t default_memory = std::uint64_t{2} << 30;
constexpr std::uint64_t default_disk = std::uint64_t{256} << 20;
// Below this an interpreter with pandas and matplotlib loaded cannot do anything useful.
constexpr std::uint64_t least_memory = std::uint64_t{256} << 20;
// Room for matplotlib's settings and a chart's temporary files.
constexpr std::uint64_t least_disk = std::uint64_t{1} << 20;

// The variable's value stripped, or "" when unset.
std::string setting(const char* name) {
    py::object value = py::module_::import("os").attr("environ").attr("get")(name);
    if (value.is_none()) return "";
    return qx::text_utf8(value.attr("strip")());
}

std::string quoted(const std::string& text) {
    return qx::text_utf8(py::repr(py::str(text)));
}

// A count, or a number with a K, M, G or T suffix (powers of 1024; "2G", "2GB" and "2GiB" agree).
bool parse_size(std::string text, std::uint64_t& bytes) {
    for (char& letter : text) letter = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
    if (text.size() > 2 && text.compare(text.size() - 2, 2, "IB") == 0) {
        text.erase(text.size() - 2);
    } else if (text.size() > 1 && text.back() == 'B' &&
               std::isalpha(static_cast<unsigned char>(text[text.size() - 2]))) {
        text.pop_back();
    }
    int shift = 0;
    if (!text.empty()) {
        switch (text.back()) {
            case 'K':
                shift = 10;
                break;
            case 'M':
                shift = 20;
                break;
            case 'G':
                shift = 30;
                break;
            case 'T':
                shift = 40;
                break;
            default:
                break;
        }
        if (shift != 0) text.pop_back();
    }
    if (text.empty() || text.size() > 19) return false;
    std::uint64_t number = 0;
    for (const char digit : text) {
        if (digit < '0' || digit > '9') return false;
        number = number * 10 + static_cast<std::uint64_t>(digit - '0');
    }
    if (number > (std::numeric_limits<std::uint64_t>::max() >> 1 >> shift)) return false;
    bytes = number << shift;
    return true;
}

std::uint64_t size_setting(const char* variable, std::uint64_t fallback, std::uint64_t least, const char* described) {
    const std::string text = setting(variable);
    if (text.empty()) return fallback;
    std::uint64_t value = 0;
    if (!parse_size(text, value) || value < least)
        qx::raise(PyExc_ValueError, std::string(variable) + " must be " + described + ", got " + quoted(text) +
                                        "; unset it for the default");
    return value;
}

}  // namespace

SandboxMode analysis_sandbox_mode() {
    std::string text = setting(mode_variable);
    for (char& letter : text) letter = static_cast<char>(std::tolower(static_cast<unsigned char>(letter)));
    if (text.empty() || text == "auto") return SandboxMode::automatic;
    if (text == "required") return SandboxMode::required;
    if (text == "off") return SandboxMode::off;
    qx::raise(PyExc_ValueError, std::string(mode_variable) + " must be required, auto or off, got " + quoted(text) +
                                    "; unset it for the default, auto");
}

double analysis_timeout(const qx::Call& call) {
    py::object value = py::module_::import("os").attr("environ").attr("get")(timeout_variable);
    if (value.is_none() || !py::bool_(value.attr("strip")())) return default_timeout_seconds;
    double seconds = std::nan("");
    try {
        seconds = call.global("float")(value).cast<double>();
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_ValueError)) throw;
    }
    if (!(std::isfinite(seconds) && seconds > 0))
        qx::raise(PyExc_ValueError, std::string(timeout_variable) + " must be a positive number of seconds, got " +
                                        qx::text_utf8(py::repr(value)) + "; unset it for the default of 60");
    return seconds;
}

std::size_t analysis_output_limit() {
    return static_cast<std::size_t>(size_setting(output_variable, default_output_limit, 1,
                                                 "a positive number of characters, optionally with a K or M "
                                                 "suffix (such as 1M)"));
}

std::uint64_t analysis_memory() {
    return size_setting(memory_variable, default_memory, least_memory,
                        "a size in bytes, optionally with a K, M or G suffix, of at least 256M (such as 2G)");
}

std::uint64_t analysis_disk() {
    return size_setting(disk_variable, default_disk, least_disk,
                        "a size in bytes, optionally with a K, M or G suffix, of at least 1M (such as 256M)");
}

}  // namespace nodewright
