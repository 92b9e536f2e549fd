// What the analysis node makes of a program's outcome, wherever the program ran: its output and
// error text cut to the output limit (and marked as cut), the error text of an exception, and the
// mark on a stop request that the program raised.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>

namespace nodewright {

namespace py = pybind11;

// `text` (the first characters of one `length` long) cut to `limit` characters, with a line
// saying what was left out when anything was. `what` names the text: "output", "error message".
py::str bounded_text(py::handle text, std::size_t length, std::size_t limit, const char* what);

// "ClassName: message", so that even an exception without a message reads as a failure; an
// exception whose str() fails reads as Python's own traceback shows it.
py::str failure_text(const py::error_already_set& error);

// Notes on a SystemExit or KeyboardInterrupt that the analysis program raised, so that a host can
// tell it from a real request to stop (quorlix.querymesh.analysis_exit reads it).
void mark_program_exit(const py::error_already_set& error);

}  // namespace nodewright
