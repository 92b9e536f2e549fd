"""DuckDB files and CSV / Parquet / JSON files as databases: whole graph runs over them, and the
walls around them (read-only, no file beyond the given data, a time limit, bounded results)."""

from __future__ import annotations

import hashlib
import time
from pathlib import Path

import duckdb
import pytest
import sqlalchemy
from graph_scripts import ANALYSIS_PROGRAM, CITY_ORDERS_SQL, Responder, run_counting, script
from quorlix.querymesh import querymesh
from quorlix.querymesh.custom_sql import CustomSQLDatabase, QueryTimeoutError, UnsafeSQLError
from quorlix.settings import AzureOpenAIChat4, AzureOpenAIChat35
from quorlix.sql import database
from quorlix.sql.engines.duckdb import bounds as duckdb_bounds
from quorlix.sql.engines.duckdb.sources import DataSourceError
from support.databases import SAMPLE_ROWS, SAMPLE_SCHEMA

pytestmark = pytest.mark.filterwarnings("ignore:Parameters {'top_p'}:UserWarning")

COLUMNS = {
    "customers": ["id", "name", "city"],
    "orders": ["id", "customer_id", "order_date"],
    "items": ["id", "order_id", "product", "quantity", "price"],
}


def _sample_in_duckdb(connection) -> None:
    connection.execute(SAMPLE_SCHEMA)
    for table, rows in SAMPLE_ROWS.items():
        connection.executemany(
            f"INSERT INTO {table} VALUES ({', '.join('?' * len(rows[0]))})", rows
        )


def make_source(kind: str, folder: Path) -> str:
    """The sample shop as ``kind``; returns what --db / from_uri is given."""
    folder.mkdir()
    if kind == "duckdb":
        path = folder / "shop.duckdb"
        with duckdb.connect(str(path)) as connection:
            _sample_in_duckdb(connection)
        return f"duckdb:///{path}"
    with duckdb.connect() as connection:
        _sample_in_duckdb(connection)
        for table in SAMPLE_ROWS:
            target = folder / f"{table}.{kind}"
            options = {"csv": "FORMAT csv, HEADER", "parquet": "FORMAT parquet"}.get(
                kind, "FORMAT json, ARRAY true"
            )
            connection.execute(f"COPY {table} TO '{target}' ({options})")
    return str(folder)


def _fingerprint(folder: Path) -> dict[str, str]:
    return {
        str(path.relative_to(folder)): hashlib.sha256(path.read_bytes()).hexdigest()
        for path in sorted(folder.rglob("*"))
        if path.is_file()
    }


@pytest.fixture(params=["duckdb", "csv", "parquet", "json"])
def source(request, tmp_path):
    given = make_source(request.param, tmp_path / "data")
    db = CustomSQLDatabase.from_uri(given, statement_timeout=2, max_rows=3)
    yield db, tmp_path / "data"
    db._engine.dispose()


def test_a_whole_run_answers_from_the_files(source, stub_azure_env, stub_llm, tmp_path):
    db, _ = source
    chart = tmp_path / "chart.png"
    script(stub_llm, Responder([CITY_ORDERS_SQL], [ANALYSIS_PROGRAM], str(chart)))
    graph = querymesh.SQLGraph(db, AzureOpenAIChat35(), AzureOpenAIChat4())
    inputs = {"user_question": "Which city?", "save_path": str(chart), "max_iterations_pandas": 1}

    runs, final = run_counting(graph, inputs)

    assert runs["sql_execution_node"] == 1 and runs["sql_error_handler_node"] == 0
    assert final["table_names_from_db"] == "customers, items, orders"
    schemas = final["schemas_from_relevant_tables"]
    assert "CREATE TABLE customers" in schemas and "Ada Byrne" in schemas
    assert "('Dublin', 2)" in final["sql_execution_result"][0]
    assert final["final_response"].startswith("From the analysis: Busiest city: Dublin")


def test_columns_and_bounded_results(source):
    db, _ = source
    listing = db.describe_columns()
    assert {table: [c for c, _ in columns] for table, columns in listing.items()} == COLUMNS
    rows = db.run("SELECT id FROM items ORDER BY id")
    assert rows.startswith("[(1,), (2,), (3,)]") and "more rows" in rows


def test_a_long_query_is_interrupted_at_the_time_limit(source):
    db, _ = source
    with pytest.raises(QueryTimeoutError):
        db.run("SELECT count(*) FROM range(100000000000) AS a(x) WHERE x % 7 = 3")
    assert db.run("SELECT count(*) FROM customers") == "[(4,)]"


OUTSIDE = "@OUT@"
HOSTILE_DUCKDB = [
    "COPY customers TO '@OUT@/stolen.csv'",
    "COPY (SELECT * FROM customers) TO '@OUT@/stolen.parquet' (FORMAT parquet)",
    "EXPORT DATABASE '@OUT@/export'",
    "ATTACH '@OUT@/new.duckdb' AS other",
    "ATTACH ':memory:' AS scratch",
    "DETACH catalogue",
    "USE system",
    "INSTALL httpfs",
    "FORCE INSTALL httpfs",
    "LOAD httpfs",
    "LOAD '@OUT@/evil.duckdb_extension'",
    "SET enable_external_access = true",
    "RESET enable_external_access",
    "SET allowed_directories = ['/']",
    "SET lock_configuration = false",
    "SET profiling_output = '@OUT@/profile.json'",
    "PRAGMA enable_profiling",
    "SELECT * FROM read_csv('/etc/passwd')",
    "SELECT * FROM read_csv(['/etc/passwd', '/etc/hostname'])",
    "SELECT * FROM READ_CSV ('/etc/passwd')",
    "SELECT * FROM \"read_csv\"('/etc/passwd')",
    "SELECT * FROM read_csv_auto('/etc/passwd')",
    "SELECT * FROM read_text('/etc/hostname')",
    "SELECT * FROM read_blob('/etc/hostname')",
    "SELECT * FROM glob('/etc/*')",
    "SELECT * FROM sniff_csv('/etc/passwd')",
    "SELECT * FROM read_json('/etc/passwd')",
    "SELECT * FROM parquet_metadata('@OUT@/x.parquet')",
    "SELECT * FROM '/etc/passwd'",
    "SELECT * FROM customers JOIN '/etc/hostname' ON true",
    "SELECT * FROM customers, '/etc/hostname'",
    "SELECT * FROM customers, (FROM '/etc/hostname')",
    'SELECT * FROM "/etc/hostname"',
    "FROM read_csv('/etc/passwd')",
    "WITH f AS (SELECT * FROM read_csv('/etc/passwd')) SELECT * FROM f",
    "SELECT (SELECT count(*) FROM read_text('/etc/hostname'))",
    "SELECT * FROM query('COPY customers TO ''@OUT@/q.csv''')",
    "SELECT * FROM query_table('customers')",
    "SELECT getenv('HOME')",
    "SELECT * FROM duckdb_secrets()",
    "CREATE SECRET (TYPE s3, KEY_ID 'k', SECRET 's')",
    "CREATE TABLE copy AS SELECT * FROM customers",
    "CREATE TEMP TABLE scratch (x INTEGER)",
    "CREATE MACRO twice(x) AS x * 2",
    "CREATE VIEW v AS SELECT 1",
    "INSERT INTO customers VALUES (9, 'Eve', 'Nowhere')",
    "UPDATE customers SET city = 'Nowhere'",
    "DELETE FROM customers",
    "DROP VIEW customers",
    "DROP TABLE customers",
    "ALTER TABLE customers RENAME TO clients",
    "CHECKPOINT",
    "VACUUM",
    "BEGIN TRANSACTION",
    "SELECT 1; COPY customers TO '@OUT@/two.csv'",
    "CALL enable_logging()",
]


def test_the_duckdb_hostile_corpus_is_refused_and_no_file_changes(source, tmp_path):
    db, data = source
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "x.parquet").write_bytes(b"PAR1 not really")
    before_data, before_outside = _fingerprint(data), _fingerprint(outside)

    let_through = []
    for statement in HOSTILE_DUCKDB:
        statement = statement.replace(OUTSIDE, str(outside))
        try:
            result = db.run(statement)
        except (UnsafeSQLError, sqlalchemy.exc.SQLAlchemyError):
            continue
        let_through.append((statement, result))

    assert let_through == []
    assert _fingerprint(outside) == before_outside
    assert _fingerprint(data) == before_data
    assert db.run("SELECT count(*) FROM customers") == "[(4,)]"
    assert db.run("SELECT current_setting('enable_external_access')") == "[(False,)]"


def test_a_writable_duckdb_engine_is_refused(tmp_path):
    path = Path(make_source("duckdb", tmp_path / "data").removeprefix("duckdb:///"))
    engine = sqlalchemy.create_engine(f"duckdb:///{path}")
    db = CustomSQLDatabase(engine)
    try:
        with pytest.raises(PermissionError, match="open for writing. Open it read-only"):
            db.run("SELECT 1")
    finally:
        engine.dispose()


@pytest.mark.parametrize(
    ("layout", "error"),
    [
        ({"a.txt": "x"}, "holds no data files"),
        ({"Sales.csv": "a\n1\n", "sales.json": "[]"}, "would both be the table 'sales'"),
        ({"bad.parquet": "not parquet"}, "cannot read"),
    ],
)
def test_data_that_cannot_be_served_is_explained(tmp_path, layout, error):
    folder = tmp_path / "data"
    folder.mkdir()
    for name, content in layout.items():
        (folder / name).write_text(content)
    with pytest.raises(DataSourceError, match=error):
        CustomSQLDatabase.from_uri(str(folder))


def test_file_names_become_table_names(tmp_path):
    folder = tmp_path / "data"
    folder.mkdir()
    (folder / "Monthly Sales-2024.csv").write_text("month,total\n1,10\n2,20\n")
    (folder / "2023.csv").write_text("month,total\n1,5\n")
    db = CustomSQLDatabase.from_uri(str(folder))
    try:
        assert db.get_usable_table_names() == ["monthly_sales_2024", "t_2023"]
        assert db.run("SELECT sum(total) FROM monthly_sales_2024") == "[(30,)]"
        assert db.run("SELECT * FROM t_2023") == "[(1, 5)]"
    finally:
        db._engine.dispose()


# --- limits of its own, and statements in a worker process ----------------------------------


@pytest.fixture
def csv_folder(tmp_path):
    return make_source("csv", tmp_path / "data")


# What follows does not depend on the kind of data, so one kind stands for all.
@pytest.fixture
def csv_db(csv_folder):
    db = CustomSQLDatabase.from_uri(csv_folder, statement_timeout=2, max_rows=3)
    yield db
    db._engine.dispose()


def test_the_limits_given_are_the_ones_duckdb_runs_with(csv_folder, monkeypatch):
    monkeypatch.setenv("QUORLIX_DUCKDB_THREADS", "1")
    db = CustomSQLDatabase.from_uri(
        csv_folder, engine_args={"memory_limit": "256M", "temp_directory_limit": "1G"}
    )
    try:
        # Asked of the database that runs checked statements (the worker's).
        shown = db.run(
            "SELECT current_setting('memory_limit'), current_setting('threads'),"
            " current_setting('max_temp_directory_size'), current_setting('lock_configuration')"
        )
        assert shown == "[('256.0 MiB', 1, '1.0 GiB', True)]"
    finally:
        db._engine.dispose()


@pytest.mark.parametrize(
    ("variable", "value"),
    [("QUORLIX_DUCKDB_MEMORY_LIMIT", "lots"), ("QUORLIX_DUCKDB_MEMORY_LIMIT", "1M")]
    + [("QUORLIX_DUCKDB_THREADS", "0"), ("QUORLIX_DUCKDB_TEMP_LIMIT", "2X")],
)
def test_a_limit_that_cannot_be_read_is_refused_by_name(csv_folder, monkeypatch, variable, value):
    monkeypatch.setenv(variable, value)
    with pytest.raises(ValueError, match=variable):
        CustomSQLDatabase.from_uri(csv_folder)


def test_an_engine_opened_elsewhere_gets_limits_no_looser_than_its_own(tmp_path):
    path = Path(make_source("duckdb", tmp_path / "data").removeprefix("duckdb:///"))
    engine = sqlalchemy.create_engine(
        f"duckdb:///{path}", connect_args={"read_only": True, "config": {"threads": 1}}
    )
    db = CustomSQLDatabase(engine)
    try:
        shown = db.run("SELECT current_setting('memory_limit'), current_setting('threads')")
        assert shown == "[('1.0 GiB', 1)]"
    finally:
        engine.dispose()


def test_a_single_long_function_call_ends_at_the_time_limit(csv_db):
    db = csv_db
    started = time.monotonic()
    with pytest.raises(QueryTimeoutError, match="time limit of 2 seconds"):
        # One call of several seconds that DuckDB's interrupt does not reach.
        db.run("SELECT length(repeat('x', 1000000000))")
    # Reported before: 6.0 s to 7.9 s under a 3 s limit.
    assert time.monotonic() - started < 4.0
    assert db.run("SELECT count(*) FROM customers") == "[(4,)]"


@pytest.mark.parametrize(
    ("statement", "reason"),
    [
        ("SELECT 1 AS a; SELECT 2 AS a", "reads 2 statements"),
        ("CREATE TEMP TABLE scratch AS SELECT 1 AS a", "as a CREATE statement"),
    ],
)
def test_duckdb_itself_reads_one_query_per_call(csv_db, monkeypatch, statement, reason):
    monkeypatch.setattr(database, "check_read_only", lambda statement, *rest: statement)
    db = csv_db
    with pytest.raises(sqlalchemy.exc.SQLAlchemyError, match=reason):
        db.run(statement)
    assert db.run("SELECT count(*) FROM customers") == "[(4,)]"


def test_with_the_check_off_no_file_beyond_the_data_is_read(csv_db, monkeypatch, tmp_path):
    monkeypatch.setattr(database, "check_read_only", lambda statement, *rest: statement)
    secret = tmp_path / "secret.csv"
    secret.write_text("token\nqx-secret-value\n")
    for statement in (
        f"SELECT * FROM read_csv('{secret}')",
        f"SELECT * FROM '{secret}'",
        f"SELECT * FROM read_text('{secret}')",
    ):
        with pytest.raises(sqlalchemy.exc.SQLAlchemyError, match="(?i)permission|disabled"):
            csv_db.run(statement)
    assert csv_db.run("SELECT count(*) FROM customers") == "[(4,)]"


VALUES = (
    "SELECT 42 AS i, 2.5::DECIMAL(4, 2) AS d, 1.5::DOUBLE AS f, true AS b, 'text' AS t, NULL AS n,"
    " DATE '2024-01-02' AS day, TIMESTAMP '2024-01-02 03:04:05' AS ts, INTERVAL 1 DAY AS span,"
    " '7a1d9d0e-8b7b-4c4b-9d1c-2a1f7e6b5c4d'::UUID AS u, [1, 2] AS l, {'a': 1, 'b': 'x'} AS s,"
    " MAP {'k': 1} AS m, '\\x00\\xff'::BLOB AS raw, '{\"a\": 1}'::JSON AS j,"
    " repeat('ab ', 200000) AS long_text"
)


def test_values_render_as_langchain_renders_them(csv_db):
    from langchain_community.utilities.sql_database import SQLDatabase

    db = csv_db
    # LangChain's own run() on the same engine, in this process, with nothing cut; built
    # without its constructor, whose reflection DuckDB 2.0's catalog does not support.
    plain = object.__new__(SQLDatabase)
    plain._engine, plain._schema, plain._max_string_length = db._engine, None, 300
    for query in (VALUES, "SELECT name, city FROM customers ORDER BY city DESC LIMIT 3"):
        assert db.run(query) == plain.run(query), query
        assert db.run(query, include_columns=True) == plain.run(query, include_columns=True)


def test_duckdb_cuts_long_values_before_it_sends_them():
    connection = duckdb.connect()
    statement = "SELECT repeat('x', 5000) AS s, range(5000) AS l, 'ab'::BLOB AS b, 7 AS n"
    columns = duckdb_bounds.describe(connection, statement)
    # 10,000 rows of 4 columns share the budget, so each value keeps the floor of 301.
    wrapped, plan = duckdb_bounds.cut_statement(columns, statement, 10_000, 301)
    (sent,) = connection.execute(wrapped).fetchall()
    (list_text,) = connection.execute("SELECT strlen(CAST(range(5000) AS VARCHAR))").fetchone()
    assert sent == ("x" * 301, None, b"ab", 7, list_text)
    assert (plan.columns, plan.sized, plan.cut) == (4, ((1, 4),), 301)


def test_nested_values_too_long_to_show_are_named_not_fetched(csv_folder):
    db = CustomSQLDatabase.from_uri(csv_folder)
    try:
        # Each value of this row may hold 8 Mi / (4 columns x 101 rows) = 20,763 characters.
        shown = db.run(
            "SELECT range(20000) AS l, {'a': repeat('x', 100000)} AS s,"
            " map(range(5000), range(5000)) AS m, 7 AS n",
            include_columns=True,
        )
    finally:
        db._engine.dispose()
    for column in ("l", "s", "m"):
        assert f"'{column}': '[value of " in shown, shown[:400]
    assert shown.count("bytes not fetched: longer than 20763]") == 3 and shown.endswith("'n': 7}]")
