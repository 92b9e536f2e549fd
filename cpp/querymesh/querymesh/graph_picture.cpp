// A PNG picture of a drawable graph, made on this machine: grandalf's Sugiyama layout places the
// nodes in layers, matplotlib's Agg renderer draws them.  Plain edges are solid arrows,
// conditional routes dashed arrows labelled with their route text.  All lengths are points, and
// the figure is sized so that one data unit is one point: the labels then always fit their boxes.
#include <algorithm>
#include <map>
#include <string>
#include <utility>

#include "querymesh.hpp"
#include "qx/python.hpp"

namespace querymesh {
namespace {

constexpr double kCharWidth = 6.0;  // DejaVu Sans at 10 pt, a little generous
constexpr double kBoxPadding = 22.0;
constexpr double kBoxHeight = 28.0;
constexpr double kMargin = 40.0;
constexpr double kLayerGap = 54.0;
constexpr double kDpi = 110.0;

struct Box {
    double x = 0, y = 0, width = 0, height = 0;
    bool terminal = false;  // the runtime's start and end
    py::object patch;
};

bool is_terminal(const std::string& id) {
    return id == "__start__" || id == "__end__";
}

// Places every vertex; returns the centre of each node keyed by node id.
std::map<std::string, Box> layout(const py::object& drawable) {
    py::object vertex_class = py::module_::import("grandalf.graphs").attr("Vertex");
    py::object edge_class = py::module_::import("grandalf.graphs").attr("Edge");
    py::object graph_class = py::module_::import("grandalf.graphs").attr("Graph");
    py::object sugiyama = py::module_::import("grandalf.layouts").attr("SugiyamaLayout");
    py::object view = py::module_::import("types").attr("SimpleNamespace");

    std::map<std::string, Box> boxes;
    py::dict vertices;
    py::list vertex_list;
    for (auto item : py::reinterpret_borrow<py::dict>(drawable.attr("nodes"))) {
        const std::string id = py::str(item.first);
        const std::string label = py::str(item.second.attr("name"));
        Box box;
        box.terminal = is_terminal(id);
        box.width = kCharWidth * static_cast<double>(label.size()) + kBoxPadding;
        box.height = kBoxHeight;
        boxes[id] = box;
        py::object vertex = vertex_class(item.first);
        vertex.attr("view") = view(py::arg("w") = box.width, py::arg("h") = box.height);
        vertices[item.first] = vertex;
        vertex_list.append(vertex);
    }
    py::list edge_list;
    for (py::handle edge : drawable.attr("edges"))
        edge_list.append(edge_class(vertices[edge.attr("source")], vertices[edge.attr("target")]));

    // Components side by side; the runtime's start node heads its component.
    double offset = 0;
    py::object graph = graph_class(vertex_list, edge_list);
    py::list components = graph.attr("C");
    for (py::handle component : components) {
        py::object sug = sugiyama(component);
        sug.attr("xspace") = 36;
        sug.attr("yspace") = kLayerGap;
        py::list roots;
        for (py::handle vertex : component.attr("sV"))
            if (py::str(vertex.attr("data")).equal(py::str("__start__"))) roots.append(vertex);
        if (roots.size() > 0)
            sug.attr("init_all")(py::arg("roots") = roots);
        else
            sug.attr("init_all")();
        sug.attr("draw")();

        double left = 0, right = 0;
        bool first = true;
        for (py::handle vertex : component.attr("sV")) {
            const std::string id = py::str(vertex.attr("data"));
            auto xy = vertex.attr("view").attr("xy").cast<std::pair<double, double>>();
            Box& box = boxes[id];
            box.x = xy.first;
            box.y = xy.second;
            left = first ? box.x - box.width / 2 : std::min(left, box.x - box.width / 2);
            right = first ? box.x + box.width / 2 : std::max(right, box.x + box.width / 2);
            first = false;
        }
        for (py::handle vertex : component.attr("sV")) boxes[py::str(vertex.attr("data"))].x += offset - left;
        offset += right - left + kMargin;
    }
    return boxes;
}

// A downward edge that skips layers bulges away from the boxes of the layers it passes, which
// would otherwise hide it (a positive arc3 bend bulges to the left on screen).
double bend_around_layers_between(const std::map<std::string, Box>& boxes, const Box& from, const Box& to) {
    double sum = 0;
    int count = 0;
    for (const auto& entry : boxes) {
        const Box& box = entry.second;
        if (box.y <= from.y || box.y >= to.y) continue;
        sum += box.x;
        ++count;
    }
    const double middle = (from.x + to.x) / 2;
    return count > 0 && sum / count > middle ? 0.3 : -0.3;
}

}  // namespace

py::bytes render_graph_png(const py::object& drawable) {
    std::map<std::string, Box> boxes = layout(drawable);

    double left = 0, right = 0, top = 0, bottom = 0;
    bool first = true;
    for (const auto& entry : boxes) {
        const Box& box = entry.second;
        left = first ? box.x - box.width / 2 : std::min(left, box.x - box.width / 2);
        right = first ? box.x + box.width / 2 : std::max(right, box.x + box.width / 2);
        top = first ? box.y - box.height / 2 : std::min(top, box.y - box.height / 2);
        bottom = first ? box.y + box.height / 2 : std::max(bottom, box.y + box.height / 2);
        first = false;
    }
    // Room for route labels and arrows bending out beside the boxes.
    left -= 2 * kMargin;
    right += 2 * kMargin;
    top -= kMargin;
    bottom += kMargin;

    py::object figure_class = py::module_::import("matplotlib.figure").attr("Figure");
    py::object patches = py::module_::import("matplotlib.patches");
    py::object figure = figure_class(py::arg("figsize") = py::make_tuple((right - left) / 72.0, (bottom - top) / 72.0),
                                     py::arg("dpi") = kDpi);
    py::object axes = figure.attr("add_axes")(py::make_tuple(0, 0, 1, 1));
    axes.attr("set_xlim")(left, right);
    axes.attr("set_ylim")(bottom, top);  // layers run downwards
    axes.attr("axis")("off");

    py::dict nodes = drawable.attr("nodes");
    for (auto& entry : boxes) {
        Box& box = entry.second;
        const double rounding = box.terminal ? box.height / 2 : 6.0;
        box.patch = patches.attr("FancyBboxPatch")(
            py::make_tuple(box.x - box.width / 2, box.y - box.height / 2), box.width, box.height,
            py::arg("boxstyle") = "round,pad=0,rounding_size=" + std::to_string(rounding),
            py::arg("facecolor") = box.terminal ? "#e4e4e4" : "#eaf1fb",
            py::arg("edgecolor") = box.terminal ? "#555555" : "#2f5597", py::arg("linewidth") = 1.2,
            py::arg("zorder") = 2);
        axes.attr("add_patch")(box.patch);
        axes.attr("text")(box.x, box.y, nodes[py::str(entry.first)].attr("name"), py::arg("ha") = "center",
                          py::arg("va") = "center", py::arg("fontsize") = 10, py::arg("zorder") = 3);
    }

    // Edges between the same two nodes, or running back up the layers, bend so none hides another.
    std::map<std::pair<std::string, std::string>, int> drawn;
    for (py::handle edge : drawable.attr("edges")) {
        const std::string source = py::str(edge.attr("source"));
        const std::string target = py::str(edge.attr("target"));
        const bool conditional = py::bool_(edge.attr("conditional"));
        const Box& from = boxes[source];
        const Box& to = boxes[target];
        const int earlier = drawn[std::minmax(source, target)]++;
        double rad = 0;
        if (to.y <= from.y) rad = 0.45;
        if (to.y - from.y > 1.5 * (kBoxHeight + kLayerGap)) rad = bend_around_layers_between(boxes, from, to);
        if (earlier > 0) rad = (earlier % 2 == 1 ? -0.3 : 0.3) * ((earlier + 1) / 2);
        const char* colour = conditional ? "#b85c00" : "#333333";
        py::object arrow = patches.attr("FancyArrowPatch")(
            py::arg("posA") = py::make_tuple(from.x, from.y), py::arg("posB") = py::make_tuple(to.x, to.y),
            py::arg("arrowstyle") = "-|>", py::arg("mutation_scale") = 12,
            py::arg("connectionstyle") = "arc3,rad=" + std::to_string(rad), py::arg("patchA") = from.patch,
            py::arg("patchB") = to.patch, py::arg("shrinkA") = 1, py::arg("shrinkB") = 1,
            py::arg("linestyle") = conditional ? "--" : "-", py::arg("linewidth") = 1.1, py::arg("color") = colour,
            py::arg("zorder") = 1);
        axes.attr("add_patch")(arrow);

        py::object route = edge.attr("data");
        if (!conditional || route.is_none()) continue;
        // Middle of the arc3 curve: half-way between the centres, pushed out by half its bend (the
        // bend is taken on screen, where y runs the other way).
        const double dx = to.x - from.x, dy = to.y - from.y;
        const double label_x = (from.x + to.x) / 2 - rad * dy / 2;
        const double label_y = (from.y + to.y) / 2 + rad * dx / 2;
        py::dict background;
        background["boxstyle"] = "round,pad=0.15";
        background["facecolor"] = "white";
        background["edgecolor"] = "none";
        background["alpha"] = 0.9;
        axes.attr("text")(label_x, label_y, qx::text(route), py::arg("ha") = "center", py::arg("va") = "center",
                          py::arg("fontsize") = 8, py::arg("color") = colour, py::arg("style") = "italic",
                          py::arg("bbox") = background, py::arg("zorder") = 4);
    }

    py::object bytes_io = py::module_::import("io").attr("BytesIO");
    py::object rendered = bytes_io();
    figure.attr("savefig")(rendered, py::arg("format") = "png", py::arg("dpi") = kDpi, py::arg("facecolor") = "white");
    // Without the alpha channel the picture can be saved in any format the path names, JPEG too.
    rendered.attr("seek")(0);
    py::object opaque = py::module_::import("PIL.Image").attr("open")(rendered).attr("convert")("RGB");
    py::object png = bytes_io();
    opaque.attr("save")(png, py::arg("format") = "PNG");
    return png.attr("getvalue")();
}

}  // namespace querymesh
