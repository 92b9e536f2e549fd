// The host's side of the analysis sandbox: starts the warm parent (lazily, once per process, again
// if it dies) by spawning a fresh interpreter, never by forking this threaded host, and runs one
// program per call. Thread-safe; call without the GIL.
//
// The host signals no process but the parent it spawned itself: a worker is ended by the parent,
// when the host closes (or shuts down) the run's lifecycle channel.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace qx::sandbox {

struct Launch {
    std::vector<std::string> argv;         // the interpreter and its arguments; the control socket is fd 3
    std::size_t folder_argument = 0;       // the argument that receives the parent's run folder
    std::string temporary_root;            // where that folder is made
    std::vector<std::string> environment;  // NAME=value, the parent's whole environment
};

struct Request {
    std::string code;
    bool code_is_bytes = false;
    double seconds = 60;
    std::uint64_t memory = 0;
    std::string chart;  // absolute
    bool required = false;
    std::string directory;         // the host's working directory
    std::size_t output_limit = 0;  // characters of output (and of an error) kept
    std::uint64_t quota = 0;       // bytes the run folder may hold
};

struct Outcome {
    bool confined = false;  // the worker said which layers it has, before the program ran
    std::string missing;    // one "name: reason" a line
    bool runs = false;      // ... and that it runs the program (false: refused)
    bool reported = false;  // the worker sent its RESULT; the fields below come from it
    std::string kind;       // ok, error, exit, interrupt
    std::string text;
    std::uint64_t length = 0;  // the text's whole length in characters (it may have been cut)
    std::string stray_out;
    std::string stray_err;
    std::string exit_type;
    bool malformed = false;  // the worker sent something that is not the protocol
    std::string failure;     // the parent could not start a worker: why
    bool exited = false;     // the parent reported how the worker ended
    int status = 0;          // its wait status
    bool timed_out = false;  // stopped at the time limit's backstop
};

// Sets how the parent is started; the first call wins.
void configure(const Launch& launch);

// Starts the parent now if it is not running; false (with the reason) when it cannot start.
bool prestart(std::string& why);

// Runs one program. Throws std::runtime_error when the sandbox itself cannot work.
Outcome run(const Request& request);

}  // namespace qx::sandbox
