"""Limits and failures of ``quorlix serve``: a full queue, the run deadline, a model that fails,
readiness, the store's schema version and its PostgreSQL form, and the token rules."""

from __future__ import annotations

import socket

import pytest
from quorlix.cli import main
from quorlix.service import Limits, RunStore, StoreError
from quorlix.service.auth import TokenError, load_tokens
from quorlix.service.store import meta_table
from service_support import Answers, build_service, feed, serve_in_thread, sse_events
from support.stub_openai import delay, http_error

pytestmark = pytest.mark.filterwarnings("ignore:Parameters {'top_p'}:UserWarning")


@pytest.fixture
def start(stub_azure_env, sqlite_sample_db, tmp_path):
    started = []

    def start(limits: Limits, answers=None, store_url=None, **kw):
        feed(stub_azure_env, answers or Answers())
        store_url = store_url or f"sqlite:///{tmp_path / 'runs.db'}"
        service = build_service(sqlite_sample_db.url, store_url, limits, **kw)
        running = serve_in_thread(service)
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
    assert [event["data"] for event in events[:-1]] == record["steps"]


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
