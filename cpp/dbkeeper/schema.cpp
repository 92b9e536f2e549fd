// Schema introspection: table name -> [{"name": column, "type": type}, ...] in the server's order,
// with whatever was gathered kept when a statement fails part-way.
#include "dbkeeper.hpp"
#include "qx/python.hpp"
#include "qx/statements.hpp"

namespace dbkeeper {
namespace {

const char* const mysql_schema_doc = R"(
    Retrieves the schema (tables and columns with types) of the specified database using a connection established by get_db_connection.
    )";

const char* const pg_schema_doc = R"(
    Retrieves the schema (tables and columns with types) of the specified PostgreSQL database using a connection
    established by get_db_connection.
    )";

const char* const pg_tables_query = R"(
                SELECT table_name
                FROM information_schema.tables
                WHERE table_schema = 'public'
            )";

const char* const pg_columns_query = R"(
                    SELECT column_name, data_type
                    FROM information_schema.columns
                    WHERE table_name = %s
                )";

py::dict column_info(py::handle column, const char* name_key, const char* type_key) {
    py::dict info;
    info["name"] = column[py::str(name_key)];
    info["type"] = column[py::str(type_key)];
    return info;
}

// A MySQL identifier in backticks, inner backticks doubled: table names such as `order`, `my-table`
// or `a b` are legal, and a bare one would abort the listing or let the name carry SQL.
py::str quoted_identifier(py::handle name) {
    return joined({py::str("`"), qx::text(name).attr("replace")("`", "``"), py::str("`")});
}

// Fills `schema_info` through `describe(connection, schema_info)` on a connection from `connector`;
// a failure part-way is printed and what was gathered so far is the result.
template <class Describe>
py::object describe_database(qx::Call& call, const char* connector, Describe describe) {
    py::dict schema_info;
    py::object connection;
    py::object result;
    try {
        try {
            connection = connect_with_settings(call, connector);
            if (connection.is_none()) {
                result = py::none();  // the connection function has said why
            } else {
                describe(connection, schema_info);
                result = schema_info;
            }
        } catch (py::error_already_set& error) {
            if (!qx::is_ordinary(error)) throw;
            qx::print(call, joined({py::str("An error occurred: "), error.value()}));
            result = schema_info;
        }
    } catch (...) {
        close_quietly(connection);
        throw;
    }
    close_quietly(connection);
    return result;
}

py::object get_mysql_database_schema(qx::Call& call) {
    return describe_database(call, "get_mysql_db_connection", [](py::handle connection, py::dict schema_info) {
        qx::with(connection.attr("cursor")(), [&](py::handle cursor) {
            cursor.attr("execute")("SHOW TABLES");
            py::object tables = cursor.attr("fetchall")();
            for (py::handle table : tables) {
                // SHOW TABLES names its one column after the database, so take it by position.
                py::object table_name = py::list(table.attr("values")())[0];
                py::list columns_of_table;
                schema_info[table_name] = columns_of_table;
                cursor.attr("execute")(joined({py::str("SHOW COLUMNS FROM "), quoted_identifier(table_name)}));
                py::object columns = cursor.attr("fetchall")();
                for (py::handle column : columns) columns_of_table.append(column_info(column, "Field", "Type"));
            }
            return py::none();
        });
    });
}

py::object get_pgdb_schema(qx::Call& call) {
    return describe_database(call, "get_pgdb_connection", [&call](py::handle connection, py::dict schema_info) {
        py::dict options;
        options["cursor_factory"] = call.global("psycopg2").attr("extras").attr("DictCursor");
        py::object cursor_object = connection.attr("cursor")(**options);
        qx::with(cursor_object, [&](py::handle cursor) {
            cursor.attr("execute")(pg_tables_query);
            py::object tables = cursor.attr("fetchall")();
            for (py::handle table : tables) {
                py::object table_name = table[py::str("table_name")];
                py::list columns_of_table;
                schema_info[table_name] = columns_of_table;
                cursor.attr("execute")(pg_columns_query, py::make_tuple(table_name));
                py::object columns = cursor.attr("fetchall")();
                for (py::handle column : columns)
                    columns_of_table.append(column_info(column, "column_name", "data_type"));
            }
            return py::none();
        });
    });
}

}  // namespace

void define_mysql_schema(py::module_& m) {
    qx::def(m, "get_mysql_database_schema", qx::Signature{}, get_mysql_database_schema, mysql_schema_doc);
}

void define_pg_schema(py::module_& m) {
    qx::def(m, "get_pgdb_schema", qx::Signature{}, get_pgdb_schema, pg_schema_doc);
}

}  // namespace dbkeeper
