// quorlix.querymesh.querymesh: the graph state record and the graph object.
#include "qx/module.hpp"

#include "querymesh.hpp"

namespace querymesh {
namespace {

void body(py::module_& m) {
    import_dependencies(m);
    define_sql_state(m);
    define_sql_graph(m);
}

}  // namespace
}  // namespace querymesh

QX_MODULE(querymesh, "The question-answering graph: its state record and the graph object.", querymesh::body)
