"""The face quorlix.dbkeeper shows to Python: what loading it does, its settings taken from the
environment, signatures, docstrings and argument errors."""

import inspect
import json
import os
import subprocess
import sys
import textwrap

import pytest

pytest_plugins = ["dbkeeper_support"]

SETTINGS_ENV = ("db_user", "db_password", "db_host", "db_name")


def docstring(*lines: str) -> str:
    """A docstring laid out as the module writes them: a leading line break, text lines indented
    by four spaces, empty lines left empty, and a closing line break plus four spaces."""
    return "\n" + "".join(f"    {line}\n" if line else "\n" for line in lines) + "    "


DOCSTRINGS = {
    "set_database_config": docstring(
        "Updates the global database configuration variables.",
        "",
        "Args:",
        "- name: The name of the database.",
        "- user: The username for the database.",
        "- password: The password for the database.",
        "- host: The host of the database.",
        "- port: The port number for the database connection.",
        "",
        "Raises:",
        "- ValueError: If any of the arguments is None or if port is not an integer.",
    ),
    "check_db_config_variables": docstring(
        "Checks the global database configuration variables for None, null, or empty values.",
        "",
        "Returns:",
        "- A list of variable names that are None, null, or empty.",
    ),
    "get_db_connection": docstring(
        "Attempts to establish a database connection based on the specified SQL engine and"
        " returns a message indicating",
        "the connection status or the encountered error.",
        "",
        ":param engine: SQL engine (MySQL, PostgreSQL, or MsSQL)",
        ":param db_user: Database username",
        ":param db_password: Database password",
        ":param db_host: Database host",
        ":param db_port: Database port",
        ":param db_name: Database name",
        ":return: A string message indicating the connection status or error encountered.",
    ),
    "get_mysql_db_connection": docstring(
        "Establishes and returns a connection to the MySQL database.",
        "",
        "The database credentials are hardcoded in this function. In a real-world scenario,",
        "it's better to use environment variables or a configuration file to handle credentials"
        " securely.",
        "",
        ":return: A pymysql connection object",
    ),
    "get_pgdb_connection": None,
    "execute_mysql_query": docstring(
        "Executes the given SQL query using the database connection established by"
        " get_db_connection.",
        "",
        ":param sql_query: SQL query to be executed",
        ":return: Query results or None if an error occurs",
    ),
    "get_mysql_database_schema": docstring(
        "Retrieves the schema (tables and columns with types) of the specified database using a"
        " connection established by get_db_connection.",
    ),
    "get_pgdb_schema": docstring(
        "Retrieves the schema (tables and columns with types) of the specified PostgreSQL"
        " database using a connection",
        "established by get_db_connection.",
    ),
}
DOCSTRINGS["execute_pgdb_query"] = DOCSTRINGS["execute_mysql_query"]

PARAMETERS = {
    "get_mysql_db_connection": "db_user, db_password, db_host, db_port, db_name",
    "get_mysql_database_schema": "",
    "set_database_config": "name, user, password, host, port",
    "check_db_config_variables": "",
    "get_db_connection": "engine, db_user, db_password, db_host, db_port, db_name",
    "execute_mysql_query": "sql_query",
    "get_pgdb_connection": "db_user, db_password, db_host, db_port, db_name",
    "execute_pgdb_query": "sql_query",
    "get_pgdb_schema": "",
}


def run_python(code: str, env_overrides: dict[str, str]) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter that sees this one's import path and only the settings
    variables given."""
    env = {k: v for k, v in os.environ.items() if k not in SETTINGS_ENV}
    env.update(env_overrides)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        env=env,
        capture_output=True,
        text=True,
        timeout=60,
    )


LOAD_AND_REPORT = """
    import json
    import quorlix.dbkeeper as m
    names = ["db_port", "db_user", "db_password", "db_host", "db_name"]
    settings = {name: getattr(m, name) for name in names}
    invalid = m.check_db_config_variables()
    print(json.dumps({"settings": settings, "invalid": invalid}))
"""


@pytest.mark.parametrize(
    ("environment", "settings", "invalid"),
    [
        (
            {},
            {"db_user": "root", "db_password": "kelp", "db_host": None, "db_name": None},
            ["db_name", "db_host"],
        ),
        (
            {"db_user": "", "db_password": "", "db_host": "h", "db_name": "n"},
            {"db_user": "", "db_password": "", "db_host": "h", "db_name": "n"},
            ["db_user", "db_password"],
        ),
        (
            {"db_user": "u", "db_password": "p w", "db_host": "db.local", "db_name": "shop"},
            {"db_user": "u", "db_password": "p w", "db_host": "db.local", "db_name": "shop"},
            [],
        ),
    ],
    ids=["nothing-set", "empty-strings", "all-set"],
)
def test_settings_come_from_the_environment_at_load(dbkeeper, environment, settings, invalid):
    done = run_python(LOAD_AND_REPORT, environment)
    assert done.returncode == 0, done.stderr
    *printed, report_line = done.stdout.splitlines()
    report = json.loads(report_line)
    assert report["settings"] == {"db_port": 3306, **settings}
    assert report["invalid"] == invalid
    if invalid:
        expected = "The following configuration variables are invalid: " + ", ".join(invalid)
    else:
        expected = "All configuration variables are set correctly."
    assert printed == [expected]


def test_loading_binds_the_frame_in_order_and_leaves_pyodbc_alone(dbkeeper):
    done = run_python(
        """
        import sys
        sys.modules["pyodbc"] = None  # no SQL Server driver on this machine
        import quorlix.dbkeeper as m
        print(" ".join(k for k in vars(m) if not k.startswith("__")))
        print(m.psycopg2.extras.DictCursor.__name__, m.pymysql.cursors.DictCursor.__name__)
        print(m.OperationalError is sys.modules["psycopg2"].OperationalError)
        """,
        {},
    )
    assert done.returncode == 0, done.stderr
    names, dict_cursors, same_error = done.stdout.splitlines()
    frame = "json os openai psycopg2 pymysql OperationalError"
    settings = "db_port db_user db_password db_host db_name"
    functions = " ".join(PARAMETERS)  # in definition order
    assert names == f"{frame} {settings} {functions}"
    assert dict_cursors == "DictCursor DictCursor"
    assert same_error == "True"


@pytest.mark.parametrize("missing", ["json", "openai", "psycopg2.extras", "pymysql.cursors"])
def test_a_missing_dependency_fails_the_load(dbkeeper, missing):
    done = run_python(
        f"""
        import sys
        sys.modules[{missing!r}] = None
        try:
            import quorlix.dbkeeper
        except ImportError as error:
            print("ImportError", error.name)
        """,
        {},
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["ImportError", missing]


@pytest.mark.parametrize("name", list(PARAMETERS))
def test_signature_and_docstring(dbkeeper, name):
    function = getattr(dbkeeper, name)
    signature = inspect.signature(function)
    assert str(signature) == f"({PARAMETERS[name]})"
    for parameter in signature.parameters.values():
        assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert parameter.default is inspect.Parameter.empty
        assert parameter.annotation is inspect.Parameter.empty
    assert signature.return_annotation is inspect.Signature.empty
    assert function.__doc__ == DOCSTRINGS[name]
    assert function.__name__ == name
    assert function.__module__ == "quorlix.dbkeeper"


def python_twin(name: str):
    """A Python function of the same name and parameters, to learn CPython's own error texts."""
    namespace: dict = {}
    exec(f"def {name}({PARAMETERS[name]}): pass", namespace)
    return namespace[name]


def refused(name: str, args: tuple, kwargs: dict) -> str | None:
    try:
        python_twin(name)(*args, **kwargs)
    except TypeError as error:
        return str(error)
    return None


BAD_CALLS = [((), {}), ((1,) * 7, {}), ((1,), {"sql_query": 1}), ((), {"unknown": 1})]
REFUSED_CALLS = [
    pytest.param(name, args, kwargs, message, id=f"{name}-{index}")
    for name in PARAMETERS
    for index, (args, kwargs) in enumerate(BAD_CALLS)
    if (message := refused(name, args, kwargs)) is not None
]


@pytest.mark.parametrize(("name", "args", "kwargs", "expected"), REFUSED_CALLS)
def test_argument_errors_read_as_cpythons(dbkeeper, name, args, kwargs, expected):
    with pytest.raises(TypeError) as raised:
        getattr(dbkeeper, name)(*args, **kwargs)
    assert str(raised.value) == expected
