"""A shortlist of the tables that best match a question, for the relevant-table picker.

Past a few dozen tables, a prompt that lists every table name grows with the catalogue and the
model's choice gets worse. The tables are ranked instead with BM25 (``bm25s``) over what a
question's words can meet: the words of the table's name (counted three times, since that is
what people name), its columns, its comments and the names of the tables its foreign keys join.
Names are split into words (``CustomerOrders`` and ``customer_orders`` both give customer,
order) and plurals are folded, so "orders per customer" meets ``customer_order``.

The index is built once per catalogue and kept until the wrapper's catalogue changes
(``refresh()`` or its maximum age).
"""

from __future__ import annotations

import re
import threading
import weakref
from collections.abc import Sequence
from dataclasses import dataclass
from functools import cache
from typing import TYPE_CHECKING, Any

from quorlix.prompts.table_shortlist import SHORTLIST_HEADING
from quorlix.sql.catalogue.scan import TableSketch, scan_catalogue

if TYPE_CHECKING:
    import bm25s

# bm25s and numpy are imported when a first index is built: most catalogues are small enough
# for the picker to see every name, and the graph module, which imports this one, should not
# pay for them at start-up.

_NAME_WEIGHT = 3
_COLUMNS_SHOWN = 30
_WORD = re.compile(r"[A-Z]+(?![a-z])|[A-Z]?[a-z]+|[0-9]+")
# Words every question has and no table name needs (with bm25s's English stop words).
_QUESTION_WORDS = {
    "many",
    "much",
    "show",
    "list",
    "give",
    "find",
    "per",
    "total",
    "number",
    "average",
    "top",
    "last",
    "first",
    "table",
    "tables",
    "did",
    "does",
    "which",
    "what",
    "who",
    "how",
    "each",
    "every",
    "all",
}


@cache
def _stopwords() -> frozenset[str]:
    from bm25s.stopwords import STOPWORDS_EN

    return frozenset(STOPWORDS_EN) | _QUESTION_WORDS


def words(text: str) -> list[str]:
    """Lower-cased words of ``text`` with camelCase and snake_case split and plurals folded."""
    return [_fold(word.lower()) for word in _WORD.findall(text)]


def _fold(word: str) -> str:
    if len(word) > 4 and word.endswith("ies"):
        return word[:-3] + "y"
    if len(word) > 4 and word.endswith(("ches", "shes", "sses", "xes", "zes")):
        return word[:-2]
    if len(word) > 3 and word.endswith("s") and not word.endswith(("ss", "us", "is")):
        return word[:-1]
    return word


@dataclass
class TableIndex:
    names: list[str]
    sketches: dict[str, TableSketch]
    retriever: bm25s.BM25

    @classmethod
    def build(cls, sketches: dict[str, TableSketch]) -> TableIndex:
        names = sorted(sketches)
        corpus = [_document(name, sketches[name]) for name in names]
        import bm25s

        retriever = bm25s.BM25()
        retriever.index(corpus, show_progress=False)
        return cls(names, sketches, retriever)

    def rank(self, question: str, size: int) -> list[str]:
        """The ``size`` best-matching table names, best first (ties in name order)."""
        vocabulary = self.retriever.vocab_dict
        query = [w for w in dict.fromkeys(words(question)) if w in vocabulary]
        stopwords = _stopwords()
        query = [w for w in query if w not in stopwords] or query
        size = min(size, len(self.names))
        if not query:
            return self.names[:size]
        import numpy as np

        scores = np.asarray(self.retriever.get_scores(query))
        # Stable sort on the negated score keeps equally good tables in name order.
        order = np.argsort(-scores, kind="stable")[:size]
        return [self.names[i] for i in order]


def _document(name: str, sketch: TableSketch) -> list[str]:
    document = words(name) * _NAME_WEIGHT
    for column in sketch.columns:
        document += words(column)
    for comment in sketch.comments:
        document += words(comment)
    for neighbour in sorted(sketch.neighbours):
        document += words(neighbour)
    return document or [""]


_indexes: weakref.WeakKeyDictionary[Any, tuple[int, TableIndex]] = weakref.WeakKeyDictionary()
_lock = threading.Lock()


def table_index(db: Any) -> TableIndex:
    """The ranking index of ``db``'s usable tables, built on first use per catalogue."""
    version = getattr(db, "catalogue_version", 0)
    with _lock:
        cached = _indexes.get(db)
        if cached is not None and cached[0] == version:
            return cached[1]
        index = TableIndex.build(_sketches(db))
        # Kept under the version read before building: a refresh meanwhile means a rebuild.
        _indexes[db] = (version, index)
        return index


def _sketches(db: Any) -> dict[str, TableSketch]:
    sketch = getattr(db, "catalogue_sketch", None)
    if sketch is not None:
        return sketch()
    # A plain LangChain SQLDatabase: read the same catalogue without the wrapper's cache.
    found = scan_catalogue(db._engine, db._schema, getattr(db, "_view_support", False))
    return {name: found.get(name, TableSketch()) for name in db.get_usable_table_names()}


def describe_shortlist(index: TableIndex, names: Sequence[str], total: int) -> str:
    """The shortlist as the picker's prompt shows it: one table a line, with its columns."""
    lines = [SHORTLIST_HEADING.format(shown=len(names), total=total)]
    for name in names:
        sketch = index.sketches.get(name, TableSketch())
        columns = list(dict.fromkeys(sketch.keys + sketch.columns))
        shown = ", ".join(columns[:_COLUMNS_SHOWN])
        if len(columns) > _COLUMNS_SHOWN:
            shown += f", ... ({len(columns) - _COLUMNS_SHOWN} more)"
        lines.append(f"{name} ({shown})" if shown else name)
    return "\n".join(lines)
