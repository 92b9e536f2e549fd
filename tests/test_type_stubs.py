"""The type stubs of the extension modules, checked the way a user's IDE or mypy sees them."""

from __future__ import annotations

import os
import re
import site
import subprocess
import sys
import textwrap
from pathlib import Path

import mypy  # noqa: F401  (a test dependency: its absence must fail, not skip)
import pytest
import quorlix

# The stubs name the database wrapper's module, so mypy needs it too.
import quorlix.querymesh.custom_sql  # noqa: F401

# Not resolved: a staged development tree links its sources, and mypy must search the stage.
PACKAGE = Path(os.path.abspath(quorlix.__file__)).parent
STUBS = [
    "querymesh/querymesh.pyi",
    "querymesh/nodewright.pyi",
    "dbkeeper.pyi",
    "codebench.pyi",
    "master.pyi",
]

# Uses the API the way the README shows it; mypy must accept every line.
HOST = """
from quorlix import codebench, dbkeeper, master
from quorlix.querymesh.custom_sql import CustomSQLDatabase
from quorlix.querymesh.nodewright import (
    GenerationOutput,
    SQLExecution,
    handle_sql_error,
    initialisation,
)
from quorlix.querymesh.querymesh import SQLGraph, SQLState
from quorlix.settings import AzureOpenAIChat4, AzureOpenAIChat35


def answer(question: str) -> tuple[str, str | None]:
    db = CustomSQLDatabase.from_uri("sqlite:///shop.db")
    graph = SQLGraph(db, AzureOpenAIChat35(), AzureOpenAIChat4())
    state = graph.invoke(
        {
            "user_question": question,
            "save_path": "chart.png",
            "max_iterations_pandas": 3,
            "pandas_code": "",
            "python_executed_output": "",
        }
    )
    graph.visualize_graph("png", "graph.png")
    queries: list[str] = state["generated_sql_query"]
    print(queries, graph.runnable_config["tags"], graph.compiled_graph.get_graph())
    SQLExecution(db=graph.db).invoke({"generated_sql_query": ["SELECT 1"]})
    return state["final_response"], state.get("image_path")


def budget(state: SQLState) -> int:
    tried: int = state["iteration_count"]
    return state["max_iterations"] - tried


def utilities() -> None:
    dbkeeper.set_database_config("shop", "reader", "secret", "localhost", 5432)
    missing: list[str] = dbkeeper.check_db_config_variables()
    schema = dbkeeper.get_pgdb_schema()
    if schema is not None:
        for table, columns in schema.items():
            print(table, [column["name"] + " " + column["type"] for column in columns])
    rows = dbkeeper.execute_pgdb_query("SELECT 1")
    status: str = dbkeeper.get_db_connection("PostgreSQL", "u", "p", "h", 5432, "d")
    print(missing, rows, status, dbkeeper.db_host)
    master.initialize_env("/tmp/analysis-env")
    master.safe_install_modules(["pandas"])
    printed: str = codebench.execute_code("print(1)")
    path: str | None = codebench.python_executable
    image: str | None = GenerationOutput(final_response="done").image_path
    update: dict = handle_sql_error(initialisation({"user_question": printed, "path": path}))
    print(image, update)
"""

# Each line must draw the error code in its comment, and no other line may draw one.
MISUSE = """
from quorlix import codebench, dbkeeper, master
from quorlix.querymesh.custom_sql import CustomSQLDatabase
from quorlix.querymesh.nodewright import GenerationOutput, SQLGeneration
from quorlix.querymesh.querymesh import SQLGraph, SQLState
from quorlix.settings import AzureOpenAIChat35

db = CustomSQLDatabase.from_uri("sqlite:///shop.db")
graph = SQLGraph(db, AzureOpenAIChat35())  # E: call-arg
graph.visualize_graph(None)  # E: arg-type
graph.invoke("how many orders?")  # E: arg-type
count: int = codebench.execute_code("print(1)")  # E: assignment
dbkeeper.set_database_config("shop", "me", "pw", "host", "5432")  # E: arg-type
master.initialize_env()  # E: call-arg
GenerationOutput(final_response=42)  # E: arg-type
SQLGeneration(db=db)  # E: call-arg
dbkeeper.get_mysql_schema()  # E: attr-defined


def total(state: SQLState) -> int:
    return state["iteration_cont"]  # E: typeddict-item
"""


def _mypy_environment() -> dict[str, str]:
    env = dict(os.environ)
    # stubtest imports the modules: the child must find the very package under test.
    env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(entry) for entry in sys.path if entry)
    root = PACKAGE.parent
    installed = {Path(p) for p in site.getsitepackages() + [site.getusersitepackages()]}
    # An installed package is found through its py.typed marker; a staged development tree has
    # to be named (mypy refuses site-packages on its search path).
    if root not in installed:
        env["MYPYPATH"] = str(root)
    else:
        env.pop("MYPYPATH", None)
    return env


@pytest.fixture(scope="module")
def mypy_report(tmp_path_factory) -> dict[str, list[tuple[int, str, str]]]:
    work = tmp_path_factory.mktemp("mypy")
    (work / "host.py").write_text(textwrap.dedent(HOST))
    (work / "misuse.py").write_text(textwrap.dedent(MISUSE))
    completed = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--python-executable",
            sys.executable,
            "--cache-dir",
            str(work / ".cache"),
            "--no-error-summary",
            "--hide-error-context",
            "--show-error-codes",
            "--warn-unused-ignores",
            "host.py",
            "misuse.py",
        ],
        cwd=work,
        env=_mypy_environment(),
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert completed.returncode in (0, 1), completed.stdout + completed.stderr
    report: dict[str, list[tuple[int, str, str]]] = {}
    for line in completed.stdout.splitlines():
        match = re.match(r"^(.+?):(\d+): error: (.*)  \[([\w-]+)\]$", line)
        if match:
            name, number, message, code = match.groups()
            report.setdefault(Path(name).name, []).append((int(number), code, message))
        elif ": error:" in line:
            report.setdefault("unparsed", []).append((0, "", line))
    return report


def test_stubs_are_installed_beside_the_modules():
    assert (PACKAGE / "py.typed").is_file()
    for stub in STUBS:
        assert (PACKAGE / stub).is_file(), stub


def test_stubs_match_the_compiled_modules(tmp_path):
    # stubtest imports each module and compares every name, parameter and default with the
    # stub, so a renamed parameter or a new public name fails here.
    modules = [
        "quorlix.querymesh.querymesh",
        "quorlix.querymesh.nodewright",
        "quorlix.dbkeeper",
        "quorlix.codebench",
        "quorlix.master",
    ]
    completed = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", "/dev/null", *modules],
        cwd=tmp_path,
        env=_mypy_environment(),
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert completed.returncode == 0, completed.stdout + completed.stderr


def test_host_program_type_checks_cleanly(mypy_report):
    problems = {name: errors for name, errors in mypy_report.items() if name != "misuse.py"}
    assert problems == {}


def _expected() -> list[tuple[int, str]]:
    lines = textwrap.dedent(MISUSE).splitlines()
    return [
        (number, line.split("# E: ")[1].strip())
        for number, line in enumerate(lines, start=1)
        if "# E: " in line
    ]


@pytest.mark.parametrize(("line", "code"), _expected())
def test_misuse_is_reported(mypy_report, line, code):
    found = [(n, c) for n, c, _ in mypy_report.get("misuse.py", [])]
    assert (line, code) in found, mypy_report.get("misuse.py")


def test_misuse_reports_nothing_else(mypy_report):
    expected = set(_expected())
    extra = [e for e in mypy_report.get("misuse.py", []) if (e[0], e[1]) not in expected]
    assert extra == []
