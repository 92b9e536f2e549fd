// The routing functions: each reads state fields and names the route the graph takes next.
#include "nodewright.hpp"
#include "qx/python.hpp"
#include "state_tests.hpp"

namespace nodewright {
namespace {

py::object sql_syntax_condition(qx::Call& call) {
    return py::str(is_true(qx::as_dict(call[0])["is_valid_syntax"]) ? "sql_execute" : "sql_syntax_error");
}

py::object sql_execution_condition(qx::Call& call) {
    return py::str(is_true(qx::as_dict(call[0])["execution_success"]) ? "pandas_generation" : "sql_execution_error");
}

py::object pandas_execution_condition(qx::Call& call) {
    return py::str(is_true(qx::as_dict(call[0])["python_execution_success"]) ? "final_response"
                                                                             : "pandas_execution_error");
}

py::object pandas_code_condition(qx::Call& call) {
    return py::str(is_true(qx::as_dict(call[0])["use_pandas_ai_flag"]) ? "use_pandas" : "generate_response");
}

// Mirrors handle_sql_error's decision on the counters after its update has been merged.
py::object sql_error_handler_condition(qx::Call& call) {
    py::dict state = qx::as_dict(call[0]);
    const py::int_ zero(0);
    if (holds(state["iteration_count"], Py_LT, state["max_iterations"]) && holds(state["rewrite_count"], Py_EQ, zero))
        return py::str("regenerate_sql_query");
    if (holds(state["iteration_count"], Py_EQ, state["max_iterations"]) && holds(state["rewrite_count"], Py_EQ, zero))
        return py::str("rewrite_query");
    return py::str("terminal_failure_response");
}

py::object pandas_error_handler_condition(qx::Call& call) {
    py::dict state = qx::as_dict(call[0]);
    if (holds(state["iteration_count_pandas"], Py_LT, state["max_iterations_pandas"]))
        return py::str("regenerate_pandas_code");
    return py::str("terminal_failure_response");
}

void define_condition(py::module_& m, const char* name, qx::Body body) {
    qx::def(m, name,
            qx::Signature{qx::arg("state").exactly(qx::dict_type())}.returning(qx::type_object(qx::str_type())), body);
}

}  // namespace

void define_routing(py::module_& m) {
    define_condition(m, "sql_syntax_condition", sql_syntax_condition);
    define_condition(m, "sql_execution_condition", sql_execution_condition);
    define_condition(m, "pandas_execution_condition", pandas_execution_condition);
    define_condition(m, "pandas_code_condition", pandas_code_condition);
    define_error_handlers(m);
    define_condition(m, "sql_error_handler_condition", sql_error_handler_condition);
    define_condition(m, "pandas_error_handler_condition", pandas_error_handler_condition);
}

}  // namespace nodewright
