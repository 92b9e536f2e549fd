"""``quorlix eval``: execution accuracy of the graph over a question set."""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from .ask import _quiet_loguru
from .common import (
    EXIT_FAILED,
    EXIT_OK,
    database_url,
    describe,
    error,
    import_graph_module,
    model_settings,
    print_json,
    progress,
    start_tracing,
    usage_error,
    warn,
)

HELP = "measure how often the generated SQL returns the gold result"
DESCRIPTION = """\
Run the graph on every question of a set and compare the rows of the SQL query it ran with the
rows of the gold query: execution accuracy. QUESTIONS is our JSON Lines format (one object per
line with "question" and "gold_sql"; optional "id", "db", "difficulty", "evidence"), a Spider
dev.json (databases in database/<db_id>/<db_id>.sqlite beside it) or a BIRD dev.json (databases
in dev_databases/<db_id>/<db_id>.sqlite beside it); the format is recognised from the file.
Without QUESTIONS the built-in gold set of the sample shop database is used. The graph stops
once its SQL is settled: no analysis program and no written answer are asked for."""
METRIC_HELP = (
    "the official comparison of spider (rows as multisets, row order only when the gold query "
    "has ORDER BY, columns in any order) or bird (rows as sets, column order counts); numbers "
    "compare exactly. Default: bird for a BIRD set, spider otherwise"
)
TOLERANCE_HELP = (
    "compare numbers rounded to DIGITS significant digits (12 absorbs the noise of a sum taken "
    "in another order); not the official comparison, and reported as such"
)
DROP_DISTINCT_HELP = (
    "spider: delete DISTINCT from both queries before running them, as Spider's evaluation "
    "script does by default (for figures comparable with published Spider results)"
)


def add_parser(commands: argparse._SubParsersAction) -> None:
    parser = commands.add_parser("eval", help=HELP, description=DESCRIPTION)
    parser.add_argument(
        "questions",
        nargs="?",
        metavar="QUESTIONS",
        help="question file (default: the built-in gold set for the sample shop database)",
    )
    parser.add_argument(
        "--db",
        metavar="URL",
        help="database of the JSON Lines questions that name none (default: the sample shop)",
    )
    parser.add_argument("--metric", choices=("spider", "bird"), help=METRIC_HELP)
    parser.add_argument("--tolerance", metavar="DIGITS", type=int, help=TOLERANCE_HELP)
    parser.add_argument("--drop-distinct", action="store_true", help=DROP_DISTINCT_HELP)
    parser.add_argument(
        "--concurrency",
        metavar="N",
        type=int,
        default=1,
        help="questions run at the same time (default: 1)",
    )
    parser.add_argument("--limit", metavar="N", type=int, help="score only the first N questions")
    parser.add_argument(
        "--out",
        metavar="FILE",
        help="write one JSON line per question; rerunning with the same file skips the "
        "questions already scored (resumes an interrupted run)",
    )
    parser.add_argument(
        "--json", action="store_true", help="print the summary as one JSON object on stdout"
    )
    parser.add_argument(
        "--knowledge",
        metavar="FILE",
        help="score every question twice, without and with this file's verified examples and "
        "glossary, and report both (a question's own example is left out for it)",
    )
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    from quorlix.evaluation.compare import MAX_TOLERANCE, Comparison
    from quorlix.evaluation.formats import load_question_set
    from quorlix.evaluation.items import QuestionSetError
    from quorlix.evaluation.report import render, summarise
    from quorlix.evaluation.runner import Evaluator, evaluate

    if args.concurrency < 1:
        usage_error(f"--concurrency must be 1 or more, got {args.concurrency}")
    if args.limit is not None and args.limit < 1:
        usage_error(f"--limit must be 1 or more, got {args.limit}")
    if args.tolerance is not None and not 1 <= args.tolerance <= MAX_TOLERANCE:
        usage_error(f"--tolerance must be 1 to {MAX_TOLERANCE} digits, got {args.tolerance}")
    try:
        question_set = load_question_set(args.questions, _default_database(args.db))
    except QuestionSetError as exc:
        usage_error(str(exc))
    if args.db is not None and question_set.format != "jsonl":
        usage_error(
            f"--db applies to JSON Lines questions only; a {question_set.format} set names its "
            "databases by db_id"
        )
    metric = args.metric or ("bird" if question_set.format == "bird" else "spider")
    if args.drop_distinct and metric != "spider":
        usage_error("--drop-distinct applies to --metric spider only: BIRD runs queries as written")
    comparison = Comparison(metric, args.tolerance, args.drop_distinct)
    questions = question_set.questions[: args.limit]

    out = Path(args.out).expanduser() if args.out else None
    if out is not None and args.questions and _same_file(out, args.questions):
        usage_error("--out names the question file itself; give another file for the results")
    sides = _sides(args, out, question_set.questions, questions, comparison)

    start_tracing()
    config_35, config_4 = model_settings()
    import_graph_module()
    from quorlix.answering.graph_build import build_graph

    evaluator = Evaluator(
        lambda db: build_graph(db, config_35, config_4), comparison, describe=describe
    )
    knowledge_side = None
    if args.knowledge:
        from .eval_knowledge import KnowledgeSide

        knowledge_side = KnowledgeSide(args.knowledge, questions)
    if not args.json:
        done = len(questions) - len(sides[-1].todo)
        skipped = f"; {done} already scored in {args.out}" if done else ""
        twice = ", each without and with team knowledge" if knowledge_side else ""
        progress(
            f"Scoring {len(sides[-1].todo)} of {len(questions)} questions "
            f"({comparison.describe()}){twice}{skipped}."
        )
    bar = _progress_bar(sum(len(side.todo) for side in sides))

    try:
        with _graph_output_hidden(args.verbose):
            for side in sides:
                score = evaluator.score
                if side.knowledge is not None and knowledge_side is not None:
                    score = knowledge_side.scorer(evaluator)

                def keep(record: dict[str, Any], side=side) -> None:
                    if side.knowledge is not None:
                        record["knowledge"] = side.knowledge
                    side.records.append(record)
                    if side.results is not None:
                        side.results.append(record)
                    bar.update(1)

                evaluate(side.todo, score, args.concurrency, keep)
    except KeyboardInterrupt:
        if out is not None:
            progress(f"Rerun with --out {args.out} to score the remaining questions.")
        raise
    finally:
        bar.close()
        for side in sides:
            if side.results is not None:
                side.results.close()
        evaluator.close()

    records = sides[-1].records
    summary = summarise(records, comparison)
    if knowledge_side is not None:
        from .eval_knowledge import compared

        without = summarise(sides[0].records, comparison)
        report = knowledge_side.report()
        if args.json:
            print_json({"without": without, "with": summary, "knowledge": report})
        else:
            print(render(without, f"{question_set.name}, without team knowledge"))
            print()
            print(render(summary, f"{question_set.name}, with team knowledge"))
            print()
            print(compared(without, summary, report))
    elif args.json:
        print_json(summary)
    else:
        print(render(summary, question_set.name))
    if summary["broken"]:
        warn(f"{summary['broken']} gold quer{'y' if summary['broken'] == 1 else 'ies'} failed")
    failed_runs = [
        record
        for record in records
        if record["verdict"] == "wrong" and record["error_kind"] in ("run error", "run timeout")
    ]
    if records and not summary["scored"]:
        hint = " (is --db the right database?)" if question_set.format == "jsonl" else ""
        error(f"no question could be scored: every gold query failed{hint}")
        return EXIT_FAILED
    if summary["scored"] and len(failed_runs) == summary["scored"]:
        # No question reached a query: a setup fault (credentials, deployment, network), not
        # a measurement; a 0% accuracy must not pass for one.
        error(f"every graph run failed, e.g.: {failed_runs[0]['reason']}")
        return EXIT_FAILED
    return EXIT_OK


@dataclass
class _Side:
    """One scoring of the questions: with the knowledge of ``knowledge`` (a file) or none."""

    knowledge: str | None
    results: Any  # its ResultsFile, or None without --out
    records: list[dict[str, Any]]
    todo: list[Any]


def _sides(args, out: Path | None, every: list, questions: list, comparison) -> list[_Side]:
    """Without --knowledge one scoring; with it, one without and one with the knowledge, each
    with its own results file (``--out FILE`` holds the one with; FILE.without... the other)."""
    from quorlix.evaluation.items import QuestionSetError
    from quorlix.evaluation.results_file import ResultsFile

    plan: list[tuple[str | None, Path | None]] = [(None, out)]
    if args.knowledge:
        without = out.with_name(f"{out.stem}.without{out.suffix}") if out is not None else None
        plan = [(None, without), (args.knowledge, out)]
    sides = []
    for knowledge, path in plan:
        results = ResultsFile(path) if path is not None else None
        done: dict[str, dict[str, Any]] = {}
        if results is not None:
            try:
                # Checked against the whole set: a file may hold more than this --limit asks.
                done = results.load(every, comparison, knowledge=knowledge)
            except QuestionSetError as exc:
                usage_error(str(exc))
        records = [done[question.id] for question in questions if question.id in done]
        todo = [question for question in questions if question.id not in done]
        sides.append(_Side(knowledge, results, records, todo))
    return sides


def _same_file(path: Path, other: str) -> bool:
    try:
        return path.resolve() == Path(other).expanduser().resolve()
    except OSError:
        return False


def _default_database(given: str | None):
    from quorlix.evaluation.sets_jsonl import database_name

    chosen: list[tuple[str, str]] = []

    def default() -> tuple[str, str]:
        if not chosen:
            url = database_url(given)
            chosen.append((url, "shop" if given is None else database_name(url)))
        return chosen[0]

    return default


def _progress_bar(total: int):
    from tqdm import tqdm

    # A bar is for a person watching; logs and pipes get the summary only.
    return tqdm(
        total=total,
        unit="question",
        file=sys.stderr,
        disable=not sys.stderr.isatty(),
        dynamic_ncols=True,
    )


@contextlib.contextmanager
def _graph_output_hidden(verbose: bool):
    """The nodes print diagnostics and log through loguru; stdout is for the summary, so their
    lines go to stderr with --verbose and nowhere otherwise."""
    with contextlib.ExitStack() as stack:
        if verbose:
            stack.enter_context(contextlib.redirect_stdout(sys.stderr))
        else:
            sink = stack.enter_context(open(os.devnull, "w", encoding="utf-8"))
            stack.enter_context(contextlib.redirect_stdout(sink))
            stack.enter_context(_quiet_loguru())
        yield
