// SQLSyntaxChecker: the chat model reviews the newest query for the database's dialect, and the
// reviewed text takes its place in the state's own list, so execution and later corrections see it.
#include "node_class.hpp"
#include "nodewright.hpp"
#include "qx/python.hpp"

namespace nodewright {
namespace {

py::object init(qx::Call& call) {
    call.self().attr("tool") = call.global("QuerySQLCheckerTool")(py::arg("db") = call[1], py::arg("llm") = call[2]);
    return py::none();
}

py::object invoke(qx::Call& call) {
    py::handle state = call[1];
    const py::int_ last(-1);
    py::object query = state[py::str("generated_sql_query")][last];
    py::object reviewed = call.self().attr("tool").attr("_run")(py::arg("query") = query);
    // In place, not as an update: the list is concatenated in the state, so an update would
    // append instead of replace.
    py::object queries = state[py::str("generated_sql_query")];
    if (PyObject_SetItem(queries.ptr(), last.ptr(), reviewed.ptr()) < 0) throw py::error_already_set();
    return py::dict();
}

}  // namespace

void define_sql_syntax_checker(py::module_& m) {
    NodeClass(m, "SQLSyntaxChecker").constructor({"db", "model"}, init).plain_invoke(invoke).create();
}

}  // namespace nodewright
