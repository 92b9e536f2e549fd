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

py::str text(py::handle value) {
    if (PyUnicode_CheckExact(value.ptr())) return py::reinterpret_borrow<py::str>(value);
    static py::str empty("");
    PyObject* formatted = PyObject_Format(value.ptr(), empty.ptr());
    if (formatted == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(formatted);
}

std::string text_utf8(py::handle value) {
    return text(value).cast<std::string>();
}

namespace {

// The interpreter's rewording of a failed ** merge; `failure` is the exception the merge raised.
void reword_merge_failure(py::handle callable, py::handle mapping, py::error_already_set& failure) {
    const bool not_a_mapping = failure.matches(PyExc_AttributeError);
    const bool repeated = failure.matches(PyExc_KeyError);
    if (!not_a_mapping && !repeated) throw failure;
    py::tuple key_args;
    if (repeated) {
        key_args = failure.value().attr("args");
        if (key_args.size() != 1) throw failure;
    }
    PyObject* function = _PyObject_FunctionStr(callable.ptr());
    if (function == nullptr) throw py::error_already_set();
    py::object described = py::reinterpret_steal<py::object>(function);
    if (not_a_mapping)
        PyErr_Format(PyExc_TypeError, "%U argument after ** must be a mapping, not %.200s", described.ptr(),
                     Py_TYPE(mapping.ptr())->tp_name);
    else
        PyErr_Format(PyExc_TypeError, "%U got multiple values for keyword argument '%S'", described.ptr(),
                     key_args[0].ptr());
    throw py::error_already_set();
}

}  // namespace

py::object call_unpacking(py::handle callable, py::tuple args, py::dict keywords, py::handle mapping) {
    py::dict merged = py::reinterpret_steal<py::dict>(PyDict_Copy(keywords.ptr()));
    if (!merged) throw py::error_already_set();
    if (_PyDict_MergeEx(merged.ptr(), mapping.ptr(), 2) < 0) {
        py::error_already_set failure;
        reword_merge_failure(callable, mapping, failure);
    }
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
