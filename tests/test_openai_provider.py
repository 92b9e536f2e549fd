"""Provider openai: the graph's five models and the table picker's are ChatOpenAI models at
OPENAI_BASE_URL, asking for records in the way the server accepts; the stub server stands in
for OpenAI, a gateway or a local server that refuses response_format or tools."""

from __future__ import annotations

import json
import re

import pytest
from graph_scripts import ANALYSIS_PROGRAM, CITY_ORDERS_SQL, Responder, script
from pydantic import BaseModel, Field
from support.stub_openai import OPENAI_CHAT4_MODEL, OPENAI_CHAT35_MODEL, http_error, structured

pytestmark = pytest.mark.filterwarnings("ignore:Parameters {'top_p'}:UserWarning")

QUESTION = "Which city placed the most orders?"


def _graph(db_url: str):
    from quorlix.answering.graph_build import build_graph, chat_settings
    from quorlix.querymesh.custom_sql import CustomSQLDatabase

    config_35, config_4 = chat_settings()
    return build_graph(CustomSQLDatabase.from_uri(db_url), config_35, config_4)


def _structured_modes(stub) -> list[str]:
    """How each answered request asked for a record (plain text calls left out)."""
    from sql_fakes import schema_name

    modes = []
    for request in stub.requests:
        if schema_name(request) is None:
            continue
        modes.append(request.output_mode if request.output_mode != "text" else "prompt")
    return modes


@pytest.mark.parametrize(
    ("refused", "mode"),
    [
        ((), "json_schema"),
        (("response_format",), "tools"),
        (("response_format", "tools"), "prompt"),
    ],
)
def test_a_whole_run_answers_whatever_the_server_refuses(
    stub_openai_env, sqlite_sample_db, tmp_path, monkeypatch, refused, mode
):
    from quorlix.answering import answer_question

    prices = {OPENAI_CHAT35_MODEL: {"input": 0.001, "output": 0.002}}
    prices[OPENAI_CHAT4_MODEL] = {"input": 0.01, "output": 0.03}
    chart = tmp_path / "chart.png"
    stub_openai_env.refuse(*refused)
    script(stub_openai_env, Responder([CITY_ORDERS_SQL], [ANALYSIS_PROGRAM], str(chart)))
    from quorlix.usage import load_prices

    graph = _graph(sqlite_sample_db.url)
    outcome = answer_question(
        graph, QUESTION, save_path=chart, prices=load_prices(json.dumps(prices))
    )

    assert outcome.error is None
    assert outcome.state["generated_sql_query"] == [CITY_ORDERS_SQL]
    assert outcome.state["final_response"].startswith("From the analysis: Busiest city: Dublin")
    requests = stub_openai_env.requests
    assert {request.path for request in requests} == {"/v1/chat/completions"}
    assert {request.headers["authorization"] for request in requests} == {"Bearer test"}
    # Each of the two models finds out once per refused parameter; later calls go straight on.
    modes = _structured_modes(stub_openai_env)
    assert modes.count(mode) == len(modes) - 2 * len(refused)
    assert modes[-1] == mode
    by_model = outcome.usage.by_deployment()
    assert set(by_model) == {OPENAI_CHAT35_MODEL, OPENAI_CHAT4_MODEL}
    assert outcome.usage.total().cost is not None
    assert outcome.usage.total().unpriced_deployments == []


class Verdict(BaseModel):
    verdict: str = Field(description="yes or no")


NOT_A_REFUSAL = http_error(400, "This model's maximum context length is 8192 tokens.")


@pytest.mark.parametrize(
    ("setting", "refused", "replies", "modes", "fails"),
    [
        # Told how, it asks that way only, without probing.
        ("function_calling", (), [structured({"verdict": "yes"})], ["tools"], False),
        ("json_mode", (), ['Sure: {"verdict": "yes"}'], ["prompt"], False),
        # Told how, a refusal is the answer: no other way is tried.
        ("json_schema", ("response_format",), [], ["json_schema"], True),
        # Any other error of the request is no refusal: it is raised, not worked around.
        ("auto", (), [NOT_A_REFUSAL], ["json_schema"], True),
        # A server that takes the tools but answers in text gets the prompt next.
        (
            "auto",
            ("response_format",),
            ["no tools here", '{"verdict": "no"}'],
            ["json_schema", "tools", "prompt"],
            False,
        ),
    ],
)
def test_structured_output_follows_the_setting(
    stub_openai_env, monkeypatch, setting, refused, replies, modes, fails
):
    import openai
    from quorlix.providers import chat_model
    from quorlix.providers.openai_settings import OpenAIChat4

    monkeypatch.setenv("QUORLIX_STRUCTURED_OUTPUT", setting)
    stub_openai_env.refuse(*refused).reply(*replies)
    asking = chat_model(OpenAIChat4(), temperature=0).with_structured_output(Verdict)

    if fails:
        with pytest.raises(openai.BadRequestError):
            asking.invoke("Is Dublin a city?")
    else:
        assert isinstance(asking.invoke("Is Dublin a city?"), Verdict)
    assert _structured_modes(stub_openai_env) == modes
    stub_openai_env.assert_script_consumed()


@pytest.mark.parametrize("provider", ["azure", "openai"])
def test_each_provider_builds_its_own_model_class_and_leaves_the_graph_module_alone(
    stub_azure_env, stub_openai_env, sqlite_sample_db, monkeypatch, provider
):
    import langchain_openai
    from quorlix.providers.openai_chat import OpenAICompatibleChat
    from quorlix.querymesh import querymesh

    if provider == "azure":
        for name, value in stub_azure_env.environment().items():
            monkeypatch.setenv(name, value)
        monkeypatch.setenv("QUORLIX_PROVIDER", "azure")
    expected = {"azure": langchain_openai.AzureChatOpenAI, "openai": OpenAICompatibleChat}

    graph = _graph(sqlite_sample_db.url)

    models = [
        graph.relevant_tables_model,
        graph.sql_generation_model,
        graph.response_model,
        graph.pandas_code_model,
        graph.pandas_ai_model,
        graph.relevant_table_picker.model,
    ]
    assert {type(model) for model in models} == {expected[provider]}
    assert querymesh.AzureChatOpenAI is langchain_openai.AzureChatOpenAI


@pytest.mark.parametrize(
    ("variables", "problem"),
    [
        ({"QUORLIX_PROVIDER": "bedrock"}, "QUORLIX_PROVIDER must be 'azure' or 'openai'"),
        ({"OPENAI_BASE_URL": None, "OPENAI_API_KEY": None}, "OPENAI_API_KEY is not set"),
        ({"OPENAI_BASE_URL": "localhost:8000"}, "OPENAI_BASE_URL must be an http(s) URL"),
    ],
)
def test_unusable_openai_settings_name_the_variable(
    stub_openai_env, monkeypatch, variables, problem
):
    from quorlix.answering.graph_build import chat_settings
    from quorlix.settings import ConfigurationError

    for name, value in variables.items():
        if value is None:
            monkeypatch.delenv(name, raising=False)
        else:
            monkeypatch.setenv(name, value)
    with pytest.raises(ConfigurationError, match=re.escape(problem)):
        chat_settings()


def test_a_local_server_needs_no_key(stub_openai_env, monkeypatch):
    from quorlix.answering.graph_build import chat_settings

    monkeypatch.delenv("OPENAI_API_KEY")
    config_35, _ = chat_settings()
    assert config_35.api_key.get_secret_value() != ""


@pytest.mark.parametrize(
    ("answers", "code"), [(["OK", "OK"], 0), (["OK", http_error(404, "no such model")], 1)]
)
def test_models_check_asks_each_model_of_provider_openai(stub_openai_env, capsys, answers, code):
    from quorlix import cli

    stub_openai_env.reply(*answers)
    done = cli.main(["models", "check", "--json"])
    report = json.loads(capsys.readouterr().out)

    assert done == code
    assert report["provider"] == "openai"
    assert report["endpoint"] == f"{stub_openai_env.url}/v1"
    assert [row["model"] for row in report["deployments"]] == [
        OPENAI_CHAT35_MODEL,
        OPENAI_CHAT4_MODEL,
    ]
    assert [row["ok"] for row in report["deployments"]] == [answer == "OK" for answer in answers]
    assert [request.json["model"] for request in stub_openai_env.requests] == [
        OPENAI_CHAT35_MODEL,
        OPENAI_CHAT4_MODEL,
    ]


def test_quorlix_ask_answers_through_provider_openai(
    stub_openai_env, sqlite_sample_db, tmp_path, capsys
):
    from quorlix import cli

    chart = tmp_path / "chart.png"
    script(stub_openai_env, Responder([CITY_ORDERS_SQL], [ANALYSIS_PROGRAM], str(chart)))
    argv = ["ask", QUESTION, "--db", sqlite_sample_db.url, "--chart", str(chart), "--json"]

    assert cli.main(argv) == 0

    printed = json.loads(capsys.readouterr().out)
    assert printed["generated_sql_query"] == [CITY_ORDERS_SQL]
    assert set(printed["usage"]["by_deployment"]) == {OPENAI_CHAT35_MODEL, OPENAI_CHAT4_MODEL}
