"""``quorlix tables --db`` with every documented form of database: URLs with and without a
driver against the local servers, DuckDB files, data files and folders of them."""

from __future__ import annotations

import json

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
