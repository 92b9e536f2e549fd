// What the graph module imports.  The state record's annotations are evaluated by LangGraph in
// this module's namespace, so operator and the typing names they use must be bound here.
// langgraph.graph.graph is gone in LangGraph 1.x: the compiled graph class now lives in
// langgraph.graph.state.
#include "querymesh.hpp"
#include "qx/python.hpp"

namespace querymesh {

void import_dependencies(py::module_& m) {
    qx::import(m, "operator");
    qx::import_from(m, "typing", {"Annotated", "Dict", "List", "Optional", "TypedDict"});
    qx::import_from(m, "langchain_core.runnables", {"RunnableConfig"});
    qx::import_from(m, "langchain_openai", {"AzureChatOpenAI"});
    qx::import_from(m, "langgraph.graph", {"END", "StateGraph"});
    qx::import_from(m, "langgraph.graph.state", {"CompiledStateGraph"});
    qx::import_from(m, "quorlix.function_calling.base", {"RelevantTablePicker"});
    qx::import_from(m, "quorlix.settings", {"AzureOpenAIChat4", "AzureOpenAIChat35"});
    qx::star_import(m, ".nodewright");
}

}  // namespace querymesh
