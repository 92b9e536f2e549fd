// SQLGeneration: one SQL query from the chat model per call, either a first attempt from the
// question and the schemas ("generation") or a new attempt shown every earlier query with what its
// execution returned ("correction").  The retry loop itself belongs to the graph.
#include "node_class.hpp"
#include "nodewright.hpp"
#include "qx/python.hpp"
#include "state_tests.hpp"

namespace nodewright {
namespace {

py::object init(qx::Call& call) {
    py::handle self = call.self();
    py::handle db = call[1];
    py::handle model = call[2];
    self.attr("model") = model.attr("with_structured_output")(call.global("SQLQueryInput"));
    self.attr("dialect") = db.attr("dialect");

    py::object chat_prompt = call.global("ChatPromptTemplate");
    py::list generate;
    generate.append(call.global("_SQL_SYSTEM_MESSAGE"));
    generate.append(call.global("_SQL_USER_MESSAGE"));
    self.attr("generate_template") = chat_prompt.attr("from_messages")(generate);

    self.attr("correct_template") =
        chat_template(call, {{MessageTemplate::system, "SQL_PREFIX"},
                             {MessageTemplate::human, "CORRECT_SQL_TEMPLATE", MessageTemplate::jinja2}});
    return py::none();
}

bool is_mode(py::handle mode, const char* word) {
    return compare(mode, Py_EQ, py::str(word));
}

// Every state key goes to the template as a keyword of its own name, next to the explicit ones;
// a state key that repeats an explicit one is refused exactly as a Python call would refuse it.
py::object format_with_state(py::handle template_, py::dict explicit_keywords, py::dict state) {
    return qx::call_unpacking(template_.attr("format_messages"), py::tuple(), explicit_keywords, state);
}

py::object generate_messages(qx::Call& call) {
    py::handle self = call.self();
    py::dict state = qx::as_dict(call[1]);
    py::dict keywords;
    keywords["dialect"] = self.attr("dialect");
    if (is_mode(state["sql_generation_prompt_type"], "generation"))
        return format_with_state(self.attr("generate_template"), keywords, state);
    if (is_mode(state["sql_generation_prompt_type"], "correction")) {
        // Pairs stop at the shorter list: a query not yet executed has no outcome to show.
        keywords["zipped_queries_errors"] =
            call.global("list")(call.global("zip")(state["generated_sql_query"], state["sql_execution_result"]));
        return format_with_state(self.attr("correct_template"), keywords, state);
    }
    qx::raise(PyExc_ValueError, "Messages not generated correctly.");
}

py::object invoke(qx::Call& call) {
    py::handle self = call.self();
    py::object clock = call.global("time");
    py::object started = clock.attr("time")();
    py::object messages = self.attr("generate_messages")(call[1]);
    py::object answer = self.attr("model").attr("invoke")(messages);
    py::object query = answer.attr("sql_query");
    py::object elapsed = clock.attr("time")() - started;
    call.global("logger").attr("info")(py::str("Invoke generate sql query tooks: ") + py::str(elapsed));
    py::list queries;
    queries.append(query);
    py::dict update;
    update["generated_sql_query"] = queries;
    return std::move(update);
}

}  // namespace

void define_sql_generation(py::module_& m) {
    NodeClass(m, "SQLGeneration")
        .constructor({"db", "model"}, init)
        .state_method("generate_messages", generate_messages, qx::subscript(m.attr("List"), m.attr("BaseMessage")))
        .invoke(invoke)
        .create();
}

}  // namespace nodewright
