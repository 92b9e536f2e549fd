"""The statement check and code-fence removal, without a database."""

from __future__ import annotations

import pytest
from quorlix.sql.check.denylist import DENIED_FUNCTIONS, CatalogDenials, is_denied_function
from quorlix.sql.check.fence import strip_code_fence
from quorlix.sql.check.guard import (
    check_engine_columns,
    check_read_only,
    is_query,
    sqlglot_dialect,
)
from quorlix.sql.errors import UnsafeSQLError
from sqlalchemy.exc import SQLAlchemyError

DIALECTS = ["sqlite", "postgres", "mysql"]

# Ordinary read queries a chat model writes; each must pass unchanged.
READS_EVERYWHERE = [
    "SELECT * FROM customers",
    "select name, city from customers where city = 'Dublin' order by name",
    "SELECT c.name, SUM(i.quantity * i.price) AS total FROM customers c"
    " JOIN orders o ON o.customer_id = c.id JOIN items i ON i.order_id = o.id"
    " GROUP BY c.name HAVING SUM(i.quantity) > 1 ORDER BY total DESC LIMIT 5",
    "WITH per_customer AS (SELECT customer_id, COUNT(*) AS n FROM orders GROUP BY customer_id)"
    " SELECT * FROM per_customer WHERE n > 1",
    "WITH RECURSIVE r(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM r WHERE n < 10)"
    " SELECT SUM(n) FROM r",
    "SELECT id FROM customers UNION SELECT customer_id FROM orders",
    "SELECT id FROM customers INTERSECT SELECT customer_id FROM orders",
    "SELECT id FROM customers EXCEPT SELECT customer_id FROM orders",
    "SELECT name, ROW_NUMBER() OVER (PARTITION BY city ORDER BY name) AS rn FROM customers",
    "SELECT * FROM (SELECT id, name FROM customers) AS sub WHERE id > 2",
    "SELECT 'DELETE FROM orders; DROP TABLE items' AS harmless_text",
    "SELECT 1 /* ; DELETE FROM orders */ AS one",
    "SELECT 1 -- ; DELETE FROM orders\n AS one",
    "SELECT 'it''s' AS s",
    "SELECT CASE WHEN price > 10 THEN 'high' ELSE 'low' END FROM items",
    "SELECT COUNT(DISTINCT product) FROM items WHERE product LIKE 'K%'",
    "SELECT name FROM customers c WHERE EXISTS (SELECT 1 FROM orders o WHERE o.customer_id = c.id)",
    "SELECT pg_read_file_count, load_file_name FROM reports",
    "SELECT 'pg_read_file' AS not_a_call, 'load_file()' AS also_not",
    "(SELECT name FROM customers)",
    "SELECT COALESCE(NULL, 1), NULLIF(1, 2), ABS(-3), ROUND(2.5)",
]

READS_BY_DIALECT = {
    "postgres": [
        "SELECT order_date::date, price::numeric(10, 2) FROM orders JOIN items ON true",
        "SELECT name FROM customers WHERE name ILIKE 'ada%'",
        "SELECT date_trunc('month', order_date::timestamp) AS m, COUNT(*) FROM orders GROUP BY 1",
        "SELECT COUNT(*) FILTER (WHERE quantity > 1) FROM items",
        "SELECT $$a;b$$ AS dollar_quoted, $tag$ ; DELETE $tag$ AS tagged",
        "SELECT E'it\\'s' AS escaped",
        "SELECT pg_sleep(0.01)",
        "SELECT current_setting('statement_timeout')",
        "TABLE customers",
        "VALUES (1, 'a'), (2, 'b')",
        "SELECT * FROM generate_series(1, 3) AS g",
        "SELECT array_agg(name ORDER BY name) FROM customers",
        "SELECT DISTINCT ON (city) city, name FROM customers ORDER BY city, name",
        'SELECT "name" FROM "customers"',
        "SELECT 1 # 2",
    ],
    "mysql": [
        "SELECT `name` FROM `customers` LIMIT 1, 2",
        "SELECT DATE_FORMAT(order_date, '%Y-%m') AS month, COUNT(*) FROM orders GROUP BY month",
        "SELECT 'x\\'y' AS escaped",
        "SELECT 1 # a comment ; DELETE FROM orders\n AS one",
        "SELECT IF(quantity > 1, 'many', 'one') FROM items",
        "SELECT name FROM customers WHERE name REGEXP '^A'",
        "SELECT SLEEP(0)",
        "SELECT @@SESSION.max_statement_time",
        "SELECT GROUP_CONCAT(name SEPARATOR ', ') FROM customers",
        'SELECT "double quoted text"',
        "SELECT 1 --1",
    ],
    "sqlite": [
        "SELECT strftime('%Y-%m', order_date) AS month, COUNT(*) FROM orders GROUP BY month",
        "SELECT [name] FROM customers",
        "SELECT * FROM pragma_table_info('customers')",
        "SELECT sqlite_version()",
        "SELECT name FROM sqlite_master WHERE type = 'table'",
        "SELECT date('now', '-1 day'), julianday(order_date) FROM orders",
        "SELECT group_concat(name, ', ') FROM customers",
        "SELECT 'x\\' AS backslash_is_literal",
        "VALUES (1), (2)",
    ],
}


READ_CASES = [
    pytest.param(dialect, statement, id=f"{dialect}:{statement[:40]}")
    for dialect in DIALECTS
    for statement in READS_EVERYWHERE + READS_BY_DIALECT.get(dialect, [])
]


@pytest.mark.parametrize(("dialect", "statement"), READ_CASES)
def test_ordinary_reads_pass_unchanged(dialect, statement):
    assert check_read_only(statement, dialect) == statement


@pytest.mark.parametrize("dialect", DIALECTS)
def test_trailing_semicolon_and_comments_are_cut(dialect):
    assert check_read_only("  SELECT 1 ;  ", dialect) == "SELECT 1"
    assert check_read_only("-- top customers\nSELECT 2;\n-- done", dialect) == "SELECT 2"
    assert check_read_only("SELECT 3 /* why */;", dialect) == "SELECT 3"
    assert check_read_only("SELECT 4 -- ; DELETE FROM orders", dialect) == "SELECT 4"
    assert check_read_only(";;SELECT 5;;", dialect) == "SELECT 5"


def _refusal(statement, dialect="postgres"):
    with pytest.raises(UnsafeSQLError) as caught:
        check_read_only(statement, dialect)
    return str(caught.value)


def test_refusal_is_an_sqlalchemy_error_that_keeps_the_statement():
    with pytest.raises(SQLAlchemyError) as caught:
        check_read_only("DELETE FROM orders", "postgres")
    assert isinstance(caught.value, UnsafeSQLError)
    assert caught.value.statement == "DELETE FROM orders"


def test_refusal_names_the_write_and_says_what_to_do():
    message = _refusal("INSERT INTO orders VALUES (1, 1, '2024-01-01')")
    assert message.startswith("Refused: ")
    assert "INSERT into table orders" in message
    assert "Rewrite the query as a single SELECT." in message
    assert "UPDATE of table customers" in _refusal("UPDATE customers SET city = 'x'")
    assert "DELETE from table orders" in _refusal("delete from orders", "sqlite")
    assert "DROP TABLE items" in _refusal("DROP TABLE items", "mysql")


def test_refusal_of_a_write_inside_a_with_clause_says_where():
    message = _refusal("WITH gone AS (DELETE FROM orders RETURNING *) SELECT * FROM gone")
    assert "DELETE from table orders inside a WITH clause" in message


def test_refusal_counts_stacked_statements():
    message = _refusal("SELECT 1; DELETE FROM orders; SELECT 2")
    assert "found 3 statements" in message
    assert "single SELECT" in message


@pytest.mark.parametrize(
    ("statement", "expected"),
    [
        ("SELECT * INTO stolen FROM customers", "INTO"),
        ("SELECT * FROM customers FOR UPDATE", "row locks"),
        ("SELECT pg_catalog.pg_read_file('/etc/passwd')", "pg_read_file"),
        ("SELECT \"set_config\"('a', 'b', false)", "set_config"),
        ("SELECT U&\"pg\\005fread_file\"('x')", "Unicode-escaped"),
        ("COPY (SELECT 1) TO PROGRAM 'id'", "COPY"),
        ("EXPLAIN ANALYZE DELETE FROM orders", "EXPLAIN"),
        ("SET statement_timeout = 0", "SET"),
        ("SELECT * FROM orders WHERE", "could not be parsed"),
        ("SELECT 'unterminated", "could not be read"),
        ("", "empty"),
        ("-- just a comment", "only comments"),
        ("SELECT 1\x00; DELETE FROM orders", "NUL"),
    ],
)
def test_refusal_reasons(statement, expected):
    assert expected in _refusal(statement)


@pytest.mark.parametrize(
    "statement",
    [
        "SELECT /*! 1; DELETE FROM orders */ 1",
        "SELECT /*M!100000 LOAD_FILE('/etc/passwd') */ 1",
        "SELECT /*+ MAX_EXECUTION_TIME(0) */ * FROM customers",
        "SELECT name /*+ BKA(customers) */ FROM customers",
        "SELECT 1;/*! DELETE FROM orders */",
    ],
)
def test_mysql_comments_that_the_server_would_obey_are_refused(statement):
    assert "executable comments" in _refusal(statement, "mysql")


def test_mysql_assignment_to_a_variable_is_refused():
    assert "assigning a variable" in _refusal("SELECT @total := 1", "mysql")


@pytest.mark.parametrize("dialect", DIALECTS)
@pytest.mark.parametrize("name", sorted(DENIED_FUNCTIONS))
def test_every_denied_function_is_refused(dialect, name):
    assert name in _refusal(f"SELECT {name}('x') FROM customers", dialect)


@pytest.mark.parametrize(
    "name",
    ["dblink_exec", "pg_ls_dir", "pg_read_binary_file", "pg_advisory_lock", "pg_logical_x"]
    + ["pg_rotate_logfile_old"],
)
def test_denied_prefixes_cover_whole_families(name):
    assert is_denied_function(name)
    assert is_denied_function(f"pg_catalog.{name.upper()}")


@pytest.mark.parametrize("name", ["pg_sleep", "sleep", "upper", "date_trunc", "strftime", "now"])
def test_ordinary_functions_are_allowed(name):
    assert not is_denied_function(name)


def test_what_the_databases_catalog_marks_is_refused_too():
    denied = CatalogDenials(frozenset({"table_to_xml"}), frozenset({"innodb_trx"}))
    dump = "SELECT xpath('//x', pg_catalog.table_to_xml('pg_authid', true, false, ''))"
    trx = "SELECT trx_query FROM information_schema.INNODB_TRX"
    assert "table_to_xml" in _refusal_given(dump, "postgres", denied)
    assert "INNODB_TRX" in _refusal_given(trx, "mysql", denied)
    # Without the catalog's word both pass; the catalog, not a list here, makes the difference.
    assert check_read_only(dump, "postgres") == dump
    assert check_read_only(trx, "mysql") == trx


def _refusal_given(statement: str, dialect: str, denied: CatalogDenials) -> str:
    with pytest.raises(UnsafeSQLError) as caught:
        check_read_only(statement, dialect, denied)
    return str(caught.value)


@pytest.mark.parametrize(
    "statement",
    [
        "SELECT * FROM sales, '/path/file.csv'",
        "SELECT * FROM (VALUES (1)) AS t, '/data/x.csv' AS f(a)",
        "SELECT * FROM sales, (FROM 'x.parquet')",
        "SELECT * FROM sales CROSS JOIN LATERAL (SELECT * FROM sales, 's3://b/k.csv')",
        'SELECT * FROM "/etc/passwd"',
        'SELECT * FROM sales, "https://example.org/data.csv"',
    ],
)
def test_duckdb_file_names_are_refused_in_every_table_position(statement):
    assert "read a file or URL" in _refusal(statement, "duckdb")


@pytest.mark.parametrize(
    "statement",
    [
        'SELECT * FROM "Monthly Sales"',
        "SELECT 'sales.csv' AS name, * FROM sales",
        'SELECT * FROM main."Order Details" AS o, sales',
    ],
)
def test_duckdb_quoted_table_names_and_strings_elsewhere_pass(statement):
    assert check_read_only(statement, "duckdb") == statement


def test_a_function_that_the_parser_renames_is_still_caught_by_its_written_name():
    # sqlglot parses sqlite_version() as CURRENT_VERSION; a denied name must not slip through
    # such a renaming, so the written spelling is what counts.
    assert "load_extension" in _refusal("SELECT load_extension ( 'x' )", "sqlite")


@pytest.mark.parametrize("checked_first", [False, True])
def test_is_query(checked_first):
    # After a check, the guard answers from that check's parse: only for the same text and
    # dialect, never for the next statement.
    if checked_first:
        check_read_only("SELECT 1", "postgres")
    assert is_query("SELECT 1", "postgres")
    assert is_query("WITH a AS (SELECT 1) SELECT * FROM a", "sqlite")
    assert not is_query("INSERT INTO t VALUES (1)", "postgres")
    assert not is_query("SELECT 1; SELECT 2", "postgres")
    assert not is_query("not sql at all (", "mysql")
    if checked_first:
        check_read_only("SELECT a, b FROM t", "mysql")
        check_engine_columns("SELECT a, b FROM t", "mysql", 2)
        with pytest.raises(UnsafeSQLError, match="reads 3 result column"):
            check_engine_columns("SELECT a, b FROM t", "mysql", 3)
        assert not is_query("INSERT INTO t VALUES (1)", "mysql")


def test_sqlglot_dialect_names():
    assert sqlglot_dialect("postgresql") == "postgres"
    assert sqlglot_dialect("mariadb") == "mysql"
    assert sqlglot_dialect("sqlite") == "sqlite"
    assert sqlglot_dialect("something-else") is None


# --- code fences ------------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("reply", "statement"),
    [
        ("```sql\nSELECT * FROM customers;\n```", "SELECT * FROM customers;"),
        ("```\nSELECT 1\n```", "SELECT 1"),
        ("```SQL\r\nSELECT 1\r\n```", "SELECT 1"),
        ("Here is the query:\n\n```sql\nSELECT 2\n```\n\nIt counts rows.", "SELECT 2"),
        ("```SELECT 3```", "SELECT 3"),
        ("```sql SELECT 4```", "SELECT 4"),
        ("```postgresql\nSELECT 5\n```", "SELECT 5"),
        ("```sql\nSELECT 6\n", "SELECT 6"),  # a reply cut short before the closing fence
        ("  SELECT 7  \n", "SELECT 7"),
        ("```sql\nSELECT `a`\nFROM t\n```", "SELECT `a`\nFROM t"),
    ],
)
def test_code_fence_is_removed(reply, statement):
    assert strip_code_fence(reply) == statement


def test_two_code_blocks_are_refused_rather_than_guessed():
    with pytest.raises(UnsafeSQLError, match="2 separate code blocks"):
        strip_code_fence("```sql\nSELECT 1\n```\nor\n```sql\nDELETE FROM orders\n```")


def test_an_empty_fence_leaves_nothing_to_run():
    assert strip_code_fence("```sql\n```") == ""
    assert "empty" in _refusal(strip_code_fence("```\n\n```"))


# --- characters the engines read differently ---------------------------------------------------

# Every character for which str.isspace() holds but which PostgreSQL, MariaDB and SQLite read
# as part of a name.
NAME_WHITESPACE = [chr(code) for code in (0xA0, 0x85, 0x1680, *range(0x2000, 0x200B))] + [
    chr(code) for code in (0x2028, 0x2029, 0x202F, 0x205F, 0x3000)
]
WHITESPACE_SHAPES = {
    "postgres": "with c(\"{w}$q$\") as (select 1) select {w}$q$, pg_read_file('/etc/hostname')"
    " {w}$q$ from c",
    "mysql": "select 1 --{w}, load_file('/etc/hostname')\nfrom (select 1 as `{w}`) s",
    "sqlite": "select 1{w}as{w}x from customers",
}


def test_the_whitespace_table_is_complete():
    found = [chr(code) for code in range(0x80, 0x3001) if chr(code).isspace()]
    assert found == sorted(NAME_WHITESPACE) and len(found) == 19


@pytest.mark.parametrize("dialect", DIALECTS)
@pytest.mark.parametrize("space", NAME_WHITESPACE, ids=lambda ch: f"U+{ord(ch):04X}")
def test_non_ascii_whitespace_outside_quotes_is_refused(dialect, space):
    statement = WHITESPACE_SHAPES[dialect].format(w=space)
    assert f"U+{ord(space):04X} outside quotes" in _refusal(statement, dialect)


@pytest.mark.parametrize(
    ("dialect", "statement"),
    [
        ("postgres", 'SELECT \'café ☕\', "naïve name" FROM customers AS "Kunden\u00a0"'),
        ("postgres", "SELECT $$\u2003$$ AS wide, E'\u00e9' AS e"),
        ("mysql", "SELECT 'Ünïcode', `naïve name` FROM customers"),
        ("sqlite", "SELECT '\u3000' AS ideographic, [naïve name] FROM customers"),
    ],
)
def test_non_ascii_inside_quotes_passes(dialect, statement):
    assert check_read_only(statement, dialect) == statement


@pytest.mark.parametrize(
    ("dialect", "statement"),
    [
        ("postgres", "SELECT café FROM customers"),
        ("postgres", "SELECT 1 /* naïve */ AS one"),
        ("postgres", "SELECT $é$x$é$"),
        ("mysql", "SELECT 1 -- ré\n AS one"),
    ],
)
def test_non_ascii_in_names_and_comments_is_refused(dialect, statement):
    assert "outside quotes" in _refusal(statement, dialect)
