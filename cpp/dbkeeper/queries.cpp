// Query execution: one connection per call, one statement, the rows back, the connection closed.
#include "dbkeeper.hpp"
#include "qx/python.hpp"
#include "qx/statements.hpp"

namespace dbkeeper {
namespace {

const char* const execute_query_doc = R"(
    Executes the given SQL query using the database connection established by get_db_connection.

    :param sql_query: SQL query to be executed
    :return: Query results or None if an error occurs
    )";

// Runs `statement(connection)` on a connection from `connector`, reporting any ordinary failure
// as one printed line and None, and closing the connection on every way out.
template <class Statement>
py::object on_own_connection(qx::Call& call, const char* connector, Statement statement) {
    py::object connection;
    py::object result = py::none();
    try {
        try {
            connection = connect_with_settings(call, connector);
            // The connection function has already said why there is none.
            if (!connection.is_none()) result = statement(connection);
        } catch (py::error_already_set& error) {
            if (!qx::is_ordinary(error)) throw;
            qx::print(call, joined({py::str("An error occurred while executing the query: "), error.value()}));
            result = py::none();
        }
    } catch (...) {
        close_quietly(connection);
        throw;
    }
    close_quietly(connection);
    return result ? result : py::none();
}

py::object execute_mysql_query(qx::Call& call) {
    py::handle sql_query = call[0];
    return on_own_connection(call, "get_mysql_db_connection", [&](py::handle connection) {
        py::object results = qx::with(connection.attr("cursor")(), [&](py::handle cursor) {
            cursor.attr("execute")(sql_query);
            return cursor.attr("fetchall")();
        });
        // PyMySQL does not autocommit: without this an UPDATE is reported done and then rolled
        // back when the connection closes.
        connection.attr("commit")();
        return results;
    });
}

py::object execute_pgdb_query(qx::Call& call) {
    py::handle sql_query = call[0];
    return on_own_connection(call, "get_pgdb_connection", [&](py::handle connection) {
        py::object results = qx::with(connection.attr("cursor")(), [&](py::handle cursor) -> py::object {
            cursor.attr("execute")(sql_query);
            // Whether there are rows is the server's answer, not the text's first word: WITH ...
            // SELECT, a leading comment or parenthesis, and INSERT ... RETURNING all return rows.
            if (cursor.attr("description").is_none()) return py::none();
            return cursor.attr("fetchall")();
        });
        // Every statement commits, the ones that return rows too (RETURNING, functions with
        // side effects), or their changes would vanish with the connection.
        connection.attr("commit")();
        return results;
    });
}

}  // namespace

void define_mysql_query(py::module_& m) {
    qx::def(m, "execute_mysql_query", qx::Signature{qx::arg("sql_query")}, execute_mysql_query, execute_query_doc);
}

void define_pg_query(py::module_& m) {
    qx::def(m, "execute_pgdb_query", qx::Signature{qx::arg("sql_query")}, execute_pgdb_query, execute_query_doc);
}

}  // namespace dbkeeper
