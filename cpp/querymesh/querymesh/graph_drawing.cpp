// SQLGraph.visualize_graph: the graph as a text drawing on standard output, or as a PNG file.
// The picture is drawn on this machine (graph_picture.cpp), so it needs no network; LangChain's
// remote Mermaid service is used only when asked for by name with "mermaid-api".
#include "querymesh.hpp"
#include "qx/classes.hpp"
#include "qx/python.hpp"

namespace querymesh {
namespace {

py::object visualize_graph(qx::Call& call) {
    py::object self = py::reinterpret_borrow<py::object>(call.self());
    py::str visualization_type = py::reinterpret_borrow<py::str>(call[1]);
    py::handle save_graph_path = call[2];

    if (visualization_type.equal(py::str("ascii"))) {
        self.attr("compiled_graph").attr("get_graph")().attr("print_ascii")();
        return py::none();
    }

    // Imported here: a missing image library then affects only this path.
    py::object bytes_io = py::module_::import("io").attr("BytesIO");
    py::object image = py::module_::import("PIL.Image");
    py::object drawable = self.attr("compiled_graph").attr("get_graph")();
    py::object png;
    if (visualization_type.equal(py::str("mermaid-api"))) {
        py::object method = py::module_::import("langchain_core.runnables.graph").attr("MermaidDrawMethod");
        png = drawable.attr("draw_mermaid_png")(py::arg("draw_method") = method.attr("API"));
    } else {
        png = render_graph_png(drawable);
    }
    // Through the image library, so the file format follows the path's extension.
    py::object file = image.attr("open")(bytes_io(png));
    file.attr("save")(save_graph_path);
    return py::none();
}

}  // namespace

void add_visualize_graph(py::module_& m, qx::ClassBuilder& cls) {
    cls.method(
        "visualize_graph",
        qx::Signature{qx::arg("self"), qx::arg("visualization_type").exactly(qx::str_type()).defaults(py::str("ascii")),
                      qx::arg("save_graph_path").exactly(qx::str_type()).defaults(py::str("graph_visualization.png"))}
            .returning(qx::subscript(m.attr("Optional"), qx::type_object(qx::str_type()))),
        visualize_graph,
        "Draw the compiled graph.\n\n"
        "\"ascii\" (the default) prints a text drawing to standard output. Any other type writes a PNG\n"
        "picture, drawn locally without network access, to save_graph_path (the image format follows\n"
        "the file extension). \"mermaid-api\" renders the Mermaid diagram through LangChain's remote\n"
        "rendering service instead and needs internet access.");
}

}  // namespace querymesh
