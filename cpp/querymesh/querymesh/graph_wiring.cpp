// SQLGraph._compile_graph: registers the thirteen nodes, the plain edges, the entry point and the
// four conditional routes on the state graph, then compiles it.  Nodes are bound invoke methods
// (or plain functions): LangGraph calls a Runnable instance with the run configuration as a
// second argument, which the nodes do not take.
#include "querymesh.hpp"
#include "qx/classes.hpp"
#include "qx/python.hpp"

namespace querymesh {
namespace {

py::dict routes(std::initializer_list<std::pair<const char*, const char*>> entries) {
    py::dict mapping;
    for (const auto& entry : entries) mapping[entry.first] = entry.second;
    return mapping;
}

py::object compile_graph(qx::Call& call) {
    py::object self = py::reinterpret_borrow<py::object>(call.self());
    py::object graph = self.attr("graph");
    py::object db = self.attr("db");
    auto node = [&](const char* name, py::object callable) { graph.attr("add_node")(name, callable); };
    auto edge = [&](const char* start, py::object end) { graph.attr("add_edge")(start, end); };
    auto built = [&](const char* class_name, py::kwargs keywords) -> py::object {
        return call.global(class_name)(**keywords).attr("invoke");
    };
    auto with = [](std::initializer_list<std::pair<const char*, py::object>> entries) {
        py::kwargs keywords;
        for (const auto& entry : entries) keywords[entry.first] = entry.second;
        return keywords;
    };

    node("init_node", call.global("initialisation"));
    graph.attr("set_entry_point")("init_node");
    node("table_names_lookup_node", built("TableNamesLookup", with({{"db", db}})));
    edge("init_node", py::str("table_names_lookup_node"));
    node("relevant_table_names_node", self.attr("relevant_table_picker").attr("invoke"));
    edge("table_names_lookup_node", py::str("relevant_table_names_node"));
    node("relevant_schemas_node", built("RelevantSchemas", with({{"db", db}})));
    edge("relevant_table_names_node", py::str("relevant_schemas_node"));
    node("sql_generation_node",
         built("SQLGeneration", with({{"db", db}, {"model", self.attr("sql_generation_model")}})));
    edge("relevant_schemas_node", py::str("sql_generation_node"));
    node("rewrite_query_node", built("RewriteQuery", with({{"db", db}, {"model", self.attr("pandas_ai_model")}})));
    edge("rewrite_query_node", py::str("relevant_table_names_node"));
    node("sql_syntax_checker_node",
         built("SQLSyntaxChecker", with({{"db", db}, {"model", self.attr("relevant_tables_model")}})));
    edge("sql_generation_node", py::str("sql_syntax_checker_node"));
    node("sql_execution_node", built("SQLExecution", with({{"db", db}})));
    edge("sql_syntax_checker_node", py::str("sql_execution_node"));
    node("pandas_generator_node", built("PandasGenerator", with({{"model", self.attr("pandas_code_model")}})));
    node("pandas_executor_node", built("PandasExecutor", with({{"model", self.attr("pandas_ai_model")}})));
    edge("pandas_generator_node", py::str("pandas_executor_node"));
    node("final_response_generation_node", built("GenerateResponse", with({{"model", self.attr("response_model")}})));
    edge("final_response_generation_node", call.global("END"));
    edge("pandas_executor_node", py::str("final_response_generation_node"));

    node("pandas_error_handler_node", call.global("handle_pandas_error"));
    graph.attr("add_conditional_edges")("pandas_executor_node", call.global("pandas_execution_condition"),
                                        routes({{"final_response", "final_response_generation_node"},
                                                {"pandas_execution_error", "pandas_error_handler_node"}}));
    node("sql_error_handler_node", call.global("handle_sql_error"));
    graph.attr("add_conditional_edges")(
        "sql_execution_node", call.global("sql_execution_condition"),
        routes({{"pandas_generation", "pandas_generator_node"}, {"sql_execution_error", "sql_error_handler_node"}}));
    graph.attr("add_conditional_edges")("sql_error_handler_node", call.global("sql_error_handler_condition"),
                                        routes({{"regenerate_sql_query", "sql_generation_node"},
                                                {"terminal_failure_response", "final_response_generation_node"},
                                                {"rewrite_query", "rewrite_query_node"}}));
    graph.attr("add_conditional_edges")("pandas_error_handler_node", call.global("pandas_error_handler_condition"),
                                        routes({{"regenerate_pandas_code", "pandas_generator_node"},
                                                {"terminal_failure_response", "final_response_generation_node"}}));
    return graph.attr("compile")();
}

}  // namespace

void add_compile_graph(py::module_& m, qx::ClassBuilder& cls) {
    cls.method("_compile_graph",
               qx::Signature{qx::arg("self"), qx::arg("runnable_config").annotated(m.attr("RunnableConfig"))}.returning(
                   m.attr("CompiledStateGraph")),
               compile_graph);
}

}  // namespace querymesh
