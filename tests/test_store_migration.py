"""A run store written by the release before threads (store schema version 1, dumped from one
that release wrote, in SQLite and in PostgreSQL) opens with everything in it kept, and takes
threads afterwards."""

from __future__ import annotations

import sqlite3
from pathlib import Path

import pytest
from quorlix.service.store import SCHEMA_VERSION, RunStore
from sqlalchemy import create_engine, text

DATA = Path(__file__).parent / "data"
V1_TABLES = ["quorlix_store", "quorlix_runs", "quorlix_events", "quorlix_servers", "quorlix_charts"]


def sqlite_store(tmp_path: Path, _request) -> str:
    path = tmp_path / "runs.db"
    with sqlite3.connect(path) as conn:
        conn.executescript((DATA / "store_v1.sqlite.sql").read_text(encoding="utf-8"))
    return f"sqlite:///{path}"


def postgresql_store(_tmp_path: Path, request) -> str:
    database = request.getfixturevalue("pg_database")
    database.run_sql((DATA / "store_v1.postgresql.sql").read_text(encoding="utf-8"))
    return database.url


def table_rows(url: str) -> dict[str, list[dict]]:
    engine = create_engine(url)
    try:
        with engine.connect() as conn:
            return {
                table: [
                    dict(row)
                    for row in conn.execute(text(f"SELECT * FROM {table} ORDER BY 1")).mappings()
                ]
                for table in V1_TABLES
            }
    finally:
        engine.dispose()


@pytest.mark.parametrize("make_store", [sqlite_store, postgresql_store], ids=["sqlite", "pg"])
def test_a_version_1_store_keeps_everything_and_takes_threads(make_store, tmp_path, request):
    url = make_store(tmp_path, request)
    before = table_rows(url)
    assert before["quorlix_store"] == [{"key": "schema_version", "value": "1"}]

    store = RunStore(url)
    try:
        after = table_rows(url)
        assert after["quorlix_store"] == [{"key": "schema_version", "value": str(SCHEMA_VERSION)}]
        for table in V1_TABLES[1:]:
            assert len(after[table]) == len(before[table]), table
            pairs = zip(after[table], before[table], strict=True)
            kept = [{key: row[key] for key in old} for row, old in pairs]
            assert kept == before[table], table
        # Each run there becomes a thread of its own, as a run asked on its own is now.
        old_run = store.get_run("a" * 32)
        assert old_run["thread_id"] == "a" * 32 and old_run["standalone_question"] is None
        [old_thread] = store.list_threads("alice", 10)
        assert (old_thread["title"], old_thread["runs"]) == (old_run["question"], 1)
        assert store.chart("a" * 32)[1].startswith(b"\x89PNG")

        store.create_thread("t" * 32, "alice")
        store.create_run("c" * 32, "alice", "And per country?", {}, thread_id="t" * 32)
        store.set_standalone_question("c" * 32, "How many customers per country?")
        assert [run["id"] for run in store.thread_runs("t" * 32)] == ["c" * 32]
        newest = store.list_threads("alice", 10)[0]
        assert (newest["id"], newest["runs"], newest["first_run_id"]) == ("t" * 32, 1, "c" * 32)
    finally:
        store.close()
    # Opening it again finds nothing left to do.
    RunStore(url).close()
    assert table_rows(url)["quorlix_runs"][:2] == after["quorlix_runs"]
