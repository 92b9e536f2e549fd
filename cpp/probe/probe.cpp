// quorlix._qx_probe: a private module for the core's own tests. Its functions reach each place
// where CPython calls into the core (a call, __get__, the __signature__ getter, tp_clear, the
// output router's methods, the time limit's watchdog) and can make the next one throw a C++
// exception or return NULL without an error, which production code never does on purpose.
// The failure seam it arms lives in this module's own copy of the core only.
#include <new>
#include <stdexcept>
#include <string>

#include "qx/boundary.hpp"
#include "qx/module.hpp"
#include "qx/output_capture.hpp"
#include "qx/python.hpp"
#include "qx/time_limit.hpp"

namespace probe {
namespace {

namespace py = pybind11;

// The entry whose next run fails, and how. Touched under the GIL only.
std::string armed_entry;
std::string armed_kind;

[[noreturn]] void throw_kind(const std::string& kind, const std::string& where) {
    if (kind == "bad_alloc") throw std::bad_alloc();
    throw std::runtime_error("probe failure in " + where);
}

void fail_once(const char* entry) {
    if (armed_entry != entry) return;
    armed_entry.clear();
    throw_kind(armed_kind, entry);
}

std::string kind_of(py::handle value) {
    const std::string kind = qx::text_utf8(value);
    if (kind != "bad_alloc" && kind != "runtime_error" && kind != "null")
        qx::raise(PyExc_ValueError, "kind must be 'bad_alloc', 'runtime_error' or 'null', got '" + kind + "'");
    return kind;
}

py::object fail(qx::Call& call) {
    if (call[0].is_none()) {
        armed_entry.clear();
        return py::none();
    }
    armed_kind = kind_of(call[1]);
    if (armed_kind == "null") qx::raise(PyExc_ValueError, "an entry can be made to throw, not to return NULL");
    armed_entry = qx::text_utf8(call[0]);
    qx::detail::entry_hook = fail_once;
    return py::none();
}

py::object throwing(qx::Call& call) {
    const std::string kind = kind_of(call[0]);
    if (kind == "null") return py::object();
    throw_kind(kind, "throwing()");
}

py::object echo(qx::Call& call) {
    return py::reinterpret_borrow<py::object>(call[0]);
}

py::object new_function(qx::Call& call) {
    return qx::make_function(call.globals(), "fresh", qx::Signature{qx::arg("value")}, echo);
}

py::object captured(qx::Call& call) {
    qx::OutputCapture capture;
    call[0]();
    return capture.text();
}

py::object limited(qx::Call& call) {
    qx::TimeLimit limit(call[0].cast<double>(), call[2]);
    call[1]();
    return py::bool_(limit.fired());
}

py::object call_unpacking(qx::Call& call) {
    return qx::call_unpacking(call[0], py::reinterpret_borrow<py::tuple>(call[1]),
                              py::reinterpret_borrow<py::dict>(call[2]), call[3]);
}

void body(py::module_& m) {
    qx::def(m, "fail", qx::Signature{qx::arg("entry"), qx::arg("kind").defaults(py::str("runtime_error"))}, fail,
            "Makes the next run of `entry` ('call', 'get', 'signature', 'clear', 'watchdog') throw `kind`; "
            "None disarms.");
    qx::def(m, "throwing", qx::Signature{qx::arg("kind")}, throwing,
            "A body that throws std::bad_alloc or std::runtime_error, or returns NULL without an error.");
    qx::def(m, "echo", qx::Signature{qx::arg("value")}, echo);
    qx::def(m, "new_function", qx::Signature{}, new_function, "A fresh function object, for the collector.");
    qx::def(m, "captured", qx::Signature{qx::arg("action")}, captured,
            "Calls action() and returns what this thread printed meanwhile.");
    qx::def(m, "limited", qx::Signature{qx::arg("seconds"), qx::arg("action"), qx::arg("exception_class")}, limited,
            "Calls action() under a time limit; True when the limit fired.");
    qx::def(m, "call_unpacking",
            qx::Signature{qx::arg("callable"), qx::arg("args").exactly(&PyTuple_Type),
                          qx::arg("keywords").exactly(qx::dict_type()), qx::arg("mapping")},
            call_unpacking, "callable(*args, **keywords, **mapping).");
}

}  // namespace
}  // namespace probe

QX_MODULE(_qx_probe, "Private probe of the quorlix core's C boundary, for its tests.", probe::body)
