"""The SQL-path node classes: construction, prompt assembly, updates, and their Python face."""

import inspect
import sqlite3
import types
from typing import List  # noqa: UP035 - the declared annotation is typing.List

import pytest
from langchain_core.messages import BaseMessage
from quorlix.querymesh import nodewright
from sql_fakes import wrapper_over
from support.chat_fakes import FakeChatModel

NODE_CLASSES = [
    "TableNamesLookup",
    "RelevantTableNames",
    "RewriteQuery",
    "RelevantSchemas",
    "SQLGeneration",
    "SQLSyntaxChecker",
    "SQLExecution",
]


@pytest.fixture
def db(sqlite_sample_db):
    return wrapper_over(sqlite_sample_db.url)


def generation_state(**extra):
    state = {
        "sql_generation_prompt_type": "generation",
        "user_question": "How many orders are there?",
        "schemas_from_relevant_tables": "CREATE TABLE orders (id INTEGER)",
    }
    state.update(extra)
    return state


# --- the Python face ------------------------------------------------------------------------


def _sig(*params, returns=inspect.Signature.empty):
    made = []
    for name, annotation in params:
        kind = (
            inspect.Parameter.VAR_KEYWORD
            if name == "**kwargs"
            else inspect.Parameter.POSITIONAL_OR_KEYWORD
        )
        made.append(inspect.Parameter(name.lstrip("*"), kind, annotation=annotation))
    return inspect.Signature(made, return_annotation=returns)


def expected_signatures():
    e = inspect.Parameter.empty
    db = ("db", nodewright.CustomSQLDatabase)
    model = ("model", nodewright.AzureChatOpenAI)
    plain_invoke = _sig(("self", e), ("state", e), ("**kwargs", e))
    dict_invoke = _sig(("self", e), ("state", dict), ("**kwargs", e), returns=dict)
    prompt = _sig(("self", e), ("state", dict), returns=list)
    return {
        "TableNamesLookup": {"__init__": _sig(("self", e), db), "invoke": plain_invoke},
        "RelevantTableNames": {
            "__init__": _sig(("self", e), db, model),
            "generate_prompt": prompt,
            "invoke": dict_invoke,
        },
        "RewriteQuery": {
            "__init__": _sig(("self", e), db, model),
            "generate_prompt": prompt,
            "invoke": dict_invoke,
        },
        "RelevantSchemas": {"__init__": _sig(("self", e), db), "invoke": plain_invoke},
        "SQLGeneration": {
            "__init__": _sig(("self", e), db, model),
            "generate_messages": _sig(("self", e), ("state", dict), returns=List[BaseMessage]),  # noqa: UP006
            "invoke": dict_invoke,
        },
        "SQLSyntaxChecker": {"__init__": _sig(("self", e), db, model), "invoke": plain_invoke},
        "SQLExecution": {"__init__": _sig(("self", e), db), "invoke": plain_invoke},
    }


@pytest.mark.parametrize("name", NODE_CLASSES)
def test_node_classes_are_runnables_with_exactly_their_methods(name):
    cls = getattr(nodewright, name)
    assert cls.__bases__ == (nodewright.Runnable,)
    assert cls.__module__ == "quorlix.querymesh.nodewright" and cls.__qualname__ == name
    expected = expected_signatures()[name]
    own = [key for key, value in vars(cls).items() if inspect.isroutine(value)]
    assert own == list(expected)
    for method, signature in expected.items():
        assert inspect.signature(getattr(cls, method)) == signature, method
        assert getattr(cls, method).__qualname__ == f"{name}.{method}"


@pytest.mark.parametrize(
    "name, method",
    [
        ("RelevantTableNames", "generate_prompt"),
        ("RelevantTableNames", "invoke"),
        ("RewriteQuery", "generate_prompt"),
        ("RewriteQuery", "invoke"),
        ("SQLGeneration", "generate_messages"),
        ("SQLGeneration", "invoke"),
    ],
)
@pytest.mark.parametrize(
    "value, type_name",
    [
        (None, "NoneType"),
        (type("StateDict", (dict,), {})(), "StateDict"),
        (types.MappingProxyType({}), "mappingproxy"),
    ],
)
def test_annotated_state_must_be_exactly_a_dict(db, name, method, value, type_name):
    node = getattr(nodewright, name)(db=db, model=FakeChatModel())
    with pytest.raises(TypeError) as raised:
        getattr(node, method)(value)
    assert str(raised.value) == (
        f"Argument 'state' has incorrect type (expected dict, got {type_name})"
    )


def test_unannotated_invoke_takes_any_object(db):
    # The lookup does not read the state at all; the schema node takes any mapping.
    assert nodewright.TableNamesLookup(db).invoke(None) == {
        "table_names_from_db": "customers, items, orders"
    }
    update = nodewright.RelevantSchemas(db).invoke(types.MappingProxyType({"relevant_tables": []}))
    assert list(update) == ["sql_generation_prompt_type", "schemas_from_relevant_tables"]


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda db: nodewright.TableNamesLookup(),
            "TableNamesLookup.__init__() missing 1 required positional argument: 'db'",
        ),
        (
            lambda db: nodewright.SQLGeneration(db),
            "SQLGeneration.__init__() missing 1 required positional argument: 'model'",
        ),
        (
            lambda db: nodewright.SQLExecution(db, db),
            "SQLExecution.__init__() takes 2 positional arguments but 3 were given",
        ),
        (
            lambda db: nodewright.SQLExecution(db).invoke(),
            "SQLExecution.invoke() missing 1 required positional argument: 'state'",
        ),
        (
            lambda db: nodewright.TableNamesLookup(db).invoke({}, {}),
            "TableNamesLookup.invoke() takes 2 positional arguments but 3 were given",
        ),
        (
            lambda db: nodewright.RelevantSchemas(db=db, database=db),
            "RelevantSchemas.__init__() got an unexpected keyword argument 'database'",
        ),
    ],
)
def test_arity_errors_read_as_python_ones(db, call, message):
    with pytest.raises(TypeError) as raised:
        call(db)
    assert str(raised.value) == message


# --- table discovery ------------------------------------------------------------------------


def test_table_names_lookup_keeps_only_its_tool(db):
    node = nodewright.TableNamesLookup(db=db)
    assert list(vars(node)) == ["tool"]
    assert isinstance(node.tool, nodewright.ListSQLDatabaseTool) and node.tool.db is db


def test_table_names_lookup_on_a_database_without_tables(tmp_path):
    path = tmp_path / "empty.db"
    sqlite3.connect(path).close()
    empty = wrapper_over(f"sqlite:///{path}")
    assert nodewright.TableNamesLookup(empty).invoke({}) == {"table_names_from_db": ""}


def test_relevant_table_names_attributes_in_order(db):
    model = FakeChatModel()
    node = nodewright.RelevantTableNames(db=db, model=model)
    assert list(vars(node)) == ["dialect", "model", "template"]
    assert node.dialect == "sqlite"
    assert model.schemas == [nodewright.RelevantTablesOutput]
    assert isinstance(node.template, nodewright.ChatPromptTemplate)


@pytest.mark.parametrize(
    "rewritten, tables, question, names",
    [
        ("", "orders, items", "How many orders?", "orders, items"),
        ("Count the orders", "orders, items", "Count the orders", "orders, items"),
        ("", ["orders", "items"], "How many orders?", "orders,items"),
        ("", type("Names", (list,), {})(["orders", "items"]), "How many orders?", "orders,items"),
        # Only lists are joined; a tuple reaches the template as its own text.
        ("", ("orders", "items"), "How many orders?", "('orders', 'items')"),
    ],
)
def test_relevant_table_prompt(db, monkeypatch, rewritten, tables, question, names):
    monkeypatch.setattr(
        nodewright, "SQL_PREFIX", "S {dialect}|{user_question}|{table_names_from_db}"
    )
    monkeypatch.setattr(
        nodewright, "GET_RELEVANT_TABLE_NAMES_TEMPLATE", "H {table_names_from_db}|{user_question}"
    )
    node = nodewright.RelevantTableNames(db, FakeChatModel())
    monkeypatch.setattr(nodewright, "TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE", " tail {kept}")
    state = {"user_question": "How many orders?", "rewritten_question": rewritten}
    state["table_names_from_db"] = tables
    messages = node.generate_prompt(state)
    assert [m.type for m in messages] == ["system", "human"]
    assert messages[0].content == f"S sqlite|{question}|{names}"
    assert messages[1].content == f"H {names}|{question} tail {{kept}}"


def test_relevant_table_names_passes_the_answer_on_unchanged(db):
    model = FakeChatModel(
        {"relevant_tables": ["orders", "ghost", "orders"]}, {"relevant_tables": []}
    )
    node = nodewright.RelevantTableNames(db, model)
    state = {"user_question": "q", "rewritten_question": "", "table_names_from_db": "orders"}
    assert node.invoke(state) == {"relevant_tables": ["orders", "ghost", "orders"]}
    assert node.invoke(state) == {"relevant_tables": []}
    assert model.prompts[0] == node.generate_prompt(state)


@pytest.mark.parametrize(
    "constant, build",
    [
        ("SQL_PREFIX", lambda db: nodewright.RelevantTableNames(db, FakeChatModel())),
        ("REWRITE_QUESTION_TEMPLATE", lambda db: nodewright.RewriteQuery(db, FakeChatModel())),
        ("CORRECT_SQL_TEMPLATE", lambda db: nodewright.SQLGeneration(db, FakeChatModel())),
    ],
)
def test_prompt_constants_are_looked_up_when_a_node_is_built(db, monkeypatch, constant, build):
    monkeypatch.delattr(nodewright, constant)
    with pytest.raises(NameError, match=constant):
        build(db)


def test_tools_and_templates_are_looked_up_at_call_time(db, monkeypatch):
    made = []

    class RecordingTool:
        def __init__(self, **kwargs):
            made.append(kwargs)

        def _run(self, *args, **kwargs):
            return "from the replaced tool"

    monkeypatch.setattr(nodewright, "ListSQLDatabaseTool", RecordingTool)
    monkeypatch.setattr(nodewright, "InfoSQLDatabaseTool", RecordingTool)
    assert nodewright.TableNamesLookup(db).invoke({}) == {
        "table_names_from_db": "from the replaced tool"
    }
    update = nodewright.RelevantSchemas(db).invoke({"relevant_tables": ["orders"]})
    assert update["schemas_from_relevant_tables"] == "from the replaced tool"
    assert made == [{"db": db}, {"db": db}]


# --- question rewriting ---------------------------------------------------------------------


def test_rewrite_query_builds_one_system_message_from_all_schemas(db, monkeypatch):
    monkeypatch.setattr(
        nodewright, "REWRITE_QUESTION_TEMPLATE", "Q={user_question}\nS={schemas_from_all_tables}"
    )
    model = FakeChatModel({"rewritten_question": "first"}, {"rewritten_question": ""})
    node = nodewright.RewriteQuery(db=db, model=model)
    assert list(vars(node)) == ["model", "tool", "template"]
    assert model.schemas == [nodewright.RewriteQueryOutput]
    state = {
        "user_question": "orders per city?",
        "table_names_from_db": ["customers", "orders"],
        "rewritten_question": "an earlier rewrite",
    }
    assert node.invoke(state) == {"rewritten_question": "first"}
    assert node.invoke(state) == {"rewritten_question": ""}
    (message,) = model.prompts[0]
    assert message.type == "system"
    expected_schemas = nodewright.InfoSQLDatabaseTool(db=db)._run("customers,orders")
    assert message.content == f"Q=orders per city?\nS={expected_schemas}"
    assert "CREATE TABLE customers" in expected_schemas and "items" not in expected_schemas
    # Each rewrite starts again from the user's own question.
    assert model.prompts[1][0].content == message.content


# --- schema retrieval -----------------------------------------------------------------------


@pytest.mark.parametrize(
    "relevant, received",
    [
        (["orders", "items"], "orders,items"),
        ([], ""),
        ("abc", "a,b,c"),
        (("orders",), "orders"),
    ],
)
def test_relevant_schemas_joins_whatever_it_gets(db, monkeypatch, relevant, received):
    seen = []

    class RecordingInfoTool:
        def __init__(self, db):
            pass

        def _run(self, table_names):
            seen.append(table_names)
            return f"schema of {table_names}"

    monkeypatch.setattr(nodewright, "InfoSQLDatabaseTool", RecordingInfoTool)
    update = nodewright.RelevantSchemas(db=db).invoke(
        {"relevant_tables": relevant, "sql_generation_prompt_type": "correction"}
    )
    assert seen == [received]
    assert list(update.items()) == [
        ("sql_generation_prompt_type", "generation"),
        ("schemas_from_relevant_tables", f"schema of {received}"),
    ]


def test_relevant_schemas_over_the_real_tool(db):
    node = nodewright.RelevantSchemas(db=db)
    assert list(vars(node)) == ["tool"]
    text = node.invoke({"relevant_tables": ["orders"]})["schemas_from_relevant_tables"]
    assert "CREATE TABLE orders" in text and "CREATE TABLE items" not in text
    with pytest.raises(TypeError):
        node.invoke({"relevant_tables": ["orders", 3]})


# --- SQL generation -------------------------------------------------------------------------


def test_sql_generation_attributes_and_first_attempt_prompt(db):
    model = FakeChatModel({"sql_query": "SELECT COUNT(*) FROM orders"})
    node = nodewright.SQLGeneration(db=db, model=model)
    assert list(vars(node)) == ["model", "dialect", "generate_template", "correct_template"]
    assert model.schemas == [nodewright.SQLQueryInput]
    state = generation_state(rewritten_question="a rewrite that the first attempt ignores")
    update = node.invoke(state)
    assert update == {"generated_sql_query": ["SELECT COUNT(*) FROM orders"]}
    system, user = model.prompts[0]
    role, system_text = nodewright._SQL_SYSTEM_MESSAGE
    assert system.type == "system" and user.type == "human"
    assert system.content == system_text.replace("{dialect}", "sqlite")
    assert user.content == (
        "How many orders are there?\n"
        " Schemas_from_relevant_tables: CREATE TABLE orders (id INTEGER)"
    )


def test_sql_generation_correction_pairs_queries_with_outcomes(db, monkeypatch):
    monkeypatch.setattr(nodewright, "SQL_PREFIX", "fix {dialect} for {user_question}")
    monkeypatch.setattr(
        nodewright,
        "CORRECT_SQL_TEMPLATE",
        "{% for q, r in zipped_queries_errors %}[{{ q }} => {{ r }}]{% endfor %}"
        "{{ dialect }}/{{ rewritten_question }}/{{ {'a': 1}['a'] }}",
    )
    node = nodewright.SQLGeneration(db, FakeChatModel())
    state = {
        "sql_generation_prompt_type": "correction",
        "user_question": "q?",
        "rewritten_question": "r?",
        "generated_sql_query": ["A", "B", "C"],
        "sql_execution_result": ["no such column", "None"],
    }
    system, human = node.generate_messages(state)
    assert system.content == "fix sqlite for q?"
    # The third query has no outcome yet, so it is not shown.
    assert human.content == "[A => no such column][B => None]sqlite/r?/1"


@pytest.mark.parametrize("mode", ["Correction", "", "GENERATION", None])
def test_sql_generation_refuses_unknown_modes(db, mode):
    node = nodewright.SQLGeneration(db, FakeChatModel())
    with pytest.raises(ValueError) as raised:
        node.generate_messages(generation_state(sql_generation_prompt_type=mode))
    assert str(raised.value) == "Messages not generated correctly."


@pytest.mark.parametrize(
    "mode, duplicate",
    [
        ("generation", "dialect"),
        ("correction", "dialect"),
        ("correction", "zipped_queries_errors"),
    ],
)
def test_state_keys_never_override_explicit_values(db, mode, duplicate):
    node = nodewright.SQLGeneration(db, FakeChatModel())
    state = generation_state(
        sql_generation_prompt_type=mode, generated_sql_query=[], sql_execution_result=[]
    )
    state[duplicate] = "from the state"
    template = node.generate_template if mode == "generation" else node.correct_template
    with pytest.raises(TypeError) as python_way:
        template.format_messages(dialect="x", zipped_queries_errors=[], **state)
    with pytest.raises(TypeError) as raised:
        node.generate_messages(state)
    assert str(raised.value) == str(python_way.value)
    assert f"got multiple values for keyword argument '{duplicate}'" in str(raised.value)


def test_sql_generation_logs_its_timing(db, monkeypatch):
    readings = iter([100.0, 100.25])
    logged = []
    monkeypatch.setattr(nodewright, "time", types.SimpleNamespace(time=lambda: next(readings)))
    monkeypatch.setattr(nodewright, "logger", types.SimpleNamespace(info=logged.append))
    node = nodewright.SQLGeneration(db, FakeChatModel({"sql_query": " select 1 ;\n"}))
    assert node.invoke(generation_state()) == {"generated_sql_query": [" select 1 ;\n"]}
    assert logged == ["Invoke generate sql query tooks: 0.25"]


def test_sql_generation_timing_goes_to_loguru(db):
    from loguru import logger

    lines = []
    sink = logger.add(lines.append, format="{message}")
    try:
        nodewright.SQLGeneration(db, FakeChatModel({"sql_query": "SELECT 1"})).invoke(
            generation_state()
        )
    finally:
        logger.remove(sink)
    (line,) = lines
    prefix = "Invoke generate sql query tooks: "
    assert line.startswith(prefix)
    elapsed = line[len(prefix) :].strip()
    assert repr(float(elapsed)) == elapsed and float(elapsed) >= 0
