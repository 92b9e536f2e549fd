// Binds a vectorcall's arguments to the declared parameters with the rules of CPython 3.11's
// frame set-up, and words every failure exactly as CPython does, so a caller cannot tell these
// functions from Python ones by their errors.
#include <string>

#include "qx/function_object.hpp"

namespace qx::detail {
namespace {

void too_many_positional(FunctionObject* f, std::size_t given, PyObject* const* slots) {
    const FunctionData& d = *f->data;
    std::size_t kwonly_given = 0;
    for (std::size_t i = 0; i < d.params.size(); ++i)
        if (d.params[i].kind == Kind::keyword_only && slots[i] != nullptr) ++kwonly_given;
    const std::size_t defaulted = d.positional_count - d.required_positional;
    std::string takes;
    bool plural = true;
    if (defaulted > 0) {
        takes = "from " + std::to_string(d.required_positional) + " to " + std::to_string(d.positional_count);
    } else {
        plural = d.positional_count != 1;
        takes = std::to_string(d.positional_count);
    }
    std::string kwonly;
    if (kwonly_given > 0)
        kwonly = std::string(" positional argument") + (given != 1 ? "s" : "") + " (and " +
                 std::to_string(kwonly_given) + " keyword-only argument" + (kwonly_given != 1 ? "s" : "") + ")";
    PyErr_Format(PyExc_TypeError, "%U() takes %s positional argument%s but %zu%s %s given", f->qualname, takes.c_str(),
                 plural ? "s" : "", given, kwonly.c_str(), given == 1 && kwonly_given == 0 ? "was" : "were");
}

void missing(FunctionObject* f, const char* kind, const std::vector<std::string>& names) {
    std::string listed;
    const std::size_t n = names.size();
    for (std::size_t i = 0; i < n; ++i) {
        if (i > 0) listed += n == 2 ? " and " : (i == n - 1 ? ", and " : ", ");
        listed += "'" + names[i] + "'";
    }
    PyErr_Format(PyExc_TypeError, "%U() missing %zu required %s argument%s: %s", f->qualname, n, kind,
                 n == 1 ? "" : "s", listed.c_str());
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

PyObject* run_body(FunctionObject* f, PyObject* const* slots, PyObject* extra_keywords, PyObject* extra_positional) {
    try {
        Call call(slots, f->globals, extra_keywords, extra_positional);
        return f->data->body(call).release().ptr();
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (py::builtin_exception& e) {
        e.set_error();
    } catch (std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
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
            if (d.var_keyword < 0) {
                PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f->qualname, key);
                return nullptr;
            }
            if (PyDict_SetItem(extra_keywords.ptr(), key, value) < 0) return nullptr;
            continue;
        }
        if (slots[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", f->qualname, key);
            return nullptr;
        }
        slots[index] = value;
    }

    if (given > d.positional_count) {
        if (d.var_positional < 0) {
            too_many_positional(f, given, slots);
            return nullptr;
        }
        extra_positional =
            py::reinterpret_steal<py::object>(PyTuple_New(static_cast<Py_ssize_t>(given - d.positional_count)));
        for (std::size_t i = d.positional_count; i < given; ++i) {
            Py_INCREF(args[i]);
            PyTuple_SET_ITEM(extra_positional.ptr(), static_cast<Py_ssize_t>(i - d.positional_count), args[i]);
        }
    } else if (d.var_positional >= 0) {
        extra_positional = py::tuple();
    }

    std::vector<std::string> absent;
    for (std::size_t i = 0; i < d.positional_count; ++i) {
        if (slots[i] != nullptr) continue;
        if (d.params[i].default_value)
            slots[i] = d.params[i].default_value.ptr();
        else
            absent.push_back(d.params[i].name);
    }
    if (!absent.empty()) {
        missing(f, "positional", absent);
        return nullptr;
    }
    for (std::size_t i = 0; i < d.params.size(); ++i) {
        if (d.params[i].kind != Kind::keyword_only || slots[i] != nullptr) continue;
        if (d.params[i].default_value)
            slots[i] = d.params[i].default_value.ptr();
        else
            absent.push_back(d.params[i].name);
    }
    if (!absent.empty()) {
        missing(f, "keyword-only", absent);
        return nullptr;
    }
    if (d.var_positional >= 0) slots[d.var_positional] = extra_positional.ptr();
    if (d.var_keyword >= 0) slots[d.var_keyword] = extra_keywords.ptr();

    if (!check_exact_types(d, slots)) return nullptr;
    return run_body(f, slots, extra_keywords.ptr(), extra_positional.ptr());
}

}  // namespace qx::detail
