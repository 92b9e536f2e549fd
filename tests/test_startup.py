"""Start-up overlap of `quorlix ask`: background steps hand back their result or their error,
warm-ups run beside the run and never break it, and switching the overlap off changes nothing
but the timing."""

from __future__ import annotations

import json
import threading

import pytest
from quorlix import cli
from quorlix.cli import startup
from support.stub_openai import delay, structured, text

pytestmark = pytest.mark.filterwarnings("ignore::UserWarning")


@pytest.mark.parametrize(
    ("setting", "on_a_thread"), [(None, False), ("1", True), ("0", False), ("off", False)]
)
@pytest.mark.parametrize("outcome", ["value", "error"])
def test_a_background_step_hands_back_its_result_or_error(
    monkeypatch, setting, on_a_thread, outcome
):
    if setting is None:
        monkeypatch.delenv(startup.OVERLAP_VARIABLE, raising=False)
    else:
        monkeypatch.setenv(startup.OVERLAP_VARIABLE, setting)
    caller = threading.current_thread()
    ran_on = []

    def step():
        ran_on.append(threading.current_thread())
        if outcome == "error":
            raise LookupError("no such thing")
        return 42

    pending = startup.in_background("step", step)

    if outcome == "error":
        with pytest.raises(LookupError, match="no such thing"):
            pending.result()
    else:
        assert pending.result() == 42
    assert (ran_on[0] is not caller) == on_a_thread


@pytest.mark.parametrize(("setting", "started"), [("1", True), ("0", False)])
def test_warm_ups_run_beside_the_caller_and_their_failures_are_ignored(
    monkeypatch, setting, started
):
    monkeypatch.setenv(startup.OVERLAP_VARIABLE, setting)
    ran = []

    def failing():
        ran.append("failing")
        raise ImportError("no analysis library here")

    monkeypatch.setattr(
        startup, "WARM_UPS", [("failing", failing), ("fine", lambda: ran.append("fine"))]
    )

    threads = startup.start_warm_ups()
    for thread in threads:
        thread.result()  # a failing warm-up must not surface

    assert sorted(ran) == (["failing", "fine"] if started else [])


def _script(stub, code: str) -> None:
    stub.reply(
        structured({"relevant_tables": ["orders"]}),
        structured({"sql_query": "SELECT COUNT(*) FROM orders"}),
        text("SELECT COUNT(*) FROM orders"),
        structured({"code": code}),
        structured({"final_response": "Counted.", "image_path": ""}),
    )


def test_ask_gives_the_same_answer_with_and_without_overlap(
    stub_azure_env, sqlite_sample_db, monkeypatch, capsys, tmp_path
):
    code = "import pandas as pd\nprint(pd.Series([1, 2, 3]).sum())"
    argv = ["ask", "How many orders?", "--db", sqlite_sample_db.url, "--json"]
    argv += ["--chart", str(tmp_path / "chart.png")]
    states = []
    for setting in ("1", "0"):
        monkeypatch.setenv(startup.OVERLAP_VARIABLE, setting)
        _script(stub_azure_env, code)
        assert cli.main(argv) == 0
        states.append(json.loads(capsys.readouterr().out))

    overlapped, sequential = states
    assert overlapped["python_executed_output"] == "6\n"
    assert overlapped == sequential


@pytest.mark.parametrize(("timeout", "answered"), [(0.3, False), (5.0, True)])
def test_models_share_one_http_client_yet_keep_their_own_time_out(
    stub_azure_env, timeout, answered
):
    import openai
    from langchain_openai import AzureChatOpenAI
    from quorlix.settings import AzureOpenAIChat4, AzureOpenAIChat35

    patient = AzureChatOpenAI(**vars(AzureOpenAIChat4(timeout=5.0)))
    model = AzureChatOpenAI(**vars(AzureOpenAIChat35(timeout=timeout)))
    assert model.root_client._client is patient.root_client._client
    stub_azure_env.reply(delay(1.0, "late but fine"))

    if answered:
        assert model.invoke("hello").content == "late but fine"
    else:
        with pytest.raises(openai.APITimeoutError):
            model.invoke("hello")
