// The graph module: the state record and the graph object.
#pragma once

#include <pybind11/pybind11.h>

#include "qx/classes.hpp"

namespace querymesh {

namespace py = pybind11;

void import_dependencies(py::module_& m);
void define_sql_state(py::module_& m);
void define_sql_graph(py::module_& m);

// SQLGraph's methods, one concern per file, added to the class while it is being built.
void add_config_graph(py::module_& m, qx::ClassBuilder& cls);
void add_compile_graph(py::module_& m, qx::ClassBuilder& cls);
void add_visualize_graph(py::module_& m, qx::ClassBuilder& cls);

}  // namespace querymesh

namespace querymesh {

// PNG bytes of a LangChain drawable graph, laid out and drawn locally.
py::bytes render_graph_png(const py::object& drawable);

}  // namespace querymesh
