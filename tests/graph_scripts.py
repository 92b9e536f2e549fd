"""Scripted chat-model answers for whole-graph runs against the stub server, and helpers that
build the graph over a database and count node runs."""

from __future__ import annotations

import re
from collections import Counter
from typing import Any

from quorlix.querymesh import graph_names as names
from sql_fakes import schema_name
from support.stub_openai import text

# Three cities share one order each and Dublin has two, on every sample database.
CITY_ORDERS_SQL = (
    "SELECT customers.city, COUNT(*) AS order_count FROM customers "
    "JOIN orders ON orders.customer_id = customers.id "
    "GROUP BY customers.city ORDER BY customers.city"
)
BROKEN_SQL = "SELECT revenue FROM no_such_table"

# The nodes of a run whose first query and first analysis program succeed, in the order they run.
SQL_PATH = [
    names.INIT_NODE,
    names.TABLE_NAMES_LOOKUP_NODE,
    names.RELEVANT_TABLE_NAMES_NODE,
    names.RELEVANT_SCHEMAS_NODE,
    names.SQL_GENERATION_NODE,
    names.SQL_SYNTAX_CHECKER_NODE,
    names.SQL_EXECUTION_NODE,
]
ANALYSIS_PATH = [
    names.PANDAS_GENERATOR_NODE,
    names.PANDAS_EXECUTOR_NODE,
    names.FINAL_RESPONSE_GENERATION_NODE,
]

# Works on the rows the SQL query really returned, which the responder copies in from the
# analysis prompt; uses datetime without importing it, as the executor provides it.
ANALYSIS_PROGRAM = """\
import matplotlib.pyplot as plt
rows = {rows}
busiest = max(rows, key=lambda row: row[1])
year = datetime.date(2024, 12, 31).year
print("Busiest city:", busiest[0], "with", busiest[1], "orders in", year)
figure, axes = plt.subplots()
axes.bar([row[0] for row in rows], [row[1] for row in rows])
figure.savefig({save_path!r})
plt.close(figure)
print("Chart saved to:", {save_path!r})
"""
FAILING_PROGRAM = "print('half way')\nraise ValueError('boom')"


def section(prompt: str, label: str, until: str) -> str:
    start = prompt.index(label) + len(label)
    return prompt[start : prompt.index(until, start)]


class Responder:
    """Answers every chat request of a graph run by what it asks for.

    ``queries`` and ``programs`` are used in turn (the last one repeats); an item may be an
    exception reply of the stub. The final answer repeats the analysis output it was shown, so a
    test can tell which run of the final node produced the returned answer.
    """

    def __init__(self, queries, programs, save_path: str = "", tables=("customers", "orders")):
        self.queries = list(queries)
        self.programs = list(programs)
        self.save_path = save_path
        self.tables = list(tables)
        self.asked: list[str] = []
        self.prompts: dict[str, list[str]] = {}
        self.last_sql = ""
        self.rows = "[]"

    def _next(self, items: list, kind: str) -> Any:
        return items[min(self.asked.count(kind), len(items)) - 1]

    def __call__(self, request):
        kind = schema_name(request) or "review"
        self.asked.append(kind)
        prompt = request.prompt_text
        self.prompts.setdefault(kind, []).append(prompt)
        if kind == "RelevantTablesOutput":
            return {"relevant_tables": self.tables}
        if kind == "SQLQueryInput":
            query = self._next(self.queries, kind)
            if not isinstance(query, str):
                return query
            self.last_sql = query
            return {"sql_query": query}
        if kind == "review":
            return text(self.last_sql)
        if kind == "RewriteQueryOutput":
            return {"rewritten_question": "Rewritten: how many orders came from each city?"}
        if kind == "PythonCodeInput":
            program = self._next(self.programs, kind)
            # A correction prompt shows no results: keep those of the generation prompt.
            self.rows = (re.findall(r"Result \d+:\n(.*)\n", prompt) or [self.rows])[-1]
            return {"code": program.format(rows=self.rows, save_path=self.save_path)}
        if kind == "GenerationOutput":
            output = section(prompt, "Python executed result: ", "\nUse the above result")
            saved = re.search(r"Chart saved to: (\S+)", output)
            return {
                "final_response": f"From the analysis: {output}",
                "image_path": saved[1] if saved else "",
            }
        raise AssertionError(f"unexpected request kind {kind}")


def script(stub, responder: Responder, replies: int = 250) -> Responder:
    stub.reply(*([responder] * replies))
    return responder


def run_counting(sql_graph, inputs: dict) -> tuple[Counter, dict]:
    """Runs the compiled graph as invoke does, counting how often each node ran."""
    runs: Counter = Counter()
    final: dict = {}
    for mode, chunk in sql_graph.compiled_graph.stream(
        inputs, config=sql_graph.runnable_config, stream_mode=["updates", "values"]
    ):
        if mode == "updates":
            runs.update(chunk.keys())
        else:
            final = chunk
    return runs, final
