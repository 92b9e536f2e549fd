"""``quorlix knowledge``: the verified examples and glossary that runs on a database are given.

Knowledge is kept per database (``--db``, the sample shop by default) in the local store under
QUORLIX_HOME, or in the store ``--store`` names (a server's run store, to look after its
knowledge from the command line).
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

from .common import (
    EXIT_FAILED,
    EXIT_OK,
    Failure,
    database_url,
    indent,
    print_json,
    progress,
    shown_url,
    usage_error,
    warn,
)

HELP = "list, import, export, add and remove verified examples and glossary entries"
DESCRIPTION = """\
Verified examples (a question and the SQL that answers it) and glossary entries (a term, what
it means, optionally the SQL that computes it) of a database. For each question, 'quorlix ask'
gives the SQL writer the best few examples and the glossary entries the question uses, as
reference material. Files are JSON Lines: {"question": ..., "sql": ..., "notes": ...} and
{"term": ..., "definition": ..., "sql": ..., "synonyms": [...]}; evaluation sets (our JSON
Lines with gold_sql, Spider, BIRD) import too."""
STATUS_CHOICES = ("accepted", "candidate", "rejected", "all")


def add_parser(commands: argparse._SubParsersAction) -> None:
    parser = commands.add_parser("knowledge", help=HELP, description=DESCRIPTION)
    actions = parser.add_subparsers(
        dest="knowledge_command",
        metavar="{list,import,export,add,remove,accept,reject}",
        required=True,
    )

    shown = _action(actions, "list", "show the examples and glossary of a database", run_list)
    shown.add_argument("--status", choices=STATUS_CHOICES, default="all", help="default: all")
    shown.add_argument("--json", action="store_true", help="print them as JSON")

    loaded = _action(actions, "import", "add the examples and glossary of a file", run_import)
    loaded.add_argument("file", metavar="FILE", help="JSON Lines knowledge file or eval set")

    saved = _action(actions, "export", "write the examples and glossary as a file", run_export)
    saved.add_argument("file", metavar="FILE", nargs="?", help="default: standard output")
    saved.add_argument(
        "--eval-set",
        action="store_true",
        help="write the accepted examples as a 'quorlix eval' question set instead",
    )

    added = _action(actions, "add", "add one example or glossary entry", run_add)
    added.add_argument("--question", help="the question an example answers")
    added.add_argument("--sql", help="the example's SQL, or the SQL a glossary term stands for")
    added.add_argument("--notes", help="notes on the example")
    added.add_argument("--term", help="a glossary term")
    added.add_argument("--definition", help="what the term means")
    added.add_argument(
        "--synonym", action="append", default=[], help="another word for the term (repeatable)"
    )

    removed = _action(actions, "remove", "remove an example or a glossary entry", run_remove)
    removed.add_argument("id", metavar="ID", nargs="?", type=int, help="the example's number")
    removed.add_argument("--term", help="the glossary term to remove")

    for name, verb in (("accept", "use"), ("reject", "never use")):
        review = _action(actions, name, f"{verb} a candidate example", run_review)
        review.add_argument("id", metavar="ID", type=int, help="the example's number")
        review.set_defaults(status="accepted" if name == "accept" else "rejected")


def _action(actions, name: str, help_text: str, run) -> argparse.ArgumentParser:
    parser = actions.add_parser(
        name, help=help_text, description=help_text[0].upper() + help_text[1:] + "."
    )
    parser.add_argument(
        "--db",
        metavar="URL",
        help="the database the knowledge is about (default: the built-in sample shop database)",
    )
    parser.add_argument(
        "--store",
        metavar="URL",
        help="the knowledge store: sqlite:///path or postgresql://... (default: knowledge.db "
        "under QUORLIX_HOME)",
    )
    parser.set_defaults(run=run)
    return parser


def _database(args: argparse.Namespace) -> str:
    from quorlix.knowledge.database_keys import database_key

    return database_key(database_url(args.db))


def _store(args: argparse.Namespace):
    from quorlix.knowledge.records import KnowledgeError

    from .knowledge_store import open_store

    try:
        return open_store(args.store)
    except KnowledgeError as exc:
        usage_error(f"--store {shown_url(args.store)}: {exc}")


def run_list(args: argparse.Namespace) -> int:
    database = _database(args)
    store = _store(args)
    try:
        status = None if args.status == "all" else args.status
        examples = store.examples(database, status)
        glossary = store.glossary(database)
    finally:
        store.close()
    if args.json:
        print_json(
            {
                "database": database,
                "examples": [_example_json(example) for example in examples],
                "glossary": [_entry_json(entry) for entry in glossary],
            }
        )
        return EXIT_OK
    print(f"Examples of {database}: {len(examples)}")
    for example in examples:
        print(f"  #{example.id}  {example.status:<9} {example.origin:<10} {example.question}")
        print(indent(example.sql, "        "))
        if example.notes:
            print(indent(f"notes: {example.notes}", "        "))
    print(f"Glossary of {database}: {len(glossary)}")
    for entry in glossary:
        also = f" (also: {', '.join(entry.synonyms)})" if entry.synonyms else ""
        print(f"  {entry.term}{also}: {entry.definition}")
        if entry.sql:
            print(indent(f"SQL: {entry.sql}", "        "))
    return EXIT_OK


def _example_json(example) -> dict:
    keys = ("id", "question", "sql", "notes", "status", "origin", "run_id")
    return {key: getattr(example, key) for key in keys}


def _entry_json(entry) -> dict:
    return {
        "term": entry.term,
        "definition": entry.definition,
        "sql": entry.sql,
        "synonyms": list(entry.synonyms),
    }


def run_import(args: argparse.Namespace) -> int:
    from quorlix.knowledge.files import read_knowledge_file
    from quorlix.knowledge.records import KnowledgeError

    database = _database(args)
    try:
        found = read_knowledge_file(args.file, database)
    except KnowledgeError as exc:
        usage_error(str(exc))
    store = _store(args)
    added = repeated = terms = 0
    refused: list[str] = []
    try:
        for example in found.examples:
            try:
                _, new = store.add_example(example)
            except KnowledgeError as exc:
                refused.append(f"example {example.question!r}: {exc}")
                continue
            added, repeated = added + new, repeated + (not new)
        for entry in found.glossary:
            try:
                store.put_term(entry)
            except KnowledgeError as exc:
                refused.append(f"term {entry.term!r}: {exc}")
                continue
            terms += 1
    finally:
        store.close()
    for reason in refused:
        warn(f"not imported: {reason}")
    again = f" ({repeated} already there)" if repeated else ""
    others = {example.database for example in found.examples} - {database}
    where = database if not others else f"{database} and {len(others)} other database(s)"
    progress(f"Imported {added} example(s){again} and {terms} glossary entries into {where}.")
    if refused:
        raise Failure(f"{len(refused)} entries were not imported; see the warnings above")
    return EXIT_OK


def run_export(args: argparse.Namespace) -> int:
    from quorlix.knowledge.files import eval_set_lines, knowledge_lines

    database = _database(args)
    store = _store(args)
    try:
        examples = store.examples(database, "accepted")
        glossary = [] if args.eval_set else store.glossary(database)
    finally:
        store.close()
    text = eval_set_lines(examples) if args.eval_set else knowledge_lines(examples, glossary)
    if args.file is None:
        sys.stdout.write(text)
        return EXIT_OK
    path = Path(args.file).expanduser()
    try:
        path.write_text(text, encoding="utf-8")
    except OSError as exc:
        raise Failure(f"cannot write {path}: {exc.strerror or exc}") from None
    progress(f"Wrote {len(examples)} example(s) and {len(glossary)} glossary entries to {path}.")
    return EXIT_OK


def run_add(args: argparse.Namespace) -> int:
    from quorlix.knowledge.records import GlossaryEntry, KnowledgeError, VerifiedExample

    if (args.question is None) == (args.term is None):
        usage_error("give either --question and --sql (an example) or --term and --definition")
    database = _database(args)
    store = _store(args)
    try:
        if args.question is not None:
            if not args.sql or args.definition or args.synonym:
                usage_error("an example takes --question, --sql and optionally --notes")
            example, new = store.add_example(
                VerifiedExample(args.question, args.sql, database, notes=args.notes)
            )
            progress(f"Example #{example.id} {'added' if new else 'was already there'}.")
        else:
            if not args.definition or args.notes:
                usage_error(
                    "a glossary entry takes --term, --definition, optionally --sql and --synonym"
                )
            entry = store.put_term(
                GlossaryEntry(
                    args.term, args.definition, database, sql=args.sql, synonyms=tuple(args.synonym)
                )
            )
            progress(f"Glossary entry {entry.term!r} saved.")
    except KnowledgeError as exc:
        usage_error(str(exc))
    finally:
        store.close()
    return EXIT_OK


def run_remove(args: argparse.Namespace) -> int:
    if (args.id is None) == (args.term is None):
        usage_error("give either an example's number or --term")
    database = _database(args)
    store = _store(args)
    try:
        if args.id is not None:
            done, what = store.remove_example(args.id, database), f"example #{args.id}"
        else:
            done, what = store.remove_term(database, args.term), f"glossary entry {args.term!r}"
    finally:
        store.close()
    if not done:
        progress(f"There is no {what} for {database}; nothing removed.")
        return EXIT_FAILED
    progress(f"Removed {what}.")
    return EXIT_OK


def run_review(args: argparse.Namespace) -> int:
    database = _database(args)
    store = _store(args)
    try:
        found = store.example(args.id)
        if found is None or found.database != database:
            progress(f"There is no example #{args.id} for {database}.")
            return EXIT_FAILED
        store.set_status(args.id, args.status)
    finally:
        store.close()
    progress(f"Example #{args.id} is now {args.status}.")
    return EXIT_OK
