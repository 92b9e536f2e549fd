// The routing functions: each reads state fields and names the route the graph takes next.  The
// route texts are the graph's own (graph_names.hpp), handed out without making a new text per call.
#include "graph_names.hpp"
#include "nodewright.hpp"
#include "qx/python.hpp"
#include "sql_retry.hpp"
#include "state_tests.hpp"

namespace nodewright {
namespace {

using graph_names::give;
using graph_names::names;

py::object flag_route(qx::Call& call, py::handle field, py::handle when_true, py::handle when_false) {
    return give(truth(qx::as_dict(call[0])[field]) ? when_true : when_false);
}

py::object sql_syntax_condition(qx::Call& call) {
    return flag_route(call, QX_KEY("is_valid_syntax"), names().sql_execute, names().sql_syntax_error);
}

py::object sql_execution_condition(qx::Call& call) {
    return flag_route(call, QX_KEY("execution_success"), names().pandas_generation, names().sql_execution_error);
}

py::object pandas_execution_condition(qx::Call& call) {
    return flag_route(call, QX_KEY("python_execution_success"), names().final_response, names().pandas_execution_error);
}

py::object pandas_code_condition(qx::Call& call) {
    return flag_route(call, QX_KEY("use_pandas_ai_flag"), names().use_pandas, names().generate_response);
}

py::object sql_error_handler_condition(qx::Call& call) {
    py::dict state = qx::as_dict(call[0]);
    auto field = [&](py::handle key) { return [&state, key]() -> py::object { return state[key]; }; };
    switch (
        sql_retry(field(QX_KEY("iteration_count")), field(QX_KEY("max_iterations")), field(QX_KEY("rewrite_count")))) {
        case SqlRetry::regenerate:
            return give(names().regenerate_sql_query);
        case SqlRetry::rewrite:
            return give(names().rewrite_query);
        case SqlRetry::give_up:
            break;
    }
    return give(names().terminal_failure_response);
}

py::object pandas_error_handler_condition(qx::Call& call) {
    py::dict state = qx::as_dict(call[0]);
    if (compare(state[QX_KEY("iteration_count_pandas")], Py_LT, state[QX_KEY("max_iterations_pandas")]))
        return give(names().regenerate_pandas_code);
    return give(names().terminal_failure_response);
}

void define_condition(py::module_& m, const char* name, qx::Body body) {
    qx::def(m, name,
            qx::Signature{qx::arg("state").exactly(qx::dict_type())}.returning(qx::type_object(qx::str_type())), body);
}

}  // namespace

void define_flag_conditions(py::module_& m) {
    names();  // loaded while the module is imported
    define_condition(m, "sql_syntax_condition", sql_syntax_condition);
    define_condition(m, "sql_execution_condition", sql_execution_condition);
    define_condition(m, "pandas_execution_condition", pandas_execution_condition);
    define_condition(m, "pandas_code_condition", pandas_code_condition);
}

void define_handler_conditions(py::module_& m) {
    define_condition(m, "sql_error_handler_condition", sql_error_handler_condition);
    define_condition(m, "pandas_error_handler_condition", pandas_error_handler_condition);
}

}  // namespace nodewright
