// SQLExecution: runs the newest query and records its outcome for the routing and for later
// corrections.  A database error is an outcome, not a failure of the run; no rows counts as a
// failed attempt too, so the model gets another try.
#include "node_class.hpp"
#include "nodewright.hpp"
#include "qx/python.hpp"
#include "qx/truth.hpp"

namespace nodewright {
namespace {

py::object init(qx::Call& call) {
    call.self().attr("db") = call[1];
    return py::none();
}

py::dict outcome(py::object result, bool success) {
    py::list results;
    results.append(std::move(result));
    py::dict update;
    update["sql_execution_result"] = results;
    update["execution_success"] = py::bool_(success);
    if (success) update["pandas_generation_prompt_type"] = "generation";
    return update;
}

py::object invoke(qx::Call& call) {
    py::handle state = call[1];
    py::object query = state[py::str("generated_sql_query")][py::int_(-1)];
    try {
        py::object result = call.self().attr("db").attr("run")(py::arg("command") = query, py::arg("fetch") = "all",
                                                               py::arg("include_columns") = false);
        if (qx::truth(result)) return outcome(std::move(result), true);
        return outcome(py::str("None"), false);
    } catch (py::error_already_set& error) {
        // Only the database's own errors are outcomes; the class is looked up when one arrives,
        // as an except clause does.
        if (!error.matches(call.global("SQLAlchemyError"))) throw;
        return outcome(py::str(error.value()), false);
    }
}

}  // namespace

void define_sql_execution(py::module_& m) {
    NodeClass(m, "SQLExecution").constructor({"db"}, init).plain_invoke(invoke).create();
}

}  // namespace nodewright
