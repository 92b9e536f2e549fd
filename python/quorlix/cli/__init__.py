"""The ``quorlix`` command: ask questions, list tables, draw the graph, check databases and models,
measure answer quality, keep the team's knowledge, serve questions over HTTP.

Exit codes: 0 done, 1 the run failed (model, network or database error), 2 bad usage or
missing configuration, 3 (``ask``) the run ended with an answer, but no SQL query returned rows.
"""

from __future__ import annotations

import argparse
import atexit
import os
import sys
import traceback
import warnings
from collections.abc import Sequence

from quorlix import __version__, config

from . import ask, chat, collector, db, graph, knowledge, mcp_command, models, serve, tables
from . import eval as evaluate
from .common import (
    EXIT_FAILED,
    EXIT_USAGE,
    PROG,
    Failure,
    UsageError,
    describe,
    error,
    quiet_azure_logging,
)
from .settings_check import file_problems

__all__ = ["main", "build_parser", "console"]


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Answer natural-language questions about relational databases.",
        epilog="Run 'quorlix COMMAND --help' for the options of a command. The Azure OpenAI "
        "settings come from environment variables; see the README.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    _shared_options(parser, default=False)
    # Accepted after the command name too; SUPPRESS keeps a subcommand from resetting a flag
    # given before it.
    options = argparse.ArgumentParser(add_help=False)
    _shared_options(options, default=argparse.SUPPRESS)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    real_add = commands.add_parser

    def add_parser(name: str, **kwargs):
        return real_add(name, parents=[options], **kwargs)

    commands.add_parser = add_parser  # type: ignore[method-assign]
    for module in (ask, chat, tables, graph, db, models, evaluate, knowledge, serve, mcp_command):
        module.add_parser(commands)
    return parser


def _shared_options(parser: argparse.ArgumentParser, default) -> None:
    parser.add_argument(
        "--verbose",
        action="store_true",
        default=default,
        help="show the graph's own diagnostics, logs and warnings (on stderr)",
    )
    parser.add_argument(
        "--debug",
        action="store_true",
        default=default,
        help="show the full traceback when something fails",
    )


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    # Every setting is read and checked now, before any database or model is touched.
    try:
        settings = config.Config.from_environ()
        problems = file_problems(settings)
    except config.ConfigError as exc:
        problems = exc.problems
    if problems:
        for problem in problems:
            error(problem)
        return EXIT_USAGE
    with config.installed(settings):
        return _run(args)


def _run(args: argparse.Namespace) -> int:
    if not args.verbose:
        # Library deprecation notices and the like are for developers, not for answers.
        warnings.simplefilter("ignore")
        quiet_azure_logging()
    try:
        code = int(args.run(args))
        sys.stdout.flush()
        return code
    except BrokenPipeError:
        # The reader went away (`quorlix tables | head`); say nothing more to it.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_FAILED
    except UsageError as exc:
        error(str(exc))
        return EXIT_USAGE
    except Failure as exc:
        error(str(exc))
        return EXIT_FAILED
    except KeyboardInterrupt:
        error("interrupted")
        return 130
    except Exception as exc:
        if args.debug:
            traceback.print_exc()
        error(describe(exc) + ("" if args.debug else " (--debug shows the traceback)"))
        return EXIT_FAILED


def console() -> None:
    """The ``quorlix`` command itself: ``main()``, then end the process without tearing down the
    interpreter.

    Unloading pandas, matplotlib, LangChain and the rest object by object costs about a tenth of
    a whole ``ask``, for a process that is ending anyway. Exit handlers still run (temporary
    files, log handlers); only the module teardown is skipped. In-process callers use
    ``main()``, which returns.
    """
    collector.fewer_collections_during_start_up()
    code = main()
    try:
        sys.stdout.flush()
        sys.stderr.flush()
    except (BrokenPipeError, ValueError):
        code = code or EXIT_FAILED
    atexit._run_exitfuncs()
    os._exit(code)
