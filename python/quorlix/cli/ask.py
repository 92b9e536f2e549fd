"""``quorlix ask``: answer one question over a database, showing the graph's progress."""

from __future__ import annotations

import argparse
import contextlib
import io
import sys
import time
from pathlib import Path
from typing import Any

from ..querymesh import graph_names as names
from ..querymesh.analysis_exit import program_exit
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
    usage_error,
    warn,
)
from .startup import start_analysis_sandbox

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
    parser.add_argument(
        "--json",
        action="store_true",
        help="print the final state, with the result rows as JSON values, as JSON (nothing else "
        "on stdout)",
    )
    parser.add_argument(
        "--knowledge",
        metavar="FILE",
        help="give the SQL writer the verified examples and glossary of this JSON Lines file "
        "instead of those 'quorlix knowledge' keeps for the database",
    )
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    question = args.question.strip()
    problem = question_problem(question)
    if problem:
        usage_error(problem)
    if args.analysis_tries < 1:
        usage_error(f"--analysis-tries must be 1 or more, got {args.analysis_tries}")
    chart = _chart_path(args.chart)
    start_analysis_sandbox()

    prices = _prices()
    config_35, config_4 = model_settings()
    url = database_url(args.db)
    require_sign_in(config_35, config_4)
    if not args.json:
        progress(f"Database: {shown_url(url)}")
    from quorlix.sql.recording import (
        RecordingDatabase,
        last_result,
        start_recording,
        stop_recording,
    )

    retrieved = _retrieve_knowledge(url, args.knowledge, question)
    db = open_database(url, RecordingDatabase)
    graph = import_graph_module().SQLGraph(db, config_35, config_4)
    if retrieved and not args.json:
        _print_knowledge(retrieved, args.verbose)

    inputs = {
        "user_question": question,
        "save_path": str(chart),
        "max_iterations_pandas": args.analysis_tries,
        "pandas_code": "",
        "python_executed_output": "",
    }
    before = _stamp(chart)
    from quorlix.usage import UsageRecorder

    recorder = UsageRecorder(prices)
    attempts, recording = start_recording()
    from quorlix.knowledge import applied

    try:
        with applied(retrieved):
            state = _run_graph(graph, inputs, verbose=args.verbose, recorder=recorder)
    except (SystemExit, KeyboardInterrupt) as exc:
        reason = program_exit(exc)
        if reason is None:  # a real Ctrl-C
            raise
        error(reason)
        return EXIT_FAILED
    finally:
        stop_recording(recording)
    chart_written = _written_chart(state, chart, before)

    if args.json:
        # The state holds the rows as Python's text of them; "result" has them as JSON values.
        result = last_result(attempts) if state.get("execution_success") else None
        extras = {"result": result, "chart_path": chart_written, "usage": recorder.as_dict()}
        if retrieved:
            extras["knowledge"] = retrieved.as_record()
        print_json({**state, **extras})
    else:
        _print_result(state, chart_written)
    if "final_response" not in state:
        error("the run ended without an answer")
        return EXIT_FAILED
    if not state.get("execution_success"):
        warn("no SQL query returned rows; the answer rests on the failure")
        return EXIT_NO_ROWS
    return EXIT_OK


def _retrieve_knowledge(url: str, file: str | None, question: str):
    """The examples and glossary entries this question is given, from the file or the store."""
    from quorlix.knowledge.database_keys import database_key
    from quorlix.knowledge.records import KnowledgeError
    from quorlix.knowledge.retrieval import retrieve

    from .knowledge_store import run_knowledge

    try:
        knowledge = run_knowledge(database_key(url), file)
    except KnowledgeError as exc:
        usage_error(f"--knowledge {file}: {exc}" if file else str(exc))
    return retrieve(knowledge, question)


def _print_knowledge(retrieved: Any, verbose: bool) -> None:
    examples, terms = len(retrieved.examples), len(retrieved.terms)
    progress(
        f"Knowledge: {examples} example{'' if examples == 1 else 's'} and {terms} glossary "
        f"term{'' if terms == 1 else 's'} given as reference ({len(retrieved.section):,} "
        "characters)"
    )
    if not verbose:
        return
    for example in retrieved.examples:
        progress(f"  example #{example.id}: {_short(example.question)}")
    for entry in retrieved.terms:
        progress(f"  term: {entry.term}")


def _chart_path(given: str) -> Path:
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


def _prices():
    from quorlix.prices import PriceTableError, load_prices

    try:
        return load_prices()
    except PriceTableError as exc:
        usage_error(str(exc))


def _run_graph(graph: Any, inputs: dict, *, verbose: bool, recorder: Any) -> dict:
    """Stream the compiled graph, reporting each finished node and the tokens it used; returns
    the final state."""
    # The nodes print diagnostics of their own and log through loguru; stdout belongs to our
    # results, so their lines go to stderr, and only with --verbose.
    sink: Any = sys.stderr if verbose else io.StringIO()
    final: dict = dict(inputs)
    from quorlix.usage import summarize

    started = last = time.monotonic()
    step = 0
    seen = 0
    with contextlib.ExitStack() as stack:
        stack.enter_context(contextlib.redirect_stdout(sink))
        stack.enter_context(recorder.recording())
        if not verbose:
            stack.enter_context(_quiet_loguru())
        progress(f"Question: {inputs['user_question']}")
        chunks = graph.compiled_graph.stream(
            inputs, config=graph.runnable_config, stream_mode=["updates", "values"]
        )
        for mode, chunk in chunks:
            if mode == "values":
                final = chunk
                continue
            now = time.monotonic()
            # The calls each finished node made since the last progress line.
            calls = recorder.calls
            fresh, seen = calls[seen:], len(calls)
            for node, update in chunk.items():
                step += 1
                detail = describe_step(node, update or {}, final)
                spent = summarize(c for c in fresh if c.node == node).brief()
                if spent:
                    detail = f"{detail}  [{spent}]" if detail else f"[{spent}]"
                progress(f"  {step:>2}. {node:<31} {now - last:6.1f}s  {detail}".rstrip())
            last = now
    progress(f"Done in {time.monotonic() - started:.1f}s: {recorder.summary()}.")
    return dict(final)


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


def describe_step(node: str, update: dict, before: dict | None = None) -> str:
    """A few words on what a finished node did, from the update it returned and the state
    ``before`` it ran."""
    if node == names.TABLE_NAMES_LOOKUP_NODE:
        return f"tables: {update.get('table_names_from_db', '')}"
    if node == names.RELEVANT_TABLE_NAMES_NODE:
        return _describe_pick(update.get("relevant_tables", []))
    if node == names.RELEVANT_SCHEMAS_NODE:
        schemas = str(update.get("schemas_from_relevant_tables", ""))
        if schemas.startswith("Error:"):
            return f"could not read the schemas: {_short(schemas.removeprefix('Error:'))}"
        tables = (before or {}).get("relevant_tables")
        return (
            f"read the schemas of {', '.join(map(str, tables))}" if tables else "read the schemas"
        )
    if node == names.SQL_GENERATION_NODE:
        return "wrote a query"
    if node == names.SQL_SYNTAX_CHECKER_NODE:
        return "reviewed the query"
    if node == names.SQL_EXECUTION_NODE:
        results = update.get("sql_execution_result") or [""]
        if update.get("execution_success"):
            return "query ran"
        if results[-1] == "None":
            return "query returned no rows"
        # The driver's message; SQLAlchemy adds the statement and a link on lines of their own.
        return f"query failed: {_short(str(results[-1]).strip().splitlines()[0])}"
    if node == names.SQL_ERROR_HANDLER_NODE:
        if update.get("rewrite_count"):
            return "giving up on SQL"
        if "sql_generation_prompt_type" in update:
            return "asking for a corrected query"
        return "giving up on SQL"
    if node == names.REWRITE_QUERY_NODE:
        return f"rewrote the question: {_short(update.get('rewritten_question', ''))}"
    if node == names.PANDAS_GENERATOR_NODE:
        return "wrote analysis code"
    if node == names.PANDAS_EXECUTOR_NODE:
        if update.get("python_execution_success"):
            return "analysis ran"
        return f"analysis failed: {_short(update.get('python_error_message', ''))}"
    if node == names.PANDAS_ERROR_HANDLER_NODE:
        if "pandas_generation_prompt_type" in update:
            return "asking for corrected analysis code"
        return "giving up on analysis"
    if node == names.FINAL_RESPONSE_GENERATION_NODE:
        return "wrote the answer"
    return ""


def _describe_pick(tables: list) -> str:
    """The picker's choice, and the names the model gave that are no tables (see PickedTables)."""
    chosen = ", ".join(map(str, tables))
    unknown = ", ".join(map(str, getattr(tables, "unknown", ())))
    if getattr(tables, "fallback", False):
        named = f"no table here ({unknown})" if unknown else "no table"
        return f"relevant: the model named {named}, so all {len(tables)} it was shown: {chosen}"
    if unknown:
        return f"relevant: {chosen}; left out {unknown}: no such table"
    return f"relevant: {chosen}"


def _short(text: Any, limit: int = 100) -> str:
    line = " ".join(str(text).split())
    return line if len(line) <= limit else line[: limit - 1] + "…"


def _stamp(path: Path) -> tuple[int, int] | None:
    try:
        info = path.stat()
    except OSError:
        return None
    return info.st_mtime_ns, info.st_size


def _written_chart(state: dict, chart: Path, before: tuple[int, int] | None) -> str | None:
    """The chart this run wrote, if any: a file left over from an earlier run does not count,
    nor does a path the model named that is not on disk."""
    now = _stamp(chart)
    if now is not None and now != before:
        return str(chart)
    named = state.get("image_path")
    if isinstance(named, str) and named.strip():
        path = Path(named.strip()).expanduser()
        if path.is_file() and path.resolve() != chart:
            return str(path.resolve())
    return None


def _print_result(state: dict, chart: str | None) -> None:
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
    if "final_response" in state:
        sections.append(("Answer", str(state["final_response"]).strip()))
    for title, body in sections:
        print(f"{title}:")
        print(indent(body))
        print()
    if chart:
        print(f"Chart: {chart}")
    sys.stdout.flush()
