// TableNamesLookup: every usable table name of the database, as the one text the list tool gives.
#include "node_class.hpp"
#include "nodewright.hpp"
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
    NodeClass(m, "TableNamesLookup").constructor({"db"}, init).plain_invoke(invoke).create();
}

}  // namespace nodewright
