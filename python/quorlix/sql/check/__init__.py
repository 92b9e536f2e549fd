"""The statement check: what may reach the database, decided from the text alone.

``guard`` reads the text with sqlglot for the database's dialect and lets through exactly one
read-only query; ``denylist`` (and ``denylist_duckdb``) name the functions and relations no
query may touch; ``fence`` takes the SQL out of a chat model's markdown.
"""
