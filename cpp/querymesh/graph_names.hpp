// The graph's node names and route texts.  They are written once, in the pure-Python module
// quorlix.querymesh.graph_names, which the command line and the tests read as well; the wiring
// and the routing functions take them from there, so no name is spelled twice.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace graph_names {

namespace py = pybind11;

struct Names {
    // Nodes.
    py::handle init_node, table_names_lookup_node, relevant_table_names_node, relevant_schemas_node,
        sql_generation_node, rewrite_query_node, sql_syntax_checker_node, sql_execution_node, pandas_generator_node,
        pandas_executor_node, final_response_generation_node, pandas_error_handler_node, sql_error_handler_node;
    // Route texts.
    py::handle final_response, pandas_execution_error, pandas_generation, sql_execution_error, regenerate_sql_query,
        rewrite_query, terminal_failure_response, regenerate_pandas_code, sql_execute, sql_syntax_error, use_pandas,
        generate_response;
};

// Loaded on first use, which each module's import makes (so no later caller waits on the load
// while holding the GIL).  The texts are kept for the rest of the process and never released:
// a routing function hands out a new reference to the same text on every call, and nothing may
// drop them after the interpreter has finalized.
inline const Names& names() {
    static const Names loaded = [] {
        py::module_ source = py::module_::import("quorlix.querymesh.graph_names");
        auto text = [&](const char* name) -> py::handle {
            py::object value = source.attr(name);
            if (!PyUnicode_CheckExact(value.ptr()))
                throw py::type_error(std::string("quorlix.querymesh.graph_names.") + name + " must be a str");
            return value.release();
        };
        Names n;
        n.init_node = text("INIT_NODE");
        n.table_names_lookup_node = text("TABLE_NAMES_LOOKUP_NODE");
        n.relevant_table_names_node = text("RELEVANT_TABLE_NAMES_NODE");
        n.relevant_schemas_node = text("RELEVANT_SCHEMAS_NODE");
        n.sql_generation_node = text("SQL_GENERATION_NODE");
        n.rewrite_query_node = text("REWRITE_QUERY_NODE");
        n.sql_syntax_checker_node = text("SQL_SYNTAX_CHECKER_NODE");
        n.sql_execution_node = text("SQL_EXECUTION_NODE");
        n.pandas_generator_node = text("PANDAS_GENERATOR_NODE");
        n.pandas_executor_node = text("PANDAS_EXECUTOR_NODE");
        n.final_response_generation_node = text("FINAL_RESPONSE_GENERATION_NODE");
        n.pandas_error_handler_node = text("PANDAS_ERROR_HANDLER_NODE");
        n.sql_error_handler_node = text("SQL_ERROR_HANDLER_NODE");
        n.final_response = text("FINAL_RESPONSE");
        n.pandas_execution_error = text("PANDAS_EXECUTION_ERROR");
        n.pandas_generation = text("PANDAS_GENERATION");
        n.sql_execution_error = text("SQL_EXECUTION_ERROR");
        n.regenerate_sql_query = text("REGENERATE_SQL_QUERY");
        n.rewrite_query = text("REWRITE_QUERY");
        n.terminal_failure_response = text("TERMINAL_FAILURE_RESPONSE");
        n.regenerate_pandas_code = text("REGENERATE_PANDAS_CODE");
        n.sql_execute = text("SQL_EXECUTE");
        n.sql_syntax_error = text("SQL_SYNTAX_ERROR");
        n.use_pandas = text("USE_PANDAS");
        n.generate_response = text("GENERATE_RESPONSE");
        return n;
    }();
    return loaded;
}

// A new reference to one of the texts, as a function returns it.
inline py::str give(py::handle text) {
    return py::reinterpret_borrow<py::str>(text);
}

}  // namespace graph_names
