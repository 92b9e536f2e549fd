// The first node of every run: the SQL budget, the counters and the empty result lists.
#include "nodewright.hpp"
#include "qx/python.hpp"

namespace nodewright {
namespace {

py::object initialisation(qx::Call& call) {
    PyObject* inputs = call[0].ptr();
    const auto store = [inputs](py::handle key, py::handle value) {
        if (PyDict_SetItem(inputs, key.ptr(), value.ptr()) < 0) throw py::error_already_set();
    };
    store(QX_KEY("iteration_count"), py::int_(0));
    store(QX_KEY("max_iterations"), py::int_(5));
    store(QX_KEY("rewrite_count"), py::int_(0));
    store(QX_KEY("rewritten_question"), QX_KEY(""));
    store(QX_KEY("generated_sql_query"), py::list());
    store(QX_KEY("execution_error"), py::list());
    store(QX_KEY("sql_execution_result"), py::list());
    store(QX_KEY("python_generation_prompt_type"), QX_KEY("generation"));
    return py::reinterpret_borrow<py::object>(inputs);
}

}  // namespace

void define_initialisation(py::module_& m) {
    const py::object dict = qx::type_object(qx::dict_type());
    qx::def(m, "initialisation", qx::Signature{qx::arg("inputs").exactly(qx::dict_type())}.returning(dict),
            initialisation);
}

}  // namespace nodewright
