// quorlix.dbkeeper: connection settings from the environment, connections to MySQL, PostgreSQL and
// SQL Server, query execution and schema introspection.
#include "qx/module.hpp"

#include "dbkeeper.hpp"

namespace dbkeeper {
namespace {

void body(py::module_& m) {
    import_dependencies(m);
    define_settings(m);
    define_mysql_connection(m);
    define_mysql_schema(m);
    define_set_database_config(m);
    define_check_db_config_variables(m);
    define_connection_test(m);
    define_mysql_query(m);
    define_pg_connection(m);
    define_pg_query(m);
    define_pg_schema(m);
}

}  // namespace
}  // namespace dbkeeper

QX_MODULE(dbkeeper, nullptr, dbkeeper::body)
