#include "analysis_output.hpp"

#include <string>

namespace nodewright {
namespace {

// Read by quorlix.querymesh.analysis_exit: the two must agree.
constexpr const char* program_exit_note = "raised by the analysis program";

py::str thousands(std::size_t number) {
    return py::module_::import("builtins").attr("format")(number, ",");
}

}  // namespace

py::str bounded_text(py::handle text, std::size_t length, std::size_t limit, const char* what) {
    const std::size_t have = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text.ptr()));
    if (length < have) length = have;
    if (length <= limit) return py::reinterpret_borrow<py::str>(text);
    py::object head = py::reinterpret_steal<py::object>(
        PyUnicode_Substring(text.ptr(), 0, static_cast<Py_ssize_t>(std::min(limit, have))));
    if (!head) throw py::error_already_set();
    return py::str("{}\n[{} truncated: the first {} of {} characters are shown]")
        .attr("format")(head, what, thousands(limit), thousands(length));
}

py::str failure_text(const py::error_already_set& error) {
    py::object exception = error.value();
    PyObject* message = PyObject_Str(exception.ptr());
    py::object text;
    if (message == nullptr) {
        PyErr_Clear();
        text = py::str("<exception str() failed>");
    } else {
        text = py::reinterpret_steal<py::object>(message);
    }
    return py::str("{}: {}").attr("format")(py::type::handle_of(exception).attr("__name__"), text);
}

void mark_program_exit(const py::error_already_set& error) {
    py::object exception = error.value();
    py::object notes = py::getattr(exception, "__notes__", py::none());
    if (!notes.is_none() && notes.contains(program_exit_note)) return;
    exception.attr("add_note")(program_exit_note);
}

}  // namespace nodewright
