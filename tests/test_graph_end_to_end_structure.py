"""The compiled graph's structure and its drawings: the text drawing, a PNG picture made with no
network at all, and the remote Mermaid rendering only when asked for by name."""

from __future__ import annotations

import io
import socket

import pytest
from langchain_core.runnables.graph import Graph, MermaidDrawMethod  # noqa: E402
from PIL import Image

pytestmark = pytest.mark.filterwarnings("ignore:Parameters {'top_p'}:UserWarning")

# Written out rather than taken from quorlix.querymesh.graph_names: these texts are the graph's
# published face, and this is the test that pins them.
PLAIN_EDGES = {
    ("__start__", "init_node"),
    ("init_node", "table_names_lookup_node"),
    ("table_names_lookup_node", "relevant_table_names_node"),
    ("relevant_table_names_node", "relevant_schemas_node"),
    ("relevant_schemas_node", "sql_generation_node"),
    ("rewrite_query_node", "relevant_table_names_node"),
    ("sql_generation_node", "sql_syntax_checker_node"),
    ("sql_syntax_checker_node", "sql_execution_node"),
    ("pandas_generator_node", "pandas_executor_node"),
    ("final_response_generation_node", "__end__"),
    ("pandas_executor_node", "final_response_generation_node"),
}
ROUTES = {
    "pandas_executor_node": {
        "final_response": "final_response_generation_node",
        "pandas_execution_error": "pandas_error_handler_node",
    },
    "sql_execution_node": {
        "pandas_generation": "pandas_generator_node",
        "sql_execution_error": "sql_error_handler_node",
    },
    "sql_error_handler_node": {
        "regenerate_sql_query": "sql_generation_node",
        "terminal_failure_response": "final_response_generation_node",
        "rewrite_query": "rewrite_query_node",
    },
    "pandas_error_handler_node": {
        "regenerate_pandas_code": "pandas_generator_node",
        "terminal_failure_response": "final_response_generation_node",
    },
}
NODES = {name for edge in PLAIN_EDGES for name in edge} | {
    "sql_error_handler_node",
    "pandas_error_handler_node",
}


@pytest.fixture
def graph(build_graph, sqlite_sample_db):
    return build_graph(sqlite_sample_db.url)


@pytest.fixture
def offline(monkeypatch):
    """Any connection attempt away from this machine fails the test."""
    real_connect = socket.socket.connect

    def connect(sock, address):
        if isinstance(address, tuple) and address[0] not in ("127.0.0.1", "::1", "localhost"):
            raise AssertionError(f"network access to {address!r}")
        return real_connect(sock, address)

    monkeypatch.setattr(socket.socket, "connect", connect)
    monkeypatch.setattr(
        socket, "getaddrinfo", lambda *a, **k: pytest.fail(f"name lookup {a[:2]!r}")
    )


def test_structure_of_the_compiled_graph(graph):
    drawable = graph.compiled_graph.get_graph()
    assert set(drawable.nodes) == NODES and len(NODES) == 15

    plain = {(e.source, e.target) for e in drawable.edges if not e.conditional}
    routed = {(e.source, e.target, e.data) for e in drawable.edges if e.conditional}
    assert plain == PLAIN_EDGES
    # LangGraph draws a route to a node that a plain edge already reaches as that plain edge.
    assert routed == {
        (source, target, route)
        for source, mapping in ROUTES.items()
        for route, target in mapping.items()
        if (source, target) not in PLAIN_EDGES
    }
    branches = graph.graph.branches
    assert {
        source: dict(spec.ends) for source, specs in branches.items() for spec in specs.values()
    } == ROUTES
    assert sum(len(spec.ends) for specs in branches.values() for spec in specs.values()) == 9


def test_ascii_drawing_is_printed_and_writes_nothing(graph, capsys, tmp_path, monkeypatch):
    workdir = tmp_path / "work"
    workdir.mkdir()
    monkeypatch.chdir(workdir)
    assert graph.visualize_graph() is None
    drawing = capsys.readouterr().out
    for name in NODES:
        assert name in drawing
    assert list(workdir.iterdir()) == []


@pytest.mark.parametrize(
    ("kind", "file_name", "image_format"),
    [("png", "graph.png", "PNG"), ("ASCII", "graph.png", "PNG"), ("picture", "graph.jpg", "JPEG")],
)
def test_picture_is_drawn_locally_at_the_path(
    graph, offline, tmp_path, capsys, kind, file_name, image_format
):
    path = tmp_path / file_name
    assert graph.visualize_graph(kind, save_graph_path=str(path)) is None
    assert capsys.readouterr().out == ""
    with Image.open(path) as image:
        assert image.format == image_format
        width, height = image.size
    # Fifteen boxes in about a dozen layers: taller than wide, and large enough to read.
    assert 500 < width < height < 4000


def test_default_path_is_in_the_working_directory(graph, offline, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "graph_visualization.png").write_bytes(b"old")
    graph.visualize_graph("png")
    with Image.open(tmp_path / "graph_visualization.png") as image:
        assert image.format == "PNG"


def test_mermaid_api_asks_the_remote_renderer(graph, tmp_path, monkeypatch):
    asked = []
    picture = io.BytesIO()
    Image.new("RGB", (40, 30), "white").save(picture, format="PNG")

    def draw_mermaid_png(self, **keywords):
        asked.append(keywords)
        return picture.getvalue()

    monkeypatch.setattr(Graph, "draw_mermaid_png", draw_mermaid_png)
    graph.visualize_graph("mermaid-api", str(tmp_path / "m.png"))
    assert asked == [{"draw_method": MermaidDrawMethod.API}]
    with Image.open(tmp_path / "m.png") as image:
        assert image.size == (40, 30)


def test_visualization_type_must_be_a_str(graph):
    with pytest.raises(TypeError, match="Argument 'visualization_type' has incorrect type"):
        graph.visualize_graph(None)
