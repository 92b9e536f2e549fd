// SQLGraph._config_graph: the run configuration every invoke passes to the compiled graph.
#include "querymesh.hpp"
#include "qx/classes.hpp"
#include "qx/python.hpp"

namespace querymesh {
namespace {

py::object config_graph(qx::Call& call) {
    return call.global("RunnableConfig")(py::arg("metadata") = call[1], py::arg("tags") = call[2],
                                         py::arg("max_concurrency") = call[3], py::arg("recursion_limit") = call[4]);
}

}  // namespace

void add_config_graph(py::module_& m, qx::ClassBuilder& cls) {
    // One list for every call that takes the default, as a default value written in a def is.
    py::list default_tags;
    default_tags.append("querymesh");
    const py::object int_type = qx::type_object(qx::int_type());
    cls.method(
        "_config_graph",
        qx::Signature{qx::arg("self"),
                      qx::arg("metadata").annotated(m.attr("Dict")).exactly(qx::dict_type()).defaults(py::none()),
                      qx::arg("tags")
                          .annotated(qx::subscript(m.attr("List"), qx::type_object(qx::str_type())))
                          .exactly(qx::list_type())
                          .defaults(default_tags),
                      qx::arg("max_concurrency")
                          .annotated(qx::subscript(m.attr("Optional"), int_type))
                          .exactly(qx::int_type())
                          .or_none()
                          .defaults(py::int_(20)),
                      qx::arg("recursion_limit").exactly(qx::int_type()).defaults(py::int_(50))}
            .returning(m.attr("RunnableConfig")),
        config_graph);
}

}  // namespace querymesh
