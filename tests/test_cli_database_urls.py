"""``quorlix tables --db`` with every documented form of database: URLs with and without a
driver against the local servers, DuckDB files, data files and folders of them."""

from __future__ import annotations

import contextlib
import json
import shutil
import socket
import sqlite3

import pytest
from quorlix.querymesh.custom_sql import CustomSQLDatabase, QueryTimeoutError
from test_cli import _environment, quorlix, quorlix_home  # noqa: F401 - fixture used by name
from test_duckdb_sources import make_source

PARCELS = "CREATE TABLE parcels (id integer PRIMARY KEY, weight_kg numeric(6, 2), label text)"


@pytest.mark.parametrize(
    ("server", "scheme"),
    [
        ("postgresql", "postgresql"),
        ("postgresql", "postgresql+psycopg2"),
        ("postgresql", "postgresql+psycopg"),
        ("mysql", "mysql"),
        ("mysql", "mysql+pymysql"),
        ("mysql", "mariadb"),
    ],
)
def test_each_url_form_connects(quorlix_home, tmp_path, request, server, scheme):  # noqa: F811
    fixture = "pg_database" if server == "postgresql" else "mysql_database"
    database = request.getfixturevalue(fixture)
    database.run_sql(PARCELS)
    password = f":{database.password}" if server == "mysql" else ""
    url = f"{scheme}://{database.user}{password}@{database.host}:{database.port}/{database.name}"

    done = quorlix("tables", "--db", url, "--json", env=_environment(quorlix_home), cwd=tmp_path)

    assert done.returncode == 0, done.stderr
    listing = json.loads(done.stdout)
    assert [column["name"] for column in listing["parcels"]] == ["id", "weight_kg", "label"]


@pytest.mark.parametrize("kind", ["duckdb", "csv", "parquet", "json", "one csv file"])
def test_duckdb_and_data_files_are_databases(quorlix_home, tmp_path, kind):  # noqa: F811
    given = make_source(kind.split()[-2] if " " in kind else kind, tmp_path / "data")
    expected = ["customers", "items", "orders"]
    if kind == "one csv file":
        given, expected = str(tmp_path / "data" / "orders.csv"), ["orders"]

    done = quorlix("tables", "--db", given, "--json", env=_environment(quorlix_home), cwd=tmp_path)

    assert done.returncode == 0, done.stderr
    listing = json.loads(done.stdout)
    assert sorted(listing) == expected
    assert [column["name"] for column in listing["orders"]] == ["id", "customer_id", "order_date"]


@pytest.mark.parametrize(
    ("given", "message"),
    [
        ("missing.csv", "there is no file or folder at missing.csv"),
        ("duckdb:///missing.duckdb", "DuckDB database file 'missing.duckdb' does not exist"),
        ("empty-folder", "holds no data files"),
    ],
)
def test_missing_data_is_one_usage_error(quorlix_home, tmp_path, given, message):  # noqa: F811
    (tmp_path / "empty-folder").mkdir()
    done = quorlix("tables", "--db", given, env=_environment(quorlix_home), cwd=tmp_path)
    assert done.returncode == 2, done.stderr
    assert message in done.stderr and "Traceback" not in done.stderr


@pytest.mark.parametrize("driver", ["", "+psycopg2"])
def test_both_postgresql_drivers_keep_the_time_limit_and_the_schema(pg_database, driver):
    pg_database.run_sql(PARCELS + "; INSERT INTO parcels VALUES (1, 2.5, 'box')")
    url = pg_database.url.replace("postgresql+psycopg2://", f"postgresql{driver}://")
    db = CustomSQLDatabase.from_uri(url, schema="public", statement_timeout=0.5)
    try:
        with pytest.raises(QueryTimeoutError):
            db.run("SELECT pg_sleep(3)")
        assert db.run("SELECT label FROM parcels") == "[('box',)]"
    finally:
        db._engine.dispose()


@pytest.mark.parametrize("name", ["chinook.db", "chinook.sqlite", "chinook"])
def test_an_sqlite_file_is_known_by_its_content(quorlix_home, tmp_path, name):  # noqa: F811
    shutil.copy(quorlix_home / "shop.db", tmp_path / name)
    with contextlib.closing(sqlite3.connect(tmp_path / name)) as connection:
        expected = sorted(
            row[0]
            for row in connection.execute("SELECT name FROM sqlite_master WHERE type = 'table'")
        )

    done = quorlix("tables", "--db", name, "--json", env=_environment(quorlix_home), cwd=tmp_path)

    assert done.returncode == 0, done.stderr
    assert sorted(json.loads(done.stdout)) == expected


@pytest.mark.parametrize(
    ("given", "message"),
    [
        ("notes.db", "'notes.db' is a file, but not an SQLite database"),
        ("missing.db", "is neither a database URL nor a file; expected e.g. sqlite:///shop.db"),
    ],
)
def test_a_path_that_is_no_database_is_one_usage_error(
    quorlix_home,  # noqa: F811
    tmp_path,
    given,
    message,
):
    (tmp_path / "notes.db").write_text("not a database\n")
    done = quorlix("tables", "--db", given, env=_environment(quorlix_home), cwd=tmp_path)
    assert done.returncode == 2
    assert len(done.stderr.splitlines()) == 1 and message in done.stderr


@pytest.mark.parametrize(
    ("problem", "words"),
    [
        ("closed port", "Connection refused"),
        ("missing database", "does not exist"),
        ("wrong password", "Access denied"),
    ],
)
def test_a_database_that_does_not_answer_is_one_error_before_any_work(
    stub_azure_env,
    quorlix_home,  # noqa: F811
    tmp_path,
    request,
    problem,
    words,
):
    with socket.socket() as closed:  # bound, never listening: connections are refused
        closed.bind(("127.0.0.1", 0))
        if problem == "closed port":
            url = f"postgresql+psycopg2://postgres@127.0.0.1:{closed.getsockname()[1]}/postgres"
        elif problem == "missing database":
            database = request.getfixturevalue("pg_database")
            url = f"postgresql://{database.user}@{database.host}:{database.port}/no_such_database"
        else:
            database = request.getfixturevalue("mysql_database")
            url = f"mysql://{database.user}:wrong@{database.host}:{database.port}/{database.name}"
        done = quorlix(
            "ask", "How many parcels?", "--db", url, env=_environment(quorlix_home), cwd=tmp_path
        )

    assert done.returncode == 1
    said = [line for line in done.stderr.splitlines() if line.startswith("quorlix:")]
    assert len(said) == 1 and said[0].startswith("quorlix: error: cannot connect to the database ")
    assert words in said[0] and ":wrong@" not in said[0]
    assert stub_azure_env.requests == []
