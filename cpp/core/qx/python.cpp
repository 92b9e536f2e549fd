#include "qx/python.hpp"

namespace qx {

py::module_ import(py::module_& into, const char* dotted, const char* as) {
    py::module_ module = py::module_::import(dotted);
    if (as != nullptr) {
        into.attr(as) = module;
        return module;
    }
    std::string top(dotted);
    const std::size_t dot = top.find('.');
    if (dot != std::string::npos) top.resize(dot);
    into.attr(top.c_str()) = py::module_::import(top.c_str());
    return module;
}

namespace {

py::module_ resolve(py::module_& into, const char* module) {
    if (module[0] != '.') return py::module_::import(module);
    py::object package = into.attr("__dict__").attr("get")("__package__");
    return py::reinterpret_borrow<py::module_>(py::module_::import("importlib").attr("import_module")(module, package));
}

}  // namespace

py::module_ import_from(py::module_& into, const char* module, std::initializer_list<const char*> names) {
    py::module_ source = resolve(into, module);
    for (const char* name : names) {
        // getattr first, then the submodule, as the from-import statement does.
        if (py::hasattr(source, name))
            into.attr(name) = source.attr(name);
        else
            into.attr(name) =
                py::module_::import((std::string(source.attr("__name__").cast<std::string>()) + "." + name).c_str());
    }
    return source;
}

py::module_ star_import(py::module_& into, const char* module) {
    py::module_ source = resolve(into, module);
    py::dict names = source.attr("__dict__");
    if (names.contains("__all__")) {
        for (py::handle name : source.attr("__all__")) into.attr(name) = source.attr(name);
        return source;
    }
    for (auto item : names) {
        const std::string name = py::str(item.first);
        if (!name.empty() && name[0] != '_') into.attr(item.first) = item.second;
    }
    return source;
}

PyObject* interned(const char* text) {
    PyObject* made = PyUnicode_InternFromString(text);
    if (made == nullptr) throw py::error_already_set();
    return made;
}

py::str text(py::handle value) {
    if (PyUnicode_CheckExact(value.ptr())) return py::reinterpret_borrow<py::str>(value);
    PyObject* formatted = PyObject_Format(value.ptr(), QX_KEY("").ptr());
    if (formatted == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(formatted);
}

std::string text_utf8(py::handle value) {
    return text(value).cast<std::string>();
}

namespace {

// What the interpreter calls a callable in its errors: "module.qualname()", or "qualname()" for
// builtins and objects without a module, or str(callable) without a __qualname__.
py::object function_text(py::handle callable) {
    auto optional = [&](const char* name) {
        PyObject* value = PyObject_GetAttrString(callable.ptr(), name);
        if (value == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
            PyErr_Clear();
        }
        return py::reinterpret_steal<py::object>(value);
    };
    py::object qualname = optional("__qualname__");
    if (!qualname) return py::str(callable);
    py::object module = optional("__module__");
    PyObject* described = nullptr;
    if (module && !module.is_none() && !module.equal(py::str("builtins")))
        described = PyUnicode_FromFormat("%S.%S()", module.ptr(), qualname.ptr());
    else
        described = PyUnicode_FromFormat("%S()", qualname.ptr());
    if (described == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(described);
}

[[noreturn]] void raise_repeated(py::handle callable, py::handle key) {
    PyErr_Format(PyExc_TypeError, "%U got multiple values for keyword argument '%S'", function_text(callable).ptr(),
                 key.ptr());
    throw py::error_already_set();
}

// The interpreter's rewording of an error raised by the mapping itself while it is merged: an
// AttributeError (from looking up keys()) always, and from 3.12 on a one-argument KeyError too
// (3.11 leaves a KeyError raised by Python code as it is).
void reword_mapping_failure(py::handle callable, py::handle mapping, py::error_already_set& failure) {
    if (failure.matches(PyExc_AttributeError)) {
        PyErr_Format(PyExc_TypeError, "%U argument after ** must be a mapping, not %.200s",
                     function_text(callable).ptr(), Py_TYPE(mapping.ptr())->tp_name);
        throw py::error_already_set();
    }
#if PY_VERSION_HEX >= 0x030C0000
    if (failure.matches(PyExc_KeyError)) {
        py::tuple key_args = failure.value().attr("args");
        if (key_args.size() == 1) raise_repeated(callable, key_args[0]);
    }
#endif
    throw failure;
}

void store(py::dict& merged, py::handle key, py::handle value) {
    if (PyDict_SetItem(merged.ptr(), key.ptr(), value.ptr()) < 0) throw py::error_already_set();
}

// Adds every item of `mapping` to `merged`, refusing a key already there: the merge behind
// `f(**a, **b)`. Dicts that keep dict's iteration are read directly (their keys() is not
// consulted, as in the interpreter); anything else through keys() and [].
void merge_new_keys(py::handle callable, py::dict& merged, py::handle mapping) {
    auto refuse_present = [&](py::handle key) {
        const int present = PyDict_Contains(merged.ptr(), key.ptr());
        if (present < 0) throw py::error_already_set();
        if (present) raise_repeated(callable, key);
    };
    if (PyDict_Check(mapping.ptr()) && Py_TYPE(mapping.ptr())->tp_iter == PyDict_Type.tp_iter) {
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        Py_ssize_t position = 0;
        while (PyDict_Next(mapping.ptr(), &position, &key, &value)) {
            // Borrowed from a dict that a key's __eq__ could mutate: hold them while comparing.
            py::object held_key = py::reinterpret_borrow<py::object>(key);
            py::object held_value = py::reinterpret_borrow<py::object>(value);
            refuse_present(held_key);
            store(merged, held_key, held_value);
        }
        return;
    }
    py::object key_list;
    try {
        PyObject* keys = PyMapping_Keys(mapping.ptr());
        if (keys == nullptr) throw py::error_already_set();
        key_list = py::reinterpret_steal<py::object>(keys);
    } catch (py::error_already_set& failure) {
        reword_mapping_failure(callable, mapping, failure);
    }
    for (py::handle key : key_list) {
        refuse_present(key);
        PyObject* value = PyObject_GetItem(mapping.ptr(), key.ptr());
        if (value == nullptr) {
            py::error_already_set failure;
            reword_mapping_failure(callable, mapping, failure);
        }
        store(merged, key, py::reinterpret_steal<py::object>(value));
    }
}

}  // namespace

py::object call_unpacking(py::handle callable, py::tuple args, py::dict keywords, py::handle mapping) {
    py::dict merged = py::reinterpret_steal<py::dict>(PyDict_Copy(keywords.ptr()));
    if (!merged) throw py::error_already_set();
    merge_new_keys(callable, merged, mapping);
    PyObject* result = PyObject_Call(callable.ptr(), args.ptr(), merged.ptr());
    if (result == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

void print(const Call& call, py::handle value) {
    call.global("print")(value);
}

void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw py::error_already_set();
}

py::object typing(const char* name) {
    return py::module_::import("typing").attr(name);
}

py::object subscript(py::handle generic, py::handle argument) {
    PyObject* result = PyObject_GetItem(generic.ptr(), argument.ptr());
    if (result == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

}  // namespace qx
