"""The test harness itself: stub chat server, database fixtures and the sample shop database."""

from __future__ import annotations

import contextlib
import hashlib
import json
import os
import sqlite3
import subprocess
import sys
import time
import urllib.error
import urllib.request
from datetime import date
from pathlib import Path

import openai
import pytest
import sqlalchemy
from langchain_core.messages import HumanMessage, SystemMessage
from pydantic import BaseModel, Field
from quorlix.sample import shop
from support.databases import throwaway_mysql_database, throwaway_pg_database
from support.stub_openai import (
    API_VERSION,
    CHAT4_DEPLOYMENT,
    delay,
    http_error,
    structured,
)


class TablePick(BaseModel):
    """Tables that answer the question."""

    tables: list[str] = Field(description="names of the relevant tables")
    reason: str = Field(description="why they were chosen")


class RowCount(BaseModel):
    """How many rows to fetch."""

    rows: int


# --- stub chat server -------------------------------------------------------------------


def test_plain_text_reaches_the_client_and_the_prompt_is_recorded(stub_llm, make_chat_model):
    stub_llm.reply("There were 42 orders.")
    model = make_chat_model(deployment="chat-test")

    answer = model.invoke([SystemMessage("You count things."), HumanMessage("How many orders?")])

    assert answer.content == "There were 42 orders."
    request = stub_llm.last_request()
    assert request.path == "/openai/deployments/chat-test/chat/completions"
    assert request.deployment == "chat-test"
    assert request.query["api-version"] == API_VERSION
    assert request.headers["api-key"] == "test"
    assert stub_llm.last_messages() == [
        {"role": "system", "content": "You count things."},
        {"role": "user", "content": "How many orders?"},
    ]
    assert request.output_mode == "text"
    assert answer.usage_metadata["total_tokens"] > 0


@pytest.mark.parametrize("model_name", [None, "gpt-4o", "gpt-4o-mini", "gpt-4.1"])
def test_structured_output_by_json_schema(stub_llm, make_chat_model, model_name):
    stub_llm.reply(structured(TablePick(tables=["orders", "customers"], reason="revenue")))
    model = make_chat_model(model=model_name).with_structured_output(TablePick)

    pick = model.invoke("Which tables hold revenue?")

    assert pick == TablePick(tables=["orders", "customers"], reason="revenue")
    body = stub_llm.last_request().body
    assert body["response_format"]["type"] == "json_schema"
    assert body["response_format"]["json_schema"]["name"] == "TablePick"
    assert "tools" not in body


@pytest.mark.filterwarnings("ignore:Cannot use method='json_schema'")
@pytest.mark.parametrize("model_name", ["gpt-35-turbo", "gpt-3.5-turbo", "gpt-4", "gpt-4-turbo"])
def test_structured_output_by_function_calling(stub_llm, make_chat_model, model_name):
    stub_llm.reply({"tables": ["order_items"], "reason": "line totals"})
    model = make_chat_model(model=model_name).with_structured_output(TablePick)

    pick = model.invoke("Which tables hold line totals?")

    assert pick == TablePick(tables=["order_items"], reason="line totals")
    body = stub_llm.last_request().body
    assert "response_format" not in body
    assert [tool["function"]["name"] for tool in body["tools"]] == ["TablePick"]
    assert body["tool_choice"]["function"]["name"] == "TablePick"


def test_structured_reply_is_plain_json_when_no_format_is_asked(stub_llm, make_chat_model):
    stub_llm.reply({"rows": 7})
    answer = make_chat_model().invoke("Give me JSON")
    assert json.loads(answer.content) == {"rows": 7}


def test_several_tools_need_the_reply_to_name_one(stub_llm, make_chat_model):
    model = make_chat_model().bind_tools([TablePick, RowCount])
    stub_llm.reply({"rows": 3}, structured({"rows": 3}, tool="RowCount"))

    with pytest.raises(openai.InternalServerError, match="several tools"):
        model.invoke("how many?")
    message = model.invoke("how many?")

    assert [(call["name"], call["args"]) for call in message.tool_calls] == [
        ("RowCount", {"rows": 3})
    ]


def test_a_callable_reply_answers_from_the_prompt(stub_llm, make_chat_model):
    def by_prompt(request):
        return "about orders" if "orders" in request.prompt_text else "about something else"

    stub_llm.reply(by_prompt, by_prompt)
    model = make_chat_model()

    assert model.invoke("count the orders").content == "about orders"
    assert model.invoke("count the customers").content == "about something else"
    assert stub_llm.pending == 0
    stub_llm.assert_script_consumed()


def test_a_failing_reply_callable_is_reported(stub_llm, make_chat_model):
    def broken(request):
        raise KeyError("no such prompt")

    stub_llm.reply(broken)
    with pytest.raises(openai.InternalServerError, match="callable raised"):
        make_chat_model().invoke("anything")
    assert "KeyError" in stub_llm.errors[0]


@pytest.mark.parametrize(
    ("status", "error"),
    [
        (500, openai.InternalServerError),
        (429, openai.RateLimitError),
        (400, openai.BadRequestError),
    ],
)
def test_http_errors_surface_as_sdk_exceptions(stub_llm, make_chat_model, status, error):
    stub_llm.reply(http_error(status, f"scripted failure {status}"))
    with pytest.raises(error, match=f"scripted failure {status}"):
        make_chat_model().invoke("hello")
    assert len(stub_llm.requests) == 1


def test_the_sdk_retries_a_retryable_error_with_the_next_reply(stub_llm, make_chat_model):
    stub_llm.reply(http_error(503, "busy", headers={"retry-after-ms": "5"}), "second try")
    assert make_chat_model(max_retries=2).invoke("hello").content == "second try"
    assert len(stub_llm.requests) == 2


def test_a_non_retryable_error_is_asked_once(stub_llm, make_chat_model):
    stub_llm.reply(http_error(503, "down for good", retryable=False), "never sent")
    with pytest.raises(openai.InternalServerError, match="down for good"):
        make_chat_model(max_retries=2).invoke("hello")
    assert len(stub_llm.requests) == 1
    assert stub_llm.pending == 1


def test_an_empty_script_fails_loudly_and_is_not_retried(stub_llm, make_chat_model):
    with pytest.raises(openai.InternalServerError, match="script ran out"):
        make_chat_model(max_retries=2).invoke("hello")
    assert len(stub_llm.requests) == 1


def test_a_slow_reply_times_out(stub_llm, make_chat_model):
    stub_llm.reply(delay(5.0, "too late"))
    with pytest.raises(openai.APITimeoutError):
        make_chat_model(timeout=0.3).invoke("hello")


def test_a_short_delay_still_answers(stub_llm, make_chat_model):
    stub_llm.reply(delay(0.2, structured({"rows": 5})))
    started = time.monotonic()
    assert make_chat_model().with_structured_output(RowCount).invoke("n?") == RowCount(rows=5)
    assert time.monotonic() - started >= 0.2


def test_only_chat_completions_are_served(stub_llm):
    request = urllib.request.Request(
        f"{stub_llm.url}/openai/responses",
        data=b"{}",
        method="POST",
        headers={"Content-Type": "application/json"},
    )
    with pytest.raises(urllib.error.HTTPError) as caught:
        urllib.request.urlopen(request, timeout=5)
    assert caught.value.code == 404
    assert "only chat completions" in json.loads(caught.value.read())["error"]["message"]
    assert stub_llm.last_request().path == "/openai/responses"


def test_each_test_starts_with_a_clean_stub(stub_llm):
    assert stub_llm.requests == []
    assert stub_llm.pending == 0
    stub_llm.reply("left over")
    stub_llm.reset()
    assert stub_llm.pending == 0


def test_azure_environment_points_at_the_stub(stub_azure_env):
    from langchain_openai import AzureChatOpenAI

    assert os.environ["AZURE_OPENAI_ENDPOINT"] == stub_azure_env.url
    stub_azure_env.reply("from the environment")
    model = AzureChatOpenAI(
        azure_deployment=os.environ["QUORLIX_CHAT4_DEPLOYMENT"],
        model=os.environ["QUORLIX_CHAT4_MODEL"],
        max_retries=0,
    )

    assert model.invoke("hi").content == "from the environment"
    request = stub_azure_env.last_request()
    assert request.deployment == CHAT4_DEPLOYMENT
    assert request.query["api-version"] == os.environ["OPENAI_API_VERSION"]
    assert request.headers["api-key"] == os.environ["AZURE_OPENAI_API_KEY"]


# --- database fixtures --------------------------------------------------------------------


def test_sqlite_sample_db_holds_its_rows(sqlite_sample_db):
    engine = sqlalchemy.create_engine(sqlite_sample_db.url)
    try:
        with engine.connect() as connection:
            for table, rows in sqlite_sample_db.rows.items():
                stored = connection.execute(sqlalchemy.text(f"SELECT * FROM {table} ORDER BY id"))
                assert [tuple(row) for row in stored] == rows
            spent = connection.execute(
                sqlalchemy.text(
                    "SELECT c.name, SUM(i.quantity * i.price) FROM customers c"
                    " JOIN orders o ON o.customer_id = c.id JOIN items i ON i.order_id = o.id"
                    " WHERE c.id = 1 GROUP BY c.name"
                )
            ).one()
    finally:
        engine.dispose()
    orders_of_1 = {row[0] for row in sqlite_sample_db.rows["orders"] if row[1] == 1}
    expected = sum(
        q * p for _, order, _, q, p in sqlite_sample_db.rows["items"] if order in orders_of_1
    )
    assert spent[1] == pytest.approx(expected)
    assert sqlite_sample_db.path.is_file()
    assert sum(len(rows) for rows in sqlite_sample_db.rows.values()) >= 12


@pytest.fixture(params=["postgresql", "mysql"])
def server_database(request):
    return request.getfixturevalue(
        {"postgresql": "pg_database", "mysql": "mysql_database"}[request.param]
    )


def test_throwaway_database_can_be_set_up_and_queried(server_database):
    server_database.run_sql(
        "CREATE TABLE shelf (id INTEGER PRIMARY KEY, label VARCHAR(40) NOT NULL);"
        "INSERT INTO shelf VALUES (1, 'north'), (2, 'south'), (3, 'east');"
    )
    engine = sqlalchemy.create_engine(server_database.url)
    try:
        with engine.connect() as connection:
            labels = (
                connection.execute(
                    sqlalchemy.text("SELECT label FROM shelf WHERE id > :low ORDER BY id"),
                    {"low": 1},
                )
                .scalars()
                .all()
            )
            tables = sqlalchemy.inspect(connection).get_table_names()
    finally:
        engine.dispose()
    assert labels == ["south", "east"]
    assert tables == ["shelf"]
    assert server_database.query("SELECT COUNT(*) FROM shelf") == [(3,)]
    assert server_database.url.endswith(f"/{server_database.name}")
    assert f"{server_database.host}:{server_database.port}" in server_database.url


@pytest.mark.parametrize(
    ("factory", "catalogue"),
    [
        (throwaway_pg_database, "SELECT datname FROM pg_database"),
        (throwaway_mysql_database, "SHOW DATABASES"),
    ],
)
def test_throwaway_database_is_dropped_despite_open_connections(factory, catalogue):
    with factory() as database:
        engine = sqlalchemy.create_engine(database.url)
        lingering = engine.connect()  # left open on purpose, as a careless test would
        lingering.execute(sqlalchemy.text("SELECT 1"))
        name = database.name
    with factory() as other:
        names = {row[0] for row in other.query(catalogue)}
    assert other.name in names
    assert name not in names
    with contextlib.suppress(Exception):  # its server side is gone; only tidy the client
        lingering.close()
    engine.dispose()


def test_module_scoped_databases_share_one_name(pg_database_module, mysql_database_module):
    assert pg_database_module.query("SELECT current_database()") == [(pg_database_module.name,)]
    assert mysql_database_module.query("SELECT DATABASE()") == [(mysql_database_module.name,)]


# --- sample shop database -------------------------------------------------------------------


def _checksums(path: Path) -> dict[str, str]:
    with contextlib.closing(sqlite3.connect(path)) as connection:
        return {
            table: hashlib.sha256(
                repr(connection.execute(f"SELECT * FROM {table} ORDER BY id").fetchall()).encode()
            ).hexdigest()
            for table in shop.TABLES
        }


@pytest.fixture(scope="module")
def shop_db(tmp_path_factory) -> Path:
    return shop.build_shop_database(tmp_path_factory.mktemp("shop") / "shop.db")


def test_two_builds_hold_identical_rows(shop_db, tmp_path):
    again = shop.build_shop_database(tmp_path / "again.db")
    assert _checksums(again) == _checksums(shop_db)
    assert [p.name for p in tmp_path.iterdir()] == ["again.db"]  # no temporary file left


def test_shop_has_the_expected_tables_and_keys(shop_db):
    expected = {
        "customers": ["id", "name", "email", "city", "country", "signup_date"],
        "products": ["id", "name", "category", "unit_price"],
        "orders": ["id", "customer_id", "order_date", "status"],
        "order_items": ["id", "order_id", "product_id", "quantity", "unit_price"],
    }
    with contextlib.closing(sqlite3.connect(shop_db)) as connection:
        tables = {
            row[0]
            for row in connection.execute("SELECT name FROM sqlite_master WHERE type = 'table'")
        }
        columns = {
            table: [row[1] for row in connection.execute(f"PRAGMA table_info({table})")]
            for table in expected
        }
        keys = {
            (table, row[3], row[2])
            for table in expected
            for row in connection.execute(f"PRAGMA foreign_key_list({table})")
        }
        broken = connection.execute("PRAGMA foreign_key_check").fetchall()
    assert tables == set(expected)
    assert columns == expected
    assert keys == {
        ("orders", "customer_id", "customers"),
        ("order_items", "order_id", "orders"),
        ("order_items", "product_id", "products"),
    }
    assert broken == []


def test_shop_size_dates_and_seasons(shop_db):
    with contextlib.closing(sqlite3.connect(shop_db)) as connection:

        def one(sql):
            return connection.execute(sql).fetchone()

        counts = {t: one(f"SELECT COUNT(*) FROM {t}")[0] for t in shop.TABLES}
        order_span = one("SELECT MIN(order_date), MAX(order_date) FROM orders")
        signup_span = one("SELECT MIN(signup_date), MAX(signup_date) FROM customers")
        early = one(
            "SELECT COUNT(*) FROM orders o JOIN customers c ON c.id = o.customer_id"
            " WHERE o.order_date < c.signup_date"
        )[0]
        empty = one(
            "SELECT COUNT(*) FROM orders WHERE id NOT IN (SELECT order_id FROM order_items)"
        )[0]
        revenue = dict(
            connection.execute(
                "SELECT strftime('%Y-%m', o.order_date), SUM(i.quantity * i.unit_price)"
                " FROM orders o JOIN order_items i ON i.order_id = o.id GROUP BY 1"
            ).fetchall()
        )
    assert 1000 <= counts["orders"] <= 10000
    assert 1000 <= counts["order_items"] <= 20000
    assert counts["customers"] >= 100 and counts["products"] >= 20
    for low, high in (order_span, signup_span):
        assert date(2023, 1, 1) <= date.fromisoformat(low) <= date.fromisoformat(high)
        assert date.fromisoformat(high) <= date(2024, 12, 31)
    assert early == 0 and empty == 0
    assert len(revenue) == 24  # every month of both years has sales
    for year in (2023, 2024):
        q1 = sum(revenue[f"{year}-{m:02d}"] for m in (1, 2, 3))
        q4 = sum(revenue[f"{year}-{m:02d}"] for m in (10, 11, 12))
        assert q4 > 1.3 * q1


def test_default_path_follows_the_environment(monkeypatch, tmp_path):
    monkeypatch.setenv("QUORLIX_HOME", str(tmp_path / "home"))
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "xdg"))
    assert shop.default_database_path() == tmp_path / "home" / "shop.db"
    monkeypatch.delenv("QUORLIX_HOME")
    assert shop.default_database_path() == tmp_path / "xdg" / "quorlix" / "shop.db"
    monkeypatch.setenv("XDG_CACHE_HOME", "relative/ignored")
    monkeypatch.setenv("HOME", str(tmp_path / "user"))
    assert shop.default_database_path() == tmp_path / "user" / ".cache" / "quorlix" / "shop.db"


def test_ensure_builds_once_then_reuses(monkeypatch, tmp_path, shop_db):
    monkeypatch.setenv("QUORLIX_HOME", str(tmp_path))
    built = shop.ensure_shop_database()
    assert built == tmp_path / "shop.db"
    assert _checksums(built) == _checksums(shop_db)
    stamp = built.stat().st_mtime_ns, built.stat().st_ino
    assert shop.ensure_shop_database() == built
    assert (built.stat().st_mtime_ns, built.stat().st_ino) == stamp

    uri = shop.default_database_uri()
    assert uri == f"sqlite:///{built.resolve()}"
    engine = sqlalchemy.create_engine(uri)
    try:
        with engine.connect() as connection:
            orders = connection.execute(sqlalchemy.text("SELECT COUNT(*) FROM orders")).scalar()
    finally:
        engine.dispose()
    assert orders > 1000


@pytest.mark.parametrize("damage", ["garbage", "old_version"])
def test_ensure_rebuilds_a_stale_or_damaged_copy(tmp_path, shop_db, damage):
    target = tmp_path / "shop.db"
    if damage == "garbage":
        target.write_bytes(b"not a database at all" * 100)
    else:
        target.write_bytes(shop_db.read_bytes())
        with contextlib.closing(sqlite3.connect(target)) as connection:
            connection.execute("DELETE FROM order_items WHERE id % 2 = 0")
            connection.execute(f"PRAGMA user_version = {shop.GENERATOR_VERSION + 1}")
            connection.commit()
    assert shop.ensure_shop_database(target) == target
    assert _checksums(target) == _checksums(shop_db)


class _Connection:
    def close(self) -> None:
        pass


def test_an_unreachable_server_skips_with_the_reason_and_is_asked_again(monkeypatch):
    from support import reachability

    probes = []

    def refuse():
        probes.append(1)
        raise ConnectionRefusedError("connection refused")

    monkeypatch.setattr(reachability, "PAUSE_SECONDS", 0)
    monkeypatch.setattr(reachability, "_answered", set())
    with pytest.raises(pytest.skip.Exception, match="Nowhere DB is not reachable: .*refused"):
        reachability.skip_unless_reachable("Nowhere DB", refuse)
    assert len(probes) == reachability.ATTEMPTS
    # A hiccup is not remembered: the next test asks again and runs once the server answers.
    reachability.skip_unless_reachable("Nowhere DB", _Connection)
    reachability.skip_unless_reachable("Nowhere DB", lambda: pytest.fail("asked after it answered"))


def test_a_server_answering_on_a_retry_does_not_skip(monkeypatch):
    from support import reachability

    answers = iter([TimeoutError("slow start"), None])

    def probe():
        failure = next(answers)
        if failure:
            raise failure
        return _Connection()

    monkeypatch.setattr(reachability, "PAUSE_SECONDS", 0)
    monkeypatch.setattr(reachability, "_answered", set())
    reachability.skip_unless_reachable("Slow DB", probe)


SKIPPING_SUITE = """
import pytest

def test_runs():
    pass

def test_skips():
    pytest.skip("no such service here")

@pytest.mark.xfail(reason="known")
def test_known_failure():
    assert False
"""
PASSING_SUITE = "def test_runs():\n    pass\n"


@pytest.mark.parametrize(
    ("suite", "ci", "exit_code", "count"),
    [
        (SKIPPING_SUITE, "true", 1, 1),
        (SKIPPING_SUITE, None, 0, 1),
        (SKIPPING_SUITE, "false", 0, 1),
        (PASSING_SUITE, "true", 0, 0),
    ],
)
def test_ci_fails_a_run_with_any_skip(tmp_path, suite, ci, exit_code, count):
    (tmp_path / "test_suite.py").write_text(suite)
    env = {k: v for k, v in os.environ.items() if k != "CI"}
    if ci is not None:
        env["CI"] = ci
    env["PYTHONPATH"] = os.pathsep.join([str(Path(__file__).parent), env.get("PYTHONPATH", "")])
    done = subprocess.run(
        [sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "-p", "support.skip_gate"]
        + ["-q", str(tmp_path)],
        capture_output=True,
        text=True,
        env=env,
        timeout=120,
        cwd=tmp_path,
    )
    assert done.returncode == exit_code, done.stdout + done.stderr
    assert f"skipped: {count}" in done.stdout.splitlines()
