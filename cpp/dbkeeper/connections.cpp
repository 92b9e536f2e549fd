// Connections: a connection test for the three engines, and the MySQL and PostgreSQL connections
// that the query and schema functions work on.
#include <cstddef>

#include "dbkeeper.hpp"
#include "qx/python.hpp"
#include "qx/statements.hpp"
#include "qx/truth.hpp"

namespace dbkeeper {
namespace {

const char* const get_db_connection_doc = R"(
    Attempts to establish a database connection based on the specified SQL engine and returns a message indicating
    the connection status or the encountered error.

    :param engine: SQL engine (MySQL, PostgreSQL, or MsSQL)
    :param db_user: Database username
    :param db_password: Database password
    :param db_host: Database host
    :param db_port: Database port
    :param db_name: Database name
    :return: A string message indicating the connection status or error encountered.
    )";

const char* const get_mysql_db_connection_doc = R"(
    Establishes and returns a connection to the MySQL database.

    The database credentials are hardcoded in this function. In a real-world scenario,
    it's better to use environment variables or a configuration file to handle credentials securely.

    :return: A pymysql connection object
    )";

py::object call_with_keywords(py::handle callable, py::dict keywords) {
    PyObject* result = PyObject_Call(callable.ptr(), py::tuple().ptr(), keywords.ptr());
    if (result == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

bool equals(py::handle value, const char* name) {
    return qx::equals(value, py::str(name));
}

// The five settings a connection is opened with.
struct Settings {
    py::handle user, password, host, port, name;
};

enum class Key { host, user, password, database, port };

// The driver's keyword arguments, in the order given: psycopg2 writes them into the connection's
// DSN in that order, so each driver keeps the order its call has always had.
constexpr Key kMySqlOrder[] = {Key::host, Key::user, Key::password, Key::database, Key::port};
constexpr Key kPostgresOrder[] = {Key::user, Key::password, Key::host, Key::port, Key::database};

template <std::size_t N>
py::dict connection_options(const Settings& settings, const Key (&order)[N]) {
    py::dict options;
    for (Key key : order) {
        switch (key) {
            case Key::host:
                options["host"] = settings.host;
                break;
            case Key::user:
                options["user"] = settings.user;
                break;
            case Key::password:
                options["password"] = settings.password;
                break;
            case Key::database:
                options["database"] = settings.name;
                break;
            case Key::port:
                options["port"] = settings.port;
                break;
        }
    }
    return options;
}

// An ODBC attribute value as the driver manager must see it: a value that holds a separator, a
// brace or an equals sign, or that would lose its outer spaces, goes inside braces with every
// closing brace doubled.  Pasting it bare would let a password such as "x;DATABASE=other" add
// options of its own.
py::str odbc_value(py::str value) {
    bool needs_braces = value.attr("startswith")(" ").cast<bool>() || value.attr("endswith")(" ").cast<bool>();
    for (const char* special : {";", "{", "}", "="}) {
        if (needs_braces) break;
        needs_braces = PySequence_Contains(value.ptr(), py::str(special).ptr()) == 1;
    }
    if (!needs_braces) return value;
    return joined({py::str("{"), value.attr("replace")("}", "}}"), py::str("}")});
}

py::object open_sql_server(py::handle db_user, py::handle db_password, py::handle db_host, py::handle db_port,
                           py::handle db_name) {
    py::module_ pyodbc = py::module_::import("pyodbc");
    py::str server = joined({db_host, py::str(","), db_port});
    py::str connection_str = joined({py::str("DRIVER={SQL Server};SERVER="), odbc_value(server), py::str(";DATABASE="),
                                     odbc_value(qx::text(db_name)), py::str(";UID="), odbc_value(qx::text(db_user)),
                                     py::str(";PWD="), odbc_value(qx::text(db_password))});
    return pyodbc.attr("connect")(connection_str);
}

py::object get_db_connection(qx::Call& call) {
    py::handle engine = call[0];
    const Settings settings{call[1], call[2], call[3], call[4], call[5]};
    try {
        py::object connection;
        if (equals(engine, "MySQL")) {
            py::module_ pymysql = py::module_::import("pymysql");
            connection = call_with_keywords(pymysql.attr("connect"), connection_options(settings, kMySqlOrder));
        } else if (equals(engine, "PostgreSQL")) {
            py::module_ psycopg2 = py::module_::import("psycopg2");
            connection = call_with_keywords(psycopg2.attr("connect"), connection_options(settings, kPostgresOrder));
        } else if (equals(engine, "MsSQL")) {
            connection = open_sql_server(settings.user, settings.password, settings.host, settings.port, settings.name);
        } else {
            return py::str("Unsupported SQL engine specified.");
        }
        // A test keeps nothing: leaving the session to the garbage collector would hold a server
        // slot open for as long as the object happens to live.
        close_quietly(connection);
        return py::str("Success! Connection Established! .");
    } catch (py::error_already_set& error) {
        if (!qx::is_ordinary(error)) throw;
        return joined({py::str("Failed to connect to "), engine, py::str(" database: "), error.value()});
    }
}

py::object get_mysql_db_connection(qx::Call& call) {
    py::dict db_credentials = connection_options({call[0], call[1], call[2], call[3], call[4]}, kMySqlOrder);
    db_credentials["cursorclass"] = call.global("pymysql").attr("cursors").attr("DictCursor");
    try {
        return call_with_keywords(call.global("pymysql").attr("connect"), db_credentials);
    } catch (py::error_already_set& error) {
        if (!qx::is_ordinary(error)) throw;
        qx::print(call, joined({py::str("Failed to connect to the database: "), error.value()}));
        return py::none();
    }
}

py::object get_pgdb_connection(qx::Call& call) {
    try {
        return call_with_keywords(call.global("psycopg2").attr("connect"),
                                  connection_options({call[0], call[1], call[2], call[3], call[4]}, kPostgresOrder));
    } catch (py::error_already_set& error) {
        // Only a refused or failed connection is reported here; anything else is the caller's.
        if (!error.matches(call.global("OperationalError"))) throw;
        qx::print(call, joined({py::str("The error '"), error.value(), py::str("' occurred")}));
        return py::none();
    }
}

qx::Signature settings_signature() {
    return qx::Signature{qx::arg("db_user"), qx::arg("db_password"), qx::arg("db_host"), qx::arg("db_port"),
                         qx::arg("db_name")};
}

}  // namespace

void define_connection_test(py::module_& m) {
    qx::def(m, "get_db_connection",
            qx::Signature{qx::arg("engine"), qx::arg("db_user"), qx::arg("db_password"), qx::arg("db_host"),
                          qx::arg("db_port"), qx::arg("db_name")},
            get_db_connection, get_db_connection_doc);
}

void define_mysql_connection(py::module_& m) {
    qx::def(m, "get_mysql_db_connection", settings_signature(), get_mysql_db_connection, get_mysql_db_connection_doc);
}

void define_pg_connection(py::module_& m) {
    qx::def(m, "get_pgdb_connection", settings_signature(), get_pgdb_connection);
}

}  // namespace dbkeeper
