// PandasExecutor ("pandas_executor_node"): runs the analysis program in this interpreter and keeps
// what it prints.  A failing program becomes an error text for the correction loop; only requests
// to stop the process (SystemExit, KeyboardInterrupt) travel on, and the capture has ended before
// anything leaves this node.
#include "nodewright.hpp"
#include "qx/classes.hpp"
#include "qx/output_capture.hpp"
#include "qx/python.hpp"
#include "qx/statements.hpp"

namespace nodewright {
namespace {

py::object init(qx::Call& call) {
    py::object self = py::reinterpret_borrow<py::object>(call.self());
    self.attr("model") = py::reinterpret_borrow<py::object>(call[1]);
    const py::object message =
        call.global("HumanMessagePromptTemplate")
            .attr("from_template")(call.global("PANDAS_SYSTEM_TEMPLATE"), py::arg("template_format") = "jinja2");
    self.attr("template") = call.global("ChatPromptTemplate").attr("from_messages")(py::list(py::make_tuple(message)));
    return py::none();
}

// Kept for callers that want the follow-up flavour of the analysis prompt; invoke does not use it.
py::object generate_prompt(qx::Call& call) {
    py::object self = py::reinterpret_borrow<py::object>(call.self());
    py::dict state = qx::as_dict(call[1]);
    py::list triples(
        call.global("zip")(state["follow_up_question"], state["generated_sql_query"], state["sql_execution_result"]));
    return self.attr("template")
        .attr("format_messages")(py::arg("original_question") = state["original_question"],
                                 py::arg("zipped_queries_results") = triples,
                                 py::arg("save_path") = state["save_path"]);
}

// "ClassName: message", so that even an exception without a message reads as a failure.
py::object describe(const py::error_already_set& error) {
    py::object exception = error.value();
    return py::str("{}: {}").attr("format")(py::type::handle_of(exception).attr("__name__"), py::str(exception));
}

py::object invoke(qx::Call& call) {
    py::dict state = qx::as_dict(call[1]);
    py::dict namespace_;
    namespace_["datetime"] = py::module_::import("datetime");

    py::object output;
    py::object error_message = py::none();
    try {
        // A syntax error surfaces here, before standard output is touched.
        py::object tree = call.global("ast").attr("parse")(state["pandas_code"], py::arg("mode") = "exec");
        // Only this thread's output is taken, and it is given back however the program ends.
        qx::OutputCapture capture;
        py::object code = call.global("compile")(tree, py::arg("filename") = "<ast>", py::arg("mode") = "exec");
        call.global("exec")(code, namespace_);
        // Read inside the guard: a program that closed the buffer fails like any other program.
        output = capture.text();
    } catch (py::error_already_set& error) {
        if (!qx::is_ordinary(error)) throw;
        error_message = describe(error);
    }

    py::dict update;
    if (py::bool_(error_message)) {
        update["python_execution_success"] = false;
        update["python_error_message"] = error_message;
    } else {
        update["python_executed_output"] = output;
        update["python_execution_success"] = true;
    }
    return std::move(update);
}

}  // namespace

void define_pandas_executor(py::module_& m) {
    const py::object dict = qx::type_object(qx::dict_type());
    qx::ClassBuilder cls(m, "PandasExecutor", runnable_bases(m));
    cls.method("__init__", qx::Signature{qx::arg("self"), qx::arg("model").annotated(m.attr("AzureChatOpenAI"))}, init);
    cls.method("invoke",
               qx::Signature{qx::arg("self"), qx::arg("state").exactly(qx::dict_type()), qx::kwargs()}.returning(dict),
               invoke);
    cls.method("generate_prompt", qx::Signature{qx::arg("self"), qx::arg("state").exactly(qx::dict_type())},
               generate_prompt);
    cls.create();
}

}  // namespace nodewright
