// The graph module: the state record and the graph object.
#pragma once

#include <pybind11/pybind11.h>

namespace querymesh {

namespace py = pybind11;

void import_dependencies(py::module_& m);
void define_sql_state(py::module_& m);

}  // namespace querymesh
