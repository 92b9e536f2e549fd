// Classes with Python bases (Runnable, pydantic's BaseModel, TypedDict) created the way a class
// statement creates them: bases resolved through __mro_entries__, the metaclass chosen and its
// namespace prepared, __module__ and __qualname__ set, and the metaclass called.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <utility>
#include <vector>

#include "qx/function.hpp"

namespace qx {

class ClassBuilder {
public:
    ClassBuilder(py::module_& module, std::string name, py::tuple bases, py::dict keywords = py::dict());

    // Puts a C++ method in the class namespace (qualified name "Class.method").
    ClassBuilder& method(const char* name, Signature signature, Body body, const char* doc = nullptr);
    // Puts any other value in the class namespace, in declaration order.
    ClassBuilder& attribute(const char* name, py::object value);
    // Declares an annotation (stored in the namespace's __annotations__, in order).
    ClassBuilder& annotation(const char* name, py::object value);

    // Calls the metaclass and binds the class in the module namespace.
    py::object create();

private:
    py::module_ module_;
    std::string name_;
    py::tuple bases_;
    py::dict keywords_;
    py::dict annotations_;
    std::vector<std::pair<std::string, py::object>> entries_;
};

}  // namespace qx
