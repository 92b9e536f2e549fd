// GenerateResponse ("final_response_generation_node"): gathers everything the run produced, adds
// the answer rules and the user's context and instructions, and asks the response model for the
// answer and the path of a chart the analysis code saved.  Every text of the prompt is looked up
// in the module's namespace at each answer (quorlix.prompts.node_texts says how they join).
#include "node_class.hpp"
#include "nodewright.hpp"
#include "qx/python.hpp"

namespace nodewright {
namespace {

py::object init(qx::Call& call) {
    py::object self = py::reinterpret_borrow<py::object>(call.self());
    py::object model = py::reinterpret_borrow<py::object>(call[1]);
    self.attr("model") = model.attr("with_structured_output")(call.global("GenerationOutput"));
    return py::none();
}

// `left + right` as Python evaluates it: the user's texts are joined, not formatted, so a value
// that is not a text fails here with the interpreter's own TypeError.
py::object concat(const py::object& left, const py::object& right) {
    PyObject* joined = PyNumber_Add(left.ptr(), right.ptr());
    if (joined == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(joined);
}

py::object build_prompt(const qx::Call& call, const py::dict& state) {
    py::str user_question = qx::text(state["user_question"]);
    py::str queries = qx::text(state["generated_sql_query"]);
    py::str last_result = qx::text(state["sql_execution_result"].attr("__getitem__")(-1));
    py::str python_code = qx::text(state["pandas_code"]);
    py::str python_output = qx::text(state["python_executed_output"]);
    py::object prompt = call.global(QX_KEY("_RESPONSE_RESULTS"))
                            .attr("format")(user_question, queries, last_result, python_code, python_output);
    prompt = concat(prompt, call.global(QX_KEY("_RESPONSE_RULES_LEAD_IN")));
    prompt = concat(prompt, call.global(QX_KEY("final_node_prompt")));
    prompt = concat(prompt, call.global(QX_KEY("_RESPONSE_CONTEXT_LEAD_IN")));
    prompt = concat(prompt, call.global(QX_KEY("current_values"))[QX_KEY("context_prompt")]);
    prompt = concat(prompt, call.global(QX_KEY("current_values"))[QX_KEY("custom_instructions")]);
    return prompt;
}

py::object invoke(qx::Call& call) {
    py::object self = py::reinterpret_borrow<py::object>(call.self());
    py::dict state = qx::as_dict(call[1]);
    py::object logger = call.global("logger");

    qx::print(call, concat(py::str("hahahaha : "), qx::text(call.global("current_values")["custom_instructions"])));
    logger.attr("info")("Enter generate response");
    py::object start = call.global("time").attr("time")();

    py::object prompt = build_prompt(call, state);
    qx::print(call, concat(py::str("General Response prompt: "), qx::text(prompt)));
    py::object response = self.attr("model").attr("invoke")(prompt);

    py::object elapsed = call.global("time").attr("time")() - start;
    logger.attr("info")(concat(py::str("Finish generating response, took "), qx::text(elapsed)));

    py::dict update;
    update["final_response"] = response.attr("final_response");
    update["image_path"] = response.attr("image_path");
    return std::move(update);
}

}  // namespace

void define_generate_response(py::module_& m) {
    NodeClass(m, "GenerateResponse").constructor({"model"}, init).invoke(invoke).create();
}

}  // namespace nodewright
