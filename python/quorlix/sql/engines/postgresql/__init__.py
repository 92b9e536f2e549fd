"""PostgreSQL: read-only transactions, the time limit, one statement per call, clean sessions.

``session`` holds the walls, ``bounds`` the description and cutting of a query's columns by the
server, ``refusals`` what the server's own catalog says reaches other sessions, ``privileges``
what the account could do beyond reading, ``kind`` the rest (catalogue queries).
"""
