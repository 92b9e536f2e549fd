"""Reading a question file of any supported format, recognised from its content."""

from __future__ import annotations

import json
from collections.abc import Callable
from pathlib import Path

from .items import QuestionSet, QuestionSetError
from .sets_community import load_bird, load_spider, looks_like
from .sets_jsonl import load_jsonl

GOLD_SET = Path(__file__).with_name("shop_gold.jsonl")
GOLD_SET_NAME = "built-in shop gold set"

EXPECTED = (
    "expected one of: JSON Lines with one object per line holding 'question' and 'gold_sql' "
    "(optional 'id', 'db', 'difficulty', 'evidence'); a Spider set (a JSON array of objects "
    "with 'db_id', 'question', 'query'); a BIRD set (a JSON array of objects with "
    "'question_id', 'db_id', 'question', 'evidence', 'SQL', 'difficulty')"
)


def load_question_set(
    path: str | Path | None, default_db: Callable[[], tuple[str, str]]
) -> QuestionSet:
    """The questions of ``path``, or of the built-in gold set for the sample shop database.

    ``default_db()`` gives the URL and report name of the database of our JSONL questions that
    name none; it is asked only when one of them does.
    """
    if path is None:
        return load_jsonl(GOLD_SET.read_text(encoding="utf-8"), None, default_db, GOLD_SET_NAME)
    source = Path(path).expanduser()
    try:
        text = source.read_text(encoding="utf-8-sig")
    except FileNotFoundError:
        raise QuestionSetError(f"there is no question file at {source}") from None
    except IsADirectoryError:
        raise QuestionSetError(
            f"{source} is a directory; give the question file itself (e.g. dev.json)"
        ) from None
    except UnicodeDecodeError:
        raise QuestionSetError(f"{source} is not UTF-8 text; {EXPECTED}") from None
    stripped = text.lstrip()
    if stripped.startswith("["):
        try:
            items = json.loads(text)
        except ValueError as err:
            raise QuestionSetError(f"{source}: not valid JSON ({err})") from None
        kind = looks_like(items)
        if kind == "bird":
            return load_bird(items, source)
        if kind == "spider":
            return load_spider(items, source)
        raise QuestionSetError(f"{source} is a JSON array of unknown items; {EXPECTED}")
    if stripped.startswith("{"):
        first = stripped.splitlines()[0]
        try:
            record = json.loads(first)
        except ValueError:
            record = None
        if isinstance(record, dict) and "question" in record and "gold_sql" in record:
            return load_jsonl(text, source.resolve(), default_db, str(source))
    raise QuestionSetError(f"{source} is not a question file this command reads; {EXPECTED}")
