"""SQLGraph's construction, run configuration and invoke checks, with the chat-model class and
the relevant-table picker replaced in the module namespace by recorders."""

from __future__ import annotations

import pytest
from langchain_openai import AzureChatOpenAI  # noqa: E402
from quorlix.querymesh import querymesh
from quorlix.querymesh.custom_sql import CustomSQLDatabase  # noqa: E402

# The graph passes top_p in model_kwargs; AzureChatOpenAI moves it and says so.
pytestmark = pytest.mark.filterwarnings("ignore:Parameters {'top_p'}:UserWarning")


class Settings:
    """A settings object: its attribute dictionary holds AzureChatOpenAI keyword arguments."""

    def __init__(self, deployment: str, **extra) -> None:
        self.azure_endpoint = "http://127.0.0.1:9"
        self.azure_deployment = deployment
        self.api_version = "2024-10-21"
        self.api_key = "test"
        self.__dict__.update(extra)


@pytest.fixture
def recorded(monkeypatch):
    """Every AzureChatOpenAI call's keyword arguments, and every picker built."""
    calls: dict[str, list] = {"models": [], "pickers": [], "model_kwargs": []}

    def model_class(**keywords):
        # AzureChatOpenAI moves top_p out of the dictionary it is given: keep what was passed.
        calls["model_kwargs"].append(keywords.get("model_kwargs"))
        calls["models"].append({**keywords, "model_kwargs": dict(keywords.get("model_kwargs", {}))})
        return AzureChatOpenAI(**keywords)

    class Picker:
        def __init__(self, **keywords):
            calls["pickers"].append(keywords)

        def invoke(self, state: dict) -> dict:
            return {"relevant_tables": ["orders"]}

    monkeypatch.setattr(querymesh, "AzureChatOpenAI", model_class)
    monkeypatch.setattr(querymesh, "RelevantTablePicker", Picker)
    return calls


@pytest.fixture
def db(sqlite_sample_db):
    database = CustomSQLDatabase.from_uri(sqlite_sample_db.url)
    yield database
    database._engine.dispose()


@pytest.fixture
def graph(recorded, db):
    return querymesh.SQLGraph(db, Settings("chat35"), Settings("chat4"))


def test_each_model_gets_its_settings_and_fixed_values(recorded, db):
    config_35, config_4 = Settings("chat35"), Settings("chat4")
    graph = querymesh.SQLGraph(custom_sql_db=db, config_35=config_35, config_4=config_4)

    deployments = [(call["azure_deployment"], call["max_tokens"]) for call in recorded["models"]]
    assert deployments == [
        ("chat35", 8192),  # relevant_tables_model
        ("chat4", 4096),  # sql_generation_model
        ("chat35", 4096),  # response_model
        ("chat35", 8192),  # pandas_code_model
        ("chat35", 8192),  # pandas_ai_model
    ]
    for call in recorded["models"]:
        assert list(call)[-3:] == ["max_tokens", "temperature", "model_kwargs"]
        assert call["temperature"] == 0 and type(call["temperature"]) is int
        assert call["model_kwargs"] == {"top_p": 0.95}
    assert len({id(passed) for passed in recorded["model_kwargs"]}) == 5
    assert recorded["pickers"] == [{"config": config_35, "db": db}]
    assert graph.db is db
    assert graph.sql_generation_model.deployment_name == "chat4"
    assert graph.relevant_tables_model.max_tokens == 8192
    assert graph.response_model.max_tokens == 4096


@pytest.mark.parametrize(
    ("which", "key"),
    [("config_35", "max_tokens"), ("config_35", "temperature"), ("config_4", "model_kwargs")],
)
def test_settings_holding_a_fixed_keyword_fail_as_python_calls_do(db, monkeypatch, which, key):
    built = []
    monkeypatch.setattr(querymesh, "RelevantTablePicker", lambda **keywords: built.append(1))
    settings = {"config_35": Settings("chat35"), "config_4": Settings("chat4")}
    settings[which] = Settings("bad", **{key: 1})

    with pytest.raises(TypeError) as raised:
        querymesh.SQLGraph(db, **settings)

    with pytest.raises(TypeError) as python_error:
        AzureChatOpenAI(**vars(settings[which]), max_tokens=1, temperature=0, model_kwargs={})
    assert str(raised.value) == str(python_error.value)
    assert f"got multiple values for keyword argument '{key}'" in str(raised.value)
    assert built == []


def test_config_graph_defaults_and_shared_tags(graph):
    first = graph._config_graph()
    assert first == {
        "metadata": None,
        "tags": ["querymesh"],
        "max_concurrency": 20,
        "recursion_limit": 50,
    }
    assert graph._config_graph()["tags"] is first["tags"]
    assert graph.runnable_config["tags"] is first["tags"]
    assert graph.runnable_config == first


@pytest.mark.parametrize(
    ("keywords", "refused"),
    [
        ({"recursion_limit": True}, "recursion_limit"),
        ({"recursion_limit": None}, "recursion_limit"),
        ({"max_concurrency": 2.0}, "max_concurrency"),
        ({"max_concurrency": False}, "max_concurrency"),
        ({"tags": ("a",)}, "tags"),
        ({"tags": None}, "tags"),
        ({"metadata": []}, "metadata"),
        ({"metadata": {"a": 1}, "max_concurrency": None, "tags": [], "recursion_limit": 3}, None),
    ],
)
def test_config_graph_checks_exact_types(graph, keywords, refused):
    if refused is None:
        assert graph._config_graph(**keywords) == keywords
        return
    with pytest.raises(TypeError, match=f"Argument '{refused}' has incorrect type"):
        graph._config_graph(**keywords)


class Derived(dict):
    pass


@pytest.mark.parametrize("inputs", [None, Derived(user_question="q"), [("user_question", "q")]])
def test_invoke_refuses_anything_but_a_dict_before_running(graph, inputs, monkeypatch):
    ran = []
    monkeypatch.setattr(
        graph, "compiled_graph", type("G", (), {"invoke": lambda *a, **k: ran.append(1)})()
    )
    with pytest.raises(TypeError, match="Argument 'inputs' has incorrect type"):
        graph.invoke(inputs)
    assert ran == []


@pytest.mark.parametrize("result", [{"final_response": "x"}, None, Derived(a=1), ["x"]])
def test_invoke_passes_the_run_configuration_and_checks_the_result(graph, monkeypatch, result):
    seen = []

    class Compiled:
        def invoke(self, inputs, config=None):
            seen.append((inputs, config))
            return result

    monkeypatch.setattr(graph, "compiled_graph", Compiled())
    inputs = {"user_question": "q"}
    if type(result) in (dict, type(None)):
        assert graph.invoke(inputs) is result
    else:
        with pytest.raises(TypeError, match=f"Expected dict, got {type(result).__name__}"):
            graph.invoke(inputs)
    assert seen == [(inputs, graph.runnable_config)]
    assert seen[0][0] is inputs


def test_a_node_class_replaced_in_the_module_is_used_by_the_wiring(recorded, db, monkeypatch):
    built = []

    class Executor:
        def __init__(self, **keywords):
            built.append(keywords)

        def invoke(self, state: dict, **kwargs) -> dict:
            return {}

    monkeypatch.setattr(querymesh, "PandasExecutor", Executor)
    graph = querymesh.SQLGraph(db, Settings("chat35"), Settings("chat4"))
    assert built == [{"model": graph.pandas_ai_model}]
