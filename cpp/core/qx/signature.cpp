// The introspection face of a function: __annotations__, __defaults__, __kwdefaults__ (built with
// the function) and an inspect.Signature (built on first request, since importing inspect is not
// free and most functions are never inspected).
#include "qx/function_object.hpp"

namespace qx::detail {

void fill_introspection(FunctionObject* f) {
    const FunctionData& d = *f->data;
    py::dict annotations;
    py::list defaults;
    py::dict kwdefaults;
    for (const Param& p : d.params) {
        if (p.annotation) annotations[p.name.c_str()] = p.annotation;
        if (!p.default_value) continue;
        if (p.kind == Kind::keyword_only)
            kwdefaults[p.name.c_str()] = p.default_value;
        else
            defaults.append(p.default_value);
    }
    if (d.returns) annotations["return"] = d.returns;
    f->annotations = annotations.release().ptr();
    f->defaults = defaults.empty() ? Py_NewRef(Py_None) : PyList_AsTuple(defaults.ptr());
    if (f->defaults == nullptr) throw py::error_already_set();
    f->kwdefaults = kwdefaults.empty() ? Py_NewRef(Py_None) : kwdefaults.release().ptr();
}

PyObject* build_signature(FunctionObject* f) {
    py::module_ inspect = py::module_::import("inspect");
    py::object parameter = inspect.attr("Parameter");
    py::object empty = parameter.attr("empty");
    const char* kind_names[] = {"POSITIONAL_OR_KEYWORD", "VAR_POSITIONAL", "KEYWORD_ONLY", "VAR_KEYWORD"};
    py::list parameters;
    for (const Param& p : f->data->params) {
        py::object kind = parameter.attr(kind_names[static_cast<int>(p.kind)]);
        parameters.append(parameter(p.name, kind, py::arg("default") = p.default_value ? p.default_value : empty,
                                    py::arg("annotation") = p.annotation ? p.annotation : empty));
    }
    py::object returns = f->data->returns ? f->data->returns : empty;
    return inspect.attr("Signature")(parameters, py::arg("return_annotation") = returns).release().ptr();
}

}  // namespace qx::detail
