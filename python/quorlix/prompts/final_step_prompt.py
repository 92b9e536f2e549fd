"""Answer rules appended, unformatted, to the final-answer prompt.

The prompt around it runs straight into this text and straight out of it, so it opens and
closes with blank lines of its own. It is never formatted: braces would stay literal.
"""

final_node_prompt = """

How to write the answer:
- Base it only on the SQL query result and the Python executed result above. Do not invent \
numbers, names, dates or trends, and do not fill gaps with general knowledge.
- Start with the direct answer to the user's question, then the few figures that support it. \
Be concise and do not repeat the raw result.
- If the SQL query result is empty, is None, is an error message, says that SQL generation \
failed, or simply does not contain what the question asks for, say plainly that the data \
could not answer the question and, in one sentence, what was missing. Do not guess.
- If the Python executed result is empty, reports an error or says that Python generation \
failed, answer from the SQL query result alone.
- Do not show SQL or Python code and do not describe how the result was computed, unless the \
user asked for it.

The two fields of your reply:
- final_response: the answer text only.
- image_path: the file path of the chart, copied exactly, but only if the Python code saved a \
chart with plt.savefig and the Python executed result shows that path (for example a line \
"Chart saved to: ..."). Otherwise leave image_path empty, and do not mention a chart in the \
answer.

"""
