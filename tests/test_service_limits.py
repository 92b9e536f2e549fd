"""Limits and failures of ``quorlix serve``: a full queue, the run deadline, a model that fails,
readiness, the store's schema version and its PostgreSQL form, and the token rules."""

from __future__ import annotations

import os
import socket
import sqlite3
import stat

import pytest
from quorlix.cli import main
from quorlix.service import Limits, RunStore, StoreError
from quorlix.service.auth import TokenError, load_tokens
from quorlix.service.store import meta_table
from service_support import Answers, build_service, feed, serve_in_thread, sse_events
from support.databases import build_sample_sqlite
from support.stub_openai import delay, http_error

pytestmark = pytest.mark.filterwarnings("ignore:Parameters {'top_p'}:UserWarning")


@pytest.fixture
def start(stub_azure_env, sqlite_sample_db, tmp_path):
    started = []

    def start(limits: Limits, answers=None, store_url=None, db_url=None, app_options=None, **kw):
        feed(stub_azure_env, answers or Answers())
        store_url = store_url or f"sqlite:///{tmp_path / 'runs.db'}"
        service = build_service(db_url or sqlite_sample_db.url, store_url, limits, **kw)
        running = serve_in_thread(service, **(app_options or {}))
        started.append(running)
        return running

    yield start
    for running in started:
        running.stop()
        running.service.store.close()


def test_a_full_queue_answers_429_with_retry_after(start):
    server = start(Limits(max_runs=1, queue=1), Answers(pause=0.05))
    with server.client() as client:
        answers = [client.post("/v1/runs", json={"question": f"q{n}"}) for n in range(3)]
        assert [response.status_code for response in answers] == [202, 202, 429]
        assert int(answers[2].headers["Retry-After"]) >= 1
        assert server.service.store.count_runs() == 2


def test_a_run_past_its_deadline_fails_with_a_deadline_message(start):
    server = start(Limits(run_deadline=0.5), Answers(pause=0.3))
    with server.client() as client:
        record = client.post("/v1/runs?wait=true", json={"question": "slow"}).json()
        assert record["status"] == "failed"
        assert "did not finish within 0.5 s" in record["error"]
        events = sse_events(client.get(f"/v1/runs/{record['id']}/events").text)
        assert events[-1]["event"] == "end" and events[-1]["data"]["status"] == "failed"
        # The worker freed by the deadline answers the next question.
        server.service.limits.run_deadline = 60
        assert client.post("/v1/runs?wait=true", json={"question": "next"}).json()["status"] in (
            "succeeded"
        )


def test_a_failing_model_fails_the_run_and_the_server_stays_up(start, stub_azure_env):
    server = start(Limits())
    stub_azure_env.reset()
    stub_azure_env.reply(http_error(500, "the deployment is overloaded", retryable=False))
    with server.client() as client:
        record = client.post("/v1/runs?wait=true", json={"question": "any"}).json()
        assert record["status"] == "failed"
        assert record["error"] == (
            "the model service answered HTTP 500: the deployment is overloaded"
        )
        assert "Traceback" not in record["error"]
        assert client.get("/healthz").status_code == 200


def test_a_model_that_does_not_answer_in_time_fails_the_run_in_a_sentence(
    start, stub_azure_env, monkeypatch
):
    monkeypatch.setenv("QUORLIX_REQUEST_TIMEOUT", "1")
    server = start(Limits())
    stub_azure_env.reset()
    stub_azure_env.reply(delay(5, "too late"))
    with server.client() as client:
        record = client.post("/v1/runs?wait=true", json={"question": "any"}).json()
    assert record["status"] == "failed"
    assert record["error"] == (
        "the model service did not answer within 1 s (QUORLIX_REQUEST_TIMEOUT); try again later"
    )


def test_readiness_names_what_is_down(start):
    # Bound and never listening, for the whole test: connections are refused, and no other
    # program can take the port meanwhile.
    with socket.socket() as closed:
        closed.bind(("127.0.0.1", 0))
        port = closed.getsockname()[1]
        server = start(Limits(), model_endpoint=f"http://127.0.0.1:{port}/")
        with server.client() as client:
            response = client.get("/readyz")
    assert response.status_code == 503
    body = response.json()
    assert (body["database"], body["store"]) == ("ok", "ok")
    assert body["model"].startswith(f"cannot reach the model service at 127.0.0.1:{port}")


def test_a_store_from_a_newer_version_is_refused(tmp_path):
    url = f"sqlite:///{tmp_path / 'runs.db'}"
    store = RunStore(url)
    with store.engine.begin() as conn:
        conn.execute(meta_table.update().values(value="99"))
    store.close()
    with pytest.raises(StoreError, match="newer quorlix .*version 99.*Upgrade quorlix"):
        RunStore(url)


def test_runs_are_kept_in_a_postgresql_store(start, pg_database):
    server = start(Limits(), store_url=pg_database.url)
    with server.client() as client:
        record = client.post("/v1/runs?wait=true", json={"question": "[[pg]]"}).json()
        assert record["status"] == "succeeded" and record["answer"] == "Answer: Analysed: pg"
        assert client.get(record["chart_url"]).content.startswith(b"\x89PNG")
        events = sse_events(client.get(f"/v1/runs/{record['id']}/events").text)
    assert [event["data"] for event in events if event["event"] == "step"] == record["steps"]
    assert [event["event"] for event in events][-3:] == ["answer", "step", "end"]


@pytest.mark.parametrize(
    ("tokens", "file_lines", "expected"),
    [
        ("ann:aaaaaaaaaaaaaaaa, ben:bbbbbbbbbbbbbbbb", None, {"ann", "ben"}),
        ("", ["# team", "cat:cccccccccccccccc", ""], {"cat"}),
        ("ann:aaaaaaaaaaaaaaaa", ["ann2:aaaaaaaaaaaaaaaa"], "already given to 'ann'"),
        ("ann:short", None, "shorter than 16"),
        ("justatoken", None, "expected name:token"),
    ],
)
def test_tokens_come_from_the_variable_and_the_file(tmp_path, tokens, file_lines, expected):
    environ = {"QUORLIX_API_TOKENS": tokens}
    if file_lines is not None:
        path = tmp_path / "tokens"
        path.write_text("\n".join(file_lines))
        environ["QUORLIX_API_TOKENS_FILE"] = str(path)
    if isinstance(expected, set):
        assert set(load_tokens(environ).values()) == expected
    else:
        with pytest.raises(TokenError, match=expected):
            load_tokens(environ)


def test_serve_refuses_a_public_address_without_tokens(monkeypatch, capsys):
    monkeypatch.delenv("QUORLIX_API_TOKENS", raising=False)
    monkeypatch.delenv("QUORLIX_API_TOKENS_FILE", raising=False)
    assert main(["serve", "--host", "0.0.0.0", "--port", "0"]) == 2
    message = capsys.readouterr().err
    assert "refusing to listen on 0.0.0.0 without API tokens" in message
    assert "QUORLIX_API_TOKENS" in message and "QUORLIX_API_TOKENS_FILE" in message


@pytest.mark.parametrize("change", ["moved", "replaced"])
def test_readiness_names_a_served_file_moved_or_replaced(start, tmp_path, change):
    served = build_sample_sqlite(tmp_path / "served.db")
    server = start(Limits(), db_url=served.url)
    os.replace(served.path, tmp_path / "away.db")
    if change == "replaced":
        build_sample_sqlite(served.path)
    server.service.db._engine.dispose()  # connections opened from now on
    with server.client() as client:
        ready = client.get("/readyz")
        query = client.post("/v1/sql", json={"sql": "SELECT COUNT(*) FROM customers"})
    assert ready.status_code == 503
    message = ready.json()["database"]
    if change == "moved":
        assert message.startswith(f"the database file {served.path} is gone")
        # Opened read-only, it is not made again, empty, by the new connection.
        assert not served.path.exists()
        assert query.status_code == 422
    else:
        assert message.startswith(f"the database file {served.path} was replaced")
        assert query.status_code == 200


ELSEWHERE = "http://attacker.example:8000"


@pytest.mark.parametrize(
    ("allowed", "method", "headers", "status"),
    [
        ((), "GET", {"Host": "localhost:8000"}, 200),
        ((), "GET", {"Host": "127.0.0.1"}, 200),
        ((), "GET", {"Host": "[::1]:8000"}, 200),
        # DNS rebinding: a name of the attacker's, resolving to this machine.
        ((), "GET", {"Host": "attacker.example:8000"}, 400),
        ((), "GET", {"Host": "127.0.0.1.attacker.example"}, 400),
        ((), "GET", {"Host": ""}, 400),
        (("quorlix.internal", "*.corp.example"), "GET", {"Host": "quorlix.internal:8000"}, 200),
        (("quorlix.internal", "*.corp.example"), "GET", {"Host": "ask.corp.example"}, 200),
        (("quorlix.internal", "*.corp.example"), "GET", {"Host": "corp.example.evil"}, 400),
        # A page elsewhere may not change anything; the page itself and programs may.
        ((), "POST", {"Origin": ELSEWHERE}, 403),
        ((), "POST", {"Origin": "null"}, 403),
        ((), "POST", {"Origin": "http://localhost:3000"}, 403),
        ((), "POST", {"Sec-Fetch-Site": "cross-site"}, 403),
        ((), "POST", {"Origin": "{self}"}, 200),
        ((), "POST", {}, 200),
        ((), "GET", {"Origin": ELSEWHERE}, 200),
    ],
)
def test_a_server_without_tokens_answers_only_its_own_names_and_pages(
    start, allowed, method, headers, status
):
    server = start(Limits(), app_options={"allowed_hosts": allowed})
    headers = {name: value.replace("{self}", server.url) for name, value in headers.items()}
    with server.client() as client:
        if method == "GET":
            response = client.get("/v1/tables", headers=headers)
        else:
            sql = {"sql": "SELECT name FROM customers ORDER BY id LIMIT 1"}
            response = client.post("/v1/sql", json=sql, headers=headers)
    assert response.status_code == status, response.text
    if status == 400:
        assert "--allowed-hosts" in response.json()["detail"]


def test_a_server_with_tokens_answers_any_name(start):
    server = start(Limits(), tokens={"ann-token-0123456789": "ann"})
    with server.client("ann-token-0123456789") as client:
        response = client.get("/v1/tables", headers={"Host": "quorlix.example.com"})
    assert response.status_code == 200


@pytest.mark.parametrize("earlier", [False, True])
def test_the_run_store_is_readable_by_its_owner_only(tmp_path, monkeypatch, earlier):
    home = tmp_path / "home"
    monkeypatch.setenv("QUORLIX_HOME", str(home))
    old_umask = os.umask(0o022)
    try:
        earlier_store = None
        if earlier:  # an earlier version left the folder 0755 and its files 0644
            home.mkdir(mode=0o755)
            earlier_store = sqlite3.connect(home / "runs.db")
            earlier_store.execute("PRAGMA journal_mode=WAL")
            earlier_store.execute("CREATE TABLE kept (x)")
        store = RunStore()
        store.create_run("a" * 32, "ann", "a question", {})
        modes = {path.name: stat.S_IMODE(path.stat().st_mode) for path in home.iterdir()}
        store.close()
        if earlier_store is not None:
            earlier_store.close()
    finally:
        os.umask(old_umask)
    assert stat.S_IMODE(home.stat().st_mode) == 0o700
    assert {"runs.db", "runs.db-wal", "runs.db-shm"} <= set(modes)
    assert set(modes.values()) == {0o600}, modes


def test_a_store_folder_chosen_by_the_user_keeps_its_mode(tmp_path):
    shared = tmp_path / "shared"
    shared.mkdir(mode=0o750)
    os.chmod(shared, 0o750)
    RunStore(f"sqlite:///{shared / 'runs.db'}").close()
    assert stat.S_IMODE(shared.stat().st_mode) == 0o750
    assert stat.S_IMODE((shared / "runs.db").stat().st_mode) == 0o600


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["--allowed-hosts", "ask.*.example"], "not a host name or a pattern like"),
        (["--header-timeout", "0"], "--header-timeout must be more than 0"),
        (["--body-timeout", "-1"], "--body-timeout must be more than 0"),
        (["--max-connections", "0"], "--max-connections must be 1 or more"),
        (["--ray", "--max-connections", "100"], "do not apply with --ray"),
    ],
)
def test_serve_refuses_bad_connection_options(monkeypatch, capsys, args, message):
    monkeypatch.delenv("QUORLIX_API_TOKENS", raising=False)
    monkeypatch.delenv("QUORLIX_API_TOKENS_FILE", raising=False)
    assert main(["serve", "--port", "0", *args]) == 2
    assert message in capsys.readouterr().err
