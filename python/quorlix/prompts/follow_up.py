"""The prompt that turns a follow-up in a thread into a standalone question.

The graph answers one question at a time and knows nothing of earlier ones; a follow-up ("and
by country?", "only 2024") is restated first, from the thread's earlier questions, their SQL
and the shape of their results, and the graph answers the restatement.
"""

FOLLOW_UP_SYSTEM = """\
You rewrite the last question of a conversation about a database as one standalone question.
The earlier turns show what was asked, the SQL that answered it and the shape of its result.
The standalone question must carry every filter, grouping, measure and time range the
follow-up keeps from earlier turns, so that someone who never saw the conversation asks the
same thing. Keep the user's wording and language where you can. If the last question already
stands alone, repeat it unchanged. Reply with the standalone question only: no preamble, no
quotes, no SQL."""

FOLLOW_UP_HUMAN = """\
Earlier turns, oldest first:
{context}

Last question: {question}

Standalone question:"""

# How one earlier turn is shown; lines whose value is missing are left out.
TURN_HEADING = "Turn {number}: {question}"
TURN_UNDERSTOOD = "  understood as: {standalone}"
TURN_SQL = "  SQL: {sql}"
TURN_RESULT = "  result: {rows} with columns {columns}"
TURN_NO_RESULT = "  result: no rows ({reason})"
# Where earlier turns were left out to keep the prompt bounded.
TURNS_LEFT_OUT = "({count} earlier turn{s} left out)"
