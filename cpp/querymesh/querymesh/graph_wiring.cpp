// SQLGraph._compile_graph: registers the thirteen nodes, the plain edges, the entry point and the
// four conditional routes on the state graph, then compiles it.  Nodes are bound invoke methods
// (or plain functions): LangGraph calls a Runnable instance with the run configuration as a
// second argument, which the nodes do not take.
#include "graph_names.hpp"
#include "querymesh.hpp"
#include "qx/classes.hpp"
#include "qx/python.hpp"

namespace querymesh {
namespace {

using graph_names::names;

py::dict routes(std::initializer_list<std::pair<py::handle, py::handle>> entries) {
    py::dict mapping;
    for (const auto& entry : entries) mapping[entry.first] = entry.second;
    return mapping;
}

py::object compile_graph(qx::Call& call) {
    const graph_names::Names& n = names();
    py::object self = py::reinterpret_borrow<py::object>(call.self());
    py::object graph = self.attr("graph");
    py::object db = self.attr("db");
    auto node = [&](py::handle name, py::object callable) { graph.attr("add_node")(name, callable); };
    auto edge = [&](py::handle start, py::handle end) { graph.attr("add_edge")(start, end); };
    auto route = [&](py::handle source, const char* condition, py::dict mapping) {
        graph.attr("add_conditional_edges")(source, call.global(condition), mapping);
    };
    auto built = [&](const char* class_name, py::kwargs keywords) -> py::object {
        return call.global(class_name)(**keywords).attr("invoke");
    };
    auto with = [](std::initializer_list<std::pair<const char*, py::object>> entries) {
        py::kwargs keywords;
        for (const auto& entry : entries) keywords[entry.first] = entry.second;
        return keywords;
    };

    node(n.init_node, call.global("initialisation"));
    graph.attr("set_entry_point")(n.init_node);
    node(n.table_names_lookup_node, built("TableNamesLookup", with({{"db", db}})));
    edge(n.init_node, n.table_names_lookup_node);
    node(n.relevant_table_names_node, self.attr("relevant_table_picker").attr("invoke"));
    edge(n.table_names_lookup_node, n.relevant_table_names_node);
    node(n.relevant_schemas_node, built("RelevantSchemas", with({{"db", db}})));
    edge(n.relevant_table_names_node, n.relevant_schemas_node);
    node(n.sql_generation_node,
         built("SQLGeneration", with({{"db", db}, {"model", self.attr("sql_generation_model")}})));
    edge(n.relevant_schemas_node, n.sql_generation_node);
    node(n.rewrite_query_node, built("RewriteQuery", with({{"db", db}, {"model", self.attr("pandas_ai_model")}})));
    edge(n.rewrite_query_node, n.relevant_table_names_node);
    node(n.sql_syntax_checker_node,
         built("SQLSyntaxChecker", with({{"db", db}, {"model", self.attr("relevant_tables_model")}})));
    edge(n.sql_generation_node, n.sql_syntax_checker_node);
    node(n.sql_execution_node, built("SQLExecution", with({{"db", db}})));
    edge(n.sql_syntax_checker_node, n.sql_execution_node);
    node(n.pandas_generator_node, built("PandasGenerator", with({{"model", self.attr("pandas_code_model")}})));
    node(n.pandas_executor_node, built("PandasExecutor", with({{"model", self.attr("pandas_ai_model")}})));
    edge(n.pandas_generator_node, n.pandas_executor_node);
    node(n.final_response_generation_node, built("GenerateResponse", with({{"model", self.attr("response_model")}})));
    edge(n.final_response_generation_node, call.global("END"));
    edge(n.pandas_executor_node, n.final_response_generation_node);

    node(n.pandas_error_handler_node, call.global("handle_pandas_error"));
    route(n.pandas_executor_node, "pandas_execution_condition",
          routes({{n.final_response, n.final_response_generation_node},
                  {n.pandas_execution_error, n.pandas_error_handler_node}}));
    node(n.sql_error_handler_node, call.global("handle_sql_error"));
    route(n.sql_execution_node, "sql_execution_condition",
          routes({{n.pandas_generation, n.pandas_generator_node}, {n.sql_execution_error, n.sql_error_handler_node}}));
    route(n.sql_error_handler_node, "sql_error_handler_condition",
          routes({{n.regenerate_sql_query, n.sql_generation_node},
                  {n.terminal_failure_response, n.final_response_generation_node},
                  {n.rewrite_query, n.rewrite_query_node}}));
    route(n.pandas_error_handler_node, "pandas_error_handler_condition",
          routes({{n.regenerate_pandas_code, n.pandas_generator_node},
                  {n.terminal_failure_response, n.final_response_generation_node}}));
    return graph.attr("compile")();
}

}  // namespace

void add_compile_graph(py::module_& m, qx::ClassBuilder& cls) {
    names();  // loaded while the module is imported
    cls.method("_compile_graph",
               qx::Signature{qx::arg("self"), qx::arg("runnable_config").annotated(m.attr("RunnableConfig"))}.returning(
                   m.attr("CompiledStateGraph")),
               compile_graph);
}

}  // namespace querymesh
