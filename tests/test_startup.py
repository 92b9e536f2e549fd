"""Start-up of `quorlix ask`: the analysis sandbox boots beside the graph import, and the chat
models share one HTTP client."""

from __future__ import annotations

import json

import pytest
from quorlix import cli
from support.stub_openai import delay, structured, text

pytestmark = pytest.mark.filterwarnings("ignore::UserWarning")


def _script(stub, code: str) -> None:
    stub.reply(
        structured({"relevant_tables": ["orders"]}),
        structured({"sql_query": "SELECT COUNT(*) FROM orders"}),
        text("SELECT COUNT(*) FROM orders"),
        structured({"code": code}),
        structured({"final_response": "Counted.", "image_path": ""}),
    )


@pytest.mark.parametrize(("sandbox", "booted_first"), [("auto", True), ("off", False)])
def test_ask_boots_the_analysis_sandbox_before_importing_the_graph(
    stub_azure_env, sqlite_sample_db, monkeypatch, capsys, tmp_path, sandbox, booted_first
):
    from quorlix import _sandbox
    from quorlix.cli import ask

    monkeypatch.setenv("QUORLIX_ANALYSIS_SANDBOX", sandbox)
    steps = []
    real_prestart, real_import = _sandbox.prestart, ask.import_graph_module
    monkeypatch.setattr(_sandbox, "prestart", lambda: (steps.append("sandbox"), real_prestart()))
    monkeypatch.setattr(
        ask, "import_graph_module", lambda: (steps.append("graph"), real_import())[1]
    )
    _script(stub_azure_env, "import pandas as pd\nprint(pd.Series([1, 2, 3]).sum())")
    argv = ["ask", "How many orders?", "--db", sqlite_sample_db.url, "--json"]

    assert cli.main([*argv, "--chart", str(tmp_path / "chart.png")]) == 0

    assert json.loads(capsys.readouterr().out)["python_executed_output"] == "6\n"
    assert steps[:2] == (["sandbox", "graph"] if booted_first else ["graph"])


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


@pytest.mark.parametrize("command", [True, False])
def test_start_up_collections_are_relaxed_only_until_the_graph_is_in(command):
    import gc

    from quorlix.cli import collector
    from quorlix.cli.common import import_graph_module

    before, frozen = gc.get_threshold(), gc.get_freeze_count()
    try:
        if command:  # what the quorlix command does first
            collector.fewer_collections_during_start_up()
            assert gc.get_threshold()[0] > before[0]
        import_graph_module()
        assert gc.get_threshold() == before
        # Only the command freezes what start-up made; a program importing quorlix keeps its own.
        assert (gc.get_freeze_count() > frozen) is command
    finally:
        gc.unfreeze()
        gc.set_threshold(*before)
