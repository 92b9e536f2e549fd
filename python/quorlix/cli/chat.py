"""``quorlix chat``: questions and follow-ups in one thread, each answered as ``ask`` answers.

On a terminal: a prompt with line editing and history (the arrow keys), Ctrl+D to leave, Ctrl+C
to stop the answer under way (the session goes on), ``/new`` to start a new thread. From a
pipe: one question per line, all of them one thread, for scripts.
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Iterator
from typing import Any

from ..questions import MAX_QUESTION_CHARS, question_problem
from .ask import (
    add_answer_options,
    add_store_option,
    answer,
    chart_path,
    knowledge_for_run,
    prices_or_usage_error,
    show_outcome,
)
from .common import (
    EXIT_FAILED,
    EXIT_NO_ROWS,
    EXIT_OK,
    database_url,
    describe,
    error,
    import_graph_module,
    model_settings,
    open_database,
    progress,
    require_sign_in,
    shown_url,
    start_tracing,
    usage_error,
)
from .live_answer import LiveAnswer
from .startup import prepare_answering, prepare_database, start_analysis_sandbox

HELP = "ask questions and follow-ups in one thread"
DESCRIPTION = f"""\
Ask a question, then follow-ups ("and by country?", "only 2024"): each follow-up is first
restated as a standalone question from the thread's earlier questions, their SQL and the shape
of their results, and that is answered. On a terminal, Ctrl+D leaves, Ctrl+C stops the answer
under way and /new starts a new thread. Read from a pipe, every line is a question (at most
{MAX_QUESTION_CHARS:,} characters) of one thread. Threads are kept in the run store, so
`quorlix ask --thread ID` and the service's page continue them."""

NEW_THREAD = "/new"
PROMPT = "quorlix> "
HISTORY_FILE = "chat_history"
HISTORY_LINES = 1000


def add_parser(commands: argparse._SubParsersAction) -> None:
    parser = commands.add_parser("chat", help=HELP, description=DESCRIPTION)
    parser.add_argument(
        "--db",
        metavar="URL",
        help="the database, as for `quorlix ask` (default: the built-in sample shop database)",
    )
    add_answer_options(parser)
    add_store_option(parser)
    parser.set_defaults(run=run, json=False, knowledge=None)


def run(args: argparse.Namespace) -> int:
    if args.analysis_tries < 1:
        usage_error(f"--analysis-tries must be 1 or more, got {args.analysis_tries}")
    chart = chart_path(args.chart)
    interactive = sys.stdin.isatty()
    from .threads import LocalThread

    thread = LocalThread.new(args.store)
    start_tracing()
    start_analysis_sandbox()
    prices = prices_or_usage_error()
    config_35, config_4 = model_settings()
    url = database_url(args.db)
    require_sign_in(config_35, config_4)
    progress(f"Database: {shown_url(url)}")
    from quorlix.sql.recording import RecordingDatabase

    db = open_database(url, RecordingDatabase)
    prepare_database(db)
    import_graph_module()
    from quorlix.answering.graph_build import build_graph

    graph = build_graph(db, config_35, config_4)
    # Each answer is shown as it is written on a terminal (below).
    prepare_answering(graph, streamed=sys.stdout.isatty())
    options = {"analysis_tries": args.analysis_tries, "chart": True}
    if interactive:
        progress(
            "Ask a question; follow-ups continue the thread. /new starts a new one, Ctrl+D leaves."
        )
    codes: list[int] = []
    for question in _questions(interactive, thread.store):
        if question == NEW_THREAD:
            thread = LocalThread(thread.store, None)
            progress("New thread.")
            continue
        problem = question_problem(question)
        if problem:
            error(problem)
            codes.append(EXIT_FAILED)
            continue
        # A follow-up is restated first: the knowledge is retrieved for the question answered.
        knowledge = knowledge_for_run(url, args)
        # On a terminal each answer is shown as it is written, as ask shows it.
        live = LiveAnswer(sys.stdout) if sys.stdout.isatty() else None
        try:
            outcome = answer(
                graph, question, chart, args, prices, [*thread.preparers(graph), knowledge], live
            )
        except KeyboardInterrupt:
            if not interactive:
                raise
            progress("Stopped. The thread goes on; ask again or another question.")
            continue
        first = thread.thread_id is None
        thread.record(question, outcome, options)
        if first:
            progress(f"Thread: {thread.thread_id} (continue it with quorlix ask --thread)")
        if isinstance(outcome.exception, Exception):
            error(describe(outcome.exception))
            codes.append(EXIT_FAILED)
            continue
        shown = live.shown if live is not None else None
        codes.append(show_outcome(outcome, as_json=False, knowledge=knowledge, answer_shown=shown))
    return _worst(codes)


def _worst(codes: list[int]) -> int:
    if EXIT_FAILED in codes:
        return EXIT_FAILED
    return EXIT_NO_ROWS if EXIT_NO_ROWS in codes else EXIT_OK


def _questions(interactive: bool, store: Any) -> Iterator[str]:
    """The questions asked, stripped, empty lines skipped; ends at Ctrl+D or the pipe's end."""
    if not interactive:
        for line in sys.stdin:
            if line.strip():
                yield line.strip()
        return
    history = _start_history(store)
    try:
        while True:
            try:
                line = input(PROMPT)
            except EOFError:
                print(file=sys.stderr)
                return
            except KeyboardInterrupt:
                # At the prompt Ctrl+C drops the line being written, as a shell does.
                print(file=sys.stderr)
                continue
            if line.strip():
                yield line.strip()
    finally:
        history()


def _start_history(store: Any):
    """Line editing and a history kept between sessions; returns what saves it."""
    try:
        import readline
    except ImportError:  # pragma: no cover - not every Python has it
        return lambda: None
    from quorlix.service.store import quorlix_home

    path = quorlix_home() / HISTORY_FILE
    try:
        readline.read_history_file(path)
    except OSError:
        pass  # none yet
    readline.set_history_length(HISTORY_LINES)

    def save() -> None:
        try:
            path.parent.mkdir(parents=True, exist_ok=True)
            readline.write_history_file(path)
        except OSError:
            pass  # a history that cannot be written costs only the history

    return save
