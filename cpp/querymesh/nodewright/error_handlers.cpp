// The error-handler nodes: they count failed attempts against the budgets and switch generation
// to correction mode.  The counters are add-merged, so 1 counts an attempt and 0 leaves it.
#include "nodewright.hpp"
#include "qx/python.hpp"
#include "sql_retry.hpp"
#include "state_tests.hpp"

namespace nodewright {
namespace {

py::object handle_sql_error(qx::Call& call) {
    py::dict state = qx::as_dict(call[0]);
    py::object iteration_count = state[QX_KEY("iteration_count")];
    py::object rewrite_count = state[QX_KEY("rewrite_count")];
    py::dict update;
    switch (sql_retry([&] { return iteration_count; }, [&] { return state[QX_KEY("max_iterations")]; },
                      [&] { return rewrite_count; })) {
        case SqlRetry::regenerate:
            update[QX_KEY("iteration_count")] = py::int_(1);
            update[QX_KEY("sql_generation_prompt_type")] = QX_KEY("correction");
            return std::move(update);
        case SqlRetry::rewrite:
            // Only the handed-over copy of the state sees this; the run's counter stays where it
            // is, and the routing reads the spent budget together with the rewrite mark.
            state[QX_KEY("iteration_count")] = py::int_(0);
            update[QX_KEY("rewrite_count")] = py::int_(1);
            return std::move(update);
        case SqlRetry::give_up:
            break;
    }
    py::list failure;
    failure.append(QX_KEY("SQL generation failed after max iterations"));
    update[QX_KEY("sql_execution_result")] = failure;
    update[QX_KEY("iteration_count")] = py::int_(0);
    return std::move(update);
}

py::object handle_pandas_error(qx::Call& call) {
    py::dict state = qx::as_dict(call[0]);
    py::object iteration_count = state["iteration_count_pandas"];
    py::dict update;
    if (compare(iteration_count, Py_LT, state["max_iterations_pandas"])) {
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
