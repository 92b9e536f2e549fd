"""The two community formats: Spider and BIRD development sets.

Both are one JSON array; each item names its database by ``db_id``, found beside the file as
``<folder>/<db_id>/<db_id>.sqlite``, where the folder is ``database`` (Spider),
``dev_databases`` or ``train_databases`` (BIRD).
"""

from __future__ import annotations

from pathlib import Path
from typing import Any

from .items import Question, QuestionSet, QuestionSetError

SPIDER_KEYS = ("db_id", "question", "query")
BIRD_KEYS = ("question_id", "db_id", "question", "evidence", "SQL")
DATABASE_FOLDERS = ("database", "dev_databases", "train_databases", "test_database", "databases")


def looks_like(items: list[Any]) -> str | None:
    """``"bird"``, ``"spider"`` or None, from the keys of the first item."""
    first = items[0] if items and isinstance(items[0], dict) else {}
    if all(key in first for key in ("db_id", "question", "SQL")):
        return "bird"
    if all(key in first for key in SPIDER_KEYS):
        return "spider"
    return None


def load_spider(items: list[Any], source: Path) -> QuestionSet:
    questions = []
    found_urls: dict[str, str] = {}
    for number, item in enumerate(items, start=1):
        _require(item, SPIDER_KEYS, source, number, "Spider")
        questions.append(
            Question(
                id=str(number),
                question=item["question"],
                gold_sql=item["query"],
                db=_database_url(source, item["db_id"], found_urls),
                db_name=item["db_id"],
                difficulty=_optional(item.get("hardness") or item.get("difficulty")),
            )
        )
    return QuestionSet(name=str(source), format="spider", questions=questions)


def load_bird(items: list[Any], source: Path) -> QuestionSet:
    questions = []
    found_urls: dict[str, str] = {}
    seen: set[str] = set()
    for number, item in enumerate(items, start=1):
        _require(item, ("db_id", "question", "SQL"), source, number, "BIRD")
        ident = str(item.get("question_id", number - 1))
        if ident in seen:
            raise QuestionSetError(f"{source}, item {number}: question_id {ident} is used twice")
        seen.add(ident)
        questions.append(
            Question(
                id=ident,
                question=item["question"],
                gold_sql=item["SQL"],
                db=_database_url(source, item["db_id"], found_urls),
                db_name=item["db_id"],
                difficulty=_optional(item.get("difficulty")),
                evidence=_optional(item.get("evidence")),
            )
        )
    return QuestionSet(name=str(source), format="bird", questions=questions)


def _require(item: Any, keys: tuple[str, ...], source: Path, number: int, kind: str) -> None:
    if not isinstance(item, dict):
        raise QuestionSetError(f"{source}, item {number}: expected a JSON object")
    for key in keys:
        if not isinstance(item.get(key), str) or not item[key].strip():
            raise QuestionSetError(
                f"{source}, item {number}: a {kind} item needs {key!r} as a non-empty string"
            )


def _optional(value: Any) -> str | None:
    return value if isinstance(value, str) and value.strip() else None


def _database_url(source: Path, db_id: str, found_urls: dict[str, str]) -> str:
    if db_id not in found_urls:
        if Path(db_id).name != db_id or db_id in (".", ".."):
            raise QuestionSetError(f"{source}: db_id {db_id!r} is not a plain database name")
        candidates = [
            source.parent / folder / db_id / f"{db_id}.sqlite" for folder in DATABASE_FOLDERS
        ]
        found = next((path for path in candidates if path.is_file()), None)
        if found is None:
            looked = ", ".join(str(path.parent.parent.name) for path in candidates)
            raise QuestionSetError(
                f"{source}: no database file for db_id {db_id!r}; expected "
                f"<folder>/{db_id}/{db_id}.sqlite beside the question file, the folder being "
                f"one of: {looked}"
            )
        found_urls[db_id] = f"sqlite:///{found.resolve()}"
    return found_urls[db_id]
