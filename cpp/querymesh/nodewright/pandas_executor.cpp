// PandasExecutor ("pandas_executor_node"): runs the analysis program and keeps what it prints; in
// a confined worker process unless QUORLIX_ANALYSIS_SANDBOX is "off" (pandas_sandbox.cpp), else
// in this interpreter as below.  A failing program becomes an error text for the correction loop;
// only requests to stop the process (SystemExit, KeyboardInterrupt) travel on, marked as the
// program's, and the capture has ended before anything leaves this node.  A program that runs past
// the time limit is stopped by a TimeoutError raised inside it, and fails like any other.  Output
// and error texts keep at most QUORLIX_ANALYSIS_OUTPUT_LIMIT characters, marked when cut.
#include <string>

#include "analysis_output.hpp"
#include "analysis_settings.hpp"
#include "node_class.hpp"
#include "nodewright.hpp"
#include "pandas_sandbox.hpp"
#include "qx/output_capture.hpp"
#include "qx/python.hpp"
#include "qx/statements.hpp"
#include "qx/time_limit.hpp"

namespace nodewright {
namespace {

py::object init(qx::Call& call) {
    py::object self = py::reinterpret_borrow<py::object>(call.self());
    self.attr("model") = py::reinterpret_borrow<py::object>(call[1]);
    const py::object message = call.global("HumanMessagePromptTemplate")(
        py::arg("prompt") = compiled_jinja2(call.global("PANDAS_SYSTEM_TEMPLATE")));
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

// The exception raised in a program that ran too long. CPython instantiates an asynchronous
// exception with no arguments, so the message (with this run's limit) comes from __init__, and
// each run gets its own subclass carrying its limit: concurrent runs may have different limits.
py::object timeout_class_for(const qx::Call& call, double seconds) {
    py::object base = call.global("AnalysisTimeoutError");
    py::dict namespace_;
    namespace_["seconds"] = py::str(call.global("format")(seconds, "g"));
    namespace_["__module__"] = base.attr("__module__");
    namespace_["__qualname__"] = base.attr("__qualname__");
    return call.global("type")(base.attr("__name__"), py::make_tuple(base), namespace_);
}

py::object timeout_init(qx::Call& call) {
    py::handle self = call.self();
    py::tuple args = call.positional_extras();
    if (args.empty()) {
        py::object seconds = py::type::handle_of(self).attr("seconds");
        args = py::make_tuple(
            py::str("the analysis program ran longer than {} seconds and was stopped").attr("format")(seconds));
    }
    qx::type_object(reinterpret_cast<PyTypeObject*>(PyExc_TimeoutError)).attr("__init__")(self, *args);
    return py::none();
}

py::object invoke(qx::Call& call) {
    py::dict state = qx::as_dict(call[1]);
    const double seconds = analysis_timeout();
    const std::size_t output_limit = analysis_output_limit();
    const SandboxMode mode = analysis_sandbox_mode();
    if (mode != SandboxMode::off) return run_in_sandbox(call, state, seconds, output_limit, mode);
    const py::object timeout_class = timeout_class_for(call, seconds);
    py::dict namespace_;
    namespace_["datetime"] = py::module_::import("datetime");

    py::object output;
    std::size_t printed = 0;
    py::object error_message = py::none();
    try {
        // A syntax error surfaces here, before standard output is touched.
        py::object tree = call.global("ast").attr("parse")(state["pandas_code"], py::arg("mode") = "exec");
        // Only this thread's output is taken, and it is given back however the program ends.
        qx::OutputCapture capture(output_limit);
        py::object code = call.global("compile")(tree, py::arg("filename") = "<ast>", py::arg("mode") = "exec");
        {
            qx::TimeLimit limit(seconds, timeout_class);
            call.global("exec")(code, namespace_);
        }
        // Read inside the guard: a program that closed the buffer fails like any other program.
        output = capture.text();
        printed = capture.written();
    } catch (py::error_already_set& error) {
        if (!qx::is_ordinary(error)) {
            if (error.matches(PyExc_SystemExit) || error.matches(PyExc_KeyboardInterrupt)) mark_program_exit(error);
            throw;
        }
        error_message = bounded_text(failure_text(error), 0, output_limit, "error message");
    }

    py::dict update;
    if (py::bool_(error_message)) {
        update["python_execution_success"] = false;
        update["python_error_message"] = error_message;
    } else {
        update["python_executed_output"] = bounded_text(output, printed, output_limit, "output");
        update["python_execution_success"] = true;
    }
    return std::move(update);
}

}  // namespace

void define_pandas_executor(py::module_& m) {
    qx::ClassBuilder timeout(m, "TimeoutError",
                             py::make_tuple(qx::type_object(reinterpret_cast<PyTypeObject*>(PyExc_TimeoutError))));
    timeout.attribute("__doc__", py::str("Raised inside an analysis program that runs past QUORLIX_ANALYSIS_TIMEOUT."))
        .attribute("seconds", py::str("60"))
        .method("__init__", qx::Signature{qx::arg("self"), qx::varargs()}, timeout_init);
    // Named TimeoutError so failures read "TimeoutError: ...", but bound under another name: the
    // module's namespace reaches every star import of it, where it must not hide the builtin.
    m.attr("AnalysisTimeoutError") = timeout.create();
    py::delattr(m, "TimeoutError");

    NodeClass(m, "PandasExecutor")
        .constructor({"model"}, init)
        .invoke(invoke)
        .state_method("generate_prompt", generate_prompt)
        .create();
}

}  // namespace nodewright
