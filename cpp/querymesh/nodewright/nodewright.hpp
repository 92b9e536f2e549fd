// The node module: one declaration per concern; module.cpp runs them in the module's source order.
#pragma once

#include <pybind11/pybind11.h>

namespace nodewright {

namespace py = pybind11;

void import_dependencies(py::module_& m);
void import_prompt_modules(py::module_& m);
void define_leading_records(py::module_& m);
void define_python_code_input(py::module_& m);
void define_sql_query_input(py::module_& m);
void define_generation_output(py::module_& m);
void define_node_texts(py::module_& m);
void define_initialisation(py::module_& m);
void define_table_names_lookup(py::module_& m);
void define_relevant_table_names(py::module_& m);
void define_rewrite_query(py::module_& m);
void define_pandas_generator(py::module_& m);
void define_pandas_correction(py::module_& m);
void define_pandas_executor(py::module_& m);
void define_relevant_schemas(py::module_& m);
void define_sql_generation(py::module_& m);
void define_sql_syntax_checker(py::module_& m);
void define_sql_execution(py::module_& m);
void define_generate_response(py::module_& m);
// The routing functions and the error handlers, in the order the module defines them: the flag
// conditions, the two handlers, then the handlers' own conditions.
void define_flag_conditions(py::module_& m);
void define_error_handlers(py::module_& m);
void define_handler_conditions(py::module_& m);

// The table names of the state as one text: a list of names is joined with ",", anything else
// (the lookup's own text) is passed on as it is.
py::object table_names_text(py::handle names);

// Base class of every node: LangChain's Runnable, looked up in the module namespace.
py::tuple runnable_bases(py::module_& m);

}  // namespace nodewright
