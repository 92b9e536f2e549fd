// quorlix.querymesh.nodewright: the steps of the question-answering graph, its structured-output
// records, the state initialisation, and the routing conditions and error handlers.
#include "qx/module.hpp"

#include "nodewright.hpp"

namespace nodewright {
namespace {

void body(py::module_& m) {
    import_dependencies(m);
    define_node_texts(m);
    define_leading_records(m);
    define_initialisation(m);
    define_table_names_lookup(m);
    define_relevant_table_names(m);
    define_rewrite_query(m);
    define_python_code_input(m);
    define_pandas_generator(m);
    define_pandas_correction(m);
    define_pandas_executor(m);
    define_relevant_schemas(m);
    define_sql_query_input(m);
    define_sql_generation(m);
    define_sql_syntax_checker(m);
    define_sql_execution(m);
    define_generation_output(m);
    import_prompt_modules(m);
    define_generate_response(m);
    define_flag_conditions(m);
    define_error_handlers(m);
    define_handler_conditions(m);
}

}  // namespace
}  // namespace nodewright

QX_MODULE(nodewright, "The steps of the question-answering graph.", nodewright::body)
