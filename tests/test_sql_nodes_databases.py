"""The SQL-path nodes over real databases (SQLite, PostgreSQL, MariaDB) and the real
AzureChatOpenAI talking to the local stub server."""

import contextlib

import pytest
import sqlalchemy
from quorlix.querymesh import nodewright
from sql_fakes import schema_name, wrapper_over
from support.chat_fakes import FakeChatModel
from support.databases import throwaway_mysql_database, throwaway_pg_database

SETUP = {
    "postgresql": "CREATE TABLE orders (id int, city text); "
    "INSERT INTO orders VALUES (1, 'Dublin'), (2, 'Prague');",
    "mysql": "CREATE TABLE orders (id int, city varchar(40)); "
    "INSERT INTO orders VALUES (1, 'Dublin'), (2, 'Prague');",
}


@contextlib.contextmanager
def sqlite_database(tmp_path):
    from support.databases import build_sample_sqlite

    sample = build_sample_sqlite(tmp_path / "sample.db")
    yield sample.url, "sqlite"


@contextlib.contextmanager
def server_database(throwaway, dialect):
    with throwaway() as database:
        database.run_sql(SETUP[database.engine])
        yield database.url, dialect


# The tests only read (a refused DELETE changes nothing): one database per engine serves them all.
@pytest.fixture(scope="module", params=["sqlite", "postgresql", "mysql"])
def any_db(request, tmp_path_factory):
    opener = {
        "sqlite": lambda: sqlite_database(tmp_path_factory.mktemp("sqlite")),
        "postgresql": lambda: server_database(throwaway_pg_database, "postgresql"),
        "mysql": lambda: server_database(throwaway_mysql_database, "mysql"),
    }[request.param]
    with opener() as (url, dialect):
        db = wrapper_over(url)
        yield db, url, dialect
        db._engine.dispose()


def test_execution_records_rows_no_rows_and_database_errors(any_db):
    db, url, dialect = any_db
    node = nodewright.SQLExecution(db=db)
    assert list(vars(node)) == ["db"] and node.db is db

    state = {"generated_sql_query": ["SELECT nothing", "SELECT id FROM orders ORDER BY id"]}
    rows = node.invoke(state)
    assert list(rows.items()) == [
        ("sql_execution_result", [db.run("SELECT id FROM orders ORDER BY id")]),
        ("execution_success", True),
        ("pandas_generation_prompt_type", "generation"),
    ]
    assert "1" in rows["sql_execution_result"][0] and "2" in rows["sql_execution_result"][0]

    empty = node.invoke({"generated_sql_query": ["SELECT id FROM orders WHERE id < 0"]})
    assert list(empty.items()) == [("sql_execution_result", ["None"]), ("execution_success", False)]

    broken = "SELECT no_such_column FROM orders"
    failed = node.invoke({"generated_sql_query": [broken]})
    assert list(failed) == ["sql_execution_result", "execution_success"]
    assert failed["execution_success"] is False
    with pytest.raises(sqlalchemy.exc.SQLAlchemyError) as raised:
        db.run(broken)
    # The database's own words (server-side cursor names differ from call to call).
    (text,) = failed["sql_execution_result"]
    assert text.splitlines()[0] == str(raised.value).splitlines()[0]
    assert "no_such_column" in text.splitlines()[0] and f"[SQL: {broken}]" in text


def test_refused_statements_are_outcomes_too(any_db):
    db, url, dialect = any_db
    count = "SELECT COUNT(*) FROM orders"
    before = db.run(count)
    node = nodewright.SQLExecution(db)
    update = node.invoke({"generated_sql_query": ["DELETE FROM orders"]})
    assert update["execution_success"] is False and update["sql_execution_result"][0]
    assert node.invoke({"generated_sql_query": [count]})["sql_execution_result"] == [before]


def test_dialect_reaches_every_prompt(any_db, monkeypatch):
    db, url, dialect = any_db
    assert db.dialect == dialect
    monkeypatch.setattr(nodewright, "SQL_PREFIX", "dialect={dialect}")
    monkeypatch.setattr(nodewright, "CORRECT_SQL_TEMPLATE", "again in {{ dialect }}")
    tables = nodewright.TableNamesLookup(db).invoke({})["table_names_from_db"]
    assert "orders" in tables.split(", ")
    picker = nodewright.RelevantTableNames(db, FakeChatModel())
    state = {"user_question": "q", "rewritten_question": "", "table_names_from_db": tables}
    assert picker.generate_prompt(state)[0].content == f"dialect={dialect}"
    generation = nodewright.SQLGeneration(db, FakeChatModel())
    system, _ = generation.generate_messages(
        {
            "sql_generation_prompt_type": "generation",
            "user_question": "q",
            "schemas_from_relevant_tables": "",
        }
    )
    assert f"syntactically correct {dialect} query" in system.content
    _, human = generation.generate_messages(
        {
            "sql_generation_prompt_type": "correction",
            "generated_sql_query": [],
            "sql_execution_result": [],
        }
    )
    assert human.content == f"again in {dialect}"


def test_only_sqlalchemy_errors_are_outcomes(monkeypatch):
    class Wrapper:
        def __init__(self, error):
            self.error = error

        def run(self, command, fetch, include_columns):
            raise self.error

    state = {"generated_sql_query": ["SELECT 1"]}
    subclass_error = sqlalchemy.exc.ProgrammingError("SELECT 1", {}, Exception("driver words"))
    update = nodewright.SQLExecution(Wrapper(subclass_error)).invoke(state)
    assert update == {"sql_execution_result": [str(subclass_error)], "execution_success": False}
    with pytest.raises(RuntimeError, match="not a database error"):
        nodewright.SQLExecution(Wrapper(RuntimeError("not a database error"))).invoke(state)
    # The class is the module's name at the moment of the failure.
    monkeypatch.setattr(nodewright, "SQLAlchemyError", (LookupError, RuntimeError))
    update = nodewright.SQLExecution(Wrapper(RuntimeError("now caught"))).invoke(state)
    assert update == {"sql_execution_result": ["now caught"], "execution_success": False}
    with pytest.raises(sqlalchemy.exc.ProgrammingError):
        nodewright.SQLExecution(Wrapper(subclass_error)).invoke(state)


def test_execution_passes_the_run_arguments_and_tests_truth():
    calls = []

    class Wrapper:
        def run(self, **kwargs):
            calls.append(kwargs)
            return [("row",)] if len(calls) == 1 else []

    node = nodewright.SQLExecution(Wrapper())
    assert node.invoke({"generated_sql_query": ["A", "B"]})["sql_execution_result"] == [[("row",)]]
    assert node.invoke({"generated_sql_query": ["C"]})["sql_execution_result"] == ["None"]
    assert calls == [
        {"command": "B", "fetch": "all", "include_columns": False},
        {"command": "C", "fetch": "all", "include_columns": False},
    ]


def test_checker_replaces_the_newest_query_in_place(sqlite_sample_db, stub_llm, make_chat_model):
    db = wrapper_over(sqlite_sample_db.url)
    stub_llm.reply("```sql\nSELECT COUNT(*) FROM orders\n```")
    node = nodewright.SQLSyntaxChecker(db=db, model=make_chat_model())
    assert list(vars(node)) == ["tool"]
    assert isinstance(node.tool, nodewright.QuerySQLCheckerTool) and node.tool.db is db
    queries = ["SELECT 1", "SELECT 2", "SELECT count(*) FROM orders"]
    state = {"generated_sql_query": queries}
    assert node.invoke(state, config={}) == {}
    # The reviewed text replaces the last query as the model wrote it.
    assert state["generated_sql_query"] is queries
    assert queries == ["SELECT 1", "SELECT 2", "```sql\nSELECT COUNT(*) FROM orders\n```"]
    prompt = stub_llm.last_request().prompt_text
    assert "SELECT count(*) FROM orders" in prompt and "sqlite" in prompt


def test_nodes_with_the_real_chat_model(sqlite_sample_db, stub_llm, make_chat_model):
    db = wrapper_over(sqlite_sample_db.url)
    stub_llm.reply(
        {"relevant_tables": ["orders", "items"]},
        {"rewritten_question": "Total quantity of items per order"},
        {"sql_query": "SELECT order_id, SUM(quantity) FROM items GROUP BY order_id"},
    )
    model = make_chat_model(model="gpt-4o")
    legacy = make_chat_model(model="gpt-35-turbo")  # answers through function calling
    state = nodewright.initialisation({"user_question": "How much was ordered?"})
    state.update(nodewright.TableNamesLookup(db).invoke(state))
    state.update(nodewright.RelevantTableNames(db, model).invoke(state))
    assert state["relevant_tables"] == ["orders", "items"]
    state.update(nodewright.RewriteQuery(db, legacy).invoke(state))
    assert state["rewritten_question"] == "Total quantity of items per order"
    state.update(nodewright.RelevantSchemas(db).invoke(state))
    state.update(nodewright.SQLGeneration(db, model).invoke(state))
    assert state["generated_sql_query"] == [
        "SELECT order_id, SUM(quantity) FROM items GROUP BY order_id"
    ]
    update = nodewright.SQLExecution(db).invoke(state)
    assert update["execution_success"] is True
    assert [schema_name(r) for r in stub_llm.requests] == [
        "RelevantTablesOutput",
        "RewriteQueryOutput",
        "SQLQueryInput",
    ]
    assert [r.output_mode for r in stub_llm.requests] == ["json_schema", "tools", "json_schema"]
    table_prompt = stub_llm.requests[0].prompt_text
    assert "customers, items, orders" in table_prompt and "How much was ordered?" in table_prompt
    stub_llm.assert_script_consumed()
