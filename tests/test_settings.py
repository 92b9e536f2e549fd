"""Model settings from the environment, and the relevant-table picker that consumes them."""

import inspect
import re
import sys
import types
import warnings
from pathlib import Path
from typing import TypedDict

import pytest
from langchain_openai import AzureChatOpenAI
from pydantic import BaseModel, SecretStr
from quorlix import settings
from quorlix.settings import (
    AzureOpenAIChat4,
    AzureOpenAIChat35,
    ConfigurationError,
    missing_settings,
)

ENDPOINT = "http://127.0.0.1:9/"
KEY = "sk-test-7f3a9c2e51d84b06"
ALL_VARIABLES = [name for name, _, _ in settings.ENVIRONMENT_VARIABLES]
FORBIDDEN = {"max_tokens", "temperature", "model_kwargs"}


@pytest.fixture
def clean_env(monkeypatch):
    for name in [*ALL_VARIABLES, "OPENAI_API_KEY", "AZURE_OPENAI_AD_TOKEN"]:
        monkeypatch.delenv(name, raising=False)
    return monkeypatch


@pytest.fixture
def env(clean_env):
    clean_env.setenv("AZURE_OPENAI_ENDPOINT", ENDPOINT)
    clean_env.setenv("AZURE_OPENAI_API_KEY", KEY)
    clean_env.setenv("QUORLIX_CHAT35_DEPLOYMENT", "dep-35")
    clean_env.setenv("QUORLIX_CHAT4_DEPLOYMENT", "dep-4")
    return clean_env


def documented() -> dict[str, tuple[str, str]]:
    """Meaning and default of each variable as the README's tables give them to users."""
    readme = Path(__file__).resolve().parents[1] / "README.md"
    if not readme.is_file():
        pytest.skip("README.md is not beside the tests")
    row = re.compile(r"^\| `(\w+)` \| (.+?) \| `?(.+?)`? \|$", re.MULTILINE)
    return {name: (meaning, default) for name, meaning, default in row.findall(readme.read_text())}


def build_model(config):
    # Exactly how the graph builds its chat models; top_p in model_kwargs makes langchain warn.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return AzureChatOpenAI(
            **vars(config), max_tokens=1, temperature=0, model_kwargs={"top_p": 0.95}
        )


# --- reading the environment -------------------------------------------------------------


def test_each_class_reads_its_own_deployment_and_model(env):
    env.setenv("QUORLIX_CHAT35_MODEL", "gpt-4o-mini")
    env.setenv("QUORLIX_CHAT4_MODEL", "gpt-4.1")
    small, large = AzureOpenAIChat35(), AzureOpenAIChat4()
    assert (small.azure_deployment, small.model) == ("dep-35", "gpt-4o-mini")
    assert (large.azure_deployment, large.model) == ("dep-4", "gpt-4.1")
    for config in (small, large):
        assert config.azure_endpoint == ENDPOINT
        assert config.api_key.get_secret_value() == KEY


def test_attribute_dictionary_holds_only_chat_model_arguments(env):
    for config in (AzureOpenAIChat35(), AzureOpenAIChat4()):
        keys = set(vars(config))
        assert keys == {
            "azure_endpoint",
            "azure_deployment",
            "api_version",
            "api_key",
            "model",
            "timeout",
            "max_retries",
            "http_client",
            "http_async_client",
        }
        assert not keys & FORBIDDEN


def test_defaults_match_the_documented_table(env):
    defaults = {name: default for name, (_, default) in documented().items()}
    small, large = AzureOpenAIChat35(), AzureOpenAIChat4()
    assert small.api_version == large.api_version == defaults["OPENAI_API_VERSION"]
    assert small.model == defaults["QUORLIX_CHAT35_MODEL"]
    assert large.model == defaults["QUORLIX_CHAT4_MODEL"]
    assert small.timeout == float(defaults["QUORLIX_REQUEST_TIMEOUT"]) == 60
    assert small.max_retries == int(defaults["QUORLIX_MAX_RETRIES"]) == 2


def test_optional_variables_are_read(env):
    env.setenv("OPENAI_API_VERSION", "2025-01-01-preview")
    env.setenv("QUORLIX_REQUEST_TIMEOUT", " 12.5 ")
    env.setenv("QUORLIX_MAX_RETRIES", "0")
    config = AzureOpenAIChat4()
    assert config.api_version == "2025-01-01-preview"
    assert config.timeout == 12.5
    assert config.max_retries == 0


def test_keywords_override_the_environment(env):
    config = AzureOpenAIChat35(
        azure_endpoint="https://other.openai.azure.com/",
        azure_deployment="dep-x",
        api_version="2024-06-01",
        api_key="sk-other",
        model="gpt-4o",
        timeout=5,
        max_retries=7,
    )
    assert config.azure_endpoint == "https://other.openai.azure.com/"
    assert config.azure_deployment == "dep-x"
    assert config.api_version == "2024-06-01"
    assert config.api_key.get_secret_value() == "sk-other"
    assert (config.model, config.timeout, config.max_retries) == ("gpt-4o", 5.0, 7)


def test_keywords_stand_in_for_missing_variables(clean_env):
    config = AzureOpenAIChat4(azure_endpoint=ENDPOINT, azure_deployment="d", api_key=KEY)
    assert config.azure_deployment == "d"


# --- what is missing or wrong --------------------------------------------------------------


def test_missing_variables_are_all_named_with_their_purpose(clean_env):
    with pytest.raises(ConfigurationError) as caught:
        AzureOpenAIChat35()
    message = str(caught.value)
    assert isinstance(caught.value, ValueError)
    meanings = {name: meaning for name, (meaning, _) in documented().items()}
    for name in ("AZURE_OPENAI_ENDPOINT", "AZURE_OPENAI_API_KEY", "QUORLIX_CHAT35_DEPLOYMENT"):
        assert name in message
        assert meanings[name] in message
    assert "QUORLIX_CHAT4_DEPLOYMENT" not in message


@pytest.mark.parametrize(
    "absent", ["AZURE_OPENAI_ENDPOINT", "AZURE_OPENAI_API_KEY", "QUORLIX_CHAT4_DEPLOYMENT"]
)
@pytest.mark.parametrize("how", ["unset", "empty"])
def test_one_missing_variable_is_reported_alone(env, absent, how):
    if how == "unset":
        env.delenv(absent)
    else:
        env.setenv(absent, "  ")
    with pytest.raises(ConfigurationError) as caught:
        AzureOpenAIChat4()
    message = str(caught.value)
    assert absent in message
    others = {"AZURE_OPENAI_ENDPOINT", "AZURE_OPENAI_API_KEY", "QUORLIX_CHAT4_DEPLOYMENT"}
    assert not any(name in message for name in others - {absent})


def test_missing_settings_lists_without_raising(clean_env):
    assert missing_settings() == [
        "AZURE_OPENAI_ENDPOINT",
        "AZURE_OPENAI_API_KEY",
        "QUORLIX_CHAT35_DEPLOYMENT",
        "QUORLIX_CHAT4_DEPLOYMENT",
    ]
    clean_env.setenv("AZURE_OPENAI_API_KEY", KEY)
    clean_env.setenv("QUORLIX_CHAT4_DEPLOYMENT", "dep-4")
    assert missing_settings() == ["AZURE_OPENAI_ENDPOINT", "QUORLIX_CHAT35_DEPLOYMENT"]
    assert missing_settings({"AZURE_OPENAI_ENDPOINT": ENDPOINT}) == [
        "AZURE_OPENAI_API_KEY",
        "QUORLIX_CHAT35_DEPLOYMENT",
        "QUORLIX_CHAT4_DEPLOYMENT",
    ]


def test_complete_environment_has_nothing_missing(env):
    assert missing_settings() == []


@pytest.mark.parametrize(
    ("variable", "value"),
    [
        ("QUORLIX_REQUEST_TIMEOUT", "soon"),
        ("QUORLIX_REQUEST_TIMEOUT", "0"),
        ("QUORLIX_REQUEST_TIMEOUT", "-3"),
        ("QUORLIX_REQUEST_TIMEOUT", "inf"),
        ("QUORLIX_MAX_RETRIES", "-1"),
        ("QUORLIX_MAX_RETRIES", "1.5"),
        ("QUORLIX_MAX_RETRIES", "two"),
        ("AZURE_OPENAI_ENDPOINT", "my-resource.openai.azure.com"),
        ("AZURE_OPENAI_ENDPOINT", "ftp://my-resource.openai.azure.com/"),
    ],
)
def test_malformed_values_name_the_variable(env, variable, value):
    env.setenv(variable, value)
    with pytest.raises(ConfigurationError) as caught:
        AzureOpenAIChat35()
    assert variable in str(caught.value)
    assert value in str(caught.value)


@pytest.mark.parametrize(
    "overrides", [{"timeout": True}, {"max_retries": 2.0}, {"azure_deployment": 35}]
)
def test_malformed_keywords_are_refused(env, overrides):
    with pytest.raises(ConfigurationError) as caught:
        AzureOpenAIChat35(**overrides)
    assert next(iter(overrides)) in str(caught.value)


# --- secrets ---------------------------------------------------------------------------------


def test_the_key_never_shows_in_text_forms(env):
    config = AzureOpenAIChat35()
    for text in (repr(config), str(config), repr(vars(config)), f"{config}"):
        assert KEY not in text
    assert "dep-35" in repr(config)


def test_a_blank_key_is_refused_without_echoing_it(env):
    with pytest.raises(ConfigurationError) as caught:
        AzureOpenAIChat35(api_key="   ")
    assert "api_key" in str(caught.value)


def test_a_secret_key_object_is_kept(env):
    config = AzureOpenAIChat35(api_key=SecretStr("sk-secret"))
    assert config.api_key.get_secret_value() == "sk-secret"


# --- handing the settings to AzureChatOpenAI ----------------------------------------------


@pytest.mark.parametrize("cls", [AzureOpenAIChat35, AzureOpenAIChat4])
def test_chat_model_builds_from_the_attribute_dictionary(env, cls):
    env.setenv("QUORLIX_REQUEST_TIMEOUT", "7")
    env.setenv("QUORLIX_MAX_RETRIES", "1")
    config = cls()
    model = build_model(config)
    assert model.azure_endpoint == ENDPOINT
    assert model.deployment_name == config.azure_deployment
    assert model.openai_api_version == documented()["OPENAI_API_VERSION"][1]
    assert model.openai_api_key.get_secret_value() == KEY
    assert model.model_name == config.model
    assert (model.request_timeout, model.max_retries) == (7.0, 1)
    assert (model.max_tokens, model.temperature, model.top_p) == (1, 0, 0.95)


class _Answer(BaseModel):
    answer: str


def _structured_kwargs(model_name):
    model = build_model(AzureOpenAIChat35(model=model_name))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return model.with_structured_output(_Answer).first.kwargs


@pytest.mark.parametrize("name", ["gpt-35-turbo", "gpt-4", "gpt-4-turbo", "gpt-4-32k"])
def test_older_model_names_get_function_calling(env, name):
    kwargs = _structured_kwargs(name)
    assert kwargs["ls_structured_output_format"]["kwargs"]["method"] == "function_calling"
    assert kwargs["tools"][0]["function"]["name"] == "_Answer"
    assert "response_format" not in kwargs


@pytest.mark.parametrize("name", ["gpt-4o", "gpt-4o-mini", "gpt-4.1", "gpt-5-chat"])
def test_newer_model_names_get_json_schema(env, name):
    kwargs = _structured_kwargs(name)
    assert kwargs["ls_structured_output_format"]["kwargs"]["method"] == "json_schema"
    assert kwargs["response_format"] is _Answer
    assert "tools" not in kwargs


def test_default_model_names_work_on_every_deployment(env):
    # Function calling is understood by old and new deployments alike.
    for cls in (AzureOpenAIChat35, AzureOpenAIChat4):
        model = build_model(cls())
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            assert "tools" in model.with_structured_output(_Answer).first.kwargs


# --- the relevant-table picker -------------------------------------------------------------


class StandInTableNode:
    """Plays RelevantTableNames until the compiled node module can be imported here."""

    def __init__(self, db, model):
        self.db, self.model, self.states = db, model, []

    def invoke(self, state, **kwargs):
        self.states.append(dict(state))
        return {"relevant_tables": ["orders", "items"], "ignored": True}


@pytest.fixture
def picker(env, monkeypatch):
    module = types.ModuleType("quorlix.querymesh.nodewright")
    module.RelevantTableNames = StandInTableNode
    monkeypatch.setitem(sys.modules, "quorlix.querymesh.nodewright", module)
    from quorlix.function_calling.base import RelevantTablePicker

    return RelevantTablePicker(config=AzureOpenAIChat35(), db=THE_DB)


# The picker asks the database for its tables, to keep the model's answer to real ones.
THE_DB = types.SimpleNamespace(get_usable_table_names=lambda: ["items", "orders"])


def test_picker_builds_a_deterministic_model_from_the_settings(picker):
    assert isinstance(picker.model, AzureChatOpenAI)
    assert picker.model.temperature == 0
    assert picker.model.deployment_name == "dep-35"
    assert picker.node.model is picker.model
    assert picker.node.db is THE_DB


def test_picker_returns_only_the_relevant_tables(picker):
    state = {"user_question": "q", "table_names_from_db": "orders, items", "rewritten_question": ""}
    assert picker.invoke(state) == {"relevant_tables": ["orders", "items"]}
    assert picker.node.states == [state]


def test_picker_runs_as_a_langgraph_node(picker):
    from langgraph.graph import END, StateGraph

    class State(TypedDict):
        user_question: str
        table_names_from_db: str
        rewritten_question: str
        relevant_tables: list[str]

    assert "config" not in inspect.signature(picker.invoke).parameters
    graph = StateGraph(State)
    graph.add_node("relevant_table_names_node", picker.invoke)
    graph.set_entry_point("relevant_table_names_node")
    graph.add_edge("relevant_table_names_node", END)
    inputs = {
        "user_question": "q",
        "table_names_from_db": "orders, items",
        "rewritten_question": "",
    }
    final = graph.compile().invoke(inputs)
    assert final["relevant_tables"] == ["orders", "items"]
    assert picker.node.states == [inputs]


def test_picker_prompt_with_the_real_node(env):
    from quorlix.function_calling.base import RelevantTablePicker
    from quorlix.querymesh import nodewright
    from quorlix.querymesh.querymesh_prompts import TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE

    db = types.SimpleNamespace(dialect="sqlite")
    picker = RelevantTablePicker(config=AzureOpenAIChat35(), db=db)
    assert isinstance(picker.node, nodewright.RelevantTableNames)
    state = {
        "user_question": "How many orders?",
        "table_names_from_db": "orders, items",
        "rewritten_question": "",
    }
    system, human = picker.node.generate_prompt(state)
    assert "sqlite" in system.content
    assert "How many orders?" in human.content and "orders, items" in human.content
    assert human.content.endswith(TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE)
