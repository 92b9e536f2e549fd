// TableNamesLookup: every usable table name of the database, as the one text the list tool gives.
#include "nodewright.hpp"
#include "qx/classes.hpp"
#include "qx/python.hpp"

namespace nodewright {
namespace {

py::object init(qx::Call& call) {
    call.self().attr("tool") = call.global("ListSQLDatabaseTool")(py::arg("db") = call[1]);
    return py::none();
}

// The state is not read: the table list does not depend on the question.
py::object invoke(qx::Call& call) {
    py::dict update;
    update["table_names_from_db"] = call.self().attr("tool").attr("_run")();
    return std::move(update);
}

}  // namespace

void define_table_names_lookup(py::module_& m) {
    qx::ClassBuilder node(m, "TableNamesLookup", runnable_bases(m));
    node.method("__init__", qx::Signature{qx::arg("self"), qx::arg("db").annotated(m.attr("CustomSQLDatabase"))}, init);
    node.method("invoke", qx::Signature{qx::arg("self"), qx::arg("state"), qx::kwargs()}, invoke);
    node.create();
}

}  // namespace nodewright
