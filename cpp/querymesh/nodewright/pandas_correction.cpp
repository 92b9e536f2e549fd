// PandasCorrection: a stand-alone node that only asks for a corrected analysis program.  The graph
// corrects through PandasGenerator's correction mode; this class stays part of the module's face.
#include "node_class.hpp"
#include "nodewright.hpp"
#include "pandas_question.hpp"
#include "qx/python.hpp"

namespace nodewright {
namespace {

py::object init(qx::Call& call) {
    py::object self = py::reinterpret_borrow<py::object>(call.self());
    py::object model = py::reinterpret_borrow<py::object>(call[1]);
    self.attr("model") = model.attr("with_structured_output")(call.global("PythonCodeInput"));
    self.attr("template") =
        call.global("PromptTemplate").attr("from_template")(call.global("_PANDAS_CORRECTION_PROMPT"));
    return py::none();
}

py::object generate_prompt(qx::Call& call) {
    py::object self = py::reinterpret_borrow<py::object>(call.self());
    py::dict state = qx::as_dict(call[1]);
    py::object question = chosen_question(state);
    py::object python_code = state["pandas_code"];
    py::object error = state["python_error_message"];
    return self.attr("template")
        .attr("format")(py::arg("user_question") = question, py::arg("python_code") = python_code,
                        py::arg("error") = error);
}

}  // namespace

void define_pandas_correction(py::module_& m) {
    NodeClass(m, "PandasCorrection")
        .constructor({"model"}, init)
        .state_method("generate_prompt", generate_prompt)
        .invoke([](qx::Call& call) { return ask_model_for(call, "pandas_code", "code"); })
        .create();
}

}  // namespace nodewright
