"""The statement check: exactly one read-only query, nothing that writes or reaches out.

The check runs on sqlglot's tokens and syntax tree for the database's own dialect. Whatever
cannot be parsed is refused, because it cannot be shown to be harmless. The text that runs is
the checked statement itself, cut after its last token, so a trailing ``;`` and trailing
comments never reach the server.
"""

from __future__ import annotations

import re
import threading
from typing import NoReturn

import sqlglot
from sqlglot import exp
from sqlglot.dialects.dialect import Dialect
from sqlglot.tokens import Token, TokenType

from ..errors import UnsafeSQLError
from .denylist import (
    EMPTY,
    CatalogDenials,
    is_denied_function,
    is_denied_relation,
    is_denied_schema,
)
from .denylist_duckdb import is_duckdb_denied_function

REWRITE_HINT = "Rewrite the query as a single SELECT."

# SQLAlchemy dialect name -> sqlglot dialect name; anything else is read with sqlglot's
# generic dialect.
SQLGLOT_DIALECTS = {
    "postgresql": "postgres",
    "mysql": "mysql",
    "mariadb": "mysql",
    "sqlite": "sqlite",
    "mssql": "tsql",
    "oracle": "oracle",
    "duckdb": "duckdb",
    "snowflake": "snowflake",
    "bigquery": "bigquery",
    "trino": "trino",
    "redshift": "redshift",
    "databricks": "databricks",
    "clickhouse": "clickhouse",
}

_FIRST_TOKENS = {TokenType.SELECT, TokenType.WITH, TokenType.VALUES, TokenType.TABLE}
_FIRST_TOKENS.add(TokenType.L_PAREN)

# Statement nodes that must not appear anywhere in the tree, not even inside a CTE or a
# subquery. Looked up by name so that a sqlglot release without one of them still imports.
_DENIED_NODE_NAMES = (
    "DML DDL Drop Alter TruncateTable Command Set SetItem Transaction Commit Rollback Pragma"
    " Attach Detach Analyze Grant Revoke Use LoadData Kill Describe Show Cache Uncache Refresh"
    " Declare Execute ExecuteSql StoredProcedure Block IfBlock WhileBlock LoopBlock RepeatBlock"
    " ForIn Put Get Export Install Undrop SwapTable Comment AlterSession LockingStatement"
    " MultitableInserts ConditionalInsert Semicolon Return Into Lock"
).split()
_DENIED_NODES = tuple(getattr(exp, name) for name in _DENIED_NODE_NAMES if hasattr(exp, name))

_KEYWORDS = {
    "Insert": "INSERT",
    "Update": "UPDATE",
    "Delete": "DELETE",
    "Merge": "MERGE",
    "Copy": "COPY",
    "Create": "CREATE",
    "Drop": "DROP",
    "Alter": "ALTER",
    "TruncateTable": "TRUNCATE",
    "Set": "SET",
    "SetItem": "SET",
    "Transaction": "transaction control (BEGIN)",
    "Commit": "transaction control (COMMIT)",
    "Rollback": "transaction control (ROLLBACK)",
    "LoadData": "LOAD DATA",
    "Describe": "DESCRIBE/EXPLAIN",
}
_PREPOSITIONS = {"INSERT": "into", "MERGE": "into", "DELETE": "from", "UPDATE": "of"}
# Statements worth parsing to name their table in the refusal; parsing others would only make
# sqlglot log that it fell back to an opaque command.
_DESCRIBABLE = {"INSERT", "UPDATE", "DELETE", "MERGE", "CREATE", "DROP", "ALTER", "TRUNCATE"}

# MySQL runs the body of /*! ... */ and /*M! ... */ comments, and /*+ ... */ hints can change
# session variables (SET_VAR) or lift the time limit (MAX_EXECUTION_TIME) for the statement.
_MYSQL_ACTIVE_COMMENT = re.compile(r"/\*\s*(?:M?!|\+)", re.IGNORECASE)


def sqlglot_dialect(sqlalchemy_dialect: str) -> str | None:
    return SQLGLOT_DIALECTS.get(sqlalchemy_dialect)


def check_read_only(statement: str, dialect: str | None, denied: CatalogDenials = EMPTY) -> str:
    """Return the text to run for ``statement``, or raise ``UnsafeSQLError`` saying why not.

    ``dialect`` is a sqlglot dialect name (see ``sqlglot_dialect``) or None for the generic one;
    ``denied`` adds what the database's own catalog marks as out of bounds.
    """
    text = statement.strip()
    if not text:
        _refuse("the statement is empty. Send one SELECT statement.", statement)
    if any(ch in text for ch in "\x00\x1a"):
        _refuse(
            "the statement contains a NUL or control character that the database and the"
            " check could read differently. Send plain SQL text.",
            statement,
        )
    tokens = _tokenize(text, dialect)
    segments = _split_statements(tokens)
    if not segments:
        _refuse("the text holds only comments, no statement. Send one SELECT statement.", text)
    if len(segments) > 1:
        _refuse(
            f"only one statement may run at a time; found {len(segments)} statements separated"
            " by ';'. Send a single SELECT statement.",
            text,
        )
    body = segments[0]
    runnable = text[body[0].start : body[-1].end + 1]
    _check_plain_text_is_ascii(text, body)
    if dialect == "mysql":
        _check_comment_gaps(text, tokens)
    _check_first_token(body[0], runnable, dialect)
    _check_token_names(body, dialect, runnable, denied)
    tree = _parse(runnable, dialect)
    _check_tree(tree, runnable, denied)
    if dialect == "duckdb":
        _check_no_file_is_read(tree, runnable)
    _last_checked.entry = (runnable, dialect, tree)
    return runnable


# The wrapper asks more of the statement it has just checked (is it a query, how many columns
# does it return); the check's own parse answers that instead of a second and third parse. One
# entry per thread: the statement checked last, which is the one being run. Nothing changes a
# parsed tree after the check.
_last_checked = threading.local()


def _checked_tree(statement: str, dialect: str | None) -> exp.Expression | None:
    entry = getattr(_last_checked, "entry", None)
    if entry is not None and entry[0] == statement and entry[1] == dialect:
        return entry[2]
    return None


def check_engine_columns(statement: str, dialect: str | None, engine_columns: int) -> None:
    """Refuse ``statement`` if the database reads a different number of result columns.

    Both read the same text; a different count means one of them splits it differently (a
    character one takes for a space and the other for a letter), so the check did not see what
    would run. Queries whose columns come from ``*`` are not compared.
    """
    expected = _result_columns(statement, dialect)
    if expected is not None and expected != engine_columns:
        _refuse(
            f"the database reads {engine_columns} result column(s) in this statement where the"
            f" check reads {expected}, so the two see different statements. Write the query"
            " plainly, with ASCII spaces and names.",
            statement,
        )


def _result_columns(statement: str, dialect: str | None) -> int | None:
    tree = _checked_tree(statement, dialect)
    try:
        root = _unwrap(tree if tree is not None else sqlglot.parse_one(statement, read=dialect))
    except Exception:  # it was parsed once already; no count means nothing to compare
        return None
    if not isinstance(root, (exp.Select, exp.SetOperation)):
        return None
    selects = root.selects
    for expression in selects:
        for star in expression.find_all(exp.Star):
            if not any(isinstance(up, exp.Func) for up in _ancestors(star, expression)):
                return None
    return len(selects)


def _ancestors(node: exp.Expression, top: exp.Expression):
    while node is not None and node is not top:
        node = node.parent
        yield node


def is_query(statement: str, dialect: str | None) -> bool:
    """Whether ``statement`` parses as one SELECT-shaped query (no judgement on safety)."""
    tree = _checked_tree(statement, dialect)
    if tree is not None:
        return isinstance(_unwrap(tree), (exp.Query, exp.Values))
    try:
        trees = [tree for tree in sqlglot.parse(statement, read=dialect) if tree is not None]
    except Exception:  # any parser failure simply means "not known to be a query"
        return False
    return len(trees) == 1 and isinstance(_unwrap(trees[0]), (exp.Query, exp.Values))


def _refuse(reason: str, statement: str) -> NoReturn:
    raise UnsafeSQLError(f"Refused: {reason}", statement=statement)


def _tokenize(text: str, dialect: str | None) -> list[Token]:
    try:
        return Dialect.get_or_raise(dialect).tokenize(text)
    except Exception as err:  # sqlglot raises several types here
        _refuse(
            f"the statement could not be read as {dialect or 'generic'} SQL, so it cannot be"
            f" shown to be read-only ({_first_line(err)}). Check quotes and comments are closed"
            " and send one plain SELECT statement.",
            text,
        )


def _split_statements(tokens: list[Token]) -> list[list[Token]]:
    segments: list[list[Token]] = [[]]
    for token in tokens:
        if token.token_type == TokenType.SEMICOLON:
            segments.append([])
        else:
            segments[-1].append(token)
    return [segment for segment in segments if segment]


def _check_plain_text_is_ascii(text: str, body: list[Token]) -> None:
    """Refuse non-ASCII characters anywhere but inside quoted strings and quoted names.

    sqlglot takes every character for which ``str.isspace()`` holds as whitespace, while
    PostgreSQL, MySQL / MariaDB and SQLite read U+00A0, U+2000 and their kin as letters of a
    name. Such a character moves the place where the check and the server see a string,
    comment or statement end, so the server could run something the check never saw. Inside
    quotes both read the same text: the quotes themselves are ASCII, and what lies between
    them is data.
    """
    position = body[0].start
    for token in body:
        gap = text[position : token.start]
        raw = text[token.start : token.end + 1]
        if not gap.isascii() or not (_quoted_delimiters_are_ascii(token, raw) or raw.isascii()):
            bad = next(ch for ch in gap + raw if not ch.isascii())
            _refuse(
                f"the statement holds the non-ASCII character U+{ord(bad):04X} outside quotes."
                " The database may read it as part of a name where the check reads a space, so"
                " the two would see different statements. Use plain ASCII spaces and names, and"
                ' put other characters only inside quoted strings or quoted names ("...").',
                text,
            )
        position = token.end + 1


def _quoted_delimiters_are_ascii(token: Token, raw: str) -> bool:
    name = token.token_type.name
    if not (name.endswith("STRING") or name == "IDENTIFIER") or len(raw) < 2:
        return False
    if raw[:1] == "$":  # $tag$ ... $tag$: the tag delimits, so it must be plain too
        tag = raw[: raw.find("$", 1) + 1]
        return len(tag) >= 2 and tag.isascii() and raw.endswith(tag)
    return raw[0].isascii() and raw[-1].isascii() and raw[-1] in "'\"`]"


def _check_comment_gaps(text: str, tokens: list[Token]) -> None:
    """Refuse MySQL comments that the server would execute or obey.

    sqlglot reads them as ordinary comments, so they are searched for in the text between
    tokens, which is exactly what sqlglot saw as whitespace and comments; a hint right after
    SELECT becomes a token of its own.
    """
    position = 0
    for token in [*tokens, None]:
        gap_end = token.start if token is not None else len(text)
        hint = token is not None and token.token_type == TokenType.HINT
        if hint or _MYSQL_ACTIVE_COMMENT.search(text, position, gap_end):
            _refuse(
                "MySQL executable comments (/*! ... */) and optimizer hints (/*+ ... */) can"
                " hide statements or change server settings. Remove the comment.",
                text,
            )
        if token is not None:
            position = token.end + 1


def _check_first_token(first: Token, statement: str, dialect: str | None) -> None:
    if first.token_type in _FIRST_TOKENS:
        return
    found = f"{_article(first.text)} {first.text.upper()} statement"
    if first.text.upper() in _DESCRIBABLE:
        try:
            found = _describe(_unwrap(sqlglot.parse_one(statement, read=dialect)))
        except Exception:  # the plain keyword is description enough
            pass
    _refuse(
        f"only one read-only SELECT statement may run; found {found}. {REWRITE_HINT}",
        statement,
    )


def _check_token_names(
    tokens: list[Token], dialect: str | None, statement: str, denied: CatalogDenials
) -> None:
    """Refuse denied functions by the name as written, and names whose spelling is hidden.

    The syntax tree can rename a function it knows (sqlite_version becomes CURRENT_VERSION),
    so a call is also recognised here: a name, quoted or not, directly followed by '('.
    """
    for index, token in enumerate(tokens):
        following = tokens[index + 1] if index + 1 < len(tokens) else None
        if dialect == "duckdb" and _names_a_file(tokens, index):
            _refuse_file_read(statement)
        if token.token_type.name.endswith("STRING"):
            continue
        if (
            following is not None
            and following.token_type == TokenType.L_PAREN
            and (
                is_denied_function(token.text)
                or denied.refuses_function(token.text)
                or (dialect == "duckdb" and is_duckdb_denied_function(token.text))
            )
        ):
            _refuse_function(token.text, statement)
        if dialect == "postgres" and _is_unicode_identifier(tokens, index):
            _refuse(
                'Unicode-escaped identifiers (U&"...") can hide a name from the check. Write'
                " the name plainly.",
                statement,
            )


def _names_a_file(tokens: list[Token], index: int) -> bool:
    # DuckDB reads FROM 'data.csv' as read_csv('data.csv'), and so any path or URL.
    return (
        index > 0
        and tokens[index].token_type.name.endswith("STRING")
        and tokens[index - 1].token_type in (TokenType.FROM, TokenType.JOIN)
    )


def _is_unicode_identifier(tokens: list[Token], index: int) -> bool:
    token = tokens[index]
    if token.text.upper() != "U" or index + 2 >= len(tokens):
        return False
    amp, quoted = tokens[index + 1], tokens[index + 2]
    return (
        amp.token_type == TokenType.AMP
        and amp.start == token.end + 1
        and quoted.token_type == TokenType.IDENTIFIER
        and quoted.start == amp.end + 1
    )


def _parse(statement: str, dialect: str | None) -> exp.Expression:
    try:
        trees = [tree for tree in sqlglot.parse(statement, read=dialect) if tree is not None]
    except Exception as err:  # ParseError, TokenError, RecursionError, ...
        _refuse(
            f"the statement could not be parsed as {dialect or 'generic'} SQL, so it cannot be"
            f" shown to be read-only ({_first_line(err)}). Send one plain SELECT statement"
            " without text around it.",
            statement,
        )
    if len(trees) != 1:
        _refuse(f"expected one statement, found {len(trees)}. {REWRITE_HINT}", statement)
    return trees[0]


def _check_tree(tree: exp.Expression, statement: str, denied: CatalogDenials) -> None:
    root = _unwrap(tree)
    if not isinstance(root, (exp.Query, exp.Values)) or isinstance(root, _DENIED_NODES):
        _refuse(
            f"only one read-only SELECT statement may run; found {_describe(root)}. {REWRITE_HINT}",
            statement,
        )
    for node in tree.walk():
        if isinstance(node, exp.Into):
            _refuse(
                "SELECT ... INTO writes the result into a table, variable or file. Remove the"
                " INTO clause and select the rows instead.",
                statement,
            )
        if isinstance(node, exp.Lock):
            _refuse(
                "SELECT ... FOR UPDATE / FOR SHARE takes row locks. Remove the locking clause.",
                statement,
            )
        if isinstance(node, _DENIED_NODES):
            where = " inside a WITH clause" if node.find_ancestor(exp.CTE) else " inside the query"
            _refuse(
                f"only one read-only SELECT statement may run; found {_describe(node)}{where}."
                f" {REWRITE_HINT}",
                statement,
            )
        if isinstance(node, exp.PropertyEQ) and isinstance(
            node.this, (exp.Parameter, exp.SessionParameter)
        ):
            _refuse(
                "assigning a variable (@name := ...) changes session state. Use the expression"
                " without assigning it.",
                statement,
            )
        if isinstance(node, exp.Func):
            for name in _function_names(node):
                if is_denied_function(name) or denied.refuses_function(name):
                    _refuse_function(name, statement)
        if isinstance(node, exp.Table) and (
            is_denied_relation(node.name)
            or denied.refuses_relation(node.name)
            or is_denied_schema(node.text("db"))
        ):
            _refuse_relation(node.sql(), statement)
        if isinstance(node, exp.Dot) and isinstance(node.expression, exp.Func):
            schema = node.this.name if isinstance(node.this, exp.Column) else node.this.sql()
            if is_denied_schema(schema):
                _refuse_function(
                    f"{schema}.{node.expression.sql().split('(')[0].lower()}", statement
                )


def _check_no_file_is_read(tree: exp.Expression, statement: str) -> None:
    """Refuse a table name DuckDB would read as a file or URL, wherever the table stands.

    DuckDB reads ``'data.csv'`` in place of a table as ``read_csv('data.csv')``, after FROM, a
    JOIN, a comma or inside a subquery alike; sqlglot turns that string into a quoted name, so
    it is told apart by the quote the text has where the name starts. A quoted name holding a
    path or URL is read the same way when no table has that name.
    """
    for table in tree.find_all(exp.Table):
        for part in table.parts:
            if not isinstance(part, exp.Identifier):
                continue
            start = part.meta.get("start")
            from_string = start is not None and statement[start : start + 1] == "'"
            if from_string or (part.quoted and any(ch in part.name for ch in "/\\:")):
                _refuse_file_read(statement)


def _refuse_file_read(statement: str) -> NoReturn:
    _refuse(
        "a quoted string or path in place of a table name makes DuckDB read a file or URL."
        " Query the database's tables by their names.",
        statement,
    )


def _unwrap(tree: exp.Expression) -> exp.Expression:
    while isinstance(tree, (exp.Subquery, exp.Paren)) and tree.this is not None:
        tree = tree.this
    return tree


def _function_names(node: exp.Func) -> list[str]:
    if isinstance(node, exp.Anonymous):
        return [node.name]
    return [*type(node).sql_names(), node.key]


def _describe(node: exp.Expression) -> str:
    if isinstance(node, exp.Command):
        word = str(node.this).upper()
        return f"{_article(word)} {word} statement"
    keyword = _KEYWORDS.get(type(node).__name__) or node.key.upper()
    table = node.find(exp.Table)
    if keyword in _PREPOSITIONS and table is not None:
        return f"{keyword} {_PREPOSITIONS[keyword]} table {table.sql()}"
    kind = node.args.get("kind")
    if keyword in {"CREATE", "DROP", "ALTER"} and kind:
        target = f" {table.sql()}" if table is not None else ""
        return f"{keyword} {str(kind).upper()}{target}"
    if table is not None and keyword in {"TRUNCATE", "COPY"}:
        return f"{keyword} of table {table.sql()}"
    if keyword.startswith("transaction"):
        return keyword
    return f"{_article(keyword)} {keyword} statement"


def _article(word: str) -> str:
    return "an" if word[:1].upper() in "AEIOU" else "a"


def _refuse_function(name: str, statement: str) -> NoReturn:
    _refuse(
        f"the function {name} reaches outside the query (server files, programs, other"
        " sessions, locks, sequences or settings) and is not allowed. Rewrite the query"
        " without it.",
        statement,
    )


def _refuse_relation(name: str, statement: str) -> NoReturn:
    _refuse(
        f"{name} holds credentials, server configuration or other sessions' activity, not"
        " data to answer questions from. Query the application's own tables instead.",
        statement,
    )


def _first_line(err: BaseException) -> str:
    text = str(err).strip().splitlines()
    return text[0][:200] if text else type(err).__name__
