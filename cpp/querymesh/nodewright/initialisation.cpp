// The first node of every run: the SQL budget, the counters and the empty result lists.
#include "nodewright.hpp"
#include "qx/python.hpp"

namespace nodewright {
namespace {

py::object initialisation(qx::Call& call) {
    py::dict inputs = qx::as_dict(call[0]);
    inputs["iteration_count"] = 0;
    inputs["max_iterations"] = 5;
    inputs["rewrite_count"] = 0;
    inputs["rewritten_question"] = "";
    inputs["generated_sql_query"] = py::list();
    inputs["execution_error"] = py::list();
    inputs["sql_execution_result"] = py::list();
    inputs["python_generation_prompt_type"] = "generation";
    return std::move(inputs);
}

}  // namespace

void define_initialisation(py::module_& m) {
    const py::object dict = qx::type_object(qx::dict_type());
    qx::def(m, "initialisation", qx::Signature{qx::arg("inputs").exactly(qx::dict_type())}.returning(dict),
            initialisation);
}

}  // namespace nodewright
