"""``quorlix mcp`` driven by the MCP SDK's own client, over stdio and over streamable HTTP, with
the stub model and the sample database: the tools it lists, a question asked through it (and
stored like any run), the read-only query wall, and bad calls answered as tool errors."""

from __future__ import annotations

import base64
import contextlib
import os
import re
import select
import subprocess
import sys
import time

import anyio
import httpx
import pytest

# The child processes import these; a missing or broken build must fail here, not skip.
import quorlix.querymesh.querymesh  # noqa: F401
from quorlix.service import RunStore
from quorlix.service.database import ServiceDatabase
from service_support import Answers, feed
from support.databases import build_sample_sqlite
from support.stub_openai import http_error

TOKEN = "mcp-test-token-0123456789"
TOOLS = {"ask", "list_tables", "describe_tables", "run_sql"}
PNG_MAGIC = b"\x89PNG\r\n\x1a\n"


@pytest.fixture(scope="module")
def place(tmp_path_factory) -> dict[str, str]:
    folder = tmp_path_factory.mktemp("mcp")
    database = build_sample_sqlite(folder / "sample.db")
    return {
        "home": str(folder),
        "db": database.url,
        "store": f"sqlite:///{folder / 'runs.db'}",
    }


def child_environment(stub, place) -> dict[str, str]:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(entry) for entry in sys.path if entry)
    env["QUORLIX_HOME"] = place["home"]
    env.pop("QUORLIX_CONTEXT_FILE", None)
    env.update(stub.openai_environment())
    env["QUORLIX_API_TOKENS"] = f"alice:{TOKEN}"
    return env


@pytest.fixture(scope="module")
def http_server(stub_openai_server, place):
    """``quorlix mcp --http`` on a free port, for the whole module."""
    process = subprocess.Popen(
        [sys.executable, "-m", "quorlix.cli", "mcp", "--http", "--port", "0"]
        + ["--db", place["db"], "--store", place["store"]],
        env=child_environment(stub_openai_server, place),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    url = None
    ends = time.monotonic() + 90
    while url is None and time.monotonic() < ends and process.poll() is None:
        ready, _, _ = select.select([process.stdout], [], [], 0.5)
        if ready:
            found = re.search(r"http://127\.0\.0\.1:\d+/mcp", process.stdout.readline())
            url = found.group(0) if found else None
    if url is None:
        process.kill()
        raise AssertionError(f"quorlix mcp --http did not start:\n{process.stderr.read()}")
    yield url
    process.terminate()
    process.wait(timeout=60)


@contextlib.asynccontextmanager
async def connected(transport: str, stub, place, url: str | None):
    from mcp import ClientSession, StdioServerParameters
    from mcp.client.stdio import stdio_client

    if transport == "stdio":
        parameters = StdioServerParameters(
            command=sys.executable,
            args=["-m", "quorlix.cli", "mcp", "--db", place["db"], "--store", place["store"]],
            env=child_environment(stub, place),
        )
        streams = stdio_client(parameters, errlog=open(os.devnull, "w"))  # noqa: SIM115
    else:
        import httpx2
        from mcp.client.streamable_http import streamable_http_client

        client = httpx2.AsyncClient(headers={"Authorization": f"Bearer {TOKEN}"}, timeout=120)
        streams = streamable_http_client(url, http_client=client)
    async with streams as (read, write), ClientSession(read, write) as session:
        await session.initialize()
        yield session


@pytest.fixture(params=["stdio", "http"])
def session_of(request, stub_llm, place):
    """Runs ``scenario(session)`` against a fresh connection over the transport."""
    url = request.getfixturevalue("http_server") if request.param == "http" else None

    def run(scenario):
        async def main():
            async with connected(request.param, stub_llm, place, url) as session:
                return await scenario(session)

        return anyio.run(main)

    run.user = "local" if request.param == "stdio" else "alice"
    return run


def texts(result) -> str:
    return "\n".join(item.text for item in result.content if item.type == "text")


def test_the_four_tools_are_listed_with_strict_schemas_and_their_limits(session_of):
    async def scenario(session):
        return (await session.list_tools()).tools

    tools = {tool.name: tool for tool in session_of(scenario)}

    assert set(tools) == TOOLS
    for tool in tools.values():
        assert tool.input_schema["type"] == "object"
        assert tool.input_schema.get("additionalProperties") is False
    assert tools["run_sql"].input_schema["properties"]["sql"]["maxLength"] == 20_000
    assert tools["describe_tables"].input_schema["properties"]["tables"]["maxItems"] == 20
    assert "20 rows" in tools["run_sql"].description


def test_ask_answers_with_sql_rows_chart_and_run_which_is_stored(session_of, stub_llm, place):
    feed(stub_llm, Answers())
    progress: list[str] = []

    async def on_progress(done, total, message):
        progress.append(message)

    async def scenario(session):
        return await session.call_tool(
            "ask", {"question": "Orders per city? [[mcp]]"}, progress_callback=on_progress
        )

    result = session_of(scenario)

    assert not result.is_error, texts(result)
    run_id = result.structured_content["run_id"]
    assert result.structured_content["answer"] == "Answer: Analysed: mcp"
    assert result.structured_content["sql"].startswith("SELECT customers.city")
    assert result.structured_content["rows"]["columns"] == ["city", "order_count"]
    images = [item for item in result.content if item.type == "image"]
    assert len(images) == 1 and base64.b64decode(images[0].data).startswith(PNG_MAGIC)
    assert f"Run: {run_id}" in texts(result)
    store = RunStore(place["store"])
    try:
        row = store.get_run(run_id, session_of.user)
    finally:
        store.close()
    assert row is not None and row["status"] == "succeeded"
    steps = [f"{step['node']}: {step['summary']}" for step in row["record"]["steps"]]
    assert progress and progress == steps


def test_a_run_that_fails_is_a_tool_error_with_the_reason_and_the_run(session_of, stub_llm):
    stub_llm.reply(*[http_error(400, "This model's maximum context length is 4096 tokens.")] * 5)

    async def scenario(session):
        return await session.call_tool("ask", {"question": "Orders per city?"})

    result = session_of(scenario)

    assert result.is_error
    assert result.structured_content["status"] == "failed"
    assert "maximum context length" in texts(result)
    assert f"Run: {result.structured_content['run_id']}" in texts(result)


def _wall_text(place, sql: str) -> str:
    from quorlix.sql.errors import UnsafeSQLError

    db = ServiceDatabase.from_uri(place["db"])
    try:
        db.query(sql)
    except UnsafeSQLError as exc:
        return str(exc)
    finally:
        db._engine.dispose()
    raise AssertionError(f"the wall let {sql!r} through")


@pytest.mark.parametrize(
    ("sql", "refused"),
    [
        ("SELECT COUNT(*) AS orders FROM orders", False),
        ("DELETE FROM orders", True),
        ("SELECT 1; DROP TABLE customers", True),
    ],
)
def test_run_sql_goes_through_the_read_only_wall(session_of, place, sql, refused):
    async def scenario(session):
        return await session.call_tool("run_sql", {"sql": sql})

    result = session_of(scenario)

    assert result.is_error is refused
    if refused:
        assert texts(result) == _wall_text(place, sql)
    else:
        assert result.structured_content["columns"] == ["orders"]
        assert result.structured_content["rows"] == [[5]]


@pytest.mark.parametrize(
    ("tool", "arguments", "problem"),
    [
        ("run_sql", {}, "sql: Field required"),
        ("run_sql", {"sql": 5}, "sql: Input should be a valid string"),
        ("ask", {"question": "How many orders?", "verbose": True}, "verbose: Extra inputs"),
        ("ask", {"question": "Hi?", "analysis_tries": "3"}, "analysis_tries: Input should be"),
        ("describe_tables", {"tables": []}, "tables: List should have at least 1 item"),
        ("describe_tables", {"tables": ["no_such_table"]}, "no such table: no_such_table"),
        ("drop_everything", {}, "there is no tool 'drop_everything'"),
    ],
)
def test_bad_calls_are_tool_errors_and_the_connection_goes_on(session_of, tool, arguments, problem):
    async def scenario(session):
        failed = await session.call_tool(tool, arguments)
        listed = await session.call_tool("list_tables", {})
        return failed, listed

    failed, listed = session_of(scenario)

    assert failed.is_error
    assert problem in texts(failed)
    assert not listed.is_error and {"customers", "orders"} <= set(texts(listed).split())


@pytest.mark.parametrize("header", [None, "Bearer wrong-token-0123456789", f"Basic {TOKEN}"])
def test_http_refuses_a_request_without_a_valid_token(http_server, header):
    headers = {"Content-Type": "application/json", "Accept": "application/json, text/event-stream"}
    if header:
        headers["Authorization"] = header
    body = {"jsonrpc": "2.0", "id": 1, "method": "tools/list", "params": {}}

    answer = httpx.post(http_server, json=body, headers=headers, timeout=30)

    assert answer.status_code == 401
