"""The settings object: every setting read and checked when a command or the service starts."""

from __future__ import annotations

import sqlite3
from pathlib import Path

import pytest
from quorlix import config
from quorlix.cli import main
from quorlix.config.markdown import readme_tables, tables

ERROR = "quorlix: error: "


@pytest.fixture
def database(tmp_path) -> str:
    path = tmp_path / "notes.db"
    with sqlite3.connect(path) as connection:
        connection.execute("CREATE TABLE notes (id INTEGER PRIMARY KEY, body TEXT)")
        connection.execute("INSERT INTO notes (body) VALUES ('first')")
    return f"sqlite:///{path}"


def _errors(stderr: str) -> list[str]:
    return [line.removeprefix(ERROR) for line in stderr.splitlines() if line.startswith(ERROR)]


@pytest.mark.parametrize(
    ("values", "expected"),
    [
        (
            {"QUORLIX_ANALYSIS_TIMEOUT": "abc"},
            ["QUORLIX_ANALYSIS_TIMEOUT must be a positive number of seconds (got 'abc')"],
        ),
        (
            {"QUORLIX_ANALYSIS_SANDBOX": "strict"},
            ["QUORLIX_ANALYSIS_SANDBOX must be 'required', 'auto' or 'off' (got 'strict')"],
        ),
        (
            {"QUORLIX_DUCKDB_THREADS": "0"},
            ["QUORLIX_DUCKDB_THREADS must be a whole number of threads of at least 1 (got '0')"],
        ),
        (
            {"QUORLIX_ANALYSIS_MEMORY": "100M", "QUORLIX_MAX_RETRIES": "two"},
            [
                "QUORLIX_MAX_RETRIES must be a whole number of at least 0 (got 'two')",
                "QUORLIX_ANALYSIS_MEMORY must be a size in bytes, optionally with a K, M, G or T "
                "suffix of at least 256M (such as 2G) (got '100M')",
            ],
        ),
        (
            {"QUORLIX_API_TOKENS": "ana:short"},
            ["QUORLIX_API_TOKENS entry 1: the token of 'ana' is shorter than 16 characters"],
        ),
    ],
)
def test_a_bad_value_stops_the_command_naming_each_variable(
    stub_azure_env, monkeypatch, capsys, database, values, expected
):
    for name, value in values.items():
        monkeypatch.setenv(name, value)
    assert main(["tables", "--db", database]) == 2
    assert _errors(capsys.readouterr().err) == expected


def test_a_bad_analysis_timeout_stops_ask_before_any_model_call(
    stub_azure_env, monkeypatch, capsys, database
):
    monkeypatch.setenv("QUORLIX_ANALYSIS_TIMEOUT", "abc")
    assert main(["ask", "How many notes are there?", "--db", database]) == 2
    assert _errors(capsys.readouterr().err) == [
        "QUORLIX_ANALYSIS_TIMEOUT must be a positive number of seconds (got 'abc')"
    ]
    assert stub_azure_env.requests == []


def test_serve_refuses_to_start_on_a_bad_value(stub_azure_env, monkeypatch, capsys, database):
    monkeypatch.setenv("QUORLIX_SHORTLIST_THRESHOLD", "many")
    assert main(["serve", "--db", database, "--port", "0"]) == 2
    assert _errors(capsys.readouterr().err) == [
        "QUORLIX_SHORTLIST_THRESHOLD must be a whole number of at least 0 (got 'many')"
    ]


def test_a_ray_replica_refuses_to_start_on_a_bad_value(monkeypatch, database):
    from quorlix.service.ray_serve import QuorlixReplica, ReplicaSpec

    monkeypatch.setenv("QUORLIX_REQUEST_TIMEOUT", "soon")
    with pytest.raises(config.ConfigError, match="^QUORLIX_REQUEST_TIMEOUT must be"):
        QuorlixReplica(ReplicaSpec(db_url=database, store_url="sqlite://"))


def test_readers_use_the_installed_settings_over_the_environment(monkeypatch, tmp_path):
    from quorlix.sample.shop import default_database_path

    monkeypatch.setenv("QUORLIX_HOME", str(tmp_path / "from-environment"))
    chosen = config.Config.from_environ({"QUORLIX_HOME": str(tmp_path / "installed")})
    with config.installed(chosen):
        assert default_database_path() == tmp_path / "installed" / "shop.db"
    assert default_database_path() == tmp_path / "from-environment" / "shop.db"


def test_the_readme_tables_are_the_generated_ones():
    readme = Path(__file__).resolve().parents[1] / "README.md"
    if not readme.is_file():
        pytest.skip("README.md is not beside the tests")
    # Regenerate with: python -m quorlix.config --write README.md
    assert readme_tables(readme.read_text(encoding="utf-8")) == tables()
