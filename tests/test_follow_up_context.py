"""What the model that restates a follow-up is shown: bounded by turns and characters whatever
the thread's length, the newest turn always in, results by their shape only; and what is taken
from its reply."""

from __future__ import annotations

import pytest
from quorlix.answering.follow_up import Turn, standalone_of, thread_context

SQL = "SELECT city, COUNT(*) AS orders FROM orders GROUP BY city"


def turns(count: int, sql: str = SQL) -> list[Turn]:
    return [
        Turn(f"Question {n}?", sql=sql, columns=("city", "orders"), row_count=n)
        for n in range(1, count + 1)
    ]


@pytest.mark.parametrize(
    ("count", "max_turns", "max_chars", "shown", "left_out"),
    [
        (1, 5, 4000, [1], None),
        (5, 5, 4000, [1, 2, 3, 4, 5], None),
        (6, 5, 4000, [2, 3, 4, 5, 6], "(1 earlier turn left out)"),
        (200, 5, 4000, [196, 197, 198, 199, 200], "(195 earlier turns left out)"),
        # The character cap drops older turns first.
        (200, 5, 300, [199, 200], "(198 earlier turns left out)"),
    ],
)
def test_the_context_is_bounded_whatever_the_threads_length(
    count, max_turns, max_chars, shown, left_out
):
    context = thread_context(turns(count), max_turns, max_chars)
    headings = [line for line in context.splitlines() if line.startswith("Turn ")]
    assert [int(line.split(":")[0].removeprefix("Turn ")) for line in headings] == shown
    assert context.startswith(left_out) if left_out else context.startswith("Turn 1:")
    assert len(context) - len(left_out or "") <= max_chars


def test_the_newest_turn_goes_in_cut_when_it_alone_is_too_long():
    context = thread_context(turns(3, sql="SELECT " + "x, " * 500 + "y"), 5, 300)
    assert context.splitlines()[1].startswith("Turn 3: Question 3?")
    assert len(context.split("\n", 1)[1]) <= 300


def test_results_are_shown_by_their_shape_only():
    turn = Turn.of_record(
        "Orders per city?",
        None,
        {"final_sql": SQL, "result": {"columns": ["city", "orders"], "rows": [["Dublin", 2]]}},
    )
    context = thread_context([turn], 5, 4000)
    assert "1 row with columns city, orders" in context and "Dublin" not in context


@pytest.mark.parametrize(
    ("reply", "standalone"),
    [
        ("How many orders in 2024?", "How many orders in 2024?"),
        ('  "How many orders in 2024?"\n', "How many orders in 2024?"),
        ("Standalone question: How many orders in 2024?", "How many orders in 2024?"),
        ("", "And in 2024?"),
        ("   \n ", "And in 2024?"),
    ],
)
def test_the_standalone_question_is_taken_from_the_reply(reply, standalone):
    assert standalone_of(reply, "And in 2024?") == standalone
