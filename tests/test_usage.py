"""Token usage per node and per run, its cost from a price table, and how the CLI shows both."""

from __future__ import annotations

import json
import re

import pytest
from quorlix import cli
from quorlix.querymesh import querymesh
from quorlix.querymesh.custom_sql import CustomSQLDatabase
from quorlix.settings import AzureOpenAIChat4, AzureOpenAIChat35
from quorlix.usage import (
    ModelCall,
    PriceTableError,
    UsageRecorder,
    load_prices,
    summarize,
)
from support.stub_openai import CHAT4_DEPLOYMENT, CHAT35_DEPLOYMENT, structured, text

pytestmark = pytest.mark.filterwarnings("ignore::UserWarning")

SQL = "SELECT COUNT(*) FROM orders"
MODEL_NODES = [
    ("relevant_table_names_node", CHAT35_DEPLOYMENT),
    ("sql_generation_node", CHAT4_DEPLOYMENT),
    ("sql_syntax_checker_node", CHAT35_DEPLOYMENT),
    ("pandas_generator_node", CHAT35_DEPLOYMENT),
    ("final_response_generation_node", CHAT35_DEPLOYMENT),
]
PRICES = {
    "currency": "EUR",
    CHAT35_DEPLOYMENT: {"input": 0.5, "output": 1.5},
    CHAT4_DEPLOYMENT: {"input": 2.5, "output": 10},
}


def script_run(stub) -> None:
    stub.reply(
        structured({"relevant_tables": ["orders"]}),
        structured({"sql_query": SQL}),
        text(SQL),
        structured({"code": "print('orders counted')"}),
        structured({"final_response": "There are orders.", "image_path": ""}),
    )


def inputs(tmp_path) -> dict:
    return {
        "user_question": "How many orders?",
        "save_path": str(tmp_path / "chart.png"),
        "max_iterations_pandas": 2,
        "pandas_code": "",
        "python_executed_output": "",
    }


@pytest.fixture
def graph(stub_azure_env, sqlite_sample_db):
    database = CustomSQLDatabase.from_uri(sqlite_sample_db.url)
    yield querymesh.SQLGraph(database, AzureOpenAIChat35(), AzureOpenAIChat4())
    database._engine.dispose()


def _invoke_recording(graph, recorder, run_inputs):
    with recorder.recording():
        return graph.invoke(run_inputs)


def _invoke_with_callbacks(graph, recorder, run_inputs):
    config = {**graph.runnable_config, "callbacks": [recorder]}
    return graph.compiled_graph.invoke(run_inputs, config=config)


def _invoke_plain(graph, recorder, run_inputs):
    return graph.invoke(run_inputs)


# --- recording through a real run ----------------------------------------------------------


@pytest.mark.parametrize("attach", [_invoke_recording, _invoke_with_callbacks, _invoke_plain])
def test_each_model_call_is_recorded_with_its_node_deployment_and_tokens(
    graph, stub_azure_env, tmp_path, attach
):
    script_run(stub_azure_env)
    recorder = UsageRecorder()

    final = attach(graph, recorder, inputs(tmp_path))

    # Recording changes nothing about the run itself.
    assert final["generated_sql_query"] == [SQL] and final["final_response"] == "There are orders."
    assert final["python_executed_output"] == "orders counted\n"
    if attach is _invoke_plain:
        assert recorder.calls == []
        return
    sent = stub_azure_env.usage_sent
    assert [(call.node, call.deployment) for call in recorder.calls] == MODEL_NODES
    reported = [(c.prompt_tokens, c.completion_tokens, c.total_tokens) for c in recorder.calls]
    assert reported == [
        (u["prompt_tokens"], u["completion_tokens"], u["total_tokens"]) for u in sent
    ]
    total = recorder.total()
    assert (total.calls, total.total_tokens) == (5, sum(u["total_tokens"] for u in sent))
    assert list(recorder.by_node()) == [node for node, _ in MODEL_NODES]


def test_a_service_without_usage_reports_none_not_zero(graph, stub_azure_env, tmp_path):
    script_run(stub_azure_env)
    stub_azure_env.report_usage(False)
    recorder = UsageRecorder(load_prices(json.dumps(PRICES)))

    _invoke_recording(graph, recorder, inputs(tmp_path))

    assert recorder.summary() == "5 model calls, usage not reported"
    shown = recorder.as_dict()
    assert shown["model_calls"] == 5 and shown["calls_without_usage"] == 5
    for key in ("prompt_tokens", "completion_tokens", "total_tokens", "cost"):
        assert shown[key] is None
    assert shown["by_node"]["sql_generation_node"]["total_tokens"] is None


# --- totals, text and cost -------------------------------------------------------------------


def _call(deployment: str, prompt: int | None, completion: int | None) -> ModelCall:
    total = None if prompt is None else prompt + (completion or 0)
    return ModelCall("node", deployment, prompt, completion, total)


@pytest.mark.parametrize(
    ("calls", "prices", "expected"),
    [
        ([], None, "0 model calls"),
        ([_call("a", 9000, 1240), _call("a", 800, 200)], None,
         "2 model calls, 11,240 tokens (9,800 prompt, 1,440 completion)"),
        ([_call("a", None, None)], None, "1 model call, usage not reported"),
        ([_call("a", 100, 50), _call("a", None, None)], None,
         "2 model calls, 150 tokens (100 prompt, 50 completion), usage not reported for 1"),
        ([_call("a", 1000, 1000), _call("b", 2000, 0)],
         {"currency": "USD", "a": {"input": 0.5, "output": 1.5}, "b": {"input": 2, "output": 8}},
         "2 model calls, 4,000 tokens (3,000 prompt, 1,000 completion), cost 6.0000 USD"),
        ([_call("a", 10, 10), _call("c", 10, 0)], {"a": {"input": 0.01, "output": 0.03}},
         "2 model calls, 30 tokens (20 prompt, 10 completion), cost 0.0004 (no price for c)"),
        ([_call("c", 10, 10)], {"a": {"input": 1, "output": 1}},
         "1 model call, 20 tokens (10 prompt, 10 completion) (no price for c)"),
    ],
)  # fmt: skip
def test_usage_text(calls, prices, expected):
    table = load_prices(json.dumps(prices)) if prices else None
    assert summarize(calls, table).describe() == expected


@pytest.mark.parametrize(
    ("value", "message"),
    [
        ("[1, 2]", "must be a JSON object"),
        ("{nope", "not valid JSON"),
        ('{"d": {"input": 1}}', "must be"),
        ('{"d": {"input": -1, "output": 1}}', "0 or more"),
        ('{"d": {"input": true, "output": 1}}', "0 or more"),
        ('{"currency": 3, "d": {"input": 1, "output": 1}}', "currency"),
        ("/no/such/prices.json", "neither a JSON object nor a readable file"),
    ],
)
def test_malformed_price_tables_are_refused(value, message):
    with pytest.raises(PriceTableError, match=message):
        load_prices(value)


def test_prices_come_from_a_file_or_the_environment(tmp_path, monkeypatch):
    path = tmp_path / "prices.json"
    path.write_text(json.dumps(PRICES))
    monkeypatch.setenv("QUORLIX_PRICES", str(path))
    prices = load_prices()
    assert prices.currency == "EUR" and prices.cost(CHAT4_DEPLOYMENT, 1000, 100) == 3.5
    monkeypatch.setenv("QUORLIX_PRICES", " ")
    assert load_prices() is None


# --- the command line --------------------------------------------------------------------


@pytest.mark.parametrize("reported", [True, False])
def test_ask_shows_usage_per_step_at_the_end_and_in_json(
    stub_azure_env, sqlite_sample_db, monkeypatch, capsys, tmp_path, reported
):
    monkeypatch.setenv("QUORLIX_PRICES", json.dumps(PRICES))
    script_run(stub_azure_env)
    stub_azure_env.report_usage(reported)
    chart = str(tmp_path / "chart.png")
    argv = ["ask", "How many orders?", "--db", sqlite_sample_db.url, "--chart", chart]

    assert cli.main(argv) == 0
    first_err = capsys.readouterr().err
    script_run(stub_azure_env)
    assert cli.main([*argv, "--json"]) == 0
    out = capsys.readouterr().out

    sent = stub_azure_env.usage_sent
    steps = {m[1]: m[2] for m in re.finditer(r"^\s+\d+\. (\w+) .*?(?:\[(.+)\])?$", first_err, re.M)}
    for index, (node, _) in enumerate(MODEL_NODES):
        assert steps[node] == (f"{sent[index]['total_tokens']:,} tokens" if reported
                               else "usage not reported")  # fmt: skip
    assert steps["sql_execution_node"] is None  # no model call, nothing shown
    usage = json.loads(out)["usage"]
    assert "chart_path" in json.loads(out)
    closing = first_err.strip().splitlines()[-1]
    if reported:
        total = sum(u["total_tokens"] for u in sent[:5])
        assert f": 5 model calls, {total:,} tokens (" in closing and "EUR" in closing
        assert usage["total_tokens"] == sum(u["total_tokens"] for u in sent[5:])
        assert usage["cost"] > 0 and usage["currency"] == "EUR"
        assert usage["by_deployment"][CHAT4_DEPLOYMENT]["model_calls"] == 1
    else:
        assert closing.endswith(": 5 model calls, usage not reported.")
        assert usage["total_tokens"] is None and usage["cost"] is None
    assert usage["model_calls"] == 5


def test_a_malformed_price_table_is_a_usage_error(stub_azure_env, monkeypatch, capsys):
    monkeypatch.setenv("QUORLIX_PRICES", "{oops")

    assert cli.main(["ask", "How many orders?"]) == 2
    assert "QUORLIX_PRICES" in capsys.readouterr().err
    assert stub_azure_env.requests == []
