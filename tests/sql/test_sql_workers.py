"""The worker processes that run checked SQLite and DuckDB statements: one call each at a time,
replaced when they die or grow, capped in memory, and started without the host's secrets."""

from __future__ import annotations

import logging
import os
import signal
import threading
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest
from quorlix.querymesh.custom_sql import CustomSQLDatabase
from quorlix.sql.engines.sqlite import session as sqlite_session
from quorlix.sql.workers import pool
from sqlalchemy.exc import OperationalError

MiB = 1024 * 1024
# 300 columns of 256 KiB: one row is 75 MiB inside SQLite, and as much again once fetched.
WIDE_ROW = "SELECT " + ", ".join(f"printf('%.*c', 262000, 'a') AS c{n}" for n in range(300))


@pytest.fixture
def db(sqlite_sample_db):
    made = CustomSQLDatabase.from_uri(sqlite_sample_db.url, max_statement_chars=100_000)
    yield made
    made._engine.dispose()


def _workers(db: CustomSQLDatabase) -> list:
    return list(db._walls.worker_pool(db._engine)._idle)


def test_concurrent_calls_each_get_their_own_answer(db):
    queries = {f"SELECT {n} + COUNT(*) FROM customers": f"[({n + 4},)]" for n in range(12)}
    with ThreadPoolExecutor(6) as threads:
        answers = list(threads.map(db.run, queries))
    assert answers == list(queries.values())
    assert 1 <= len(_workers(db)) <= pool.MAX_WORKERS


def test_a_worker_that_died_while_idle_is_replaced(db):
    db.run("SELECT 1")
    (worker,) = _workers(db)
    os.kill(worker.process.pid, signal.SIGKILL)
    worker.process.wait()
    assert db.run("SELECT COUNT(*) FROM customers") == "[(4,)]"


def test_a_worker_killed_during_a_call_fails_the_call_not_the_next(db):
    db.run("SELECT 1")
    (worker,) = _workers(db)
    killer = threading.Timer(0.5, os.kill, (worker.process.pid, signal.SIGKILL))
    killer.start()
    endless = (
        "WITH RECURSIVE c(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM c WHERE n < 1000000000000)"
        " SELECT COUNT(*) FROM c"
    )
    with pytest.raises(OperationalError, match="was killed by signal 9"):
        db.run(endless)
    killer.join()
    assert db.run("SELECT COUNT(*) FROM customers") == "[(4,)]"


def test_a_worker_cannot_outgrow_its_memory_cap(sqlite_sample_db, monkeypatch):
    monkeypatch.setattr(sqlite_session, "WORKER_MEMORY", 64 * MiB)
    db = CustomSQLDatabase.from_uri(sqlite_sample_db.url, max_statement_chars=100_000)
    try:
        with pytest.raises(OperationalError, match="ran out of memory in its database worker"):
            db.run(WIDE_ROW)
        assert db.run("SELECT COUNT(*) FROM customers") == "[(4,)]"
    finally:
        db._engine.dispose()


def test_workers_start_without_the_hosts_secrets(db, monkeypatch):
    for name in ("AZURE_OPENAI_API_KEY", "db_password", "QUORLIX_SERVICE_TOKENS"):
        monkeypatch.setenv(name, "qx-secret-value")
    db.run("SELECT 1")
    (worker,) = _workers(db)
    environment = Path(f"/proc/{worker.process.pid}/environ").read_bytes()
    assert b"qx-secret-value" not in environment
    assert b"PATH=" in environment


def test_an_in_memory_database_runs_its_statements_here():
    db = CustomSQLDatabase.from_uri("sqlite://")
    try:
        assert db.run("SELECT 1 + 1") == "[(2,)]"
        assert db._walls.worker_pool(db._engine) is None
    finally:
        db._engine.dispose()


def test_when_no_worker_starts_statements_run_here_and_it_is_said(db, monkeypatch, caplog):
    monkeypatch.setattr(pool, "_BOOT", "raise SystemExit(3)")
    caplog.set_level(logging.WARNING)
    assert db.run("SELECT COUNT(*) FROM customers") == "[(4,)]"
    assert db.run("SELECT COUNT(*) FROM orders") == "[(5,)]"
    warned = [r.getMessage() for r in caplog.records if "inside this process" in r.getMessage()]
    assert len(warned) == 1 and "exited with code 3 as it started" in warned[0]


@pytest.mark.parametrize("fault", [None, "died before its call", "cannot boot"])
def test_a_worker_started_ahead_serves_the_first_call_or_gives_way(db, monkeypatch, caplog, fault):
    if fault == "cannot boot":
        monkeypatch.setattr(pool, "_BOOT", "raise SystemExit(3)")
    caplog.set_level(logging.WARNING)
    db.prestart()
    (ahead,) = _workers(db)
    if fault == "died before its call":
        os.kill(ahead.process.pid, signal.SIGKILL)
        ahead.process.wait()
    assert db.run("SELECT COUNT(*) FROM customers") == "[(4,)]"
    warned = [r.getMessage() for r in caplog.records if "inside this process" in r.getMessage()]
    if fault == "cannot boot":
        # As without a worker started ahead: the call's own start fails and says why.
        assert len(warned) == 1 and "exited with code 3 as it started" in warned[0]
        return
    assert not warned
    (worker,) = _workers(db)
    assert (worker is ahead) == (fault is None)
