"""``quorlix ask``: answer one question over a database, showing the graph's progress."""

from __future__ import annotations

import argparse
import contextlib
import io
import sys
import time
from pathlib import Path
from typing import Any

from ..questions import MAX_QUESTION_CHARS, question_problem
from .common import (
    EXIT_FAILED,
    EXIT_NO_ROWS,
    EXIT_OK,
    database_url,
    error,
    import_graph_module,
    indent,
    model_settings,
    open_database,
    print_json,
    progress,
    require_sign_in,
    shown_url,
    start_tracing,
    usage_error,
    warn,
)
from .live_answer import LiveAnswer
from .startup import prepare_answering, prepare_database, start_analysis_sandbox

DEFAULT_CHART = "quorlix-chart.png"
DEFAULT_ANALYSIS_TRIES = 3
# What matplotlib's savefig can write, by file extension.
CHART_SUFFIXES = (".png", ".jpg", ".jpeg", ".svg", ".pdf", ".webp", ".tif", ".tiff")
# Query results can be large; the terminal gets a preview, --json gets everything.
RESULT_PREVIEW_CHARS = 2000

HELP = "answer a question about a database"
DESCRIPTION = """\
Answer a natural-language question about a database: choose the relevant tables, write and
review one SQL query, run it, analyse the rows with generated pandas code (drawing a chart when
asked for one) and write the answer. Progress goes to stderr, results to stdout."""


def add_answer_options(parser: argparse.ArgumentParser) -> None:
    """--chart and --analysis-tries, shared by the commands that answer questions."""
    parser.add_argument(
        "--chart",
        metavar="PATH",
        default=DEFAULT_CHART,
        help=f"where the analysis code saves a chart (default: ./{DEFAULT_CHART})",
    )
    parser.add_argument(
        "--analysis-tries",
        metavar="N",
        type=int,
        default=DEFAULT_ANALYSIS_TRIES,
        help="how often analysis code is written before giving up "
        f"(default: {DEFAULT_ANALYSIS_TRIES})",
    )


def add_parser(commands: argparse._SubParsersAction) -> None:
    parser = commands.add_parser("ask", help=HELP, description=DESCRIPTION)
    parser.add_argument(
        "question",
        help=f"the question, in plain language (at most {MAX_QUESTION_CHARS:,} characters)",
    )
    parser.add_argument(
        "--db",
        metavar="URL",
        help="SQLAlchemy database URL (sqlite:///file.db, postgresql://..., mysql://..., "
        "duckdb:///file.duckdb) or a .csv, .parquet or .json file or a folder of them; "
        "default: the built-in sample shop database",
    )
    add_answer_options(parser)
    parser.add_argument(
        "--json",
        action="store_true",
        help="print the final state, with the result rows as JSON values, as JSON (nothing else "
        "on stdout)",
    )
    parser.add_argument(
        "--thread",
        metavar="ID",
        help="continue this stored thread (of `quorlix chat` or the service): the question is "
        "answered as a follow-up to the thread's earlier ones and recorded in it",
    )
    parser.add_argument(
        "--knowledge",
        metavar="FILE",
        help="give the SQL writer the verified examples and glossary of this JSON Lines file "
        "instead of those 'quorlix knowledge' keeps for the database",
    )
    add_store_option(parser)
    parser.set_defaults(run=run)


def add_store_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--store",
        metavar="URL",
        help="the run store threads are kept in (sqlite:///path/runs.db or postgresql://...); "
        "default: the service's own, runs.db in $QUORLIX_HOME",
    )


def run(args: argparse.Namespace) -> int:
    question = args.question.strip()
    problem = question_problem(question)
    if problem:
        usage_error(problem)
    if args.analysis_tries < 1:
        usage_error(f"--analysis-tries must be 1 or more, got {args.analysis_tries}")
    chart = chart_path(args.chart)
    thread = open_thread(args.store, args.thread) if args.thread else None
    start_tracing()
    start_analysis_sandbox()

    prices = prices_or_usage_error()
    config_35, config_4 = model_settings()
    url = database_url(args.db)
    require_sign_in(config_35, config_4)
    if not args.json:
        progress(f"Database: {shown_url(url)}")
    from quorlix.sql.recording import RecordingDatabase

    knowledge = knowledge_for_run(url, args)

    db = open_database(url, RecordingDatabase)
    prepare_database(db)
    import_graph_module()
    from quorlix.answering.graph_build import build_graph

    graph = build_graph(db, config_35, config_4)

    # A follow-up is restated first: the knowledge is retrieved for the question answered.
    prepare = [*(thread.preparers(graph) if thread else []), knowledge]
    # On a terminal the answer is shown as it is written; piped or --json, it comes whole.
    live = LiveAnswer(sys.stdout) if not args.json and sys.stdout.isatty() else None
    prepare_answering(graph, streamed=live is not None)
    outcome = answer(graph, question, chart, args, prices, prepare, live)
    if thread:
        thread.record(question, outcome, {"analysis_tries": args.analysis_tries, "chart": True})
    if isinstance(outcome.exception, Exception):
        raise outcome.exception  # reported by the command like any other failure
    return show_outcome(outcome, args.json, knowledge, live.shown if live is not None else None)


def show_outcome(
    outcome: Any, as_json: bool, knowledge: Any = None, answer_shown: str | None = None
) -> int:
    """Print a run's results as ``ask`` does (with the knowledge it was given, if any; the
    answer only if it was not shown whole as it was written, ``answer_shown``); returns the
    command's exit code."""
    if outcome.raised:  # the analysis program's own exit, or an error
        error(outcome.error)
        return EXIT_FAILED
    state = outcome.state
    chart_written = outcome.chart()

    if as_json:
        # The state holds the rows as Python's text of them; "result" has them as JSON values.
        extras = {
            "result": outcome.rows,
            "chart_path": chart_written,
            "usage": outcome.usage.as_dict(),
        }
        if knowledge is not None and knowledge.retrieved:
            extras["knowledge"] = knowledge.retrieved.as_record()
        print_json({**state, **extras})
    else:
        _print_result(state, chart_written, answer_shown)
    if outcome.answer is None:
        error("the run ended without an answer")
        return EXIT_FAILED
    if not outcome.sql_ran:
        warn("no SQL query returned rows; the answer rests on the failure")
        return EXIT_NO_ROWS
    return EXIT_OK


def open_thread(store_url: str | None, thread_id: str):
    from .threads import LocalThread

    return LocalThread.open(store_url, thread_id)


def chart_path(given: str) -> Path:
    path = Path(given).expanduser()
    if path.suffix.lower() not in CHART_SUFFIXES:
        usage_error(
            f"--chart {given!r} must end in one of {', '.join(CHART_SUFFIXES)} "
            "(the extension chooses the image format)"
        )
    path = path.resolve()
    if not path.parent.is_dir():
        usage_error(f"--chart {given!r}: the directory {path.parent} does not exist")
    if path.is_dir():
        usage_error(f"--chart {given!r} is a directory")
    return path


def prices_or_usage_error():
    from quorlix.prices import PriceTableError, load_prices

    try:
        return load_prices()
    except PriceTableError as exc:
        usage_error(str(exc))


def knowledge_for_run(url: str, args: argparse.Namespace):
    """The run's preparer that gives it the file's or the local store's knowledge; it names
    what the question was given on stderr (each example and term with --verbose)."""
    from quorlix.knowledge.database_keys import database_key
    from quorlix.knowledge.for_runs import KnowledgeForRun
    from quorlix.knowledge.records import KnowledgeError

    from .knowledge_store import run_knowledge

    try:
        knowledge = run_knowledge(database_key(url), args.knowledge)
    except KnowledgeError as exc:
        usage_error(f"--knowledge {args.knowledge}: {exc}" if args.knowledge else str(exc))
    announce = None if args.json else (lambda found: _print_knowledge(found, args.verbose))
    return KnowledgeForRun(lambda: knowledge, announce=announce)


def _print_knowledge(retrieved: Any, verbose: bool) -> None:
    if not retrieved:
        return
    examples, terms = len(retrieved.examples), len(retrieved.terms)
    progress(
        f"Knowledge: {examples} example{'' if examples == 1 else 's'} and {terms} glossary "
        f"term{'' if terms == 1 else 's'} given as reference ({len(retrieved.section):,} "
        "characters)"
    )
    if not verbose:
        return
    for example in retrieved.examples:
        progress(f"  example #{example.id}: {' '.join(example.question.split())[:100]}")
    for entry in retrieved.terms:
        progress(f"  term: {entry.term}")


def answer(
    graph: Any,
    question: str,
    chart: Path,
    args: argparse.Namespace,
    prices: Any,
    prepare: Any = (),
    live: LiveAnswer | None = None,
):
    """Run the question, reporting each finished node and the tokens it used on stderr (and,
    for a follow-up, what it was understood as), and the answer as it is written to ``live``."""
    from quorlix.answering import AnswerStream, answer_question
    from quorlix.usage import summarize

    def report(step, outcome) -> None:
        if live is not None:
            live.close()
        detail = step.summary
        spent = summarize(step.calls).brief()
        if spent:
            detail = f"{detail}  [{spent}]" if detail else f"[{spent}]"
        progress(f"  {step.number:>2}. {step.node:<31} {step.duration_s:6.1f}s  {detail}".rstrip())

    def say_understood(setup) -> None:
        # A follow-up's restatement, before the graph answers it: a wrong reading shows at once.
        if setup.question != question:
            progress(f"Understood as: {setup.question}")

    # The nodes print diagnostics of their own and log through loguru; stdout belongs to our
    # results, so their lines go to stderr, and only with --verbose.
    sink: Any = sys.stderr if args.verbose else io.StringIO()
    started = time.monotonic()
    with contextlib.ExitStack() as stack:
        stack.enter_context(contextlib.redirect_stdout(sink))
        if not args.verbose:
            stack.enter_context(_quiet_loguru())
        progress(f"Question: {question}")
        outcome = answer_question(
            graph,
            question,
            save_path=chart,
            analysis_tries=args.analysis_tries,
            on_step=report,
            prices=prices,
            prepare=[*prepare, say_understood],
            callbacks=[AnswerStream(live)] if live is not None else [],
        )
    if live is not None:
        live.close()
    if not outcome.raised:
        progress(f"Done in {time.monotonic() - started:.1f}s: {outcome.usage.summary()}.")
    return outcome


@contextlib.contextmanager
def _quiet_loguru():
    try:
        from loguru import logger
    except ImportError:  # pragma: no cover - loguru is a dependency
        yield
        return
    logger.remove()
    handler = logger.add(sys.stderr, level="WARNING")
    try:
        yield
    finally:
        logger.remove(handler)
        logger.add(sys.stderr)


def _print_result(state: dict, chart: str | None, answer_shown: str | None = None) -> None:
    """The run's sections on stdout; the answer's only if it was not shown whole as it was
    written (``answer_shown``)."""
    queries = state.get("generated_sql_query") or []
    results = state.get("sql_execution_result") or []
    sections: list[tuple[str, str]] = []
    if queries:
        label = "SQL" if len(queries) == 1 else f"SQL (attempt {len(queries)})"
        sections.append((label, str(queries[-1]).strip()))
    if results:
        text = str(results[-1])
        if len(text) > RESULT_PREVIEW_CHARS:
            hidden = len(text) - RESULT_PREVIEW_CHARS
            text = f"{text[:RESULT_PREVIEW_CHARS]}… ({hidden} more characters; --json shows all)"
        sections.append(("Result", text))
    output = state.get("python_executed_output")
    if state.get("python_execution_success") is False and state.get("python_error_message"):
        sections.append(("Analysis error", str(state["python_error_message"])))
    if output:
        sections.append(("Analysis output", str(output).rstrip()))
    answer = str(state.get("final_response", "")).strip()
    if "final_response" in state and answer != (answer_shown or "").strip():
        sections.append(("Answer", str(state["final_response"]).strip()))
    for title, body in sections:
        print(f"{title}:")
        print(indent(body))
        print()
    if chart:
        print(f"Chart: {chart}")
    sys.stdout.flush()
