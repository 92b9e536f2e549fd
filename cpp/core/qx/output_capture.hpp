// Capturing what one thread prints, without disturbing what other threads print.
//
// Swapping the process-wide sys.stdout for a buffer mixes the output of two runs on two threads and,
// when the runs restore in the wrong order, leaves the process writing into a dead buffer. Instead,
// sys.stdout is replaced (once) by a small router that sends a write to the capture buffer of the
// writing thread, or to the stream it replaced when that thread captures nothing.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <limits>

namespace qx {

namespace py = pybind11;

constexpr std::size_t unlimited_output = std::numeric_limits<std::size_t>::max();

// A text buffer (an io.StringIO) that keeps the first `limit` characters written to it and
// counts the rest, so a program printing without end costs no more than the limit.
py::object bounded_text_buffer(std::size_t limit);

// Characters written to a bounded buffer, kept or not.
std::size_t characters_written(py::handle buffer);

// Captures everything the current thread writes to sys.stdout from construction to destruction,
// keeping at most `limit` characters (see text() and written()).
// Captures nest: an inner one takes the thread's output until it ends, then the outer one resumes.
// Needs the GIL for its whole life and must end on the thread that started it (keep it on the stack).
//
//     qx::OutputCapture capture;
//     run_program();
//     return capture.text();
class OutputCapture {
public:
    explicit OutputCapture(std::size_t limit = unlimited_output);
    ~OutputCapture();
    OutputCapture(const OutputCapture&) = delete;
    OutputCapture& operator=(const OutputCapture&) = delete;

    // Everything captured so far (the first `limit` characters).
    py::str text() const;
    // Characters the thread wrote, kept or not.
    std::size_t written() const;

private:
    py::dict captures_;  // the router's table: thread ident -> buffer of its innermost capture
    py::object thread_;
    py::object buffer_;
    py::object enclosing_;  // buffer of the capture this one interrupts, if any
};

}  // namespace qx
