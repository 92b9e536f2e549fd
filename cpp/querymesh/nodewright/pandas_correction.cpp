// PandasCorrection: a stand-alone node that only asks for a corrected analysis program.  The graph
// corrects through PandasGenerator's correction mode; this class stays part of the module's face.
#include "nodewright.hpp"
#include "pandas_correction_prompt.hpp"
#include "pandas_question.hpp"
#include "qx/classes.hpp"
#include "qx/python.hpp"

namespace nodewright {
namespace {

py::object init(qx::Call& call) {
    py::object self = py::reinterpret_borrow<py::object>(call.self());
    py::object model = py::reinterpret_borrow<py::object>(call[1]);
    self.attr("model") = model.attr("with_structured_output")(call.global("PythonCodeInput"));
    self.attr("template") = call.global("PromptTemplate").attr("from_template")(kPandasCorrectionPrompt);
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

py::object invoke(qx::Call& call) {
    py::object self = py::reinterpret_borrow<py::object>(call.self());
    py::object prompt = self.attr("generate_prompt")(call[1]);
    py::object reply = self.attr("model").attr("invoke")(prompt);
    py::dict update;
    update["pandas_code"] = reply.attr("code");
    return std::move(update);
}

}  // namespace

void define_pandas_correction(py::module_& m) {
    const py::object dict = qx::type_object(qx::dict_type());
    qx::ClassBuilder cls(m, "PandasCorrection", runnable_bases(m));
    cls.method("__init__", qx::Signature{qx::arg("self"), qx::arg("model").annotated(m.attr("AzureChatOpenAI"))}, init);
    cls.method("generate_prompt", qx::Signature{qx::arg("self"), qx::arg("state").exactly(qx::dict_type())},
               generate_prompt);
    cls.method("invoke",
               qx::Signature{qx::arg("self"), qx::arg("state").exactly(qx::dict_type()), qx::kwargs()}.returning(dict),
               invoke);
    cls.create();
}

}  // namespace nodewright
