// RewriteQuery: the chat model restates the user's own question in the light of the schemas of
// every usable table.  Each rewrite starts from user_question, never from an earlier rewrite.
#include "nodewright.hpp"
#include "qx/classes.hpp"
#include "qx/python.hpp"

namespace nodewright {
namespace {

py::object init(qx::Call& call) {
    py::handle self = call.self();
    py::handle db = call[1];
    py::handle model = call[2];
    self.attr("model") = model.attr("with_structured_output")(call.global("RewriteQueryOutput"));
    self.attr("tool") = call.global("InfoSQLDatabaseTool")(py::arg("db") = db);
    py::list messages;
    messages.append(
        call.global("SystemMessagePromptTemplate").attr("from_template")(call.global("REWRITE_QUESTION_TEMPLATE")));
    self.attr("template") = call.global("ChatPromptTemplate").attr("from_messages")(messages);
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

py::object invoke(qx::Call& call) {
    py::object prompt = call.self().attr("generate_prompt")(call[1]);
    py::object answer = call.self().attr("model").attr("invoke")(prompt);
    py::dict update;
    update["rewritten_question"] = answer.attr("rewritten_question");
    return std::move(update);
}

}  // namespace

void define_rewrite_query(py::module_& m) {
    const py::object dict = qx::type_object(qx::dict_type());
    qx::ClassBuilder node(m, "RewriteQuery", runnable_bases(m));
    node.method("__init__",
                qx::Signature{qx::arg("self"), qx::arg("db").annotated(m.attr("CustomSQLDatabase")),
                              qx::arg("model").annotated(m.attr("AzureChatOpenAI"))},
                init);
    node.method("generate_prompt",
                qx::Signature{qx::arg("self"), qx::arg("state").exactly(qx::dict_type())}.returning(
                    qx::type_object(qx::list_type())),
                generate_prompt);
    node.method("invoke",
                qx::Signature{qx::arg("self"), qx::arg("state").exactly(qx::dict_type()), qx::kwargs()}.returning(dict),
                invoke);
    node.create();
}

}  // namespace nodewright
