"""The hostile corpus through whole graph runs: the stub model proposes each statement as the
generated SQL and the checker echoes it; the database wrapper must refuse every one, the run must
record the refusal as the execution result, and no table may change."""

from __future__ import annotations

from collections import deque

import pytest
from quorlix.querymesh import querymesh
from quorlix.querymesh.custom_sql import UnsafeSQLError  # noqa: E402
from quorlix.settings import AzureOpenAIChat4, AzureOpenAIChat35  # noqa: E402
from safety_scripts import ByRequest, serve
from test_custom_sql import (  # noqa: F401 - fixtures used by name
    _probe_path,
    corpus_for,
    mysql_sample,
    pg_sample,
    snapshot,
    target,
)

pytestmark = pytest.mark.filterwarnings("ignore:Parameters {'top_p'}:UserWarning")


def refusal(db, statement: str) -> str:
    with pytest.raises(UnsafeSQLError) as refused:
        db.run(statement)
    return str(refused.value)


def test_every_hostile_statement_proposed_in_a_run_is_refused(
    target,  # noqa: F811 - the fixture imported above
    stub_azure_env,
    stub_llm,
    tmp_path,
    capsys,
):
    probe = _probe_path(target)
    statements = [each.replace("@PROBE@", str(probe)) for each in corpus_for(target.kind)]
    assert len(statements) >= 200
    db = target.wrapper()
    graph = querymesh.SQLGraph(db, AzureOpenAIChat35(), AzureOpenAIChat4())
    before = snapshot(target)

    # Each run goes through the whole correction loop, every attempt a different statement, so a
    # run tries several of them; a run that outlasts the corpus goes round it again.
    waiting = deque(statements)
    proposed_once: set[str] = set()

    def next_hostile(prompt: str) -> str:
        statement = waiting.popleft() if waiting else statements[0]
        proposed_once.add(statement)
        return statement

    serve(stub_llm, ByRequest(next_hostile), replies=len(statements) * 3 + 100)
    problems = []
    while waiting:
        final = graph.invoke(
            {
                "user_question": "Show the orders.",
                # Read by the final node, which these runs reach without any analysis.
                "pandas_code": "(no program)",
                "python_executed_output": "(no output)",
            }
        )
        results = final["sql_execution_result"]
        for statement, result in zip(final["generated_sql_query"], results, strict=True):
            if result != refusal(db, statement):
                problems.append(f"{statement!r} was recorded as {result!r}")
    capsys.readouterr()  # the response node prints its prompts: drop them

    assert not problems, "\n".join(problems)
    assert proposed_once == set(statements)
    assert not stub_llm.errors
    assert snapshot(target) == before
    assert not probe.exists()
