"""Graph runs on several threads of one process, through one shared graph object: each run keeps
what its own analysis program printed, and the process's standard output survives them all."""

from __future__ import annotations

import re
import sys
from concurrent.futures import ThreadPoolExecutor

import pytest
from quorlix.querymesh import querymesh
from quorlix.querymesh.custom_sql import CustomSQLDatabase  # noqa: E402
from quorlix.settings import AzureOpenAIChat4, AzureOpenAIChat35  # noqa: E402
from safety_scripts import ByRequest, serve

pytestmark = pytest.mark.filterwarnings("ignore:Parameters {'top_p'}:UserWarning")

RUNS, THREADS, LINES = 32, 8, 40
TOKEN = re.compile(r"token-\d+")


def token_of(prompt: str) -> str:
    tokens = set(TOKEN.findall(prompt))
    assert len(tokens) == 1, f"a prompt should carry exactly one run's token, found {tokens}"
    return tokens.pop()


def sql_for(prompt: str) -> str:
    return f"SELECT '{token_of(prompt)}' AS token, COUNT(*) AS orders FROM orders"


def program_for(prompt: str) -> str:
    # Many small writes, so that runs on different threads interleave while printing.
    return f"for line in range({LINES}):\n    print({token_of(prompt)!r}, line)\n"


def printed_by(token: str) -> str:
    return "".join(f"{token} {line}\n" for line in range(LINES))


def test_runs_on_many_threads_keep_their_own_output(
    stub_azure_env, stub_llm, sqlite_sample_db, tmp_path, capsys
):
    serve(stub_llm, ByRequest(sql_for, program_for), replies=RUNS * 12)
    db = CustomSQLDatabase.from_uri(sqlite_sample_db.url)
    graph = querymesh.SQLGraph(db, AzureOpenAIChat35(), AzureOpenAIChat4())

    def run(number: int) -> tuple[str, dict]:
        token = f"token-{number}"
        inputs = {
            "user_question": f"How many orders are there? Tag the answer {token}.",
            "save_path": str(tmp_path / f"{token}.png"),
            "max_iterations_pandas": 1,
        }
        return token, graph.invoke(inputs)

    try:
        with ThreadPoolExecutor(max_workers=THREADS) as pool:
            finished = list(pool.map(run, range(RUNS)))
    finally:
        db._engine.dispose()

    assert not stub_llm.errors
    assert len(finished) == RUNS
    for token, final in finished:
        assert final["python_executed_output"] == printed_by(token)
        assert final["final_response"] == "From the analysis: " + printed_by(token)
        assert f"'{token}'" in final["sql_execution_result"][-1]
    # No capture outlives its run: sys.stdout is the real stream, or the router with an empty
    # table that forwards everything to it.
    if hasattr(type(sys.stdout), "__qx_output_router__"):
        assert vars(sys.stdout)["_qx_captures"] == {}
    print("after the runs")
    assert capsys.readouterr().out.endswith("after the runs\n")
