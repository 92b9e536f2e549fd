// The database toolbox: one declaration per concern; module.cpp runs them in the module's source
// order, which is also the order of the module namespace.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>

#include "qx/function.hpp"

namespace dbkeeper {

namespace py = pybind11;

void import_dependencies(py::module_& m);
void define_settings(py::module_& m);
void define_mysql_connection(py::module_& m);
void define_mysql_schema(py::module_& m);
void define_set_database_config(py::module_& m);
void define_check_db_config_variables(py::module_& m);
void define_connection_test(py::module_& m);
void define_mysql_query(py::module_& m);
void define_pg_connection(py::module_& m);
void define_pg_query(py::module_& m);
void define_pg_schema(py::module_& m);

// Calls the module's connection function `connector` with the five settings as they stand now,
// looked up through the module namespace so that reconfiguration and replacement are seen.
py::object connect_with_settings(const qx::Call& call, const char* connector);

// `if connection: connection.close()`.  A failing close cannot undo what the statement already
// did, so it is not allowed to turn a finished call into an exception.
void close_quietly(py::handle connection);

// The texts of the parts joined with nothing in between, as an f-string joins them.
py::str joined(std::initializer_list<py::handle> parts);

}  // namespace dbkeeper
