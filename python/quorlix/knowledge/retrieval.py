"""Which examples and glossary entries a question gets: BM25 over words, SQL names and synonyms.

An example is indexed by the words of its question and notes and by the names its SQL reads
(tables, columns and the text values it compares with: ``WHERE city = 'Berlin'`` gives city and
berlin), so a question worded differently still meets the example through the schema words the
two share. Words are split and folded as the table shortlist folds them (``order_items`` and
"order items" meet, plurals fold), with the same BM25 library (``bm25s``).

The glossary bridges wordings: a question or example that uses one of a term's synonyms is
indexed as if it used the term too, so "turnover" meets an example about "revenue" when the
glossary says they are one thing. (Adding every synonym, or the names the term's SQL reads,
measured worse on the paraphrase benchmark: texts that use a common term grow and rank lower.)
The glossary entries a question uses are given to it whatever the examples.

Only examples that share at least one word with the question count; the best ``k`` of them are
given, best first (equal scores keep the order the examples were added in).
"""

from __future__ import annotations

import re
import threading
from collections.abc import Sequence
from dataclasses import dataclass
from functools import cache, lru_cache
from typing import Any

from quorlix.function_calling.shortlist import words

from .records import GlossaryEntry, VerifiedExample
from .section import DEFAULT_SECTION_CHARS, render_section
from .store import Knowledge

DEFAULT_EXAMPLES = 3

# Words that every question has and that say nothing of what it is about.
_FILLER_WORDS = {
    "what",
    "which",
    "who",
    "whom",
    "whose",
    "how",
    "many",
    "much",
    "do",
    "does",
    "doe",  # "does" after plural folding
    "did",
    "we",
    "our",
    "us",
    "have",
    "has",
    "had",
    "i",
    "me",
    "my",
    "you",
    "your",
    "show",
    "list",
    "give",
    "tell",
    "find",
    "get",
    "got",
    "any",
    "ve",
    "ll",
    "re",
    "some",
}
# Names in SQL that are the language's, not the database's.
_SQL_FUNCTIONS = {
    "count",
    "sum",
    "avg",
    "min",
    "max",
    "round",
    "cast",
    "coalesce",
    "ifnull",
    "nullif",
    "strftime",
    "date",
    "datetime",
    "julianday",
    "extract",
    "year",
    "month",
    "day",
    "lower",
    "upper",
    "trim",
    "length",
    "substr",
    "substring",
    "abs",
    "real",
    "float",
    "integer",
    "int",
    "text",
    "numeric",
    "decimal",
    "varchar",
    "now",
    "current_date",
    "date_trunc",
    "to_char",
    "interval",
}
_SQL_WORD = re.compile(r"[A-Za-z_][A-Za-z0-9_]*|'[^']*'")


@cache
def _stopwords() -> frozenset[str]:
    from bm25s.stopwords import STOPWORDS_EN

    return frozenset(STOPWORDS_EN) | frozenset(_FILLER_WORDS)


def text_words(text: str) -> list[str]:
    """The words of a question or note that can tell one question from another."""
    stop = _stopwords()
    # Single letters are what apostrophes leave ("what's", "we've" give s, ve).
    return [word for word in words(text) if word not in stop and len(word) > 1]


def sql_words(sql: str) -> list[str]:
    """The words of the names and text values an SQL statement uses."""
    names: list[str] = []
    try:
        import sqlglot
        from sqlglot.tokens import TokenType

        kinds = (TokenType.VAR, TokenType.IDENTIFIER, TokenType.STRING)
        names = [token.text for token in sqlglot.tokenize(sql) if token.token_type in kinds]
    except Exception:
        # A statement sqlglot cannot read still has words: take every name-like one.
        names = [match.strip("'") for match in _SQL_WORD.findall(sql)]
    found: list[str] = []
    stop = _stopwords()
    for name in names:
        if name.casefold() in _SQL_FUNCTIONS:
            continue
        # One- and two-letter names are table aliases (c, oi), not words of the schema.
        found += [word for word in words(name) if len(word) > 2 and word not in stop]
    return found


@dataclass(frozen=True)
class _Concept:
    """A glossary entry as the index sees it: the word runs that name it, what it adds."""

    entry: GlossaryEntry
    names: tuple[tuple[str, ...], ...]
    adds: tuple[str, ...]

    @classmethod
    def of(cls, entry: GlossaryEntry) -> _Concept:
        names = tuple(tuple(words(name)) for name in (entry.term, *entry.synonyms) if words(name))
        # The term's own words, not the synonyms': a text using a synonym is indexed as if it
        # used the term, and texts using the term are left as they are.
        adds = list(names[0]) if names else []
        return cls(entry, names, tuple(dict.fromkeys(adds)))

    def used_in(self, text_word_list: Sequence[str]) -> bool:
        return any(_contains(text_word_list, name) for name in self.names)


def _contains(haystack: Sequence[str], needle: Sequence[str]) -> bool:
    size = len(needle)
    return any(
        tuple(haystack[i : i + size]) == tuple(needle) for i in range(len(haystack) - size + 1)
    )


@dataclass(frozen=True)
class Retrieved:
    """What one question is given: the examples and glossary entries, and the prompt section.

    ``section`` is empty when there is nothing to give; it is at most the cap it was rendered
    with. ``examples`` and ``terms`` are what the section shows (an item that did not fit the
    cap is not among them).
    """

    examples: tuple[VerifiedExample, ...] = ()
    terms: tuple[GlossaryEntry, ...] = ()
    section: str = ""

    def __bool__(self) -> bool:
        return bool(self.section)

    def as_record(self) -> dict[str, Any]:
        """JSON-ready: which examples and terms a run used, for its record."""
        return {
            "examples": [
                {"id": example.id, "question": example.question, "sql": example.sql}
                for example in self.examples
            ],
            "terms": [{"id": entry.id, "term": entry.term} for entry in self.terms],
            "section_chars": len(self.section),
        }


class KnowledgeIndex:
    """The ranking index over one database's knowledge; build once, ask many questions."""

    def __init__(self, knowledge: Knowledge) -> None:
        self.knowledge = knowledge
        self.examples = list(knowledge.examples)
        self._concepts = [_Concept.of(entry) for entry in knowledge.glossary]
        self._lock = threading.Lock()
        self._retriever = self._build() if self.examples else None

    def _expanded(self, found: list[str], plain: list[str]) -> list[str]:
        for concept in self._concepts:
            if concept.used_in(plain):
                found = found + [word for word in concept.adds if word not in found]
        return found

    def _document(self, example: VerifiedExample) -> list[str]:
        plain = words(example.question) + (words(example.notes) if example.notes else [])
        document = text_words(example.question) + sql_words(example.sql)
        if example.notes:
            document += text_words(example.notes)
        return self._expanded(document, plain) or [""]

    def _build(self):
        import bm25s

        retriever = bm25s.BM25()
        retriever.index([self._document(example) for example in self.examples], show_progress=False)
        return retriever

    def terms_for(self, question: str) -> list[GlossaryEntry]:
        plain = words(question)
        return [concept.entry for concept in self._concepts if concept.used_in(plain)]

    def rank(self, question: str, k: int = DEFAULT_EXAMPLES) -> list[VerifiedExample]:
        """The ``k`` examples that best match ``question``, best first."""
        if self._retriever is None or k < 1:
            return []
        query = self._expanded(text_words(question), words(question))
        vocabulary = self._retriever.vocab_dict
        query = [word for word in dict.fromkeys(query) if word in vocabulary]
        if not query:
            return []
        import numpy as np

        with self._lock:  # bm25s keeps scratch state on the retriever
            scores = np.asarray(self._retriever.get_scores(query))
        order = np.argsort(-scores, kind="stable")
        return [self.examples[i] for i in order[:k] if scores[i] > 0]

    def retrieve(
        self, question: str, k: int = DEFAULT_EXAMPLES, max_chars: int = DEFAULT_SECTION_CHARS
    ) -> Retrieved:
        terms = self.terms_for(question)
        examples = self.rank(question, k)
        section, shown_terms, shown_examples = render_section(terms, examples, max_chars)
        return Retrieved(tuple(shown_examples), tuple(shown_terms), section)


def retrieve(
    knowledge: Knowledge,
    question: str,
    k: int = DEFAULT_EXAMPLES,
    max_chars: int = DEFAULT_SECTION_CHARS,
) -> Retrieved:
    """The examples and glossary entries for ``question``, and the section that shows them."""
    if not knowledge:
        return Retrieved()
    return index_of(knowledge).retrieve(question, k, max_chars)


@lru_cache(maxsize=8)
def index_of(knowledge: Knowledge) -> KnowledgeIndex:
    """The index of ``knowledge``, built once while the knowledge stays the same.

    Building reads every example's SQL (about 0.1 ms each); a run asks one question. The
    records are frozen, so knowledge read again from an unchanged store is equal and hits.
    """
    return KnowledgeIndex(knowledge)
