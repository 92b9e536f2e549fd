#include "qx/classes.hpp"

namespace qx {

ClassBuilder::ClassBuilder(py::module_& module, std::string name, py::tuple bases, py::dict keywords)
    : module_(module), name_(std::move(name)), bases_(std::move(bases)), keywords_(std::move(keywords)) {}

ClassBuilder& ClassBuilder::method(const char* name, Signature signature, Body body, const char* doc) {
    entries_.emplace_back(name,
                          make_function(module_.attr("__dict__"), name_ + "." + name, std::move(signature), body, doc));
    return *this;
}

ClassBuilder& ClassBuilder::attribute(const char* name, py::object value) {
    entries_.emplace_back(name, std::move(value));
    return *this;
}

ClassBuilder& ClassBuilder::annotation(const char* name, py::object value) {
    annotations_[name] = std::move(value);
    return *this;
}

py::object ClassBuilder::create() {
    py::module_ types = py::module_::import("types");
    py::tuple resolved = types.attr("resolve_bases")(bases_);
    py::tuple prepared = types.attr("prepare_class")(name_, resolved, keywords_);
    py::object metaclass = prepared[0];
    py::object ns = prepared[1];
    py::dict meta_keywords = prepared[2];

    ns[py::str("__module__")] = module_.attr("__name__");
    ns[py::str("__qualname__")] = py::str(name_);
    if (!annotations_.empty()) ns[py::str("__annotations__")] = annotations_;
    for (auto& entry : entries_) ns[py::str(entry.first)] = entry.second;
    if (!resolved.is(bases_) && !resolved.equal(bases_)) ns[py::str("__orig_bases__")] = bases_;

    PyObject* args = PyTuple_Pack(3, py::str(name_).ptr(), resolved.ptr(), ns.ptr());
    if (args == nullptr) throw py::error_already_set();
    py::object call_args = py::reinterpret_steal<py::object>(args);
    PyObject* created = PyObject_Call(metaclass.ptr(), call_args.ptr(), meta_keywords.ptr());
    if (created == nullptr) throw py::error_already_set();
    py::object cls = py::reinterpret_steal<py::object>(created);
    module_.attr(name_.c_str()) = cls;
    return cls;
}

}  // namespace qx
