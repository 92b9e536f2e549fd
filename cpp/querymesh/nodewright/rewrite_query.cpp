// RewriteQuery: the chat model restates the user's own question in the light of the schemas of
// every usable table.  Each rewrite starts from user_question, never from an earlier rewrite.
#include "node_class.hpp"
#include "nodewright.hpp"
#include "qx/python.hpp"

namespace nodewright {
namespace {

py::object init(qx::Call& call) {
    py::handle self = call.self();
    py::handle db = call[1];
    py::handle model = call[2];
    self.attr("model") = model.attr("with_structured_output")(call.global("RewriteQueryOutput"));
    self.attr("tool") = call.global("InfoSQLDatabaseTool")(py::arg("db") = db);
    self.attr("template") = chat_template(call, {{MessageTemplate::system, "REWRITE_QUESTION_TEMPLATE"}});
    return py::none();
}

py::object generate_prompt(qx::Call& call) {
    py::handle self = call.self();
    py::dict state = qx::as_dict(call[1]);
    py::object table_names = table_names_text(state["table_names_from_db"]);
    py::object schemas_from_all_tables = self.attr("tool").attr("_run")(table_names);
    return self.attr("template")
        .attr("format_messages")(py::arg("user_question") = state["user_question"],
                                 py::arg("schemas_from_all_tables") = schemas_from_all_tables);
}

}  // namespace

void define_rewrite_query(py::module_& m) {
    NodeClass(m, "RewriteQuery")
        .constructor({"db", "model"}, init)
        .state_method("generate_prompt", generate_prompt, qx::type_object(qx::list_type()))
        .invoke([](qx::Call& call) { return ask_model_for(call, "rewritten_question", "rewritten_question"); })
        .create();
}

}  // namespace nodewright
