"""get_mysql_database_schema and get_pgdb_schema against throwaway databases."""

import psycopg2
import pytest

pytest_plugins = ["dbkeeper_support"]
pytest.register_assert_rewrite("dbkeeper_support")

from dbkeeper_support import is_closed  # noqa: E402

# Names SHOW COLUMNS cannot take bare: a reserved word, a hyphen, a space, a backtick.
AWKWARD_MYSQL_TABLES = ["order", "my-table", "a b", "we`ird", "plain"]


def mysql_quoted(name: str) -> str:
    return "`" + name.replace("`", "``") + "`"


def mysql_columns(database, table: str) -> list[dict]:
    rows = database.run(
        "SELECT column_name, column_type FROM information_schema.columns"
        " WHERE table_schema = %s AND table_name = %s ORDER BY ordinal_position",
        (database.name, table),
    )
    return [{"name": name, "type": kind} for name, kind in rows]


def test_mysql_schema_of_awkwardly_named_tables(
    dbkeeper, mysql_settings, recorded_connections, capsys
):
    for index, table in enumerate(AWKWARD_MYSQL_TABLES):
        mysql_settings.run(
            f"CREATE TABLE {mysql_quoted(table)} (id INT UNSIGNED NOT NULL,"
            f" `label {index}` VARCHAR({10 + index}), price DECIMAL(8,2))"
        )
    schema = dbkeeper.get_mysql_database_schema()
    assert capsys.readouterr().out == ""
    listed = [name for (name,) in mysql_settings.run("SHOW TABLES")]
    assert sorted(listed) == sorted(AWKWARD_MYSQL_TABLES)
    assert list(schema) == listed
    for table in listed:
        assert schema[table] == mysql_columns(mysql_settings, table)
        assert all(list(column) == ["name", "type"] for column in schema[table])
    assert [is_closed(c) for c in recorded_connections["mysql"].handed_out] == [True]


def test_mysql_schema_keeps_what_it_gathered_before_a_failure(
    dbkeeper, mysql_settings, recorded_connections, capsys
):
    mysql_settings.run("CREATE TABLE a_first (x INT)")
    mysql_settings.run("CREATE TABLE base (y INT)")
    mysql_settings.run("CREATE VIEW m_broken AS SELECT y FROM base")
    mysql_settings.run("DROP TABLE base")  # the view now fails to describe itself
    mysql_settings.run("CREATE TABLE z_last (z INT)")
    try:
        mysql_settings.run("SHOW COLUMNS FROM m_broken")
    except Exception as error:
        message = str(error)
    schema = dbkeeper.get_mysql_database_schema()
    assert schema == {"a_first": mysql_columns(mysql_settings, "a_first"), "m_broken": []}
    assert capsys.readouterr().out == f"An error occurred: {message}\n"
    assert [is_closed(c) for c in recorded_connections["mysql"].handed_out] == [True]


def test_mysql_schema_of_an_empty_database(dbkeeper, mysql_settings, capsys):
    assert dbkeeper.get_mysql_database_schema() == {}
    assert capsys.readouterr().out == ""


def test_mysql_schema_without_a_connection(dbkeeper, mysql_settings, monkeypatch, capsys):
    monkeypatch.setattr(dbkeeper, "db_password", "wrong")
    assert dbkeeper.get_mysql_database_schema() is None
    (line,) = capsys.readouterr().out.splitlines()
    assert line.startswith("Failed to connect to the database: ")


def pg_columns(database, schema: str, table: str) -> list[dict]:
    rows = database.run(
        "SELECT column_name, data_type FROM information_schema.columns"
        " WHERE table_schema = %s AND table_name = %s",
        (schema, table),
    )
    return [{"name": name, "type": kind} for name, kind in rows]


def by_name(columns: list[dict]) -> list[dict]:
    return sorted(columns, key=lambda column: column["name"])


def test_pg_schema_lists_public_tables(dbkeeper, pg_settings, recorded_connections, capsys):
    pg_settings.run("CREATE TABLE items (id INT, name VARCHAR(20), price NUMERIC(8,2))")
    pg_settings.run('CREATE TABLE "order" (id BIGINT, placed TIMESTAMP)')
    pg_settings.run('CREATE TABLE "a b" ("my col" BOOLEAN)')
    pg_settings.run("CREATE SCHEMA other")
    pg_settings.run("CREATE TABLE other.items (added DATE)")
    pg_settings.run("CREATE TABLE other.only_other (x INT)")
    schema = dbkeeper.get_pgdb_schema()
    assert capsys.readouterr().out == ""
    assert sorted(schema) == ["a b", "items", "order"]
    assert by_name(schema["order"]) == by_name(pg_columns(pg_settings, "public", "order"))
    assert by_name(schema["a b"]) == [{"name": "my col", "type": "boolean"}]
    # the column query filters on the name alone, so the other schema's items are included
    both = pg_columns(pg_settings, "public", "items") + pg_columns(pg_settings, "other", "items")
    assert by_name(schema["items"]) == by_name(both)
    assert {"name": "name", "type": "character varying"} in schema["items"]
    assert all(list(c) == ["name", "type"] for columns in schema.values() for c in columns)
    assert [is_closed(c) for c in recorded_connections["pg"].handed_out] == [True]


def test_pg_schema_of_an_empty_database(dbkeeper, pg_settings, capsys):
    assert dbkeeper.get_pgdb_schema() == {}
    assert capsys.readouterr().out == ""


def test_pg_schema_without_a_connection(dbkeeper, pg_settings, monkeypatch, capsys):
    monkeypatch.setattr(dbkeeper, "db_name", pg_settings.name + "_missing")
    assert dbkeeper.get_pgdb_schema() is None
    printed = capsys.readouterr().out
    assert printed.startswith("The error '") and printed.endswith("' occurred\n")
    assert "An error occurred: " not in printed


def test_pg_schema_when_the_driver_refuses_an_option(dbkeeper, pg_settings, monkeypatch, capsys):
    def refuse(**options):
        raise psycopg2.ProgrammingError("invalid dsn option")

    monkeypatch.setattr(psycopg2, "connect", refuse)
    assert dbkeeper.get_pgdb_schema() == {}
    assert capsys.readouterr().out == "An error occurred: invalid dsn option\n"
