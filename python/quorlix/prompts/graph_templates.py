"""The graph's shared prompt templates: the public texts of the node module.

``quorlix.querymesh.querymesh_prompts`` re-exports them and the node module star-imports that,
so each is a public name of ``quorlix.querymesh.nodewright`` too, looked up there each time a
node builds its template from it: a host replaces one by assigning to the node module's name.

Two template languages are in play, and each text may use only the names its callers supply:

* Brace (f-string) templates: ``SQL_PREFIX`` and ``GET_RELEVANT_TABLE_NAMES_TEMPLATE`` may use
  ``{dialect}``, ``{user_question}`` and ``{table_names_from_db}``; ``REWRITE_QUESTION_TEMPLATE``
  may use ``{user_question}`` and ``{schemas_from_all_tables}``. A literal brace would have to
  be doubled; these texts simply contain none.
* ``TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE`` is appended to an already formatted message, so it
  is never formatted and braces in it would stay as written.
* Jinja2 templates: ``CORRECT_SQL_TEMPLATE`` gets ``dialect``, ``zipped_queries_errors`` (a list
  of (query, outcome) pairs) and every state key; the two pandas templates get
  ``original_question``, ``zipped_queries_results`` and ``save_path``. The results list holds
  (query, result) pairs for the generator and (follow-up question, query, result) triples for
  the executor's prompt method, so the pandas templates index from the end of each item.

Query results reach the models as ``str()`` of a list of row tuples, e.g. ``[(1, 'a')]``, with
no column names; an execution that returned no rows is recorded as the text ``None``.
"""

SQL_PREFIX = """You are a careful data analyst who writes {dialect} SQL against a live \
database that must never be changed.

Rules for every query you write:
- Write exactly one read-only statement: a SELECT, optionally introduced by WITH. Never write \
INSERT, UPDATE, DELETE, MERGE, CREATE, ALTER, DROP, TRUNCATE, GRANT or any other statement \
that changes data, schema or permissions, and never put several statements in one reply.
- Use only tables and columns that appear in the schemas you are given, spelled exactly as \
there. Quote identifiers the way {dialect} requires when they contain spaces, capitals or \
reserved words.
- Select only the columns the question needs, never SELECT *. Give computed columns short, \
readable aliases.
- Let the database do the work: aggregate with COUNT, SUM, AVG and GROUP BY when the question \
asks for totals, averages, shares or rankings, instead of returning raw rows.
- Limit the rows: at most 20 for lists and rankings unless the user asks for a different \
number, and never more than 100. Use the {dialect} syntax for it (for example LIMIT, TOP or \
FETCH FIRST) and order the rows so that the most relevant come first.
- Match text values the way they are stored; when a name typed by the user may differ in case \
or spacing, compare case-insensitively.
- Reply with the SQL text only: no markdown code fences, no comments, no explanation."""

GET_RELEVANT_TABLE_NAMES_TEMPLATE = """Question: {user_question}

Tables of the {dialect} database:
{table_names_from_db}

Which of these tables does a single SQL query answering the question need to read?"""

TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE = """

How to choose:
- Include every table the query must read: the tables holding the requested values, the \
tables holding any value the question filters or groups on, and the link tables needed to \
join them.
- Copy each name exactly as it appears in the list above, including any schema prefix and \
letter case. Never invent, shorten or pluralise a name.
- Leave out tables the query does not need. If no table can answer the question, return an \
empty list."""

REWRITE_QUESTION_TEMPLATE = """SQL queries written for a user's question failed or returned \
no rows. Restate the question so that a correct SQL query can be written for it against the \
database described below.

Database schema (tables, columns and sample rows):
{schemas_from_all_tables}

The user's question:
{user_question}

How to restate it:
- Keep the user's intent and scope. Do not answer the question and do not add conditions the \
user did not ask for.
- Name the tables and columns the question is about, exactly as the schema spells them.
- Write values the way the sample rows store them: spelling, letter case, codes, units and \
date formats.
- Make vague parts explicit where the schema allows only one reading, for example which date \
column a period such as "last year" refers to.
- If part of the question cannot be answered from this schema, keep the answerable part and \
say which part has no data.
- Reply with the restated question only, in one or two plain sentences."""

CORRECT_SQL_TEMPLATE = """The SQL written so far for the question below did not give an \
answer. Write one corrected {{ dialect }} query.

Question: {{ user_question }}
{%- if rewritten_question %}
Restated question: {{ rewritten_question }}
{%- endif %}
{%- if schemas_from_relevant_tables %}

Schemas of the relevant tables:
{{ schemas_from_relevant_tables }}
{%- endif %}

Earlier attempts, oldest first:
{% for query, outcome in zipped_queries_errors %}
Attempt {{ loop.index }}:
{{ query }}
Outcome: {% if outcome == "None" %}the query ran but returned no rows{% else %}{{ outcome }}\
{% endif %}
{% endfor %}
How to fix it:
- Start from the outcome of the last attempt. An unknown table or column means a name is \
wrong: take the exact name from the schemas. A syntax error means the query used something \
{{ dialect }} does not accept: use the {{ dialect }} form instead.
- No rows usually means a filter is too strict or a join is wrong: check how the values are \
stored in the sample rows (letter case, spelling, codes, date format), compare names \
case-insensitively and check every join condition.
- Do not send a query that already failed, and do not give up by dropping the filters the \
question asks for.
- Keep to the rules above: one read-only SELECT, limited rows, the SQL text only, without \
code fences or comments."""

PANDAS_SYSTEM_TEMPLATE = """You write short, self-contained Python 3 programs that analyse \
the results of SQL queries with pandas and, when a chart helps, matplotlib.

How the program is run:
- It runs with exec() in a fresh namespace where only the datetime module is defined. Import \
everything else yourself, for example import pandas as pd and import matplotlib.pyplot as plt.
- Only what the program prints with print() is kept and passed on to whoever writes the final \
answer. Values that are only computed, or left as the last expression, are lost.
- There is no screen, no notebook, no keyboard and no network. Never call plt.show(), display() \
or input(), never change the matplotlib backend, and never call exit(), quit() or sys.exit(): \
they would stop the whole application. Do not read any file, do not write any file other than \
the chart described below, and do not connect to databases, URLs or APIs. Use only pandas, \
matplotlib, numpy and the standard library.

Where the data comes from:
- Every query result is shown as the Python text of a list of row tuples, for example \
[(1, 'a'), (2, 'b')]. Build the data by copying that list into the program as a Python \
literal, then make a DataFrame whose columns are named after the query's SELECT list, in the \
same order; the result text itself has no column names.
- A value written as Decimal('12.50') needs from decimal import Decimal, and should be \
converted to float before arithmetic or plotting. Values written as datetime.date(...) or \
datetime.datetime(...) work as they are.
- Earlier queries may have failed: their result is an error message or the word None. Use the \
result of the query that succeeded, normally the last one, and ignore the others.
- If that result holds no rows, print that no data was found and skip the analysis.

What to print:
- The figures that answer the question, each with a short label and its unit, for example \
print("Orders in 2023:", total).
- Small tables with df.to_string(index=False); for more than 20 rows print a summary or the \
first 20 rows, not everything.
{% if save_path %}
Charts:
- Draw a chart only when it makes the answer clearer: a trend over time, a comparison of \
several groups or a distribution. Give it a title and axis labels.
- Save it to exactly this path and nowhere else, by putting this line in the program:
  save_path = {{ save_path | tojson }}
- Then call plt.savefig(save_path, bbox_inches="tight"), then plt.close(), then \
print("Chart saved to:", save_path). Print the path only after the file has been saved.
{% else %}
Charts: no chart file can be kept for this question, so do not draw or save one.
{% endif %}
Write plain Python source in the code field: no markdown code fences and no explanation \
outside comments. Keep it short and make sure it runs without errors."""

PANDAS_HUMAN_TEMPLATE = """Question: {{ original_question }}

SQL queries run for this question and their results, oldest first:
{% for item in zipped_queries_results %}
{%- if item | length > 2 %}
Follow-up question {{ loop.index }}: {{ item[0] }}
{%- endif %}
Query {{ loop.index }}:
{{ item[-2] }}
Result {{ loop.index }}:
{{ item[-1] }}
{% endfor %}
Write the Python program that answers the question from these results\
{% if save_path %}, saving a chart to {{ save_path }} only if one helps{% endif %}."""
