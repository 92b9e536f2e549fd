// The table names as one text, whether the state holds the lookup's text or a list of names.
#include "nodewright.hpp"

namespace nodewright {

py::object table_names_text(py::handle names) {
    if (PyList_Check(names.ptr())) return py::str(",").attr("join")(names);
    return py::reinterpret_borrow<py::object>(names);
}

}  // namespace nodewright
