// The shapes every node class shares: a Runnable subclass whose constructor takes the database
// wrapper and/or the chat model, whose prompt method takes the state, and whose
// invoke(self, state, **kwargs) returns the state update.
#pragma once

#include <initializer_list>

#include "nodewright.hpp"
#include "qx/classes.hpp"

namespace nodewright {

class NodeClass {
public:
    NodeClass(py::module_& m, const char* name);

    // __init__(self, <params>): "db" is annotated CustomSQLDatabase, "model" AzureChatOpenAI.
    NodeClass& constructor(std::initializer_list<const char*> params, qx::Body body);
    // name(self, state: dict) [-> returns]
    NodeClass& state_method(const char* name, qx::Body body, py::object returns = py::object());
    // invoke(self, state: dict, **kwargs) -> dict
    NodeClass& invoke(qx::Body body);
    // invoke(self, state, **kwargs): any mapping, no annotations
    NodeClass& plain_invoke(qx::Body body);

    py::object create() { return builder_.create(); }

private:
    py::module_ module_;
    qx::ClassBuilder builder_;
};

// One message of a node's chat prompt: its role, the name of the prompt constant it is made from
// (looked up in the module's namespace when the node is built, so a host that replaces a constant
// sees it in every node built afterwards), and the constant's template language.
struct MessageTemplate {
    enum Role { system, human } role;
    const char* constant;
    enum Format { brace, jinja2 } format = brace;
};

// A jinja2 PromptTemplate of `text` that compiles it once, not on every format().
py::object compiled_jinja2(py::handle text);

// ChatPromptTemplate.from_messages([...]) of the messages, each made with its role's
// MessagePromptTemplate (from_template, or around compiled_jinja2 for a jinja2 text).
py::object chat_template(const qx::Call& call, std::initializer_list<MessageTemplate> messages);

// The model's structured answer to the prompt built by the node's generate_prompt, with one
// of its fields returned under `key`: the body of every model-asking invoke.
py::object ask_model_for(qx::Call& call, const char* key, const char* field);

}  // namespace nodewright
