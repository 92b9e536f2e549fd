// SQLState: the record that travels through the graph.  Its annotations stay texts; LangGraph
// evaluates them in this module and derives each field's merge rule from them (a plain type
// replaces, Annotated[..., operator.concat] appends lists, Annotated[int, operator.add] adds).
#include "querymesh.hpp"
#include "qx/classes.hpp"
#include "qx/python.hpp"

namespace querymesh {

void define_sql_state(py::module_& m) {
    const char* const fields[][2] = {
        {"user_question", "str"},
        {"follow_up_question", "Annotated[List[str], operator.concat]"},
        {"schemas_from_relevant_tables", "str"},
        {"table_names_from_db", "list[Dict[str, str]]"},
        {"relevant_tables", "List[str]"},
        {"generated_sql_query", "Annotated[List[str], operator.concat]"},
        {"sql_generation_prompt_type", "str"},
        {"execution_success", "bool"},
        {"execution_error", "Annotated[List[str], operator.concat]"},
        {"sql_execution_result", "Annotated[List[str], operator.concat]"},
        {"pandas_code", "str"},
        {"use_pandas_ai_flag", "bool"},
        {"image_path", "str | None"},
        {"python_executed_output", "str"},
        {"save_path", "str"},
        {"final_response", "str"},
        {"iteration_count", "Annotated[int, operator.add]"},
        {"iteration_count_pandas", "Annotated[int, operator.add]"},
        {"rewrite_count", "int"},
        {"rewritten_question", "str"},
        {"max_iterations", "int"},
        {"max_iterations_pandas", "int"},
        {"python_execution_success", "bool"},
        {"python_error_message", "bool"},
        {"pandas_generation_prompt_type", "str"},
    };
    qx::ClassBuilder state(m, "SQLState", py::make_tuple(m.attr("TypedDict")));
    for (const auto& field : fields) state.annotation(field[0], py::str(field[1]));
    state.create();
}

}  // namespace querymesh
