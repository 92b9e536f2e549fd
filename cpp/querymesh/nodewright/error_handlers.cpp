// The error-handler nodes: they count failed attempts against the budgets and switch generation
// to correction mode.  The counters are add-merged, so 1 counts an attempt and 0 leaves it.
#include "nodewright.hpp"
#include "qx/python.hpp"
#include "state_tests.hpp"

namespace nodewright {
namespace {

py::object handle_sql_error(qx::Call& call) {
    py::dict state = qx::as_dict(call[0]);
    py::object iteration_count = state["iteration_count"];
    py::object rewrite_count = state["rewrite_count"];
    const py::int_ zero(0);
    py::dict update;
    if (holds(iteration_count, Py_LT, state["max_iterations"]) && holds(rewrite_count, Py_EQ, zero)) {
        update["iteration_count"] = 1;
        update["sql_generation_prompt_type"] = "correction";
        return std::move(update);
    }
    if (holds(iteration_count, Py_EQ, state["max_iterations"]) && holds(rewrite_count, Py_EQ, zero)) {
        // Only the handed-over copy of the state sees this; the run's counter stays where it is,
        // and the routing reads the spent budget together with the rewrite mark.
        state["iteration_count"] = zero;
        update["rewrite_count"] = 1;
        return std::move(update);
    }
    py::list failure;
    failure.append("SQL generation failed after max iterations");
    update["sql_execution_result"] = failure;
    update["iteration_count"] = 0;
    return std::move(update);
}

py::object handle_pandas_error(qx::Call& call) {
    py::dict state = qx::as_dict(call[0]);
    py::object iteration_count = state["iteration_count_pandas"];
    py::dict update;
    if (holds(iteration_count, Py_LT, state["max_iterations_pandas"])) {
        update["iteration_count_pandas"] = 1;
        update["pandas_generation_prompt_type"] = "correction";
        return std::move(update);
    }
    update["python_executed_output"] = "Python generation failed after max iterations";
    update["iteration_count_pandas"] = 0;
    return std::move(update);
}

}  // namespace

void define_error_handlers(py::module_& m) {
    const py::object dict = qx::type_object(qx::dict_type());
    qx::def(m, "handle_sql_error", qx::Signature{qx::arg("state").exactly(qx::dict_type())}.returning(dict),
            handle_sql_error);
    qx::def(m, "handle_pandas_error", qx::Signature{qx::arg("state").exactly(qx::dict_type())}.returning(dict),
            handle_pandas_error);
}

}  // namespace nodewright
