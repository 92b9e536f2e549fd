"""Threads over the HTTP API: a follow-up is restated from the thread's earlier runs before the
graph runs, the restatement is stored with the run, and a thread is its owner's alone."""

from __future__ import annotations

import pytest
from graph_scripts import CITY_ORDERS_SQL
from quorlix.answering.follow_up import FOLLOW_UP_STEP
from quorlix.service import Limits
from service_support import FOLLOW_UP_MARK, Answers, build_service, feed, serve_in_thread
from support.databases import build_sample_sqlite

pytestmark = pytest.mark.filterwarnings("ignore:Parameters {'top_p'}:UserWarning")

ALICE, BOB = "alice-thread-token-0123", "bob-thread-token-456789"
TOKENS = {ALICE: "alice", BOB: "bob"}


@pytest.fixture(scope="module")
def module_server(stub_openai_server, tmp_path_factory):
    sample = build_sample_sqlite(tmp_path_factory.mktemp("db") / "sample.db")
    with pytest.MonkeyPatch.context() as patch:
        for name, value in stub_openai_server.environment().items():
            patch.setenv(name, value)
        store = tmp_path_factory.mktemp("store") / "runs.db"
        service = build_service(sample.url, f"sqlite:///{store}", Limits(), tokens=TOKENS)
        running = serve_in_thread(service)
        yield running
        running.stop()
        service.store.close()


@pytest.fixture
def server(module_server, stub_openai_server):
    stub_openai_server.reset()
    feed(stub_openai_server, Answers())
    return module_server


def follow_up_prompts(stub) -> list[str]:
    return [r.prompt_text for r in stub.requests if FOLLOW_UP_MARK in r.prompt_text]


def test_a_follow_up_is_restated_from_the_thread_and_stored(server, stub_openai_server):
    with server.client(ALICE) as client:
        started = client.post(
            "/v1/threads?wait=true", json={"question": "How many orders per city? [[a]]"}
        )
        assert started.status_code == 201, started.text
        thread = started.json()
        first = thread["run"]
        assert first["status"] == "succeeded" and first["thread_id"] == thread["id"]
        # The first question of a thread costs nothing extra.
        assert first["standalone_question"] is None
        assert FOLLOW_UP_STEP not in first["usage"]["by_node"]
        assert follow_up_prompts(stub_openai_server) == []

        asked = client.post(
            f"/v1/threads/{thread['id']}/runs?wait=true", json={"question": "Only Dublin? [[b]]"}
        )
        assert asked.status_code == 200, asked.text
        second = asked.json()
        assert (
            second["standalone_question"] == "Only Dublin? [[b]] (after: How many orders per city?)"
        )
        assert second["answer"] == "Answer: Analysed: b"
        assert second["usage"]["by_node"][FOLLOW_UP_STEP]["model_calls"] == 1
        [prompt] = follow_up_prompts(stub_openai_server)
        # Earlier SQL and the shape of its result reach the model; its rows never do.
        assert CITY_ORDERS_SQL in prompt
        assert "4 rows with columns city, order_count" in prompt
        assert "Dublin" not in prompt.replace("Only Dublin?", "")

        whole = client.get(f"/v1/threads/{thread['id']}").json()
        assert [run["id"] for run in whole["runs"]] == [first["id"], second["id"]]
        assert whole["title"] == "How many orders per city? [[a]]" and whole["run_count"] == 2
        assert client.get(f"/v1/runs/{second['id']}").json() == second


def test_threads_page_newest_first(server):
    with server.client(ALICE) as client:
        before = {
            t["id"] for t in client.get("/v1/threads", params={"limit": 100}).json()["threads"]
        }
        made = [client.post("/v1/threads", json={}).json()["id"] for _ in range(3)]
        first = client.get("/v1/threads", params={"limit": 2}).json()
        second = client.get("/v1/threads", params={"limit": 2, "cursor": first["next_cursor"]})
        listed = [t["id"] for t in first["threads"] + second.json()["threads"]]
        assert [i for i in listed if i not in before] == made[::-1]
        assert first["threads"][0]["run_count"] == 0 and first["threads"][0]["title"] is None


@pytest.mark.parametrize(
    ("token", "method", "path", "body", "status"),
    [
        (BOB, "GET", "/v1/threads/{id}", None, 404),
        (BOB, "POST", "/v1/threads/{id}/runs", {"question": "Mine now?"}, 404),
        (None, "GET", "/v1/threads", None, 401),
        (ALICE, "GET", "/v1/threads/{id}", None, 200),
        (ALICE, "POST", "/v1/threads", {"question": "   "}, 422),
        (ALICE, "POST", "/v1/threads", {"colour": "red"}, 422),
        (ALICE, "GET", "/v1/threads?cursor=abc", None, 422),
    ],
)
def test_a_thread_is_its_owners_alone(server, token, method, path, body, status):
    with server.client(ALICE) as alice:
        thread_id = alice.post("/v1/threads", json={}).json()["id"]
    with server.client(token) as client:
        response = client.request(method, path.format(id=thread_id), json=body)
    assert response.status_code == status, response.text
    with server.client(BOB) as bob:
        assert all(t["id"] != thread_id for t in bob.get("/v1/threads").json()["threads"])
    assert server.service.store.thread_runs(thread_id) == []


def test_a_run_asked_on_its_own_starts_a_thread_that_can_be_continued(server):
    with server.client(ALICE) as client:
        alone = client.post("/v1/runs?wait=true", json={"question": "Orders per city? [[c]]"})
        run = alone.json()
        assert run["thread_id"] == run["id"] and run["standalone_question"] is None
        more = client.post(f"/v1/threads/{run['id']}/runs?wait=true", json={"question": "[[d]]?"})
        assert more.json()["standalone_question"] == "[[d]]? (after: Orders per city?)"
        listed = client.get("/v1/threads").json()["threads"][0]
        assert (listed["first_run_id"], listed["last_run_id"]) == (run["id"], more.json()["id"])


def test_a_long_threads_follow_up_reads_only_the_turns_it_shows(server):
    from quorlix.service.follow_ups import thread_turns

    store = server.service.store
    store.create_thread("1" * 32, "alice")
    for n in range(8):
        store.create_run(f"{n:032d}", "alice", f"Question {n}?", {}, thread_id="1" * 32)
    turns, skipped = thread_turns(store, "1" * 32, run_id=f"{7:032d}")
    assert [turn.question for turn in turns] == [f"Question {n}?" for n in range(2, 7)]
    assert skipped == 2
