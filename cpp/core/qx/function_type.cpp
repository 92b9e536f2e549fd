// The function type: vectorcall, method binding through __get__, the attributes Python functions
// carry, and garbage-collector support (a module namespace holds its functions and each function
// holds the namespace, as in Python). Every slot CPython calls runs inside qx::guarded.
#include <Python.h>
#include <structmember.h>

#include "qx/boundary.hpp"
#include "qx/function_object.hpp"

namespace qx {
namespace detail {
namespace {

// "qualname" + suffix, for messages about a function that misbehaved.
auto naming(PyObject* self, const char* suffix) {
    return [self, suffix] {
        const char* qualname = PyUnicode_AsUTF8(reinterpret_cast<FunctionObject*>(self)->qualname);
        if (qualname == nullptr) PyErr_Clear();
        return std::string(qualname ? qualname : "<qx.function>") + suffix;
    };
}

PyObject* vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    return guarded<PyObject*>("call", naming(self, "()"), [&] {
        return bind_and_call(reinterpret_cast<FunctionObject*>(self), args, nargsf, kwnames);
    });
}

// A method call on an instance receives the instance as the first argument, like a Python
// function stored on a class; with no instance the function itself comes back.
PyObject* descr_get(PyObject* self, PyObject* instance, PyObject*) {
    return guarded<PyObject*>("get", naming(self, ".__get__"), [&] {
        if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
        return PyMethod_New(self, instance);
    });
}

// Only visits fields: nothing here can throw, and the collector could not take an error anyway.
int traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->globals);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->annotations);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->signature);
    Py_VISIT(f->dict);
    return 0;
}

void clear_fields(PyObject* self) noexcept {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->signature);
    Py_CLEAR(f->dict);
}

// The collector reports an error set here as unraisable ("in tp_clear of ...").
int clear(PyObject* self) {
    return guarded<int>("clear", naming(self, ".tp_clear"), [&] {
        clear_fields(self);
        return 0;
    });
}

void dealloc(PyObject* self) noexcept {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs) PyObject_ClearWeakRefs(self);
    clear_fields(self);
    delete f->data;
    f->data = nullptr;
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* repr(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

// Getters and setters of the attributes that Python lets a program change.
template <PyObject* FunctionObject::* Field>
PyObject* get_field(PyObject* self, void*) {
    PyObject* value = reinterpret_cast<FunctionObject*>(self)->*Field;
    return Py_NewRef(value ? value : Py_None);
}

template <PyObject* FunctionObject::* Field, bool TextOnly>
int set_field(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) {
        PyErr_SetString(PyExc_TypeError, "cannot delete a function attribute");
        return -1;
    }
    if (TextOnly && !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "attribute value must be set to a string object");
        return -1;
    }
    Py_XSETREF(reinterpret_cast<FunctionObject*>(self)->*Field, Py_NewRef(value));
    return 0;
}

PyObject* get_signature(PyObject* self, void*) {
    return guarded<PyObject*>("signature", naming(self, ".__signature__"), [&] {
        auto* f = reinterpret_cast<FunctionObject*>(self);
        if (f->signature == nullptr) f->signature = build_signature(f);
        return Py_XNewRef(f->signature);
    });
}

PyGetSetDef getset[] = {
    {"__name__", get_field<&FunctionObject::name>, set_field<&FunctionObject::name, true>, nullptr, nullptr},
    {"__qualname__", get_field<&FunctionObject::qualname>, set_field<&FunctionObject::qualname, true>, nullptr,
     nullptr},
    {"__module__", get_field<&FunctionObject::module>, set_field<&FunctionObject::module, false>, nullptr, nullptr},
    {"__doc__", get_field<&FunctionObject::doc>, set_field<&FunctionObject::doc, false>, nullptr, nullptr},
    {"__annotations__", get_field<&FunctionObject::annotations>, set_field<&FunctionObject::annotations, false>,
     nullptr, nullptr},
    {"__defaults__", get_field<&FunctionObject::defaults>, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_field<&FunctionObject::kwdefaults>, nullptr, nullptr, nullptr},
    {"__globals__", get_field<&FunctionObject::globals>, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, set_field<&FunctionObject::signature, false>, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyTypeObject* create_type() {
    PyType_Slot slots[] = {
        {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
        {Py_tp_descr_get, reinterpret_cast<void*>(descr_get)},
        {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(clear)},
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
        {Py_tp_repr, reinterpret_cast<void*>(repr)},
        {Py_tp_getset, getset},
        {Py_tp_members, members},
        {0, nullptr},
    };
    // Instances look like Python functions (repr, __name__ of the type), but the type says where it
    // comes from in errors and reprs of the type itself. METHOD_DESCRIPTOR lets the interpreter call
    // a method without creating a bound method first, as it does for Python functions. Immutable:
    // the type is shared by every function of the module, so nobody may patch it.
    PyType_Spec spec = {
        "qx.function",
        sizeof(FunctionObject),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
            Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
        slots,
    };
    PyObject* type = PyType_FromSpec(&spec);
    if (type == nullptr) throw py::error_already_set();
    return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace
}  // namespace detail

PyTypeObject* function_type() {
    // Never released: a static destructor would run after the interpreter is gone. Sub-interpreters
    // cannot import the modules (see module.cpp), so this one type serves the only interpreter.
    static PyTypeObject* const type = detail::create_type();
    return type;
}

py::object make_function(py::handle globals, const std::string& qualname, Signature signature, Body body,
                         const char* doc) {
    using detail::FunctionData;
    using detail::FunctionObject;
    if (signature.params.size() > detail::max_params)
        throw std::logic_error("too many parameters declared for " + qualname);

    auto data = std::make_unique<FunctionData>();
    data->params = std::move(signature.params);
    data->returns = std::move(signature.returns);
    data->body = body;
    Kind previous = Kind::positional_or_keyword;
    for (std::size_t i = 0; i < data->params.size(); ++i) {
        const Param& p = data->params[i];
        if (p.kind < previous) throw std::logic_error("parameters of " + qualname + " are out of order");
        previous = p.kind;
        if (p.kind == Kind::positional_or_keyword) {
            if (!p.default_value && data->positional_count != data->required_positional)
                throw std::logic_error("a required parameter follows a default in " + qualname);
            ++data->positional_count;
            if (!p.default_value) ++data->required_positional;
        } else if (p.kind == Kind::var_positional) {
            data->var_positional = static_cast<std::ptrdiff_t>(i);
        } else if (p.kind == Kind::var_keyword) {
            data->var_keyword = static_cast<std::ptrdiff_t>(i);
        }
    }

    PyTypeObject* type = function_type();
    auto* f = PyObject_GC_New(FunctionObject, type);
    if (f == nullptr) throw py::error_already_set();
    f->vectorcall = reinterpret_cast<vectorcallfunc>(detail::vectorcall);
    f->data = data.release();
    f->globals = Py_NewRef(globals.ptr());
    f->name = f->qualname = f->module = f->doc = nullptr;
    f->annotations = f->defaults = f->kwdefaults = f->signature = f->dict = f->weakrefs = nullptr;
    // From here a failure releases the half-built object through dealloc, which tolerates NULLs.
    py::object result = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(f));
    const std::size_t dot = qualname.rfind('.');
    const std::string name = dot == std::string::npos ? qualname : qualname.substr(dot + 1);
    f->name = PyUnicode_FromString(name.c_str());
    f->qualname = PyUnicode_FromString(qualname.c_str());
    f->doc = doc ? PyUnicode_FromString(doc) : Py_NewRef(Py_None);
    if (f->name == nullptr || f->qualname == nullptr || f->doc == nullptr) throw py::error_already_set();
    f->module = Py_XNewRef(PyDict_GetItemString(globals.ptr(), "__name__"));
    detail::fill_introspection(f);
    PyObject_GC_Track(f);
    return result;
}

py::object def(py::module_& module, const char* name, Signature signature, Body body, const char* doc) {
    py::object function = make_function(module.attr("__dict__"), name, std::move(signature), body, doc);
    module.attr(name) = function;
    return function;
}

py::dict Call::keyword_extras() const {
    return extra_keywords_ ? py::reinterpret_borrow<py::dict>(extra_keywords_) : py::dict();
}

py::tuple Call::positional_extras() const {
    return extra_positional_ ? py::reinterpret_borrow<py::tuple>(extra_positional_) : py::tuple();
}

py::object Call::global(const char* name) const {
    if (PyObject* value = PyDict_GetItemString(globals_, name)) return py::reinterpret_borrow<py::object>(value);
    // The running frame's builtins (the interpreter's when no frame runs), as a Python body sees them.
    if (PyObject* value = PyDict_GetItemString(PyEval_GetBuiltins(), name))
        return py::reinterpret_borrow<py::object>(value);
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    throw py::error_already_set();
}

py::object Call::global(py::handle name) const {
    for (PyObject* scope : {globals_, PyEval_GetBuiltins()}) {
        if (PyObject* value = PyDict_GetItemWithError(scope, name.ptr()))
            return py::reinterpret_borrow<py::object>(value);
        if (PyErr_Occurred()) throw py::error_already_set();
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
    throw py::error_already_set();
}

}  // namespace qx
