// The module frame and the process-wide connection settings: read from the environment once at
// import, replaced by set_database_config, checked by check_db_config_variables.
#include "dbkeeper.hpp"
#include "qx/python.hpp"

namespace dbkeeper {
namespace {

const char* const set_database_config_doc = R"(
    Updates the global database configuration variables.

    Args:
    - name: The name of the database.
    - user: The username for the database.
    - password: The password for the database.
    - host: The host of the database.
    - port: The port number for the database connection.

    Raises:
    - ValueError: If any of the arguments is None or if port is not an integer.
    )";

const char* const check_db_config_variables_doc = R"(
    Checks the global database configuration variables for None, null, or empty values.

    Returns:
    - A list of variable names that are None, null, or empty.
    )";

bool truthy(PyObject* value) {
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) throw py::error_already_set();
    return truth == 1;
}

// `None == value`: None's own comparison declines, so the value's reflected __eq__ decides.
bool equals_none(py::handle value) {
    PyObject* outcome = PyObject_RichCompare(Py_None, value.ptr(), Py_EQ);
    if (outcome == nullptr) throw py::error_already_set();
    return truthy(py::reinterpret_steal<py::object>(outcome).ptr());
}

bool equals_empty_text(py::handle value) {
    PyObject* outcome = PyObject_RichCompare(value.ptr(), QX_KEY("").ptr(), Py_EQ);
    if (outcome == nullptr) throw py::error_already_set();
    return truthy(py::reinterpret_steal<py::object>(outcome).ptr());
}

py::object set_database_config(qx::Call& call) {
    py::handle name = call[0], user = call[1], password = call[2], host = call[3], port = call[4];
    bool missing = false;
    for (py::handle value : {name, user, password, host}) {
        if (equals_none(value)) {
            missing = true;
            break;
        }
    }
    if (!missing) {
        const int is_int = PyObject_IsInstance(port.ptr(), reinterpret_cast<PyObject*>(&PyLong_Type));
        if (is_int < 0) throw py::error_already_set();
        missing = is_int == 0;
    }
    if (missing) qx::raise(PyExc_ValueError, "All parameters must be provided and 'port' must be an integer.");

    py::dict globals = call.globals();
    globals["db_name"] = name;
    globals["db_user"] = user;
    globals["db_password"] = password;
    globals["db_host"] = host;
    globals["db_port"] = port;
    return py::none();
}

py::object check_db_config_variables(qx::Call& call) {
    py::dict variables;
    for (const char* setting : {"db_name", "db_user", "db_password", "db_host", "db_port"})
        variables[setting] = call.global(setting);

    py::list invalid_vars;
    for (auto item : variables) {
        if (item.second.is_none() || equals_empty_text(item.second)) invalid_vars.append(item.first);
    }

    if (py::len(invalid_vars) > 0)
        qx::print(call, joined({py::str("The following configuration variables are invalid: "),
                                py::str(", ").attr("join")(invalid_vars)}));
    else
        qx::print(call, py::str("All configuration variables are set correctly."));
    return std::move(invalid_vars);
}

}  // namespace

void import_dependencies(py::module_& m) {
    for (const char* name : {"json", "os", "openai", "psycopg2", "psycopg2.extras", "pymysql", "pymysql.cursors"})
        qx::import(m, name);
    qx::import_from(m, "psycopg2", {"OperationalError"});
}

void define_settings(py::module_& m) {
    py::object getenv = m.attr("os").attr("getenv");
    m.attr("db_port") = 3306;
    m.attr("db_user") = getenv("db_user", "root");
    m.attr("db_password") = getenv("db_password", "kelp");
    m.attr("db_host") = getenv("db_host");
    m.attr("db_name") = getenv("db_name");
}

void define_set_database_config(py::module_& m) {
    qx::def(m, "set_database_config",
            qx::Signature{qx::arg("name"), qx::arg("user"), qx::arg("password"), qx::arg("host"), qx::arg("port")},
            set_database_config, set_database_config_doc);
}

void define_check_db_config_variables(py::module_& m) {
    qx::def(m, "check_db_config_variables", qx::Signature{}, check_db_config_variables, check_db_config_variables_doc);
}

}  // namespace dbkeeper
