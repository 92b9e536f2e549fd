"""The run store: every run, its events and its chart, in SQLite or PostgreSQL.

Events are written here before anyone is told about them, and event streams read them back from
here, so a client that reconnects (or a second server process sharing a PostgreSQL store) sees
exactly what was recorded. A run's record is one JSON document rewritten at each step; new kinds
of information (token usage, say) go into ``extras`` without a schema change.

A store written by an older quorlix is brought up to date when it is opened, in the same
transaction that checks its version (``_MIGRATIONS``); nothing in it is dropped or rewritten.
"""

from __future__ import annotations

import json
import os
import time
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any, TypedDict

from sqlalchemy import (
    JSON,
    Column,
    Float,
    ForeignKey,
    Integer,
    LargeBinary,
    MetaData,
    String,
    Table,
    Text,
    bindparam,
    create_engine,
    delete,
    event,
    func,
    insert,
    inspect,
    select,
    text,
    update,
)
from sqlalchemy.engine import Connection, Engine, make_url

from .private_files import private_folder, private_sqlite_file

SCHEMA_VERSION = 2
SCHEMA_LOCK = 0x71786C78  # an advisory lock key of our own
OPEN_STATUSES = ("queued", "running")
END_STATUSES = ("succeeded", "failed", "interrupted")
# A run's answer as far as the model has written it. A run keeps one such event: each newer
# text replaces it and takes the next number, so a client resuming after an older text gets the
# newest, and the events table does not grow with every piece the model writes.
ANSWER_EVENT = "answer"

metadata = MetaData()

meta_table = Table(
    "quorlix_store",
    metadata,
    Column("key", String(64), primary_key=True),
    Column("value", String(200), nullable=False),
)

runs_table = Table(
    "quorlix_runs",
    metadata,
    # The number orders runs and pages history; the id is what clients see, and is unguessable.
    Column("number", Integer, primary_key=True, autoincrement=True),
    Column("id", String(32), nullable=False, unique=True),
    Column("owner", String(200), nullable=False, index=True),
    Column("question", Text, nullable=False),
    Column("status", String(16), nullable=False, index=True),
    # The server process that took the run: several processes sharing one store tell their own
    # runs from the others' by it.
    Column("server_id", String(100)),
    Column("created_at", Float, nullable=False),
    Column("started_at", Float),
    Column("finished_at", Float),
    Column("options", JSON, nullable=False),
    Column("record", JSON, nullable=False),
    Column("feedback", JSON),
    Column("extras", JSON, nullable=False),
    # The thread of the run (a run asked on its own starts one, with the run's id), and the
    # question the graph answered when a follow-up was restated first (None: as asked).
    Column("thread_id", String(32), index=True),
    Column("standalone_question", Text),
)

# A thread: one user's sequence of runs, a follow-up answered in the light of the earlier ones.
threads_table = Table(
    "quorlix_threads",
    metadata,
    Column("number", Integer, primary_key=True, autoincrement=True),
    Column("id", String(32), nullable=False, unique=True),
    Column("owner", String(200), nullable=False, index=True),
    # The first question, for lists; None until one is asked.
    Column("title", Text),
    Column("created_at", Float, nullable=False),
    Column("updated_at", Float, nullable=False),
)

events_table = Table(
    "quorlix_events",
    metadata,
    Column("run_id", String(32), ForeignKey("quorlix_runs.id"), primary_key=True),
    Column("seq", Integer, primary_key=True, autoincrement=False),
    Column("kind", String(16), nullable=False),
    Column("data", JSON, nullable=False),
    Column("created_at", Float, nullable=False),
)

# One row per live server process sharing the store, renewed every few seconds. A run whose
# server's row has gone stale belongs to a process that died: it is ended as interrupted.
servers_table = Table(
    "quorlix_servers",
    metadata,
    Column("server_id", String(100), primary_key=True),
    Column("host", String(255), nullable=False),
    Column("pid", Integer, nullable=False),
    Column("started_at", Float, nullable=False),
    Column("renewed_at", Float, nullable=False),
)

charts_table = Table(
    "quorlix_charts",
    metadata,
    Column("run_id", String(32), ForeignKey("quorlix_runs.id"), primary_key=True),
    Column("content_type", String(64), nullable=False),
    Column("data", LargeBinary, nullable=False),
)


# The statements of a run's hot path (accept, start, each step, end), built once: building a
# statement costs about as much CPU as executing it on SQLite.
_SET_RECORD = (
    update(runs_table)
    .where(runs_table.c.id == bindparam("run_id"), runs_table.c.status == "running")
    .values(record=bindparam("record", type_=runs_table.c.record.type))
)
_MARK_RUNNING = (
    update(runs_table)
    .where(runs_table.c.id == bindparam("run_id"), runs_table.c.status == "queued")
    .values(status="running", started_at=bindparam("now", type_=Float))
)
_FINISH = (
    update(runs_table)
    .where(
        runs_table.c.id == bindparam("run_id"),
        runs_table.c.status.in_(bindparam("from_statuses", expanding=True)),
    )
    .values(
        status=bindparam("status", type_=String),
        finished_at=bindparam("now", type_=Float),
        record=bindparam("record", type_=runs_table.c.record.type),
    )
)
# Holds the run's row while it is still open, so its record is read as the last writer left it.
_HOLD_OPEN = (
    update(runs_table)
    .where(
        runs_table.c.id == bindparam("run_id"),
        runs_table.c.status.in_(bindparam("from_statuses", expanding=True)),
    )
    .values(status=runs_table.c.status)
)
# Holds the run's row (and says it is still running) while its answer event is rewritten.
_LOCK_RUNNING = (
    update(runs_table)
    .where(runs_table.c.id == bindparam("run_id"), runs_table.c.status == "running")
    .values(status="running")
)
_MOVE_ANSWER = (
    update(events_table)
    .where(events_table.c.run_id == bindparam("of_run"), events_table.c.kind == ANSWER_EVENT)
    .values(
        seq=bindparam("new_seq", type_=Integer),
        data=bindparam("text_so_far", type_=events_table.c.data.type),
        created_at=bindparam("now", type_=Float),
    )
)
_ROW_BUT_RECORD = [column for column in runs_table.c if column.name != "record"]
_READ_BUT_RECORD = select(*_ROW_BUT_RECORD).where(runs_table.c.id == bindparam("run_id"))
_FINISH_RETURNING = _FINISH.returning(*_ROW_BUT_RECORD)
_ADD_RUN = insert(runs_table)
_LAST_SEQ = select(func.max(events_table.c.seq)).where(events_table.c.run_id == bindparam("run_id"))
_ADD_EVENT = insert(events_table)


class StoreError(Exception):
    """The store cannot be used as it is; the message says why and what to do."""


class Event(TypedDict):
    """One event of a run's stream as the store keeps it."""

    seq: int
    kind: str
    data: Any


def quorlix_home() -> Path:
    """Where quorlix keeps its files: $QUORLIX_HOME, else the user's data directory."""
    from quorlix import config

    home = config.setting("home")
    if home is not None:
        return home
    data = os.environ.get("XDG_DATA_HOME")
    base = Path(data) if data and os.path.isabs(data) else Path.home() / ".local" / "share"
    return base / "quorlix"


def default_store_url() -> str:
    return f"sqlite:///{(quorlix_home() / 'runs.db').resolve()}"


def empty_record() -> dict[str, Any]:
    return {
        "steps": [],
        "sql_attempts": [],
        "final_sql": None,
        "result": None,
        "analysis_output": None,
        "answer": None,
        "chart": False,
        "error": None,
    }


class RunStore:
    """Thread-safe access to the store; every method is one short transaction."""

    def __init__(self, url: str | None = None) -> None:
        self.url = url or default_store_url()
        self.engine = _engine_for(self.url)
        self._prepare()

    def close(self) -> None:
        self.engine.dispose()

    @contextmanager
    def _begin(self) -> Iterator[Connection]:
        with self.engine.begin() as conn:
            yield conn

    def _prepare(self) -> None:
        with self._begin() as conn:
            if self.engine.dialect.name == "postgresql":
                # Replicas starting together would otherwise race to create the same tables;
                # the lock ends with this transaction, in which the tables are made.
                conn.execute(text("SELECT pg_advisory_xact_lock(:key)"), {"key": SCHEMA_LOCK})
            # Creates the tables a store lacks; the columns an older store lacks are the
            # migrations' business.
            metadata.create_all(conn)
            found = conn.execute(
                select(meta_table.c.value).where(meta_table.c.key == "schema_version")
            ).scalar()
            if found is None:
                version = str(SCHEMA_VERSION)
                conn.execute(insert(meta_table).values(key="schema_version", value=version))
                return
            version = int(found)
            if version > SCHEMA_VERSION:
                raise StoreError(
                    f"the run store {self.shown_url} was written by a newer quorlix (store schema "
                    f"version {version}; this quorlix reads up to {SCHEMA_VERSION}). Upgrade "
                    "quorlix, or start the server with --store pointing at another store."
                )
            for target in range(version + 1, SCHEMA_VERSION + 1):
                _MIGRATIONS[target](conn)
                conn.execute(
                    update(meta_table)
                    .where(meta_table.c.key == "schema_version")
                    .values(value=str(target))
                )

    @property
    def shown_url(self) -> str:
        return make_url(self.url).render_as_string(hide_password=True)

    def ping(self) -> None:
        with self.engine.connect() as conn:
            conn.execute(text("SELECT 1"))

    # --- runs ------------------------------------------------------------------------------

    def create_run(
        self,
        run_id: str,
        owner: str,
        question: str,
        options: dict,
        server_id: str | None = None,
        thread_id: str | None = None,
    ) -> dict:
        now = time.time()
        values = dict(
            id=run_id,
            server_id=server_id,
            owner=owner,
            question=question,
            status="queued",
            created_at=now,
            options=options,
            record=empty_record(),
            extras={},
            thread_id=thread_id or run_id,
            standalone_question=None,
        )
        with self._begin() as conn:
            if thread_id is None:
                conn.execute(
                    insert(threads_table),
                    dict(id=run_id, owner=owner, title=question, created_at=now, updated_at=now),
                )
            else:
                _touch_thread(conn, thread_id, question, now)
            conn.execute(_ADD_RUN, values)
        return values

    def get_run(self, run_id: str, owner: str | None = None) -> dict | None:
        query = select(runs_table).where(runs_table.c.id == run_id)
        if owner is not None:
            query = query.where(runs_table.c.owner == owner)
        with self.engine.connect() as conn:
            row = conn.execute(query).mappings().first()
        return dict(row) if row else None

    def list_runs(self, owner: str, limit: int, before: int | None = None) -> list[dict]:
        query = select(runs_table).where(runs_table.c.owner == owner)
        if before is not None:
            query = query.where(runs_table.c.number < before)
        query = query.order_by(runs_table.c.number.desc()).limit(limit)
        with self.engine.connect() as conn:
            return [dict(row) for row in conn.execute(query).mappings()]

    def count_runs(self) -> int:
        with self.engine.connect() as conn:
            return int(conn.execute(select(func.count()).select_from(runs_table)).scalar() or 0)

    def mark_running(self, run_id: str) -> bool:
        with self._begin() as conn:
            done = conn.execute(_MARK_RUNNING, {"run_id": run_id, "now": time.time()})
            return done.rowcount == 1

    def add_step(self, run_id: str, record: dict, step: dict) -> Event | None:
        """Saves the record with its new step and the step's event, and returns the event
        (seq, kind, data); None once the run ended."""
        with self._begin() as conn:
            # The update comes first: it locks the run's row, so writers of one run queue up.
            done = conn.execute(_SET_RECORD, {"run_id": run_id, "record": record})
            if done.rowcount != 1:
                return None
            return _add_event(conn, run_id, "step", step)

    def set_answer(self, run_id: str, text: str) -> Event | None:
        """Saves the answer so far as the run's answer event and returns it; None once the run
        ended."""
        with self._begin() as conn:
            if conn.execute(_LOCK_RUNNING, {"run_id": run_id}).rowcount != 1:
                return None
            last = conn.execute(_LAST_SEQ, {"run_id": run_id}).scalar()
            data = {"text": text}
            seq = int(last or 0) + 1
            moved = conn.execute(
                _MOVE_ANSWER,
                {"of_run": run_id, "new_seq": seq, "text_so_far": data, "now": time.time()},
            )
            if moved.rowcount != 1:
                return _add_event(conn, run_id, ANSWER_EVENT, data)
            return {"seq": seq, "kind": ANSWER_EVENT, "data": data}

    def finish_run(
        self,
        run_id: str,
        status: str,
        record: dict | None = None,
        chart: tuple[str, bytes] | None = None,
        from_statuses: tuple[str, ...] = OPEN_STATUSES,
        error: str | None = None,
    ) -> dict | None:
        """Ends a run unless it has ended already (the first to end it wins).

        Without ``record``, the run keeps the record it has, with ``error`` added when given:
        read under the run's row lock, so a step its worker saves meanwhile is kept, not
        written over with an older record.

        Returns the ended run's row as this transaction wrote it (so whoever waits for the run
        need not read it back), or None when the run had ended already."""
        now = time.time()
        with self._begin() as conn:
            if record is None:
                held = conn.execute(
                    _HOLD_OPEN, {"run_id": run_id, "from_statuses": list(from_statuses)}
                )
                if held.rowcount != 1:
                    return None
                record = conn.execute(
                    select(runs_table.c.record).where(runs_table.c.id == run_id)
                ).scalar()
                record = dict(record or empty_record())
                if error is not None:
                    record["error"] = error
            if chart is not None:
                record = {**record, "chart": True}
            values = {
                "run_id": run_id,
                "from_statuses": list(from_statuses),
                "status": status,
                "now": now,
                "record": record,
            }
            if self.engine.dialect.update_returning:
                ended = conn.execute(_FINISH_RETURNING, values).mappings().first()
            elif conn.execute(_FINISH, values).rowcount == 1:  # SQLite before 3.35
                ended = conn.execute(_READ_BUT_RECORD, values).mappings().first()
            else:
                ended = None
            if ended is None:
                return None
            if chart is not None:
                conn.execute(
                    insert(charts_table).values(run_id=run_id, content_type=chart[0], data=chart[1])
                )
            _add_event(conn, run_id, "end", {"status": status, "error": record.get("error")})
            return {**ended, "record": record}

    def interrupt_orphans(self, lease_seconds: float, reason: str) -> list[str]:
        """Ends the open runs of servers whose lease ran out (or that never held one), and
        forgets those servers; returns the ids of the runs it ended."""
        stale = time.time() - lease_seconds
        live = select(servers_table.c.server_id).where(servers_table.c.renewed_at >= stale)
        with self.engine.connect() as conn:
            ids = list(
                conn.execute(
                    select(runs_table.c.id).where(
                        runs_table.c.status.in_(OPEN_STATUSES),
                        (runs_table.c.server_id.is_(None)) | runs_table.c.server_id.not_in(live),
                    )
                ).scalars()
            )
        ended = self._interrupt(ids, reason)
        with self._begin() as conn:
            conn.execute(delete(servers_table).where(servers_table.c.renewed_at < stale))
        return ended

    def _interrupt(self, ids: list[str], reason: str) -> list[str]:
        ended = []
        for run_id in ids:
            if self.finish_run(run_id, "interrupted", error=reason):
                ended.append(run_id)
        return ended

    # --- leases ----------------------------------------------------------------------------

    def renew_lease(self, server_id: str, host: str, pid: int) -> None:
        now = time.time()
        with self._begin() as conn:
            done = conn.execute(
                update(servers_table)
                .where(servers_table.c.server_id == server_id)
                .values(renewed_at=now)
            )
            if done.rowcount == 0:
                conn.execute(
                    insert(servers_table).values(
                        server_id=server_id, host=host, pid=pid, started_at=now, renewed_at=now
                    )
                )

    def drop_lease(self, server_id: str) -> None:
        with self._begin() as conn:
            conn.execute(delete(servers_table).where(servers_table.c.server_id == server_id))

    def servers(self) -> list[dict]:
        with self.engine.connect() as conn:
            return [dict(row) for row in conn.execute(select(servers_table)).mappings()]

    def set_feedback(self, run_id: str, owner: str, feedback: dict) -> bool:
        with self._begin() as conn:
            done = conn.execute(
                update(runs_table)
                .where(runs_table.c.id == run_id, runs_table.c.owner == owner)
                .values(feedback=feedback)
            )
            return done.rowcount == 1

    def chart(self, run_id: str) -> tuple[str, bytes] | None:
        with self.engine.connect() as conn:
            row = conn.execute(
                select(charts_table.c.content_type, charts_table.c.data).where(
                    charts_table.c.run_id == run_id
                )
            ).first()
        return (row[0], bytes(row[1])) if row else None

    # --- threads ---------------------------------------------------------------------------

    def create_thread(self, thread_id: str, owner: str) -> dict:
        now = time.time()
        values = dict(id=thread_id, owner=owner, title=None, created_at=now, updated_at=now)
        with self._begin() as conn:
            conn.execute(insert(threads_table), values)
        return values

    def get_thread(self, thread_id: str, owner: str | None = None) -> dict | None:
        query = select(threads_table).where(threads_table.c.id == thread_id)
        if owner is not None:
            query = query.where(threads_table.c.owner == owner)
        with self.engine.connect() as conn:
            row = conn.execute(query).mappings().first()
        return dict(row) if row else None

    def list_threads(self, owner: str, limit: int, before: int | None = None) -> list[dict]:
        """The owner's threads, newest first, each with its number of runs and the ids of its
        first and last."""
        in_thread = runs_table.c.thread_id == threads_table.c.id
        runs = select(func.count()).where(in_thread).scalar_subquery()
        first, last = (
            select(runs_table.c.id).where(in_thread).order_by(order).limit(1).scalar_subquery()
            for order in (runs_table.c.number, runs_table.c.number.desc())
        )
        query = select(
            threads_table,
            runs.label("runs"),
            first.label("first_run_id"),
            last.label("last_run_id"),
        ).where(threads_table.c.owner == owner)
        if before is not None:
            query = query.where(threads_table.c.number < before)
        query = query.order_by(threads_table.c.number.desc()).limit(limit)
        with self.engine.connect() as conn:
            return [dict(row) for row in conn.execute(query).mappings()]

    def thread_runs(
        self, thread_id: str, before: str | None = None, last: int | None = None
    ) -> list[dict]:
        """The thread's runs in the order they were asked; with ``before``, those asked before
        that run; with ``last``, only that many of the latest of them."""
        query = select(runs_table).where(_in_thread(thread_id, before))
        if last is not None:
            query = query.order_by(runs_table.c.number.desc()).limit(last)
            with self.engine.connect() as conn:
                return [dict(row) for row in conn.execute(query).mappings()][::-1]
        with self.engine.connect() as conn:
            rows = conn.execute(query.order_by(runs_table.c.number)).mappings()
            return [dict(row) for row in rows]

    def count_thread_runs(self, thread_id: str, before: str | None = None) -> int:
        query = select(func.count()).select_from(runs_table).where(_in_thread(thread_id, before))
        with self.engine.connect() as conn:
            return int(conn.execute(query).scalar() or 0)

    def set_standalone_question(self, run_id: str, standalone: str) -> None:
        with self._begin() as conn:
            conn.execute(
                update(runs_table)
                .where(runs_table.c.id == run_id)
                .values(standalone_question=standalone)
            )

    # --- events ----------------------------------------------------------------------------

    def events_after(self, run_id: str, seq: int) -> list[dict]:
        query = (
            select(events_table.c.seq, events_table.c.kind, events_table.c.data)
            .where(events_table.c.run_id == run_id, events_table.c.seq > seq)
            .order_by(events_table.c.seq)
        )
        with self.engine.connect() as conn:
            return [dict(row) for row in conn.execute(query).mappings()]

    def delete_run(self, run_id: str) -> None:
        with self._begin() as conn:
            for table in (events_table, charts_table):
                conn.execute(delete(table).where(table.c.run_id == run_id))
            conn.execute(delete(runs_table).where(runs_table.c.id == run_id))


def _in_thread(thread_id: str, before: str | None):
    condition = runs_table.c.thread_id == thread_id
    if before is not None:
        earlier = select(runs_table.c.number).where(runs_table.c.id == before)
        condition = condition & (runs_table.c.number < earlier.scalar_subquery())
    return condition


def _touch_thread(conn: Connection, thread_id: str, question: str, now: float) -> None:
    conn.execute(
        update(threads_table).where(threads_table.c.id == thread_id).values(updated_at=now)
    )
    conn.execute(
        update(threads_table)
        .where(threads_table.c.id == thread_id, threads_table.c.title.is_(None))
        .values(title=question)
    )


def _add_threads(conn: Connection) -> None:
    """Version 2: runs record their thread and standalone question (the threads table itself
    is made by ``create_all``); every run already there becomes a thread of its own, with its
    id, as a run asked on its own does now."""
    present = {column["name"] for column in inspect(conn).get_columns(runs_table.name)}
    for name in ("thread_id", "standalone_question"):
        if name in present:
            continue
        column = runs_table.c[name]
        kind = column.type.compile(dialect=conn.dialect)
        conn.execute(text(f"ALTER TABLE {runs_table.name} ADD COLUMN {name} {kind}"))
    indexed = {index["name"] for index in inspect(conn).get_indexes(runs_table.name)}
    for index in runs_table.indexes:
        if index.name not in indexed and "thread_id" in index.columns:
            index.create(conn)
    runs = runs_table.c
    updated_at = runs.created_at.label("updated_at")
    alone = select(runs.id, runs.owner, runs.question, runs.created_at, updated_at)
    alone = alone.where(runs.thread_id.is_(None))
    conn.execute(
        insert(threads_table).from_select(
            ["id", "owner", "title", "created_at", "updated_at"], alone.order_by(runs.number)
        )
    )
    conn.execute(update(runs_table).where(runs.thread_id.is_(None)).values(thread_id=runs.id))


# Schema version -> what brings a store of the version before it up to it.
_MIGRATIONS = {2: _add_threads}


def _add_event(conn: Connection, run_id: str, kind: str, data: dict) -> Event:
    last = conn.execute(_LAST_SEQ, {"run_id": run_id}).scalar()
    event: Event = {"seq": int(last or 0) + 1, "kind": kind, "data": _plain(data)}
    conn.execute(_ADD_EVENT, {"run_id": run_id, **event, "created_at": time.time()})
    return event


def _plain(value: Any) -> Any:
    """JSON-safe data: what JSON lacks is kept as text rather than failing the write."""
    return json.loads(json.dumps(value, default=str))


def _engine_for(url: str) -> Engine:
    parsed = make_url(url)
    if parsed.get_backend_name() == "sqlite":
        database = parsed.database or ""
        if database and database != ":memory:" and not database.startswith("file:"):
            path = Path(database).expanduser().resolve()
            private_folder(path.parent, tighten=path.parent == quorlix_home().resolve())
            private_sqlite_file(path)
        engine = create_engine(url, connect_args={"timeout": 30, "check_same_thread": False})

        @event.listens_for(engine, "connect")
        def _pragmas(dbapi_conn, _record):  # pragma: no cover - exercised by every SQLite store
            cursor = dbapi_conn.cursor()
            # WAL lets event streams read while a worker writes; synchronous=NORMAL under WAL
            # still never corrupts the file, it may only lose the last commit on power loss.
            cursor.execute("PRAGMA journal_mode=WAL")
            cursor.execute("PRAGMA synchronous=NORMAL")
            cursor.execute("PRAGMA foreign_keys=ON")
            cursor.close()

        return engine
    if parsed.get_backend_name() != "postgresql":
        raise StoreError(
            f"--store {parsed.render_as_string(hide_password=True)!r}: the run store must be "
            "an SQLite file (sqlite:///path/runs.db) or a PostgreSQL database "
            "(postgresql://user@host/dbname)"
        )
    return create_engine(url, pool_pre_ping=True, pool_size=10, max_overflow=20)
