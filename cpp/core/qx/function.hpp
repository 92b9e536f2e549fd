// Python-faithful functions written in C++.
//
// A function declared here is, to its callers and to introspection, a Python function: it has a
// real inspect.Signature, writable __name__/__qualname__/__doc__, __annotations__, __defaults__,
// __kwdefaults__, __globals__ and a __dict__, binds as a method when stored on a class, and binds
// its arguments with CPython 3.11's own rules and error texts.  LangGraph calls
// inspect.signature() on every node, which is why a plain builtin would not do.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

namespace qx {

namespace py = pybind11;

enum class Kind { positional_or_keyword, var_positional, keyword_only, var_keyword };

// One declared parameter.  An empty annotation or default means "none declared".
struct Param {
    std::string name;
    Kind kind = Kind::positional_or_keyword;
    py::object annotation;
    py::object default_value;
    PyTypeObject* exact_type = nullptr;  // when set, only this very type is accepted
    bool accepts_none = false;

    explicit Param(std::string param_name, Kind param_kind = Kind::positional_or_keyword)
        : name(std::move(param_name)), kind(param_kind) {}

    // Declares an annotation without enforcing it.
    Param& annotated(py::object value) {
        annotation = std::move(value);
        return *this;
    }
    // Annotates with a built-in type and accepts exactly that type (no subclass).
    Param& exactly(PyTypeObject* type) {
        exact_type = type;
        if (!annotation) annotation = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(type));
        return *this;
    }
    // A default of None also admits None past the exact-type check, as Optional does.
    Param& defaults(py::object value) {
        accepts_none = accepts_none || value.is_none();
        default_value = std::move(value);
        return *this;
    }
    Param& or_none() {
        accepts_none = true;
        return *this;
    }
};

inline Param arg(std::string name) {
    return Param(std::move(name));
}
inline Param kwargs(std::string name = "kwargs") {
    return Param(std::move(name), Kind::var_keyword);
}
inline Param varargs(std::string name = "args") {
    return Param(std::move(name), Kind::var_positional);
}
inline Param keyword_only(std::string name) {
    return Param(std::move(name), Kind::keyword_only);
}

// The parameter list and return annotation of a function.
struct Signature {
    std::vector<Param> params;
    py::object returns;

    Signature(std::initializer_list<Param> list) : params(list) {}
    Signature& returning(py::object annotation) {
        returns = std::move(annotation);
        return *this;
    }
};

class Call;
using Body = py::object (*)(Call&);

// Everything a body needs: the bound arguments (borrowed, in declaration order), the collected
// **kwargs / *args, and the namespace the function was defined in, for look-ups made at call
// time the way Python resolves a global name.
class Call {
public:
    py::handle operator[](std::size_t index) const { return slots_[index]; }
    py::handle self() const { return slots_[0]; }
    py::dict keyword_extras() const;
    py::tuple positional_extras() const;
    py::dict globals() const { return py::reinterpret_borrow<py::dict>(globals_); }
    // A name of the defining module, else a builtin; NameError like Python's when neither has it.
    py::object global(const char* name) const;
    // The same for a name given as a text made once (QX_KEY), whose hash is kept: for names a
    // body reads on every call.
    py::object global(py::handle name) const;

    Call(PyObject* const* slots, PyObject* globals, PyObject* extra_keywords, PyObject* extra_positional)
        : slots_(slots), globals_(globals), extra_keywords_(extra_keywords), extra_positional_(extra_positional) {}

private:
    PyObject* const* slots_;
    PyObject* globals_;
    PyObject* extra_keywords_;
    PyObject* extra_positional_;
};

// Creates a function object.  `globals` is the defining module's namespace; `qualname` is
// "name" for a module-level function and "Class.name" for a method.
py::object make_function(py::handle globals, const std::string& qualname, Signature signature, Body body,
                         const char* doc = nullptr);

// Declares a module-level function and binds it in the module namespace.
py::object def(py::module_& module, const char* name, Signature signature, Body body, const char* doc = nullptr);

// Type of every function made here (one per extension module).
PyTypeObject* function_type();

}  // namespace qx
