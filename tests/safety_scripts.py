"""Chat-model answers decided by the request alone, for graph runs that share one stub server
(concurrent runs, long batches): nothing depends on the order in which requests arrive."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

from graph_scripts import schema_name, section
from support.stub_openai import text

CHECKER_TAIL = "\nDouble check the "


def checked_query(prompt: str) -> str:
    """The query a checker request shows, which the review echoes unchanged."""
    # The checker's template puts the query between a leading newline and its instructions.
    start = 1 if prompt.startswith("\n") else 0
    return prompt[start : prompt.index(CHECKER_TAIL)]


class ByRequest:
    """Answers each request from its own prompt: ``sql(prompt)`` gives the generated SQL (or a
    stub reply such as an HTTP error), ``program(prompt)`` the analysis code."""

    def __init__(
        self,
        sql: Callable[[str], Any],
        program: Callable[[str], str] = lambda prompt: "print('analysed')",
        tables: tuple[str, ...] = ("customers", "orders"),
    ) -> None:
        self.sql = sql
        self.program = program
        self.tables = list(tables)

    def __call__(self, request):
        kind = schema_name(request) or "review"
        prompt = request.prompt_text
        if kind == "RelevantTablesOutput":
            return {"relevant_tables": self.tables}
        if kind == "SQLQueryInput":
            query = self.sql(prompt)
            return {"sql_query": query} if isinstance(query, str) else query
        if kind == "review":
            return text(checked_query(prompt))
        if kind == "RewriteQueryOutput":
            return {"rewritten_question": "Rewritten: how many orders came from each city?"}
        if kind == "PythonCodeInput":
            return {"code": self.program(prompt)}
        if kind == "GenerationOutput":
            output = section(prompt, "Python executed result: ", "\nUse the above result")
            return {"final_response": f"From the analysis: {output}", "image_path": ""}
        raise AssertionError(f"unexpected request kind {kind}")


def serve(stub, responder, replies: int) -> None:
    stub.reply(*([responder] * replies))
