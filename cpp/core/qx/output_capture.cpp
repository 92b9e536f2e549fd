#include "qx/output_capture.hpp"

#include <pythread.h>

#include "qx/classes.hpp"
#include "qx/python.hpp"

namespace qx {
namespace {

// Every extension module links its own copy of this file, so a router installed by one module must
// be recognised by the others: they agree on this class attribute and on the instance layout.
constexpr const char* router_marker = "__qx_output_router__";
constexpr long router_layout = 1;
constexpr const char* stream_attribute = "_qx_stream";      // the stream the router replaced
constexpr const char* captures_attribute = "_qx_captures";  // thread ident -> capture buffer
constexpr const char* limit_attribute = "_qx_limit";        // of a bounded buffer
constexpr const char* written_attribute = "_qx_written";

py::object current_thread() {
    PyObject* ident = PyLong_FromUnsignedLong(PyThread_get_thread_ident());
    if (ident == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(ident);
}

// The capture buffer of the calling thread, or a null handle when it captures nothing.
py::object capture_of_caller(py::handle router) {
    py::object captures = router.attr(captures_attribute);
    PyObject* buffer = PyDict_GetItemWithError(captures.ptr(), current_thread().ptr());
    if (buffer == nullptr && PyErr_Occurred()) throw py::error_already_set();
    return py::reinterpret_borrow<py::object>(buffer);
}

// Where the calling thread's output goes: its capture buffer, else the replaced stream.
py::object destination(py::handle router) {
    py::object buffer = capture_of_caller(router);
    return buffer ? buffer : router.attr(stream_attribute);
}

py::object init(Call& call) {
    py::setattr(call.self(), stream_attribute, call[1]);
    py::setattr(call.self(), captures_attribute, py::dict());
    return py::none();
}

py::object write(Call& call) {
    py::object target = destination(call.self());
    // Python's print drops output silently when there is no stream at all (pythonw).
    if (target.is_none()) return py::none();
    return target.attr("write")(call[1]);
}

py::object writelines(Call& call) {
    py::object target = destination(call.self());
    if (target.is_none()) return py::none();
    return target.attr("writelines")(call[1]);
}

py::object flush(Call& call) {
    py::object target = destination(call.self());
    if (target.is_none()) return py::none();
    return target.attr("flush")();
}

// While capturing, the answers are the buffer's: not a terminal, and fileno() fails as StringIO's does.
py::object isatty(Call& call) {
    return destination(call.self()).attr("isatty")();
}
py::object fileno(Call& call) {
    return destination(call.self()).attr("fileno")();
}

// Everything else comes from where the thread's output goes, so a captured program cannot reach the
// real stream through sys.stdout.buffer either.
py::object getattr(Call& call) {
    const std::string name = text_utf8(call[1]);
    if (name.rfind("_qx_", 0) == 0)
        raise(PyExc_AttributeError, "'OutputRouter' object has no attribute '" + name + "'");
    return destination(call.self()).attr(call[1]);
}

// A StringIO knows no encoding; programs that ask want the terminal's.
py::object stream_attribute_or_none(Call& call, const char* name) {
    py::object stream = call.self().attr(stream_attribute);
    if (stream.is_none()) return py::none();
    return stream.attr(name);
}
py::object encoding(Call& call) {
    return stream_attribute_or_none(call, "encoding");
}
py::object errors(Call& call) {
    return stream_attribute_or_none(call, "errors");
}

py::object router_class() {
    static PyObject* cls = nullptr;  // kept for the life of the process, as a class statement's would be
    if (cls != nullptr) return py::reinterpret_borrow<py::object>(cls);

    py::module_ home = py::reinterpret_steal<py::module_>(PyModule_New("qx.output_capture"));
    if (!home) throw py::error_already_set();
    py::object globals = home.attr("__dict__");
    py::object property = py::module_::import("builtins").attr("property");
    ClassBuilder builder(home, "OutputRouter", py::make_tuple(type_object(&PyBaseObject_Type)));
    builder.attribute("__doc__", py::str("Sends sys.stdout writes to the writing thread's capture, if any."))
        .attribute(router_marker, py::int_(router_layout))
        .method("__init__", Signature{arg("self"), arg("stream")}, init)
        .method("write", Signature{arg("self"), arg("s")}, write)
        .method("writelines", Signature{arg("self"), arg("lines")}, writelines)
        .method("flush", Signature{arg("self")}, flush)
        .method("isatty", Signature{arg("self")}, isatty)
        .method("fileno", Signature{arg("self")}, fileno)
        .method("__getattr__", Signature{arg("self"), arg("name")}, getattr)
        .attribute("encoding",
                   property(make_function(globals, "OutputRouter.encoding", Signature{arg("self")}, encoding)))
        .attribute("errors", property(make_function(globals, "OutputRouter.errors", Signature{arg("self")}, errors)));
    py::object created = builder.create();
    if (cls == nullptr) cls = created.release().ptr();
    return py::reinterpret_borrow<py::object>(cls);
}

py::object string_io() {
    static PyObject* cls = nullptr;  // io.StringIO, for the life of the process
    if (cls == nullptr) cls = py::object(py::module_::import("io").attr("StringIO")).release().ptr();
    return py::reinterpret_borrow<py::object>(cls);
}

// io.StringIO keeping the first `_qx_limit` characters; write() still answers the whole length,
// as if everything had been written.
py::object bounded_init(Call& call) {
    string_io().attr("__init__")(call.self());
    py::setattr(call.self(), limit_attribute, call[1]);
    py::setattr(call.self(), written_attribute, py::int_(0));
    return py::none();
}

py::object bounded_write(Call& call) {
    py::object string_io = qx::string_io();
    py::handle text = call[1];
    // Anything but a string is refused by StringIO itself, with its own message.
    if (!PyUnicode_Check(text.ptr())) return string_io.attr("write")(call.self(), text);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
    const std::size_t limit = call.self().attr(limit_attribute).cast<std::size_t>();
    const std::size_t written = call.self().attr(written_attribute).cast<std::size_t>();
    if (written < limit) {
        const std::size_t room = limit - written;
        if (static_cast<std::size_t>(length) <= room) {
            string_io.attr("write")(call.self(), text);
        } else {
            py::object head =
                py::reinterpret_steal<py::object>(PyUnicode_Substring(text.ptr(), 0, static_cast<Py_ssize_t>(room)));
            if (!head) throw py::error_already_set();
            string_io.attr("write")(call.self(), head);
        }
    }
    py::setattr(call.self(), written_attribute, py::int_(written + static_cast<std::size_t>(length)));
    return py::int_(length);
}

py::object bounded_class() {
    static PyObject* cls = nullptr;  // kept for the life of the process
    if (cls != nullptr) return py::reinterpret_borrow<py::object>(cls);
    py::module_ home = py::reinterpret_steal<py::module_>(PyModule_New("qx.output_capture"));
    if (!home) throw py::error_already_set();
    ClassBuilder builder(home, "BoundedStringIO", py::make_tuple(string_io()));
    builder
        .attribute("__doc__", py::str("A StringIO that keeps the first characters written to it and counts the rest."))
        .method("__init__", Signature{arg("self"), arg("limit")}, bounded_init)
        .method("write", Signature{arg("self"), arg("s")}, bounded_write);
    py::object created = builder.create();
    if (cls == nullptr) cls = created.release().ptr();
    return py::reinterpret_borrow<py::object>(cls);
}

bool is_router(py::handle stream) {
    PyObject* layout = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(stream.ptr())), router_marker);
    if (layout == nullptr) {
        PyErr_Clear();
        return false;
    }
    const bool same = PyLong_CheckExact(layout) && PyLong_AsLong(layout) == router_layout;
    Py_DECREF(layout);
    return same;
}

py::object standard_output() {
    PyObject* stream = PySys_GetObject("stdout");  // borrowed; absent when the host removed it
    return stream ? py::reinterpret_borrow<py::object>(stream) : py::none();
}

// The router in sys.stdout, installing one over whatever is there (someone may have replaced
// sys.stdout since, pytest's capsys for one; its writes are respected by forwarding to it).
py::object installed_router() {
    py::object cls = router_class();
    for (;;) {
        py::object current = standard_output();
        if (is_router(current)) return current;
        py::object router = cls(current);
        // Creating the router may have let another thread run and install its own: check and swap
        // with no Python code in between, so two threads never install two routers.
        if (!standard_output().is(current)) continue;
        if (PySys_SetObject("stdout", router.ptr()) < 0) throw py::error_already_set();
        return router;
    }
}

}  // namespace

OutputCapture::OutputCapture(std::size_t limit) {
    buffer_ = bounded_text_buffer(limit);
    py::object router = installed_router();
    captures_ = router.attr(captures_attribute);
    thread_ = current_thread();
    PyObject* enclosing = PyDict_GetItemWithError(captures_.ptr(), thread_.ptr());
    if (enclosing == nullptr && PyErr_Occurred()) throw py::error_already_set();
    enclosing_ = py::reinterpret_borrow<py::object>(enclosing);
    if (PyDict_SetItem(captures_.ptr(), thread_.ptr(), buffer_.ptr()) < 0) throw py::error_already_set();
}

OutputCapture::~OutputCapture() {
    // Runs while an exception may be unwinding: keep any pending Python error intact.
    py::error_scope pending;
    const int status = enclosing_ ? PyDict_SetItem(captures_.ptr(), thread_.ptr(), enclosing_.ptr())
                                  : PyDict_DelItem(captures_.ptr(), thread_.ptr());
    if (status < 0) PyErr_Clear();
}

py::str OutputCapture::text() const {
    return buffer_.attr("getvalue")();
}

std::size_t OutputCapture::written() const {
    return characters_written(buffer_);
}

py::object bounded_text_buffer(std::size_t limit) {
    return bounded_class()(py::int_(limit));
}

std::size_t characters_written(py::handle buffer) {
    return buffer.attr(written_attribute).cast<std::size_t>();
}

}  // namespace qx
