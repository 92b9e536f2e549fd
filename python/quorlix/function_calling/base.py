"""The relevant-table picker: the graph's "relevant_table_names_node".

The graph hands it the general-purpose settings object and the database wrapper and registers
its bound ``invoke`` as a node. It chooses tables with its own temperature-0 chat model through
the node class ``RelevantTableNames``, so the step behaves like the rest of the graph while
staying replaceable.

On a database with more tables than ``shortlist_threshold``, the model is not shown every table
name: the tables are ranked against the question first (``shortlist``) and the model sees the
best ``shortlist_size`` with their columns.

Either way the names the model answers are matched to the database's tables (``real_tables``):
one that is not a table is dropped and reported in the result's ``unknown``, since a single
unknown name would otherwise turn the whole schema text handed to the SQL writer into an error.
When none of them is a table, every table the model was shown is taken instead.

While a run has team knowledge applied (``quorlix.prompts.reference``), the model is shown its
reference section after the node's own prompt. Without knowledge the prompt is the node's,
unchanged.
"""

from __future__ import annotations

from typing import Any

from quorlix.config import Config
from quorlix.prompts.reference import reference_section
from quorlix.providers import chat_model

from .shortlist import describe_shortlist, table_index

DEFAULT_SHORTLIST_THRESHOLD = Config.shortlist_threshold
DEFAULT_SHORTLIST_SIZE = Config.shortlist_size


class RelevantTablePicker:
    """Chooses the tables a question needs: ``invoke(state)`` gives ``{"relevant_tables": [...]}``.

    ``config`` is an ``AzureOpenAIChat35`` (or, for provider ``openai``, ``OpenAIChat35``)
    settings object: its attribute dictionary holds the chat model's keyword arguments.
    ``db`` is the graph's ``CustomSQLDatabase``.
    ``shortlist_threshold`` and ``shortlist_size`` default to the settings
    QUORLIX_SHORTLIST_THRESHOLD and QUORLIX_SHORTLIST_SIZE (``quorlix.config``), else 40 and 20.
    """

    def __init__(
        self,
        config: Any,
        db: Any,
        *,
        shortlist_threshold: int | None = None,
        shortlist_size: int | None = None,
    ) -> None:
        # Imported here, not at module level: the graph module imports this module and the
        # node module side by side, and the node module is a compiled extension that may not
        # be importable yet when this module is.
        from quorlix.querymesh.nodewright import RelevantTableNames

        self.shortlist_threshold = _setting("shortlist_threshold", shortlist_threshold, minimum=0)
        self.shortlist_size = _setting("shortlist_size", shortlist_size, minimum=1)
        self.db = db
        self.model = chat_model(config, temperature=0)
        self.node = RelevantTableNames(db=db, model=self.model)

    # LangGraph inspects this signature and injects arguments by parameter name (config,
    # store, writer, ...). Only ``state`` is wanted, so no parameter may take such a name.
    def invoke(self, state: dict, **kwargs: Any) -> dict:
        """Ask the model which tables the question needs and return the state update."""
        names = list(self.db.get_usable_table_names())
        if _count_names(state["table_names_from_db"]) <= self.shortlist_threshold:
            update = self._ask(state)
            return {"relevant_tables": picked(update["relevant_tables"], names, names)}
        question = state["rewritten_question"] or state["user_question"]
        index = table_index(self.db)
        shortlist = index.rank(question, self.shortlist_size)
        shown = dict(state)
        shown["table_names_from_db"] = describe_shortlist(index, shortlist, len(names))
        update = self._ask(shown)
        return {"relevant_tables": picked(update["relevant_tables"], names, shortlist)}

    def _ask(self, state: dict) -> dict:
        section = reference_section()
        if not section:
            return self.node.invoke(state)
        # The node's own prompt, followed by the run's reference material as data.
        messages = self.node.generate_prompt(state)
        messages[-1].content += section
        answer = self.node.model.invoke(messages)
        return {"relevant_tables": answer.relevant_tables}


class PickedTables(list):
    """The chosen table names: a plain list to the graph, which reads nothing else.

    ``unknown`` holds the names the model answered that are not tables of the database (left
    out); ``fallback`` is true when none of its names was a table, so the tables it was shown
    were taken instead. Progress reports read both.
    """

    def __init__(self, names: list[str], unknown: list[str], fallback: bool) -> None:
        super().__init__(names)
        self.unknown = unknown
        self.fallback = fallback


def picked(answer: list[str], names: list[str], shown: list[str]) -> PickedTables:
    """The answered names that are tables of the database, else every table in ``shown``."""
    chosen = real_tables(answer, names)
    unknown = [name for name in dict.fromkeys(answer) if not real_tables([name], names)]
    if chosen:
        return PickedTables(chosen, unknown, fallback=False)
    return PickedTables(list(shown), unknown, fallback=True)


def _count_names(listed: Any) -> int:
    """How many tables the lookup step listed (its ", "-joined text, or a list)."""
    if isinstance(listed, list):
        return len(listed)
    return len([name for name in str(listed).split(",") if name.strip()])


def real_tables(answer: list[str], names: list[str]) -> list[str]:
    """The answered names that are tables of the database, each once, in the answer's order.

    A name that differs from a table's only in letter case is taken as that table when no
    other table has the same name in another case.
    """
    exact = set(names)
    by_case: dict[str, list[str]] = {}
    for name in names:
        by_case.setdefault(name.lower(), []).append(name)
    chosen: list[str] = []
    for name in answer:
        candidates = [name] if name in exact else by_case.get(name.strip().lower(), [])
        if len(candidates) == 1 and candidates[0] not in chosen:
            chosen.append(candidates[0])
    return chosen


def _setting(name: str, given: int | None, *, minimum: int) -> int:
    if given is None:
        from quorlix import config

        given = config.setting(name)
    if isinstance(given, bool) or not isinstance(given, int) or given < minimum:
        raise ValueError(f"{name} must be a whole number of at least {minimum}; got {given!r}")
    return given
