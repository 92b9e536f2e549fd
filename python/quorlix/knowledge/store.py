"""Where verified examples and glossary entries live: tables on SQLite or PostgreSQL.

The service keeps them in its run store's database (``KnowledgeStore(run_store.engine)``), so
every server process sharing that store shares the knowledge too; the command line keeps its
own SQLite file under ``QUORLIX_HOME`` (``quorlix.cli.knowledge_store``). The tables are
created on first use beside whatever else the database holds; their names' prefix
``quorlix_knowledge_`` keeps them apart from anyone else's.
"""

from __future__ import annotations

import hashlib
import time
from collections.abc import Iterable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass, replace

from sqlalchemy import (
    JSON,
    Column,
    Float,
    Index,
    Integer,
    MetaData,
    String,
    Table,
    Text,
    UniqueConstraint,
    create_engine,
    delete,
    event,
    insert,
    select,
    text,
    update,
)
from sqlalchemy.engine import Connection, Engine, make_url

from .records import (
    ACCEPTED,
    STATUSES,
    GlossaryEntry,
    KnowledgeError,
    VerifiedExample,
)
from .walls import check_fragment, check_query

SCHEMA_LOCK = 0x71786B6E  # an advisory lock key of our own, beside the run store's

metadata = MetaData()

examples_table = Table(
    "quorlix_knowledge_examples",
    metadata,
    Column("id", Integer, primary_key=True, autoincrement=True),
    Column("database", String(500), nullable=False),
    # The same question and SQL imported twice is one example: the fingerprint finds it.
    Column("fingerprint", String(64), nullable=False),
    Column("question", Text, nullable=False),
    Column("sql", Text, nullable=False),
    Column("notes", Text),
    Column("origin", String(32), nullable=False),
    Column("status", String(16), nullable=False),
    Column("run_id", String(32)),
    Column("created_at", Float, nullable=False),
    Column("updated_at", Float, nullable=False),
    UniqueConstraint("database", "fingerprint", name="uq_quorlix_knowledge_example"),
    Index("ix_quorlix_knowledge_examples_status", "database", "status"),
)

glossary_table = Table(
    "quorlix_knowledge_glossary",
    metadata,
    Column("id", Integer, primary_key=True, autoincrement=True),
    Column("database", String(500), nullable=False),
    # One entry per term whatever its letter case: "Revenue" replaces "revenue".
    Column("term_key", String(200), nullable=False),
    Column("term", String(200), nullable=False),
    Column("definition", Text, nullable=False),
    Column("sql", Text),
    Column("synonyms", JSON, nullable=False),
    Column("created_at", Float, nullable=False),
    Column("updated_at", Float, nullable=False),
    UniqueConstraint("database", "term_key", name="uq_quorlix_knowledge_term"),
)


@dataclass(frozen=True)
class Knowledge:
    """What a run may use on one database: the accepted examples and the glossary."""

    examples: tuple[VerifiedExample, ...] = ()
    glossary: tuple[GlossaryEntry, ...] = ()

    def __bool__(self) -> bool:
        return bool(self.examples or self.glossary)


def fingerprint(question: str, sql: str) -> str:
    """Equal for the same question and SQL up to spacing and letter case."""
    plain = " ".join(question.casefold().split()) + "\x00" + " ".join(sql.casefold().split())
    return hashlib.sha256(plain.encode("utf-8")).hexdigest()


def term_key(term: str) -> str:
    return " ".join(term.casefold().split())


class KnowledgeStore:
    """Thread-safe access to the knowledge tables; every method is one short transaction."""

    def __init__(self, engine: Engine | str) -> None:
        self._owns_engine = isinstance(engine, str)
        self.engine = _engine_for(engine) if isinstance(engine, str) else engine
        self._prepare()

    def close(self) -> None:
        if self._owns_engine:
            self.engine.dispose()

    @contextmanager
    def _begin(self) -> Iterator[Connection]:
        with self.engine.begin() as conn:
            yield conn

    def _prepare(self) -> None:
        with self._begin() as conn:
            if self.engine.dialect.name == "postgresql":
                # Replicas starting together would otherwise race to create the same tables.
                conn.execute(text("SELECT pg_advisory_xact_lock(:key)"), {"key": SCHEMA_LOCK})
            metadata.create_all(conn)

    # --- examples ---------------------------------------------------------------------------

    def add_example(self, example: VerifiedExample) -> tuple[VerifiedExample, bool]:
        """Stores ``example``; returns the stored one and whether it is new.

        An example with the same question and SQL on the same database is not stored twice:
        the one already there is returned (a candidate repeating an accepted example stays
        accepted)."""
        example = example.checked()
        check_query(example.sql, example.database)
        now = time.time()
        key = fingerprint(example.question, example.sql)
        with self._begin() as conn:
            found = (
                conn.execute(
                    select(examples_table).where(
                        examples_table.c.database == example.database,
                        examples_table.c.fingerprint == key,
                    )
                )
                .mappings()
                .first()
            )
            if found is not None:
                return _example(found), False
            values = dict(
                database=example.database,
                fingerprint=key,
                question=example.question,
                sql=example.sql,
                notes=example.notes or None,
                origin=example.origin,
                status=example.status,
                run_id=example.run_id,
                created_at=now,
                updated_at=now,
            )
            new_id = conn.execute(insert(examples_table).values(**values)).inserted_primary_key[0]
        return replace(example, id=int(new_id), created_at=now, updated_at=now), True

    def examples(
        self, database: str | None = None, status: str | Iterable[str] | None = None
    ) -> list[VerifiedExample]:
        """Examples in the order they were added; of one database and status when given."""
        query = select(examples_table).order_by(examples_table.c.id)
        if database is not None:
            query = query.where(examples_table.c.database == database)
        if status is not None:
            wanted = [status] if isinstance(status, str) else list(status)
            query = query.where(examples_table.c.status.in_(wanted))
        with self.engine.connect() as conn:
            return [_example(row) for row in conn.execute(query).mappings()]

    def example(self, example_id: int) -> VerifiedExample | None:
        with self.engine.connect() as conn:
            row = (
                conn.execute(select(examples_table).where(examples_table.c.id == example_id))
                .mappings()
                .first()
            )
        return _example(row) if row else None

    def set_status(self, example_id: int, status: str) -> VerifiedExample | None:
        """Accepts or rejects an example (or puts it back among the candidates)."""
        if status not in STATUSES:
            raise KnowledgeError(f"status must be one of {', '.join(STATUSES)}, not {status!r}")
        with self._begin() as conn:
            done = conn.execute(
                update(examples_table)
                .where(examples_table.c.id == example_id)
                .values(status=status, updated_at=time.time())
            )
        return self.example(example_id) if done.rowcount == 1 else None

    def remove_example(self, example_id: int, database: str | None = None) -> bool:
        query = delete(examples_table).where(examples_table.c.id == example_id)
        if database is not None:
            query = query.where(examples_table.c.database == database)
        with self._begin() as conn:
            return conn.execute(query).rowcount == 1

    # --- glossary ---------------------------------------------------------------------------

    def put_term(self, entry: GlossaryEntry) -> GlossaryEntry:
        """Stores ``entry``, replacing the database's entry for the same term if there is one."""
        entry = entry.checked()
        if entry.sql:
            check_fragment(entry.sql, entry.database)
        now = time.time()
        key = term_key(entry.term)
        values = dict(
            term=entry.term.strip(),
            definition=entry.definition,
            sql=entry.sql or None,
            synonyms=list(entry.synonyms),
            updated_at=now,
        )
        with self._begin() as conn:
            done = conn.execute(
                update(glossary_table)
                .where(
                    glossary_table.c.database == entry.database,
                    glossary_table.c.term_key == key,
                )
                .values(**values)
            )
            if done.rowcount == 0:
                conn.execute(
                    insert(glossary_table).values(
                        database=entry.database, term_key=key, created_at=now, **values
                    )
                )
            row = (
                conn.execute(
                    select(glossary_table).where(
                        glossary_table.c.database == entry.database,
                        glossary_table.c.term_key == key,
                    )
                )
                .mappings()
                .one()
            )
        return _entry(row)

    def glossary(self, database: str | None = None) -> list[GlossaryEntry]:
        query = select(glossary_table).order_by(glossary_table.c.term_key)
        if database is not None:
            query = query.where(glossary_table.c.database == database)
        with self.engine.connect() as conn:
            return [_entry(row) for row in conn.execute(query).mappings()]

    def remove_term(self, database: str, term: str) -> bool:
        with self._begin() as conn:
            done = conn.execute(
                delete(glossary_table).where(
                    glossary_table.c.database == database,
                    glossary_table.c.term_key == term_key(term),
                )
            )
            return done.rowcount == 1

    # --- what a run uses --------------------------------------------------------------------

    def knowledge(self, database: str) -> Knowledge:
        """The accepted examples and the glossary of ``database``."""
        return Knowledge(
            examples=tuple(self.examples(database, ACCEPTED)),
            glossary=tuple(self.glossary(database)),
        )


def _example(row) -> VerifiedExample:
    return VerifiedExample(
        id=int(row["id"]),
        database=row["database"],
        question=row["question"],
        sql=row["sql"],
        notes=row["notes"],
        origin=row["origin"],
        status=row["status"],
        run_id=row["run_id"],
        created_at=row["created_at"],
        updated_at=row["updated_at"],
    )


def _entry(row) -> GlossaryEntry:
    return GlossaryEntry(
        id=int(row["id"]),
        database=row["database"],
        term=row["term"],
        definition=row["definition"],
        sql=row["sql"],
        synonyms=tuple(row["synonyms"] or ()),
        created_at=row["created_at"],
        updated_at=row["updated_at"],
    )


def _engine_for(url: str) -> Engine:
    parsed = make_url(url)
    backend = parsed.get_backend_name()
    if backend == "sqlite":
        # Whoever names the file makes it private first (the command line does, for its own).
        engine = create_engine(url, connect_args={"timeout": 30, "check_same_thread": False})

        @event.listens_for(engine, "connect")
        def _pragmas(dbapi_conn, _record):  # pragma: no cover - every SQLite store runs it
            cursor = dbapi_conn.cursor()
            cursor.execute("PRAGMA journal_mode=WAL")
            cursor.close()

        return engine
    if backend != "postgresql":
        raise KnowledgeError(
            f"{parsed.render_as_string(hide_password=True)!r}: the knowledge store must be an "
            "SQLite file (sqlite:///path/knowledge.db) or a PostgreSQL database"
        )
    return create_engine(url, pool_pre_ping=True)
