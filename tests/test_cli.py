"""The quorlix command end to end, in a child process, against the stub model server."""

from __future__ import annotations

import contextlib
import json
import os
import socket
import sqlite3
import subprocess
import sys
from pathlib import Path

import pytest

# The child processes import these; a missing or broken build must fail here, not skip.
import quorlix.dbkeeper  # noqa: F401
import quorlix.querymesh.custom_sql  # noqa: F401
import quorlix.querymesh.querymesh  # noqa: F401
from graph_scripts import ANALYSIS_PATH, SQL_PATH, schema_name
from quorlix.sample import shop
from service_support import Answers, feed
from support.stub_openai import http_error, structured, text

AZURE_VARIABLES = (
    "AZURE_OPENAI_ENDPOINT",
    "AZURE_OPENAI_API_KEY",
    "QUORLIX_CHAT35_DEPLOYMENT",
    "QUORLIX_CHAT4_DEPLOYMENT",
)
DB_VARIABLES = ("db_user", "db_password", "db_host", "db_name")
NODES_IN_ORDER = SQL_PATH + ANALYSIS_PATH
PNG_MAGIC = b"\x89PNG\r\n\x1a\n"

MONTHLY_REVENUE_SQL = (
    "SELECT strftime('%Y-%m', o.order_date) AS month, "
    "ROUND(SUM(i.quantity * i.unit_price), 2) AS revenue "
    "FROM orders o JOIN order_items i ON i.order_id = o.id "
    "WHERE o.order_date LIKE '2024%' GROUP BY month ORDER BY month"
)


@pytest.fixture(scope="module")
def quorlix_home(tmp_path_factory) -> Path:
    """A private home for the sample database, built once for the module."""
    home = tmp_path_factory.mktemp("quorlix-home")
    shop.ensure_shop_database(home / "shop.db")
    return home


def _environment(home: Path, **changes: str | None) -> dict[str, str]:
    env = dict(os.environ)
    # The child must import the very package under test, wherever this process found it.
    env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(entry) for entry in sys.path if entry)
    env["QUORLIX_HOME"] = str(home)
    env.pop("QUORLIX_CONTEXT_FILE", None)
    for name, value in changes.items():
        if value is None:
            env.pop(name, None)
        else:
            env[name] = value
    return env


def quorlix(*args: str, env: dict[str, str], cwd: Path) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-m", "quorlix.cli", *args],
        env=env,
        cwd=cwd,
        capture_output=True,
        text=True,
        timeout=300,
    )


def _error_lines(stderr: str) -> list[str]:
    return [line for line in stderr.splitlines() if line.startswith("quorlix: error:")]


def _analysis_code(chart: Path) -> str:
    return "\n".join(
        [
            "import matplotlib.pyplot as plt",
            "months = ['2024-01', '2024-02', '2024-03']",
            "revenue = [1.0, 3.0, 2.0]",
            "plt.plot(months, revenue)",
            f"plt.savefig({str(chart)!r})",
            "print('peak month: 2024-02')",
        ]
    )


def _script_answer(stub, chart: Path, answer: str) -> None:
    stub.reply(
        structured({"relevant_tables": ["orders", "order_items"]}),
        structured({"sql_query": MONTHLY_REVENUE_SQL}),
        text(MONTHLY_REVENUE_SQL),
        structured({"code": _analysis_code(chart)}),
        structured({"final_response": answer, "image_path": str(chart)}),
    )


def _first_month_revenue(home: Path) -> str:
    with contextlib.closing(sqlite3.connect(home / "shop.db")) as connection:
        month, revenue = connection.execute(MONTHLY_REVENUE_SQL).fetchone()
    return f"('{month}', {revenue})"


# --- the answering run ----------------------------------------------------------------------


def test_ask_shows_progress_sql_answer_and_chart(stub_azure_env, quorlix_home, tmp_path):
    chart = tmp_path / "revenue.png"
    answer = "Revenue peaked in February 2024."
    _script_answer(stub_azure_env, chart, answer)

    done = quorlix(
        "ask",
        "What was the monthly revenue in 2024?",
        "--chart",
        str(chart),
        env=_environment(quorlix_home),
        cwd=tmp_path,
    )

    assert done.returncode == 0, done.stderr
    stub_azure_env.assert_script_consumed()
    positions = [done.stderr.find(f" {node} ") for node in NODES_IN_ORDER]
    assert -1 not in positions and positions == sorted(positions), done.stderr
    assert MONTHLY_REVENUE_SQL in done.stdout
    assert _first_month_revenue(quorlix_home) in done.stdout  # the query really ran
    assert "peak month: 2024-02" in done.stdout
    assert answer in done.stdout
    assert f"Chart: {chart}" in done.stdout
    assert chart.read_bytes().startswith(PNG_MAGIC)
    # The nodes' own diagnostics stay out of the results.
    for noise in ("hahahaha", "General Response prompt"):
        assert noise not in done.stdout and noise not in done.stderr


def test_ask_json_is_the_only_output_on_stdout(stub_azure_env, quorlix_home, tmp_path):
    chart = tmp_path / "revenue.png"
    _script_answer(stub_azure_env, chart, "Here it is.")

    done = quorlix(
        "--verbose",
        "ask",
        "Monthly revenue 2024?",
        "--chart",
        str(chart),
        "--analysis-tries",
        "2",
        "--json",
        env=_environment(quorlix_home),
        cwd=tmp_path,
    )

    assert done.returncode == 0, done.stderr
    state = json.loads(done.stdout)
    assert state["final_response"] == "Here it is."
    assert state["generated_sql_query"] == [MONTHLY_REVENUE_SQL]
    assert state["max_iterations_pandas"] == 2
    assert state["chart_path"] == str(chart)
    # Beside the state's text of the rows, the rows themselves as JSON values.
    with contextlib.closing(sqlite3.connect(quorlix_home / "shop.db")) as connection:
        cursor = connection.execute(MONTHLY_REVENUE_SQL)
        columns = [column[0] for column in cursor.description]
        rows = [list(row) for row in cursor.fetchall()]
    assert state["result"] == {"columns": columns, "rows": rows, "truncated": False}
    # --verbose shows the graph's own lines, on stderr only.
    assert "General Response prompt" in done.stderr


def quorlix_on_terminal(*args: str, env: dict[str, str], cwd: Path) -> tuple[int, list[str], str]:
    """Runs the command with a terminal as its stdout: its exit code, what the terminal got
    read by read, and stderr."""
    import pty
    import select

    main, terminal = pty.openpty()
    child = subprocess.Popen(
        [sys.executable, "-m", "quorlix.cli", *args],
        env=env,
        cwd=cwd,
        stdout=terminal,
        stderr=subprocess.PIPE,
        text=True,
    )
    os.close(terminal)
    reads: list[str] = []
    try:
        while select.select([main], [], [], 300)[0]:
            try:
                data = os.read(main, 65536)
            except OSError:  # the child closed the terminal
                break
            if not data:
                break
            reads.append(data.decode().replace("\r\n", "\n"))
    finally:
        os.close(main)
    stderr = child.stderr.read()
    return child.wait(timeout=60), reads, stderr


@pytest.mark.parametrize(
    ("terminal", "options"),
    [(True, ()), (False, ()), (True, ("--json",))],
)
def test_ask_prints_the_answer_as_it_arrives_only_on_a_terminal(
    stub_azure_env, quorlix_home, tmp_path, terminal, options
):
    chart = tmp_path / "revenue.png"
    answer = "Revenue peaked in February 2024, at its highest of the year."
    stub_azure_env.stream_pace(every_s=0.03, piece_chars=4)
    _script_answer(stub_azure_env, chart, answer)
    args = ("ask", "Monthly revenue 2024?", "--chart", str(chart), *options)
    env = _environment(quorlix_home)

    if terminal:
        code, reads, stderr = quorlix_on_terminal(*args, env=env, cwd=tmp_path)
    else:
        done = quorlix(*args, env=env, cwd=tmp_path)
        code, reads, stderr = done.returncode, [done.stdout], done.stderr

    assert code == 0, stderr
    shown = "".join(reads)
    if options:  # --json: the document alone, on a terminal too
        assert json.loads(shown)["final_response"] == answer
        return
    assert shown.count(answer) == 1 and shown.count("Answer:") == 1
    # On a terminal the answer comes first, in pieces; piped, after the SQL, whole.
    assert (shown.index("Answer:") < shown.index("SQL:")) is terminal
    partial = [read for read in reads if "Answer:" in read and answer not in read]
    assert bool(partial) is terminal


def test_a_stale_chart_is_not_reported(stub_azure_env, quorlix_home, tmp_path):
    chart = tmp_path / "old.png"
    chart.write_bytes(PNG_MAGIC)
    os.utime(chart, (1_000_000, 1_000_000))
    stub_azure_env.reply(
        structured({"relevant_tables": ["orders"]}),
        structured({"sql_query": "SELECT COUNT(*) FROM orders"}),
        text("SELECT COUNT(*) FROM orders"),
        structured({"code": "print('no chart needed')"}),
        structured({"final_response": "Counted.", "image_path": str(chart)}),
    )

    done = quorlix(
        "ask", "How many orders?", "--chart", str(chart), "--json",
        env=_environment(quorlix_home), cwd=tmp_path,
    )  # fmt: skip

    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout)["chart_path"] is None


@pytest.mark.parametrize("debug", [False, True])
def test_model_error_ends_with_one_readable_line(stub_azure_env, quorlix_home, tmp_path, debug):
    stub_azure_env.reply(http_error(500, "the deployment is overloaded", retryable=False))
    flags = ["--debug"] if debug else []

    done = quorlix(*flags, "ask", "How many orders?", env=_environment(quorlix_home), cwd=tmp_path)

    assert done.returncode == 1
    errors = _error_lines(done.stderr)
    assert len(errors) == 1 and "500" in errors[0] and "overloaded" in errors[0], done.stderr
    assert errors[0] == done.stderr.strip().splitlines()[-1]
    assert ("Traceback" in done.stderr) == debug
    assert done.stdout == ""


def test_an_answer_without_rows_exits_3(stub_azure_env, quorlix_home, tmp_path):
    # Every query fails: five corrections, a rewrite of the question and its query.
    feed(stub_azure_env, Answers(sql=lambda question: "SELECT no_such_column FROM orders"))

    done = quorlix(
        "ask", "How many orders?", "--json", env=_environment(quorlix_home), cwd=tmp_path
    )

    assert done.returncode == 3, done.stderr
    state = json.loads(done.stdout)
    assert state["final_response"] and state["execution_success"] is False
    assert state["result"] is None
    assert state["rewritten_question"] and len(state["generated_sql_query"]) > 5
    assert "no SQL query returned rows" in done.stderr


def test_an_unreachable_model_service_is_named(stub_azure_env, quorlix_home, tmp_path):
    with socket.socket() as closed:  # bound, never listening: connections are refused
        closed.bind(("127.0.0.1", 0))
        port = closed.getsockname()[1]
        env = _environment(quorlix_home, AZURE_OPENAI_ENDPOINT=f"http://127.0.0.1:{port}/")
        done = quorlix("ask", "How many orders?", env=env, cwd=tmp_path)

    assert done.returncode == 1
    assert _error_lines(done.stderr) == [
        f"quorlix: error: cannot reach the model service at 127.0.0.1:{port}: Connection "
        "refused (--debug shows the traceback)"
    ]


def test_unknown_table_names_are_left_out_and_the_schemas_read_are_named(
    stub_azure_env, quorlix_home, tmp_path
):
    tracks = tmp_path / "track.csv"
    tracks.write_text("id,name,milliseconds\n1,Intro,61000\n2,Outro,122000\n")
    stub_azure_env.reply(
        structured({"relevant_tables": ["Track", "Foo"]}),
        structured({"sql_query": "SELECT COUNT(*) FROM track"}),
        text("SELECT COUNT(*) FROM track"),
        structured({"code": "print('two tracks')"}),
        structured({"final_response": "There are two tracks.", "image_path": ""}),
    )

    done = quorlix(
        "ask", "How many tracks?", "--db", str(tracks), env=_environment(quorlix_home), cwd=tmp_path
    )

    assert done.returncode == 0, done.stderr
    assert "relevant: track; left out Foo: no such table" in done.stderr
    assert "read the schemas of track" in done.stderr
    writer = [r for r in stub_azure_env.requests if schema_name(r) == "SQLQueryInput"][0]
    assert "CREATE TABLE track" in writer.prompt_text and "Error:" not in writer.prompt_text


def test_a_broken_context_file_is_a_configuration_error(stub_azure_env, quorlix_home, tmp_path):
    env = _environment(quorlix_home, QUORLIX_CONTEXT_FILE=str(tmp_path / "missing.toml"))

    done = quorlix("ask", "How many orders?", env=env, cwd=tmp_path)

    assert done.returncode == 2
    assert "QUORLIX_CONTEXT_FILE" in _error_lines(done.stderr)[0]
    assert "Traceback" not in done.stderr
    assert stub_azure_env.requests == []


# --- configuration and usage errors ---------------------------------------------------------


@pytest.mark.parametrize("removed", [AZURE_VARIABLES, AZURE_VARIABLES[2:]])
def test_missing_model_configuration_names_each_variable(
    stub_azure_env, quorlix_home, tmp_path, removed
):
    env = _environment(quorlix_home, **dict.fromkeys(removed))

    done = quorlix("ask", "How many orders?", env=env, cwd=tmp_path)

    assert done.returncode == 2
    for name in AZURE_VARIABLES:
        assert (name in done.stderr) == (name in removed)
    assert "Traceback" not in done.stderr and done.stdout == ""
    assert stub_azure_env.requests == []


@pytest.mark.parametrize(
    "args",
    [
        ["ask", "   "],
        ["ask", "q", "--analysis-tries", "0"],
        ["ask", "q", "--chart", "chart.txt"],
        ["ask", "q", "--chart", "no/such/dir/chart.png"],
        ["ask", "q", "--db", "not a url"],
        ["ask", "q" * 2001],
        ["tables", "--db", "sqlite:///missing.db"],
        ["graph", "--png", "drawing.svg"],
        ["frobnicate"],
    ],
)
def test_bad_usage_exits_2_without_a_traceback(stub_azure_env, quorlix_home, tmp_path, args):
    done = quorlix(*args, env=_environment(quorlix_home), cwd=tmp_path)

    assert done.returncode == 2, done.stderr
    assert "Traceback" not in done.stderr
    assert done.stderr.strip()
    assert not (tmp_path / "missing.db").exists()  # no empty database made by mistake
    assert stub_azure_env.requests == []


@pytest.mark.parametrize(("length", "refused"), [(2000, False), (2001, True)])
def test_the_question_length_limit_is_the_services(quorlix_home, tmp_path, length, refused):
    # Without model settings a question that passes is refused for those instead.
    env = _environment(quorlix_home, **dict.fromkeys(AZURE_VARIABLES))
    done = quorlix("ask", "q" * length, env=env, cwd=tmp_path)
    assert done.returncode == 2
    assert ("at most 2000 are taken" in done.stderr) == refused, done.stderr
    assert ("AZURE_OPENAI_ENDPOINT" in done.stderr) != refused


def test_version(quorlix_home, tmp_path):
    import quorlix as package

    done = quorlix("--version", env=_environment(quorlix_home), cwd=tmp_path)
    assert done.returncode == 0 and done.stdout.split() == ["quorlix", package.__version__]


# --- tables and graph -----------------------------------------------------------------------


def _sqlite_columns(path: Path) -> dict[str, list[str]]:
    with contextlib.closing(sqlite3.connect(path)) as connection:
        return {
            table: [row[1] for row in connection.execute(f"PRAGMA table_info({table})")]
            for table in shop.TABLES
        }


@pytest.mark.parametrize("database", ["sample", "given"])
def test_tables_lists_tables_and_columns(quorlix_home, tmp_path, database):
    path = quorlix_home / "shop.db"
    args = ["tables"]
    if database == "given":
        path = shop.build_shop_database(tmp_path / "copy.db")
        args += ["--db", f"sqlite:///{path}"]
    expected = _sqlite_columns(path)

    listing = quorlix(*args, env=_environment(quorlix_home), cwd=tmp_path)
    as_json = quorlix(*args, "--json", env=_environment(quorlix_home), cwd=tmp_path)

    assert listing.returncode == 0 and as_json.returncode == 0, listing.stderr + as_json.stderr
    tables = [line for line in listing.stdout.splitlines() if line and not line.startswith(" ")]
    assert sorted(tables) == sorted(expected)
    parsed = json.loads(as_json.stdout)
    assert {table: [c["name"] for c in columns] for table, columns in parsed.items()} == expected


def test_graph_draws_text_and_png_without_model_settings(quorlix_home, tmp_path):
    env = _environment(quorlix_home, **dict.fromkeys(AZURE_VARIABLES))
    drawing = tmp_path / "graph.png"

    as_text = quorlix("graph", env=env, cwd=tmp_path)
    as_png = quorlix("graph", "--png", str(drawing), env=env, cwd=tmp_path)

    assert as_text.returncode == 0, as_text.stderr
    for node in NODES_IN_ORDER:
        assert node in as_text.stdout
    assert as_png.returncode == 0, as_png.stderr
    assert drawing.read_bytes().startswith(PNG_MAGIC)


# --- database utilities ---------------------------------------------------------------------


@pytest.mark.parametrize("command", ["check", "schema"])
def test_db_commands_name_missing_settings(quorlix_home, tmp_path, command):
    env = _environment(quorlix_home, **{**dict.fromkeys(DB_VARIABLES), "db_user": "reader"})

    done = quorlix("db", command, env=env, cwd=tmp_path)

    assert done.returncode == 2
    assert "db_name" in done.stderr and "db_host" in done.stderr
    assert "db_user" not in _error_lines(done.stderr)[0]


def test_db_check_json_reports_settings(quorlix_home, tmp_path):
    values = {"db_user": "reader", "db_password": "s3cret", "db_host": "127.0.0.1", "db_name": "x"}
    env = _environment(quorlix_home, **values)

    done = quorlix("db", "check", "--json", "--port", "5433", env=env, cwd=tmp_path)

    assert done.returncode == 0, done.stderr
    report = json.loads(done.stdout)
    assert report["invalid"] == []
    assert report["settings"]["db_host"] == "127.0.0.1" and report["settings"]["db_port"] == 5433
    assert "s3cret" not in done.stdout


@pytest.mark.parametrize("engine", ["mysql", "postgresql"])
def test_db_schema_lists_a_server_database(quorlix_home, tmp_path, engine, request):
    database = request.getfixturevalue("mysql_database" if engine == "mysql" else "pg_database")
    database.run_sql(
        "CREATE TABLE parcels (id integer PRIMARY KEY, weight_kg numeric(6, 2), label text)"
    )
    values = {
        "db_user": database.user,
        "db_password": database.password,
        "db_host": database.host,
        "db_name": database.name,
    }
    env = _environment(quorlix_home, **values)
    # No --port: the engine's usual port must be used (the utilities themselves default to
    # MySQL's 3306 whatever the engine).
    assert database.port == {"mysql": 3306, "postgresql": 5432}[engine]
    args = ["db", "schema", "--engine", engine]

    as_json = quorlix(*args, "--json", env=env, cwd=tmp_path)
    as_text = quorlix(*args, env=env, cwd=tmp_path)

    assert as_json.returncode == 0, as_json.stderr
    schema = json.loads(as_json.stdout)
    assert [column["name"] for column in schema["parcels"]] == ["id", "weight_kg", "label"]
    assert as_text.returncode == 0 and "weight_kg" in as_text.stdout


@pytest.mark.parametrize("engine", ["mysql", "postgresql"])
def test_db_schema_unreachable_server_is_one_error(quorlix_home, tmp_path, engine):
    values = {"db_user": "reader", "db_password": "pw", "db_host": "127.0.0.1", "db_name": "x"}
    env = _environment(quorlix_home, **values)

    # Port 9 (discard) is closed on a test machine, so the connection is refused at once.
    done = quorlix("db", "schema", "--engine", engine, "--port", "9", env=env, cwd=tmp_path)

    assert done.returncode == 1
    assert len(_error_lines(done.stderr)) == 1, done.stderr
    assert "Traceback" not in done.stderr


def test_readme_documents_every_setting():
    readme = Path(__file__).resolve().parents[1] / "README.md"
    if not readme.is_file():
        pytest.skip("README.md is not beside the tests")
    from quorlix.settings import ENVIRONMENT_VARIABLES

    text = readme.read_text()
    names = [name for name, _, _ in ENVIRONMENT_VARIABLES]
    names += ["QUORLIX_CONTEXT_FILE", "QUORLIX_HOME", *DB_VARIABLES]
    assert [name for name in names if f"| `{name}` |" not in text] == []


@pytest.mark.parametrize(("engine", "warned"), [("sqlite", False), ("postgresql", True)])
def test_tables_warns_about_an_administrator_account(
    quorlix_home, tmp_path, engine, warned, request
):
    args = ["tables"]
    if engine == "postgresql":
        database = request.getfixturevalue("pg_database")
        database.run_sql("CREATE TABLE notes (id int)")
        args += ["--db", database.url]
    done = quorlix(*args, env=_environment(quorlix_home), cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    warnings = [line for line in done.stderr.splitlines() if line.startswith("quorlix: warning:")]
    if warned:
        assert len(warnings) == 1 and "superuser" in warnings[0], done.stderr
    else:
        assert warnings == [], done.stderr
