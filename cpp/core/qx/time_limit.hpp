// Stopping Python code that runs too long, on whatever thread runs it.
//
// One watchdog thread per process waits for the deadlines and then, holding the GIL, schedules an
// asynchronous exception for the limited thread (PyThreadState_SetAsyncExc): the interpreter raises
// it at the next bytecode boundary there. Code blocked inside one C call (time.sleep, a socket read) is only
// stopped once that call returns to bytecode.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>

namespace qx {

namespace py = pybind11;

// Limits the Python code the current thread runs from construction to destruction. When the
// deadline passes first, `exception_class` (a class: CPython instantiates it with no arguments) is
// raised in this thread. Needs the GIL at both ends and must end on the thread that started it.
// An exception scheduled too late to land inside the limited code is withdrawn when the limit
// ends, so it never surfaces in unrelated code.
//
//     qx::TimeLimit limit(seconds, timeout_class);
//     run_program();
//     if (limit.fired()) ...
class TimeLimit {
public:
    TimeLimit(double seconds, py::handle exception_class);
    ~TimeLimit();
    TimeLimit(const TimeLimit&) = delete;
    TimeLimit& operator=(const TimeLimit&) = delete;

    // True once the exception has been scheduled (whether or not it has been raised yet).
    bool fired() const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

}  // namespace qx
