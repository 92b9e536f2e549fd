// PandasGenerator ("pandas_generator_node"): asks the pandas-code model for an analysis program
// over the SQL queries and their results, or, after a failed run, for a corrected program.
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
        chat_template(call, {{MessageTemplate::system, "PANDAS_SYSTEM_TEMPLATE", MessageTemplate::jinja2},
                             {MessageTemplate::human, "PANDAS_HUMAN_TEMPLATE", MessageTemplate::jinja2}});
    self.attr("correction_template") =
        call.global("PromptTemplate").attr("from_template")(call.global("_PANDAS_CORRECTION_PROMPT"));
    return py::none();
}

py::object generate_prompt(qx::Call& call) {
    py::object self = py::reinterpret_borrow<py::object>(call.self());
    py::dict state = qx::as_dict(call[1]);
    py::object question = chosen_question(state);
    py::object prompt_type = state["pandas_generation_prompt_type"];

    if (qx::equals(prompt_type, QX_KEY("generation"))) {
        // Pairs stop at the shorter list, so a query whose result is missing is left out.
        py::list pairs(call.global("zip")(state["generated_sql_query"], state["sql_execution_result"]));
        return self.attr("template")
            .attr("format_messages")(py::arg("original_question") = question, py::arg("zipped_queries_results") = pairs,
                                     py::arg("save_path") = state["save_path"]);
    }
    if (qx::equals(prompt_type, QX_KEY("correction"))) {
        py::object python_code = state["pandas_code"];
        py::object error = state["python_error_message"];
        return self.attr("correction_template")
            .attr("format")(py::arg("user_question") = question, py::arg("python_code") = python_code,
                            py::arg("error") = error);
    }
    // Without a prompt the model call would fail far from the cause; name the two modes instead.
    PyErr_Format(PyExc_ValueError,
                 "PandasGenerator cannot build a prompt: pandas_generation_prompt_type is %R, expected "
                 "'generation' or 'correction'.",
                 prompt_type.ptr());
    throw py::error_already_set();
}

}  // namespace

void define_pandas_generator(py::module_& m) {
    NodeClass(m, "PandasGenerator")
        .constructor({"model"}, init)
        .state_method("generate_prompt", generate_prompt)
        .invoke([](qx::Call& call) { return ask_model_for(call, "pandas_code", "code"); })
        .create();
}

}  // namespace nodewright
