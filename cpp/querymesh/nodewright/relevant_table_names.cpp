// RelevantTableNames: the chat model chooses, from the database's table names, the tables that
// matter for the question (the rewritten one once a rewrite has happened).
#include "node_class.hpp"
#include "nodewright.hpp"
#include "qx/python.hpp"
#include "qx/truth.hpp"

namespace nodewright {
namespace {

py::object init(qx::Call& call) {
    py::handle self = call.self();
    py::handle db = call[1];
    py::handle model = call[2];
    self.attr("dialect") = db.attr("dialect");
    self.attr("model") = model.attr("with_structured_output")(call.global("RelevantTablesOutput"));
    self.attr("template") = chat_template(
        call, {{MessageTemplate::system, "SQL_PREFIX"}, {MessageTemplate::human, "GET_RELEVANT_TABLE_NAMES_TEMPLATE"}});
    return py::none();
}

py::object generate_prompt(qx::Call& call) {
    py::handle self = call.self();
    py::dict state = qx::as_dict(call[1]);
    py::object question = state["user_question"];
    py::object rewritten = state["rewritten_question"];
    if (qx::truth(rewritten)) question = rewritten;
    py::object table_names = table_names_text(state["table_names_from_db"]);

    py::object messages =
        self.attr("template")
            .attr("format_messages")(py::arg("dialect") = self.attr("dialect"), py::arg("user_question") = question,
                                     py::arg("table_names_from_db") = table_names);
    // Appended after formatting, so the tail's braces reach the model as written.
    py::object human = messages[py::int_(1)];
    py::object content = human.attr("content");
    human.attr("content") = content + call.global("TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE");
    return messages;
}

}  // namespace

void define_relevant_table_names(py::module_& m) {
    NodeClass(m, "RelevantTableNames")
        .constructor({"db", "model"}, init)
        .state_method("generate_prompt", generate_prompt, qx::type_object(qx::list_type()))
        .invoke([](qx::Call& call) { return ask_model_for(call, "relevant_tables", "relevant_tables"); })
        .create();
}

}  // namespace nodewright
