// Helpers every query and schema function shares.
#include "dbkeeper.hpp"
#include "qx/python.hpp"
#include "qx/statements.hpp"
#include "qx/truth.hpp"

namespace dbkeeper {

py::object connect_with_settings(const qx::Call& call, const char* connector) {
    // Sequenced one by one: Python reads the names left to right, and so must a NameError.
    py::object connect = call.global(connector);
    py::object user = call.global("db_user");
    py::object password = call.global("db_password");
    py::object host = call.global("db_host");
    py::object port = call.global("db_port");
    py::object name = call.global("db_name");
    return connect(user, password, host, port, name);
}

void close_quietly(py::handle connection) {
    if (!connection) return;
    try {
        if (qx::truth(connection)) connection.attr("close")();
    } catch (py::error_already_set& error) {
        if (!qx::is_ordinary(error)) throw;
    }
}

py::str joined(std::initializer_list<py::handle> parts) {
    py::list texts;
    for (py::handle part : parts) texts.append(qx::text(part));
    return py::str("").attr("join")(texts);
}

}  // namespace dbkeeper
