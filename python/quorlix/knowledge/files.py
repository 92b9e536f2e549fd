"""Knowledge as files: JSON Lines in and out, the evaluation sets in, an evaluation set out.

A knowledge file holds one JSON object a line, examples and glossary entries mixed::

    {"question": "What was revenue in 2024?", "sql": "SELECT SUM(...) ...", "notes": "..."}
    {"term": "revenue", "definition": "...", "sql": "SUM(quantity * unit_price)",
     "synonyms": ["sales", "turnover"]}

``gold_sql`` is read as ``sql`` and ``evidence`` as ``notes``, so an evaluation set in our
JSON Lines format imports as it is; a Spider or BIRD set (a JSON array) imports through the
evaluation set reader, each question under the database its ``db_id`` names. A line's ``db``
(a URL, a relative SQLite path taken from the file's folder) files it under that database.

``file_knowledge`` is a file's knowledge for one run (``quorlix ask --knowledge FILE``): the
entries of the run's database, numbered by their place in the file, their SQL checked by the
same walls as the store's.
"""

from __future__ import annotations

import json
from collections.abc import Iterable
from dataclasses import dataclass, field
from pathlib import Path

from .database_keys import database_key
from .records import (
    ACCEPTED,
    ORIGIN_FILE,
    GlossaryEntry,
    KnowledgeError,
    VerifiedExample,
)
from .store import Knowledge
from .walls import check_fragment, check_query

EXAMPLE_KEYS = {"question", "sql", "gold_sql", "notes", "evidence", "id", "db", "difficulty"}
TERM_KEYS = {"term", "definition", "sql", "synonyms", "db"}


@dataclass
class KnowledgeFile:
    examples: list[VerifiedExample] = field(default_factory=list)
    glossary: list[GlossaryEntry] = field(default_factory=list)


def read_knowledge_file(path: str | Path, database: str) -> KnowledgeFile:
    """The examples and glossary entries of ``path``; ``database`` is the key of the database
    that entries naming none belong to."""
    source = Path(path).expanduser()
    try:
        text = source.read_text(encoding="utf-8-sig")
    except FileNotFoundError:
        raise KnowledgeError(f"there is no knowledge file at {source}") from None
    except IsADirectoryError:
        raise KnowledgeError(f"{source} is a directory; give the knowledge file itself") from None
    except UnicodeDecodeError:
        raise KnowledgeError(f"{source} is not UTF-8 text") from None
    if text.lstrip().startswith("["):
        return _from_question_set(source, database)
    return parse_lines(text, database, str(source), source.resolve())


def parse_lines(
    text: str, database: str, where: str = "knowledge", source: Path | None = None
) -> KnowledgeFile:
    found = KnowledgeFile()
    for number, line in enumerate(text.splitlines(), start=1):
        if not line.strip():
            continue
        place = f"{where}, line {number}"
        try:
            record = json.loads(line)
        except ValueError as err:
            raise KnowledgeError(f"{place}: not valid JSON ({err})") from None
        if not isinstance(record, dict):
            raise KnowledgeError(f"{place}: expected a JSON object")
        key = _database_of(record, database, source, place)
        try:
            if "term" in record:
                found.glossary.append(_term(record, key, place))
            elif "question" in record:
                found.examples.append(_example(record, key, place))
            else:
                raise KnowledgeError(
                    "expected an example (question and sql) or a glossary entry (term and "
                    "definition)"
                )
        except KnowledgeError as err:
            raise KnowledgeError(f"{place}: {err}") from None
    return found


def _database_of(record: dict, database: str, source: Path | None, place: str) -> str:
    url = record.get("db")
    if url is None:
        return database
    if not isinstance(url, str) or not url.strip():
        raise KnowledgeError(f"{place}: 'db' must be a database URL")
    from quorlix.evaluation.items import QuestionSetError
    from quorlix.evaluation.sets_jsonl import _resolve

    try:
        return database_key(_resolve(url, source))
    except QuestionSetError as err:
        raise KnowledgeError(f"{place}: {err}") from None


def _example(record: dict, database: str, place: str) -> VerifiedExample:
    unknown = set(record) - EXAMPLE_KEYS
    if unknown:
        raise KnowledgeError(f"unknown key(s) {', '.join(sorted(unknown))} in an example")
    sql = record.get("sql", record.get("gold_sql"))
    notes = record.get("notes", record.get("evidence"))
    if notes is not None and not isinstance(notes, str):
        raise KnowledgeError("'notes' must be a string")
    return VerifiedExample(
        question=record.get("question"),  # type: ignore[arg-type]
        sql=sql,  # type: ignore[arg-type]
        notes=notes or None,
        database=database,
        origin=ORIGIN_FILE,
        status=ACCEPTED,
    ).checked()


def _term(record: dict, database: str, place: str) -> GlossaryEntry:
    unknown = set(record) - TERM_KEYS
    if unknown:
        raise KnowledgeError(f"unknown key(s) {', '.join(sorted(unknown))} in a glossary entry")
    synonyms = record.get("synonyms") or []
    if not isinstance(synonyms, list) or not all(isinstance(s, str) for s in synonyms):
        raise KnowledgeError("'synonyms' must be a list of strings")
    return GlossaryEntry(
        term=record.get("term"),  # type: ignore[arg-type]
        definition=record.get("definition"),  # type: ignore[arg-type]
        sql=record.get("sql") or None,
        synonyms=tuple(s.strip() for s in synonyms if s.strip()),
        database=database,
    ).checked()


def _from_question_set(source: Path, database: str) -> KnowledgeFile:
    from quorlix.evaluation.formats import load_question_set
    from quorlix.evaluation.items import QuestionSetError

    try:
        questions = load_question_set(source, lambda: (database, database)).questions
    except QuestionSetError as err:
        raise KnowledgeError(str(err)) from None
    found = KnowledgeFile()
    for question in questions:
        found.examples.append(
            VerifiedExample(
                question=question.question,
                sql=question.gold_sql,
                notes=question.evidence,
                database=database_key(question.db),
                origin=ORIGIN_FILE,
                status=ACCEPTED,
            ).checked()
        )
    return found


def file_knowledge(path: str | Path, database: str) -> Knowledge:
    """The examples and glossary of ``path`` that belong to ``database``, numbered by line."""
    found = read_knowledge_file(path, database)
    examples: list[VerifiedExample] = []
    for number, example in enumerate(found.examples, start=1):
        if example.database != database:
            continue
        check_query(example.sql, database)
        examples.append(_numbered(example, number))
    glossary: list[GlossaryEntry] = []
    for number, entry in enumerate(found.glossary, start=1):
        if entry.database != database:
            continue
        if entry.sql:
            check_fragment(entry.sql, database)
        glossary.append(_numbered(entry, number))
    return Knowledge(examples=tuple(examples), glossary=tuple(glossary))


def _numbered(item, number: int):
    from dataclasses import replace

    return replace(item, id=number)


def knowledge_lines(
    examples: Iterable[VerifiedExample], glossary: Iterable[GlossaryEntry] = ()
) -> str:
    """The file ``read_knowledge_file`` reads back: glossary entries first, then examples."""
    lines = [json.dumps(entry.as_line(), ensure_ascii=False) for entry in glossary]
    lines += [json.dumps(example.as_line(), ensure_ascii=False) for example in examples]
    return "".join(line + "\n" for line in lines)


def eval_set_lines(examples: Iterable[VerifiedExample]) -> str:
    """The examples as a ``quorlix eval`` question set (our JSON Lines format)."""
    lines = []
    for number, example in enumerate(examples, start=1):
        line = {
            "id": f"k-{example.id}" if example.id is not None else f"k{number}",
            "question": example.question,
            "gold_sql": example.sql,
        }
        # Notes stay out: an eval set's evidence is shown to the model as a hint, and a set
        # that measures what the knowledge buys must ask the bare question.
        lines.append(json.dumps(line, ensure_ascii=False))
    return "".join(line + "\n" for line in lines)
