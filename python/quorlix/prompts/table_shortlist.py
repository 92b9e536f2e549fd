"""The heading of the table shortlist.

On a database with more tables than the picker's threshold, the table-choice prompt shows a
shortlist (one table a line, with its columns) in place of every table name; this line heads it.
Brace placeholders: ``shown`` (tables listed) and ``total`` (tables in the database).
"""

SHORTLIST_HEADING = (
    "(the {shown} of the database's {total} tables that best match the question,"
    " each followed by its columns)"
)
