#include "node_class.hpp"

#include <cstring>

#include "qx/python.hpp"

namespace nodewright {

NodeClass::NodeClass(py::module_& m, const char* name) : module_(m), builder_(m, name, runnable_bases(m)) {}

NodeClass& NodeClass::constructor(std::initializer_list<const char*> params, qx::Body body) {
    qx::Signature signature{qx::arg("self")};
    for (const char* param : params) {
        const char* annotation = std::strcmp(param, "db") == 0 ? "CustomSQLDatabase" : "AzureChatOpenAI";
        signature.params.push_back(qx::arg(param).annotated(module_.attr(annotation)));
    }
    builder_.method("__init__", std::move(signature), body);
    return *this;
}

NodeClass& NodeClass::state_method(const char* name, qx::Body body, py::object returns) {
    builder_.method(name, qx::Signature{qx::arg("self"), qx::arg("state").exactly(qx::dict_type())}.returning(returns),
                    body);
    return *this;
}

NodeClass& NodeClass::invoke(qx::Body body) {
    builder_.method("invoke",
                    qx::Signature{qx::arg("self"), qx::arg("state").exactly(qx::dict_type()), qx::kwargs()}.returning(
                        qx::type_object(qx::dict_type())),
                    body);
    return *this;
}

NodeClass& NodeClass::plain_invoke(qx::Body body) {
    builder_.method("invoke", qx::Signature{qx::arg("self"), qx::arg("state"), qx::kwargs()}, body);
    return *this;
}

py::object compiled_jinja2(py::handle text) {
    // LangChain compiles a jinja2 text on every format() call; this template compiles it once.
    return py::module_::import("quorlix.prompts.compiled_templates")
        .attr("CompiledJinja2PromptTemplate")
        .attr("from_template")(text, py::arg("template_format") = "jinja2");
}

py::object chat_template(const qx::Call& call, std::initializer_list<MessageTemplate> messages) {
    py::list made;
    for (const MessageTemplate& message : messages) {
        py::object kind = call.global(message.role == MessageTemplate::system ? "SystemMessagePromptTemplate"
                                                                              : "HumanMessagePromptTemplate");
        py::object text = call.global(message.constant);
        made.append(message.format == MessageTemplate::jinja2 ? kind(py::arg("prompt") = compiled_jinja2(text))
                                                              : kind.attr("from_template")(text));
    }
    return call.global("ChatPromptTemplate").attr("from_messages")(made);
}

py::object ask_model_for(qx::Call& call, const char* key, const char* field) {
    py::object prompt = call.self().attr("generate_prompt")(call[1]);
    py::object answer = call.self().attr("model").attr("invoke")(prompt);
    py::dict update;
    update[key] = answer.attr(field);
    return std::move(update);
}

}  // namespace nodewright
