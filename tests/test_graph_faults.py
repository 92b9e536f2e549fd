"""Faults around a graph run: the chat model failing in each way the service can fail, and the
database going away in the middle of a run. Every run ends, within the configured time-outs."""

from __future__ import annotations

import contextlib
import socket
import threading
from contextlib import closing

import openai
import pytest
from graph_scripts import CITY_ORDERS_SQL, Responder, schema_name, script
from pydantic import ValidationError  # noqa: E402
from safety_scripts import ByRequest, serve
from support.stub_openai import delay, http_error

pytestmark = pytest.mark.filterwarnings("ignore:Parameters {'top_p'}:UserWarning")

QUESTION = "Which city placed the most orders?"
# Retry-after hints keep the one retry's back-off short.
QUICK_RETRY = {"retry-after-ms": "50"}


def inputs(tmp_path) -> dict:
    return {
        "user_question": QUESTION,
        "save_path": str(tmp_path / "chart.png"),
        "max_iterations_pandas": 1,
        # Read by the final node, which a run that never gets a query through reaches first.
        "pandas_code": "(no program)",
        "python_executed_output": "(no output)",
    }


@pytest.mark.parametrize(
    ("fault", "retries", "expected", "requests"),
    [
        (
            http_error(500, "the deployment failed", headers=QUICK_RETRY),
            1,
            openai.InternalServerError,
            2,
        ),
        (http_error(500, "the deployment failed"), 0, openai.InternalServerError, 1),
        (http_error(429, "rate limit reached", headers=QUICK_RETRY), 1, openai.RateLimitError, 2),
        (delay(2.0, then={"sql_query": CITY_ORDERS_SQL}), 0, openai.APITimeoutError, 1),
        ({"unexpected_field": 42}, 0, ValidationError, 1),
    ],
    ids=["500-retried", "500", "429-retried", "time-out", "not-the-record"],
)
def test_a_failing_model_ends_the_run_with_a_clear_exception(
    fault,
    retries,
    expected,
    requests,
    build_graph,
    sqlite_sample_db,
    stub_llm,
    monkeypatch,
    tmp_path,
):
    # The settings' time-out and retry count must reach the clients the graph builds.
    monkeypatch.setenv("QUORLIX_REQUEST_TIMEOUT", "1")
    monkeypatch.setenv("QUORLIX_MAX_RETRIES", str(retries))
    responder = script(stub_llm, Responder([fault], ["print('unused')"]), replies=10)
    graph = build_graph(sqlite_sample_db.url)

    with pytest.raises(expected):
        graph.invoke(inputs(tmp_path))

    asked = [schema_name(request) for request in stub_llm.requests]
    assert asked.count("SQLQueryInput") == requests
    assert responder.asked.count("SQLQueryInput") == requests
    assert "GenerationOutput" not in asked


class CuttableProxy:
    """A TCP relay on 127.0.0.1 in front of a server; cut() drops every connection at once and
    stops listening, as a database host going down would look to its clients."""

    def __init__(self, upstream: tuple[str, int]) -> None:
        self.upstream = upstream
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.sockets: list[socket.socket] = []
        self.lock = threading.Lock()
        self.cut_done = threading.Event()
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self) -> None:
        while not self.cut_done.is_set():
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            if self.cut_done.is_set():
                client.close()
                return
            server = socket.create_connection(self.upstream)
            with self.lock:
                self.sockets += [client, server]
            for source, target in ((client, server), (server, client)):
                threading.Thread(target=self._pump, args=(source, target), daemon=True).start()

    @staticmethod
    def _pump(source: socket.socket, target: socket.socket) -> None:
        with closing(source):
            while data := _receive(source):
                try:
                    target.sendall(data)
                except OSError:
                    return

    def cut(self) -> None:
        self.cut_done.set()
        # Closing alone would leave a thread blocked in accept() still accepting.
        with contextlib.suppress(OSError):
            self.listener.shutdown(socket.SHUT_RDWR)
        self.listener.close()
        with self.lock:
            for each in self.sockets:
                with contextlib.suppress(OSError):
                    each.shutdown(socket.SHUT_RDWR)


def _receive(source: socket.socket) -> bytes:
    try:
        return source.recv(65536)
    except OSError:
        return b""


def test_a_database_that_goes_down_mid_run_ends_on_the_recorded_failure_path(
    build_graph, pg_database, stub_llm, monkeypatch, tmp_path
):
    from support.databases import SAMPLE_ROWS, SAMPLE_SCHEMA

    pg_database.run_sql(SAMPLE_SCHEMA)
    for table, rows in SAMPLE_ROWS.items():
        values = ", ".join(repr(tuple(row)) for row in rows)
        pg_database.run_sql(f"INSERT INTO {table} VALUES {values}")
    proxy = CuttableProxy((pg_database.host, pg_database.port))
    url = pg_database.url.replace(f":{pg_database.port}/", f":{proxy.port}/")

    def sql_after_cutting(prompt: str) -> str:
        # The schemas were read through the proxy; the database goes away before the query.
        proxy.cut()
        return CITY_ORDERS_SQL

    monkeypatch.setenv("QUORLIX_REQUEST_TIMEOUT", "5")
    serve(stub_llm, ByRequest(sql_after_cutting), replies=40)
    graph = build_graph(url)
    # Table descriptions are read lazily and cached; the rewrite step wants every table's, so
    # read them now, as a wrapper that has served questions before would have: only the
    # queries meet the dead connection.
    graph.db.get_table_info()

    final = graph.invoke(inputs(tmp_path))

    assert proxy.cut_done.is_set()
    attempts = final["sql_execution_result"]
    # Every attempt after the cut failed on the connection and was fed back; the answer is
    # written over the last failure.
    assert len(attempts) == len(final["generated_sql_query"]) > 1
    # Statements run over psycopg 3 whatever driver the URL names.
    assert all(attempt.startswith("(psycopg.OperationalError)") for attempt in attempts)
    assert final["final_response"] == "From the analysis: (no output)"
    assert not stub_llm.errors
