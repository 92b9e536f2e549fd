"""The team's knowledge in the service: its API, who may change it, and feedback that teaches."""

from __future__ import annotations

import pytest
from graph_scripts import CITY_ORDERS_SQL, schema_name
from quorlix.service import Limits
from quorlix.service.auth import load_tokens
from service_support import Answers, build_service, feed, serve_in_thread
from support.databases import build_sample_sqlite

pytestmark = pytest.mark.filterwarnings("ignore:Parameters {'top_p'}:UserWarning")

ADMIN, USER = "admin-token-0123456789", "user-token-0123456789ab"
TOKENS = {ADMIN: "ada", USER: "ulf"}
CITY_SQL = "SELECT city, COUNT(*) FROM customers GROUP BY city"


@pytest.fixture(scope="module")
def module_server(stub_openai_server, tmp_path_factory):
    with pytest.MonkeyPatch.context() as patch:
        for name, value in stub_openai_server.environment().items():
            patch.setenv(name, value)
        sample = build_sample_sqlite(tmp_path_factory.mktemp("db") / "sample.db")
        store = tmp_path_factory.mktemp("store") / "runs.db"
        service = build_service(
            sample.url, f"sqlite:///{store}", Limits(), tokens=TOKENS, admins={"ada"}
        )
        running = serve_in_thread(service)
        yield running
        running.stop()
        service.store.close()


@pytest.fixture
def server(module_server, stub_openai_server):
    stub_openai_server.reset()
    feed(stub_openai_server, Answers())
    knowledge = module_server.service.knowledge
    for example in knowledge.examples():
        knowledge.remove_example(example.id)
    for entry in knowledge.glossary():
        knowledge.remove_term(entry.database, entry.term)
    yield module_server


def ask(client, question: str) -> dict:
    response = client.post("/v1/runs?wait=true", json={"question": question})
    assert response.status_code == 200, response.text
    return response.json()


@pytest.mark.parametrize(
    ("feedback", "learnt"),
    [
        ({"rating": "up"}, {"status": "candidate", "sql": CITY_ORDERS_SQL, "origin": "thumbs-up"}),
        (
            {"rating": "down", "corrected_sql": CITY_SQL},
            {"status": "candidate", "sql": CITY_SQL, "origin": "correction"},
        ),
        ({"rating": "down"}, None),
        ({"rating": "down", "corrected_sql": "DELETE FROM orders"}, "refused"),
        ({"rating": "down", "corrected_sql": "SELECT id FROM orders WHERE id < 0"}, "no rows"),
    ],
)
def test_a_rating_offers_a_verified_candidate_or_says_why_not(server, feedback, learnt):
    with server.client(USER) as client:
        run = ask(client, "Orders per city? [[rated]]")
        answer = client.post(f"/v1/runs/{run['id']}/feedback", json=feedback).json()
    stored = server.service.knowledge.examples()
    if learnt is None:
        assert "candidate" not in answer and stored == []
    elif isinstance(learnt, str):
        assert learnt in answer["candidate"]["refused"] and stored == []
    else:
        assert answer["candidate"] == {"id": stored[0].id, "status": "candidate"}
        kept = {"status": stored[0].status, "sql": stored[0].sql, "origin": stored[0].origin}
        assert kept == learnt and stored[0].run_id == run["id"]
        assert stored[0].question == "Orders per city? [[rated]]"


def test_a_liked_answer_once_accepted_is_given_to_the_next_similar_question(
    server, stub_openai_server
):
    with server.client(USER) as user, server.client(ADMIN) as admin:
        first = ask(user, "Which city placed the most orders? [[first]]")
        offered = user.post(f"/v1/runs/{first['id']}/feedback", json={"rating": "up"}).json()
        before = ask(user, "How many orders came from each city? [[before]]")
        admin.post(f"/v1/knowledge/candidates/{offered['candidate']['id']}/accept")
        after = ask(user, "How many orders came from each city? [[after]]")

    assert before["knowledge"] is None
    assert [e["question"] for e in after["knowledge"]["examples"]] == [first["question"]]
    sql_prompts = {
        tag: request.prompt_text
        for request in stub_openai_server.requests
        if schema_name(request) == "SQLQueryInput"
        for tag in ("[[before]]", "[[after]]")
        if tag in request.prompt_text
    }
    assert "REFERENCE MATERIAL" not in sql_prompts["[[before]]"]
    shown = sql_prompts["[[after]]"].split("REFERENCE MATERIAL", 1)[1]
    assert first["question"] in shown and CITY_ORDERS_SQL in shown


@pytest.mark.parametrize(
    ("token", "method", "path", "body", "status"),
    [
        (None, "GET", "/v1/knowledge/examples", None, 401),
        (USER, "GET", "/v1/knowledge/examples", None, 200),
        (USER, "GET", "/v1/knowledge/glossary", None, 200),
        (USER, "POST", "/v1/knowledge/examples", {"question": "q", "sql": "SELECT 1"}, 403),
        (USER, "POST", "/v1/knowledge/glossary", {"term": "t", "definition": "d"}, 403),
        (USER, "DELETE", "/v1/knowledge/examples/1", None, 403),
        (USER, "GET", "/v1/knowledge/candidates", None, 403),
        (USER, "POST", "/v1/knowledge/candidates/1/accept", None, 403),
        (ADMIN, "POST", "/v1/knowledge/examples", {"question": "q", "sql": "DROP TABLE x"}, 422),
        (ADMIN, "POST", "/v1/knowledge/examples", {"question": "q", "sql": "SELECT 1"}, 201),
        (ADMIN, "DELETE", "/v1/knowledge/examples/999999", None, 404),
        (ADMIN, "POST", "/v1/knowledge/candidates/999999/accept", None, 404),
    ],
)
def test_reading_needs_a_token_and_changing_needs_the_admin_role(
    server, token, method, path, body, status
):
    with server.client(token) as client:
        assert client.request(method, path, json=body).status_code == status


def test_an_admin_reviews_candidates_and_edits_the_glossary(server):
    with server.client(USER) as user, server.client(ADMIN) as admin:
        run = ask(user, "Orders per city? [[review]]")
        candidate = user.post(f"/v1/runs/{run['id']}/feedback", json={"rating": "up"}).json()
        waiting = admin.get("/v1/knowledge/candidates").json()["candidates"]
        accepted = admin.post(f"/v1/knowledge/candidates/{candidate['candidate']['id']}/accept")
        term = {"term": "city", "definition": "Where a customer lives", "synonyms": ["town"]}
        saved = admin.post("/v1/knowledge/glossary", json=term)

        assert [item["id"] for item in waiting] == [candidate["candidate"]["id"]]
        assert accepted.json()["status"] == "accepted"
        listed = user.get("/v1/knowledge/examples").json()["examples"]
        assert [(item["question"], item["sql"]) for item in listed] == [
            ("Orders per city? [[review]]", CITY_ORDERS_SQL)
        ]
        assert saved.json() == {**term, "sql": None}
        assert user.get("/v1/knowledge/glossary").json()["glossary"] == [saved.json()]
        assert admin.delete("/v1/knowledge/glossary/CITY").status_code == 200
        assert user.get("/v1/knowledge/glossary").json()["glossary"] == []


@pytest.mark.parametrize(
    ("entries", "tokens", "roles"),
    [
        (
            "ada:" + "a" * 16 + ":admin, ulf:" + "b" * 16,
            {"a" * 16: "ada", "b" * 16: "ulf"},
            {"ada": "admin"},
        ),
        ("ada:" + "a" * 16 + ":ADMIN ", {"a" * 16: "ada"}, {"ada": "admin"}),
        ("kim:cc:" + "d" * 16, {"cc:" + "d" * 16: "kim"}, {}),  # a colon of the token's own
        ("kim:" + "d" * 16 + ":boss", {"d" * 16 + ":boss": "kim"}, {}),  # no role by that name
    ],
)
def test_a_token_entry_may_name_a_role_in_a_last_column(entries, tokens, roles):
    found: dict[str, str] = {}
    assert load_tokens({"QUORLIX_API_TOKENS": entries}, found) == tokens
    assert found == roles
