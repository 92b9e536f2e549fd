"""What a follow-up in a thread costs next to a first question, and how its prompt grows with
the thread.

Every question goes through `quorlix.answering.answer_question` with the real graph over the
sample shop database and real `AzureChatOpenAI` models talking to the local stub server
(tests/support/stub_openai.py), which answers at once with replies of fixed sizes and reports
usage as prompt and reply characters / 4. A follow-up first has its question restated by one
model call from the thread's earlier turns (the last QUORLIX_THREAD_TURNS, at most
QUORLIX_THREAD_CONTEXT_CHARS characters), then the graph answers the restatement.

Cases, interleaved run by run (in a rotating order) so that all meet the same machine load:

- first: the first question of a thread (no earlier turns: no restating call);
- turn 5 / turn 6 / turn 200: a follow-up after 4 / 5 / 199 earlier turns, each with its
  question, SQL and result shape (with the default of 5 turns, turn 6 is the first whose
  context is full).

Reported per case: model calls, tokens of the whole run, the restating call's prompt (tokens
and characters), p50 milliseconds per question, and the ratio of tokens and time to the first
question. The last lines compare the restating prompt at turn 200 with those at turns 5 and 6.

    PYTHONPATH=python python benchmarks/bench_follow_up.py [--runs N] [--quick]
"""

from __future__ import annotations

import argparse
import contextlib
import io
import os
import statistics
import sys
import tempfile
import time
import warnings
from pathlib import Path

os.environ.setdefault("QUORLIX_ANALYSIS_SANDBOX", "off")
warnings.filterwarnings("ignore")

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests"))

from quorlix.sample.shop import ensure_shop_database  # noqa: E402
from sql_fakes import schema_name  # noqa: E402
from support.stub_openai import StubOpenAI, text  # noqa: E402

FOLLOW_UP_MARK = "\n\nStandalone question:"
SQL = (
    "SELECT strftime('%Y-%m', order_date) AS month, COUNT(*) AS orders FROM orders "
    "GROUP BY month ORDER BY month"
)
PROGRAM = "print('months:', 12)"
FIRST = "How many orders were placed each month?"
FOLLOW_UP = "And only in 2024?"
RESTATED = "How many orders were placed each month in 2024?"


def answer(request):
    """Fixed replies by what the request asks for: the same sizes for every case."""
    if FOLLOW_UP_MARK in request.prompt_text:
        return text(RESTATED)
    kind = schema_name(request) or "review"
    if kind == "RelevantTablesOutput":
        return {"relevant_tables": ["orders"]}
    if kind == "SQLQueryInput":
        return {"sql_query": SQL}
    if kind == "review":
        return text(SQL)
    if kind == "PythonCodeInput":
        return {"code": PROGRAM}
    if kind == "GenerationOutput":
        return {"final_response": "Orders were counted per month.", "image_path": ""}
    return {"rewritten_question": RESTATED}


def earlier_turns(count: int):
    from quorlix.answering.follow_up import Turn

    return [
        Turn(
            question=f"How many orders were placed each month, in region {n}?",
            sql=f"{SQL.replace('GROUP BY', f'WHERE region = {n} GROUP BY')}",
            columns=("month", "orders"),
            row_count=12,
        )
        for n in range(count)
    ]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=20, help="questions per case (default 20)")
    parser.add_argument("--quick", action="store_true", help="a tiny run (3 questions per case)")
    args = parser.parse_args()
    runs = 3 if args.quick else args.runs

    stub = StubOpenAI().start()
    folder = Path(tempfile.mkdtemp(prefix="quorlix-bench-follow-up-"))
    os.environ.update(stub.environment())
    os.environ["QUORLIX_HOME"] = str(folder)
    stub.reply(*([answer] * ((runs + 1) * 4 * 8)))

    from quorlix.answering import answer_question
    from quorlix.answering.follow_up import FOLLOW_UP_STEP, follow_up_preparer
    from quorlix.answering.graph_build import build_graph, chat_settings
    from quorlix.sql.recording import RecordingDatabase

    shop = folder / "shop.db"
    ensure_shop_database(shop)
    db = RecordingDatabase.from_uri(f"sqlite:///{shop}")
    graph = build_graph(db, *chat_settings())
    cases = {
        "first": [],
        "turn 5": earlier_turns(4),
        "turn 6": earlier_turns(5),
        "turn 200": earlier_turns(199),
    }
    seen: dict[str, dict] = {name: {"ms": []} for name in cases}

    def ask(name: str) -> None:
        turns = cases[name]
        restate = follow_up_preparer(graph.pandas_ai_model, turns)
        before = len(stub.requests)
        started = time.perf_counter()
        with contextlib.redirect_stdout(io.StringIO()):
            outcome = answer_question(
                graph, FIRST if not turns else FOLLOW_UP, prepare=[restate] if restate else []
            )
        elapsed = (time.perf_counter() - started) * 1000
        assert outcome.answer is not None, outcome.reason
        usage = outcome.usage.total()
        restating = outcome.usage.by_node().get(FOLLOW_UP_STEP)
        prompts = [r.prompt_text for r in stub.requests[before:] if FOLLOW_UP_MARK in r.prompt_text]
        seen[name].update(
            calls=usage.calls,
            tokens=usage.total_tokens,
            prompt_tokens=restating.prompt_tokens if restating else 0,
            prompt_chars=len(prompts[0]) if prompts else 0,
        )
        seen[name]["ms"].append(elapsed)

    from loguru import logger

    logger.remove()
    for name in cases:  # warm-up: imports, first connections
        ask(name)
        seen[name]["ms"].clear()
    names = list(cases)
    for number in range(runs):
        # Each case takes each place in the round in turn: none always comes first.
        shift = number % len(names)
        for name in names[shift:] + names[:shift]:
            ask(name)
    stub.close()

    first = seen["first"]
    first_ms = statistics.median(first["ms"])
    header = (
        f"{'case':<10}{'calls':>6}{'tokens':>9}{'restate prompt tok':>20}{'chars':>8}"
        f"{'p50 ms':>9}{'tokens/first':>14}{'time/first':>12}"
    )
    print(f"{runs} questions per case, stub model with fixed replies")
    print(header)
    for name, figures in seen.items():
        p50 = statistics.median(figures["ms"])
        print(
            f"{name:<10}{figures['calls']:>6}{figures['tokens']:>9,}"
            f"{figures['prompt_tokens']:>20,}{figures['prompt_chars']:>8,}{p50:>9.1f}"
            f"{figures['tokens'] / first['tokens']:>14.3f}{p50 / first_ms:>12.3f}"
        )
    many = seen["turn 200"]
    for name in ("turn 5", "turn 6"):
        few = seen[name]
        print(
            f"restating prompt at turn 200 / {name}: "
            f"{many['prompt_chars'] / few['prompt_chars']:.3f} (characters), "
            f"{many['prompt_tokens'] / few['prompt_tokens']:.3f} (tokens)"
        )


if __name__ == "__main__":
    main()
