"""The engine packages: found by dialect name, loaded only when a database of theirs is wrapped,
and, for a dialect without one, the statement check alone."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap

import pytest
from quorlix.querymesh.custom_sql import CustomSQLDatabase, UnsafeSQLError
from quorlix.sql import engines
from quorlix.sql.engines import kind
from sqlalchemy import create_engine
from sqlalchemy.dialects import registry
from sqlalchemy.dialects.sqlite.pysqlite import SQLiteDialect_pysqlite


class UnwalledDialect(SQLiteDialect_pysqlite):
    """SQLite under a dialect name no engine package serves."""

    name = "unwalled"


registry.register("unwalled", __name__, "UnwalledDialect")


def _run_python(code: str) -> dict:
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env={**os.environ, "PYTHONPATH": os.pathsep.join(entry for entry in sys.path if entry)},
        timeout=120,
        check=False,
    )
    assert done.returncode == 0, done.stderr[-3000:]
    return json.loads(done.stdout.splitlines()[-1])


def test_a_new_engine_package_is_found_by_each_of_its_names(tmp_path, monkeypatch):
    package = tmp_path / "newdb"
    package.mkdir()
    (package / "__init__.py").write_text("")
    (package / "kind.py").write_text(
        "from quorlix.sql.engines.kind import EngineKind\n\n\n"
        "class NewDB(EngineKind):\n"
        '    names = ("newdb", "newdb_classic")\n'
        '    system_table_prefix = "newdb_"\n'
    )
    engines.find("any other name")  # every real package is loaded and registered before the copy
    monkeypatch.setattr(kind, "_REGISTERED", dict(kind._REGISTERED))
    monkeypatch.setattr(engines, "__path__", [*engines.__path__, str(tmp_path)])
    monkeypatch.setattr(engines, "_all_loaded", False)
    engines._packages.cache_clear()
    monkeypatch.delitem(sys.modules, "quorlix.sql.engines.newdb", raising=False)
    monkeypatch.delitem(sys.modules, "quorlix.sql.engines.newdb.kind", raising=False)
    try:
        # The second name is found only by loading every package: the first must not need it.
        assert engines.find("newdb_classic").system_table_prefix == "newdb_"
        assert engines.find("newdb") is engines.find("newdb_classic")
        assert engines.find("nodb") is kind.PLAIN
    finally:
        engines._packages.cache_clear()
        sys.modules.pop("quorlix.sql.engines.newdb", None)
        sys.modules.pop("quorlix.sql.engines.newdb.kind", None)


def test_a_dialect_without_an_engine_package_gets_the_statement_check_alone(tmp_path):
    engine = create_engine(f"unwalled:///{tmp_path / 'plain.db'}")
    with pytest.warns(RuntimeWarning, match="cannot enforce read-only sessions or the statement"):
        db = CustomSQLDatabase(engine)
    try:
        assert db.run("SELECT 7 AS n") == "[(7,)]"
        with pytest.raises(UnsafeSQLError, match="only one read-only SELECT statement may run"):
            db.run("CREATE TABLE t (x INTEGER)")
    finally:
        engine.dispose()


def test_only_the_wrapped_databases_engine_is_loaded(tmp_path):
    database = tmp_path / "shop.db"
    loaded = _run_python(
        f"""
        import json, sqlite3, sys
        sqlite3.connect({str(database)!r}).execute("CREATE TABLE t (x INTEGER)")
        from quorlix.querymesh.custom_sql import CustomSQLDatabase
        db = CustomSQLDatabase.from_uri("sqlite:///{database}")
        db.run("SELECT x FROM t")
        print(json.dumps(sorted(sys.modules)))
        """
    )
    sessions = {
        name.split(".")[3]
        for name in loaded
        if name.startswith("quorlix.sql.engines.") and name.endswith(".session")
    }
    assert sessions == {"sqlite"}
    assert not {"psycopg", "pymysql"} & set(loaded)  # (LangChain imports duckdb itself)


def test_the_worker_process_runs_without_sqlalchemy():
    loaded = _run_python(
        """
        import json, sys
        import quorlix.sql.workers.main, quorlix.sql.engines.sqlite.reader
        import quorlix.sql.engines.duckdb.reader
        print(json.dumps(sorted(sys.modules)))
        """
    )
    assert not [name for name in loaded if name.startswith(("sqlalchemy", "langchain"))]
