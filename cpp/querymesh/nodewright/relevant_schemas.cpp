// RelevantSchemas: the schema text of the chosen tables, and a fresh start for SQL generation
// (every pass here, including the one after a question rewrite, begins in "generation" mode).
#include "node_class.hpp"
#include "nodewright.hpp"
#include "qx/python.hpp"

namespace nodewright {
namespace {

py::object init(qx::Call& call) {
    call.self().attr("tool") = call.global("InfoSQLDatabaseTool")(py::arg("db") = call[1]);
    return py::none();
}

py::object invoke(qx::Call& call) {
    py::handle state = call[1];
    // Joined whatever the value is: the picker's contract is a list of names.
    py::object table_names = py::str(",").attr("join")(state[py::str("relevant_tables")]);
    py::object schemas = call.self().attr("tool").attr("_run")(py::arg("table_names") = table_names);
    py::dict update;
    update["sql_generation_prompt_type"] = "generation";
    update["schemas_from_relevant_tables"] = schemas;
    return std::move(update);
}

}  // namespace

void define_relevant_schemas(py::module_& m) {
    NodeClass(m, "RelevantSchemas").constructor({"db"}, init).plain_invoke(invoke).create();
}

}  // namespace nodewright
