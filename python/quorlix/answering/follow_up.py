"""Follow-up questions in a thread: before the graph runs, one model call restates a follow-up
as a standalone question, and the graph answers that.

The model is shown the thread's earlier questions, their SQL and the shape of their results
(columns and row counts, never rows), bounded twice: at most the last ``thread_turns`` turns,
and at most ``thread_context_chars`` characters of them, older turns left out first. So the
prompt of a follow-up costs the same at turn 200 as at turn 5. The first question of a thread
has no earlier turns and costs nothing extra: no preparer is made for it.
"""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import Any

from quorlix.prompts import follow_up as texts
from quorlix.questions import MAX_QUESTION_CHARS

from .setup import Preparer, RunSetup

# What usage figures call the rewriting call: it belongs to no node of the graph.
FOLLOW_UP_STEP = "follow_up_rewrite"
# One long value (a wide query, a long question) gets at most this share of the context.
_FIELD_SHARE = 3


@dataclass(frozen=True)
class Turn:
    """An earlier question of a thread, as far as a follow-up needs it."""

    question: str
    # What the question was understood as, when a rewrite changed it.
    standalone: str | None = None
    sql: str | None = None
    columns: tuple[str, ...] = ()
    # Rows the query returned (None: no query returned rows); ``more`` when there were more.
    row_count: int | None = None
    more: bool = False
    # Why no rows came back (a failed query, an empty result), when none did.
    failure: str | None = None

    @classmethod
    def of_record(cls, question: str, standalone: str | None, record: dict) -> Turn:
        """The turn of a stored run (its record as the run store keeps it)."""
        result = record.get("result") or None
        return cls(
            question=question,
            standalone=standalone,
            sql=record.get("final_sql"),
            columns=tuple(str(column) for column in (result or {}).get("columns", ())),
            row_count=len(result.get("rows", ())) if result else None,
            more=bool(result and result.get("truncated")),
            failure=None if result else _failure(record.get("error"), record.get("final_sql")),
        )

    @classmethod
    def of_outcome(cls, question: str, outcome: Any) -> Turn:
        """The turn of a finished run (an ``Outcome``)."""
        standalone = str(outcome.state.get("user_question") or question)
        rows = outcome.rows
        return cls(
            question=question,
            standalone=standalone if standalone != question else None,
            sql=outcome.sql,
            columns=tuple(str(column) for column in (rows or {}).get("columns", ())),
            row_count=len(rows.get("rows", ())) if rows else None,
            more=bool(rows and rows.get("truncated")),
            failure=None if rows else _failure(outcome.reason, outcome.sql),
        )


def _failure(error: str | None, sql: str | None) -> str:
    if error:
        return " ".join(str(error).split())
    return "the query returned none" if sql else "no query was written"


def thread_context(turns: Sequence[Turn], max_turns: int, max_chars: int, skipped: int = 0) -> str:
    """The earlier turns as the model sees them: the last ``max_turns``, newest kept first
    when ``max_chars`` cannot hold them all; a single turn longer than that is cut.
    ``skipped`` counts turns before ``turns`` that were not even read (a long thread's)."""
    recent = list(turns)[-max_turns:] if max_turns > 0 else []
    first_number = skipped + len(turns) - len(recent) + 1
    shown: list[str] = []
    used = 0
    for offset in range(len(recent) - 1, -1, -1):
        block = _turn_text(first_number + offset, recent[offset], max_chars)
        cost = len(block) + (1 if shown else 0)
        if used + cost > max_chars:
            # The newest turn always goes in (cut to fit): a follow-up is about it.
            if shown:
                break
            block = block[: max_chars - 1] + "…"
            cost = len(block)
        shown.append(block)
        used += cost
    left_out = skipped + len(turns) - len(shown)
    lines = []
    if left_out:
        count = texts.TURNS_LEFT_OUT.format(count=left_out, s="" if left_out == 1 else "s")
        lines.append(count)
    lines.extend(reversed(shown))
    return "\n".join(lines)


def _turn_text(number: int, turn: Turn, max_chars: int) -> str:
    limit = max(40, max_chars // _FIELD_SHARE)
    lines = [texts.TURN_HEADING.format(number=number, question=_cut(turn.question, limit))]
    if turn.standalone and turn.standalone != turn.question:
        lines.append(texts.TURN_UNDERSTOOD.format(standalone=_cut(turn.standalone, limit)))
    if turn.sql:
        lines.append(texts.TURN_SQL.format(sql=_cut(turn.sql, limit)))
    if turn.row_count is not None:
        rows = f"{turn.row_count}{' or more' if turn.more else ''} row"
        rows += "" if turn.row_count == 1 and not turn.more else "s"
        columns = _cut(", ".join(turn.columns) or "(none)", limit)
        lines.append(texts.TURN_RESULT.format(rows=rows, columns=columns))
    elif turn.failure:
        lines.append(texts.TURN_NO_RESULT.format(reason=_cut(turn.failure, limit)))
    return "\n".join(lines)


def _cut(text: str, limit: int) -> str:
    line = " ".join(str(text).split())
    return line if len(line) <= limit else line[: limit - 1] + "…"


def follow_up_messages(question: str, context: str) -> list[tuple[str, str]]:
    """The rewriting call's messages, in LangChain's (role, text) form."""
    return [
        ("system", texts.FOLLOW_UP_SYSTEM),
        ("human", texts.FOLLOW_UP_HUMAN.format(context=context, question=question)),
    ]


def standalone_of(reply: Any, question: str) -> str:
    """The standalone question in the model's reply; the question itself when it gave none."""
    content = getattr(reply, "content", reply)
    text = content if isinstance(content, str) else ""
    lines = [line.strip() for line in text.strip().splitlines() if line.strip()]
    found = lines[0] if len(lines) == 1 else " ".join(lines)
    for label in ("Standalone question:", "Standalone:"):
        if found.lower().startswith(label.lower()):
            found = found[len(label) :].strip()
    if len(found) >= 2 and found[0] == found[-1] and found[0] in "\"'`":
        found = found[1:-1].strip()
    if not found:
        return question
    return found[:MAX_QUESTION_CHARS]


def follow_up_preparer(
    model: Any,
    turns: Iterable[Turn],
    max_turns: int | None = None,
    max_chars: int | None = None,
    skipped: int = 0,
) -> Preparer | None:
    """A preparer that restates the run's question in the light of ``turns`` (the thread's
    earlier ones, oldest first, after ``skipped`` older ones not read), or None for the first
    question of a thread.

    ``model`` is a LangChain chat model; the limits default to the ``thread_turns`` and
    ``thread_context_chars`` settings.
    """
    earlier = list(turns)
    if not earlier and not skipped:
        return None
    if max_turns is None or max_chars is None:
        from quorlix import config

        max_turns = config.setting("thread_turns") if max_turns is None else max_turns
        max_chars = config.setting("thread_context_chars") if max_chars is None else max_chars
    context = thread_context(earlier, max_turns, max_chars, skipped)

    def restate(setup: RunSetup) -> None:
        messages = follow_up_messages(setup.question, context)
        # The run's handlers see this call too (usage, tracing); the metadata names it, as
        # LangGraph's does for a node's calls.
        reply = model.invoke(
            messages,
            config={
                "callbacks": list(setup.callbacks),
                "metadata": {"langgraph_node": FOLLOW_UP_STEP},
                "run_name": FOLLOW_UP_STEP,
            },
        )
        standalone = standalone_of(reply, setup.question)
        setup.question = standalone
        setup.inputs["user_question"] = standalone

    return restate
