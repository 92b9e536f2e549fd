"""The wrapper's catalogue: nothing read at construction, table list and table information
cached (bounded, with an age) until refresh(), and table text bounded in size."""

from __future__ import annotations

import contextlib
import sqlite3
import threading
import time
from pathlib import Path

import pytest
import sqlalchemy
from langchain_community.utilities.sql_database import SQLDatabase
from quorlix.querymesh.custom_sql import CustomSQLDatabase

SCRIPT = """
CREATE TABLE customers (id INTEGER PRIMARY KEY, name TEXT, city TEXT);
CREATE TABLE orders (id INTEGER PRIMARY KEY, customer_id INTEGER REFERENCES customers(id),
                     placed TEXT);
CREATE TABLE items (id INTEGER PRIMARY KEY, order_id INTEGER REFERENCES orders(id), price REAL);
INSERT INTO customers VALUES (1, 'Ada', 'Dublin'), (2, 'Bo', 'Oslo');
INSERT INTO orders VALUES (1, 1, '2024-01-02');
INSERT INTO items VALUES (1, 1, 9.5);
"""


def _database(tmp_path: Path, script: str = SCRIPT) -> Path:
    path = tmp_path / "catalogue.db"
    with contextlib.closing(sqlite3.connect(path)) as connection:
        connection.executescript(script)
    return path


def _counting(path: Path, **options) -> tuple[CustomSQLDatabase, list[str]]:
    engine = sqlalchemy.create_engine(f"sqlite:///{path}")
    statements: list[str] = []
    sqlalchemy.event.listen(
        engine, "before_cursor_execute", lambda *args: statements.append(args[2])
    )
    return CustomSQLDatabase(engine, **options), statements


def _add_table(path: Path, name: str) -> None:
    with contextlib.closing(sqlite3.connect(path)) as connection:
        connection.execute(f"CREATE TABLE {name} (id INTEGER PRIMARY KEY)")
        connection.commit()


def test_construction_reads_nothing_and_the_first_use_lists_once(tmp_path):
    db, statements = _counting(_database(tmp_path))
    assert statements == []
    assert db.get_usable_table_names() == ["customers", "items", "orders"]
    listed = len(statements)
    assert listed > 0
    db.get_usable_table_names()
    assert db.dialect == "sqlite" and len(statements) == listed


@pytest.mark.parametrize(
    ("options", "error"),
    [
        ({"include_tables": ["nope"]}, "include_tables {'nope'} not found"),
        ({"ignore_tables": ["nope"]}, "ignore_tables {'nope'} not found"),
        ({"include_tables": ["orders"], "ignore_tables": ["items"]}, "Cannot specify both"),
        ({"catalogue_max_age": 0}, "catalogue_max_age must be a positive"),
        ({"max_schema_chars": 10}, "max_schema_chars must be a whole number of at least 1000"),
    ],
)
def test_bad_options_are_refused_at_construction(tmp_path, options, error):
    with pytest.raises(ValueError, match=error):
        _counting(_database(tmp_path), **options)


@pytest.mark.parametrize(
    ("options", "usable"),
    [
        ({"include_tables": ["orders"]}, ["orders"]),
        ({"ignore_tables": ["items"]}, ["customers", "orders"]),
    ],
)
def test_include_and_ignore_tables_still_filter(tmp_path, options, usable):
    db, _ = _counting(_database(tmp_path), **options)
    assert db.get_usable_table_names() == usable


@pytest.mark.parametrize("how", ["refresh", "clear_cache", "max_age"])
def test_refresh_or_age_reads_tables_again(tmp_path, how):
    path = _database(tmp_path)
    db, _ = _counting(path, catalogue_max_age=0.2 if how == "max_age" else None)
    before = db.get_table_info(["customers"])
    version = db.catalogue_version
    _add_table(path, "refunds")
    with sqlite3.connect(path) as connection:
        connection.execute("UPDATE customers SET name = 'Renamed' WHERE id = 1")
    assert "refunds" not in db.get_usable_table_names()
    assert db.get_table_info(["customers"]) == before
    if how == "max_age":
        time.sleep(0.3)
    else:
        getattr(db, how)()
    assert "refunds" in db.get_usable_table_names()
    assert "Renamed" in db.get_table_info(["customers"])
    assert db.catalogue_version != version


def test_table_information_cache_is_bounded(tmp_path):
    db, statements = _counting(_database(tmp_path), table_info_cache_size=2)
    for name in ("customers", "orders", "items"):
        db.get_table_info([name])
    statements.clear()
    db.get_table_info(["items"])  # still cached
    assert statements == []
    db.get_table_info(["customers"])  # the oldest entry was dropped
    assert statements != []


def test_the_text_matches_langchain_for_small_databases(tmp_path):
    path = _database(tmp_path)
    db, _ = _counting(path)
    plain = SQLDatabase.from_uri(f"sqlite:///{path}")
    try:
        for names in (None, ["orders"], ["items", "customers"]):
            assert db.get_table_info(names) == plain.get_table_info(names)
    finally:
        plain._engine.dispose()


def test_concurrent_first_uses_agree(tmp_path):
    db, _ = _counting(_database(tmp_path))
    results: list[str] = []

    def read() -> None:
        results.append(db.get_table_info(["orders", "customers"]))

    threads = [threading.Thread(target=read) for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert len(results) == 8 and len(set(results)) == 1 and "Ada" in results[0]


def test_many_tables_stop_at_the_limit_and_are_named(tmp_path):
    script = "".join(
        f"CREATE TABLE t{i:03} (id INTEGER PRIMARY KEY, label TEXT);" for i in range(200)
    )
    db, statements = _counting(_database(tmp_path, script), max_schema_chars=2_000)
    text = db.get_table_info()
    assert len(text) <= 2_000
    shown = [f"t{i:03}" for i in range(200) if f"CREATE TABLE t{i:03} " in text]
    assert shown and shown == [f"t{i:03}" for i in range(len(shown))]
    assert f"{200 - len(shown)} more tables not shown" in text
    assert f"t{len(shown):03}" in text.split("not shown")[1]
    # The tables that did not fit were never read.
    assert not any(f"t{len(shown) + 5:03}" in statement for statement in statements)


def test_a_wide_table_shows_its_keys_first_and_counts_the_rest(tmp_path):
    columns = ", ".join(f"c{i:03} TEXT" for i in range(150))
    script = (
        "CREATE TABLE owners (id INTEGER PRIMARY KEY);"
        f"CREATE TABLE wide ({columns}, id INTEGER PRIMARY KEY,"
        " owner_id INTEGER REFERENCES owners(id));"
    )
    db, _ = _counting(_database(tmp_path, script), max_table_columns=10)
    text = db.get_table_info(["wide"])
    create = text.split("/*")[0]
    assert "\tid INTEGER" in create and "PRIMARY KEY (id)" in create
    assert "FOREIGN KEY(owner_id) REFERENCES owners (id)" in create
    assert [f"c{i:03}" in create for i in range(10)] == [True] * 8 + [False] * 2
    assert "142 more columns not shown: c008, c009," in text
