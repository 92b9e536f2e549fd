"""MySQL and MariaDB: read-only transactions, the server's time limit, values cut by the server.

``session`` holds the walls, ``bounds`` the description and cutting of a query's columns over
the binary protocol, ``refusals`` the ``information_schema`` tables that show other sessions,
``privileges`` what the account could do beyond reading, ``kind`` the rest (catalogue queries,
PyMySQL for a URL that names no driver).
"""
