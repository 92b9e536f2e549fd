// Binds a vectorcall's arguments to the declared parameters with the rules of CPython's frame
// set-up. Calls that bind (nearly all) never leave C++; a call that does not is handed to a Python
// function with the same parameters, so the running interpreter words the TypeError itself and a
// caller cannot tell these functions from Python ones by their errors, whatever the version.
#include <string>

#include "qx/function_object.hpp"

namespace qx::detail {
namespace {

// A Python function with the same parameters (defaults only stand in: binding looks at their
// presence), made on the first refused call. Its __qualname__ follows the function's, which a
// program may have changed.
py::object shadow_of(FunctionObject* f) {
    FunctionData& d = *f->data;
    if (d.shadow) return d.shadow;
    std::string source = "def shadow(";
    bool starred = false;
    for (std::size_t i = 0; i < d.params.size(); ++i) {
        const Param& p = d.params[i];
        if (i > 0) source += ", ";
        if (p.kind == Kind::var_positional) {
            source += "*";
            starred = true;
        } else if (p.kind == Kind::keyword_only && !starred) {
            source += "*, ";
            starred = true;
        } else if (p.kind == Kind::var_keyword) {
            source += "**";
        }
        source += p.name;
        if (p.default_value) source += "=None";
    }
    source += "): pass\n";
    py::dict namespace_;
    PyObject* done = PyRun_String(source.c_str(), Py_file_input, namespace_.ptr(), namespace_.ptr());
    if (done == nullptr) throw py::error_already_set();
    Py_DECREF(done);
    d.shadow = namespace_["shadow"];
    return d.shadow;
}

// Arguments that do not bind are refused by the running interpreter itself, through the shadow,
// so the TypeError reads exactly as that version words it (3.13 adds "Did you mean ...?", for one).
PyObject* refuse(FunctionObject* f, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    py::object shadow = shadow_of(f);
    if (PyObject_SetAttrString(shadow.ptr(), "__qualname__", f->qualname) < 0) throw py::error_already_set();
    PyObject* accepted = PyObject_Vectorcall(shadow.ptr(), args, nargsf, kwnames);
    if (accepted == nullptr) return nullptr;
    Py_DECREF(accepted);
    PyErr_Format(PyExc_SystemError, "%U() refused arguments that a Python function with its parameters accepts",
                 f->qualname);
    return nullptr;
}

std::ptrdiff_t find_keyword(const FunctionData& d, PyObject* key) {
    for (std::size_t i = 0; i < d.params.size(); ++i) {
        const Param& p = d.params[i];
        if (p.kind != Kind::positional_or_keyword && p.kind != Kind::keyword_only) continue;
        if (PyUnicode_CompareWithASCIIString(key, p.name.c_str()) == 0) return static_cast<std::ptrdiff_t>(i);
    }
    return -1;
}

bool check_exact_types(const FunctionData& d, PyObject* const* slots) {
    for (std::size_t i = 0; i < d.params.size(); ++i) {
        const Param& p = d.params[i];
        if (p.exact_type == nullptr || slots[i] == nullptr) continue;
        PyObject* value = slots[i];
        if (Py_TYPE(value) == p.exact_type || (p.accepts_none && value == Py_None)) continue;
        PyErr_Format(PyExc_TypeError, "Argument '%s' has incorrect type (expected %s, got %s)", p.name.c_str(),
                     p.exact_type->tp_name, Py_TYPE(value)->tp_name);
        return false;
    }
    return true;
}

}  // namespace

PyObject* bind_and_call(FunctionObject* f, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    const FunctionData& d = *f->data;
    const std::size_t given = PyVectorcall_NARGS(nargsf);
    PyObject* slots[max_params] = {};
    py::object extra_keywords;
    py::object extra_positional;

    const std::size_t taken = given < d.positional_count ? given : d.positional_count;
    for (std::size_t i = 0; i < taken; ++i) slots[i] = args[i];
    if (d.var_keyword >= 0) extra_keywords = py::dict();

    const Py_ssize_t keyword_count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        PyObject* value = args[given + static_cast<std::size_t>(k)];
        const std::ptrdiff_t index = find_keyword(d, key);
        if (index < 0) {
            if (d.var_keyword < 0) return refuse(f, args, nargsf, kwnames);
            if (PyDict_SetItem(extra_keywords.ptr(), key, value) < 0) return nullptr;
            continue;
        }
        if (slots[index] != nullptr) return refuse(f, args, nargsf, kwnames);
        slots[index] = value;
    }

    if (given > d.positional_count) {
        if (d.var_positional < 0) return refuse(f, args, nargsf, kwnames);
        extra_positional =
            py::reinterpret_steal<py::object>(PyTuple_New(static_cast<Py_ssize_t>(given - d.positional_count)));
        if (!extra_positional) throw py::error_already_set();
        for (std::size_t i = d.positional_count; i < given; ++i) {
            Py_INCREF(args[i]);
            PyTuple_SET_ITEM(extra_positional.ptr(), static_cast<Py_ssize_t>(i - d.positional_count), args[i]);
        }
    } else if (d.var_positional >= 0) {
        extra_positional = py::tuple();
    }

    for (std::size_t i = 0; i < d.params.size(); ++i) {
        const Kind kind = d.params[i].kind;
        if (slots[i] != nullptr || (kind != Kind::positional_or_keyword && kind != Kind::keyword_only)) continue;
        if (!d.params[i].default_value) return refuse(f, args, nargsf, kwnames);
        slots[i] = d.params[i].default_value.ptr();
    }
    if (d.var_positional >= 0) slots[d.var_positional] = extra_positional.ptr();
    if (d.var_keyword >= 0) slots[d.var_keyword] = extra_keywords.ptr();

    if (!check_exact_types(d, slots)) return nullptr;
    // C++ exceptions leave through the caller's qx::guarded; an empty result becomes its SystemError.
    Call call(slots, f->globals, extra_keywords.ptr(), extra_positional.ptr());
    return d.body(call).release().ptr();
}

}  // namespace qx::detail
