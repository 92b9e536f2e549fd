// What the node module imports when it loads.  Names that moved out of the `langchain` package in
// its 1.x line are taken from where they live now (langchain_core); langgraph's ToolExecutor no
// longer exists and nothing here used it.
#include "nodewright.hpp"
#include "qx/python.hpp"

namespace nodewright {

void import_dependencies(py::module_& m) {
    qx::import(m, "ast");
    qx::import(m, "sys");
    qx::import(m, "time");
    qx::import_from(m, "io", {"StringIO"});
    qx::import_from(m, "typing", {"List", "Optional", "Tuple"});
    qx::import(m, "matplotlib");

    qx::import_from(
        m, "langchain_core.prompts",
        {"ChatPromptTemplate", "HumanMessagePromptTemplate", "PromptTemplate", "SystemMessagePromptTemplate"});
    qx::import_from(m, "langchain_core.documents", {"Document"});
    qx::import_from(m, "langchain_community.tools.sql_database.tool",
                    {"InfoSQLDatabaseTool", "ListSQLDatabaseTool", "QuerySQLCheckerTool"});
    qx::import_from(m, "langchain_core.messages", {"BaseMessage", "HumanMessage", "SystemMessage"});
    qx::import_from(m, "langchain_core.output_parsers", {"PydanticOutputParser", "XMLOutputParser"});
    qx::import_from(m, "langchain_core.runnables", {"Runnable"});
    qx::import_from(m, "langchain_core.runnables.config", {"RunnableConfig"});
    qx::import_from(m, "langchain_openai", {"AzureChatOpenAI"});
    qx::import_from(m, "langchain_openai.llms", {"AzureOpenAI"});
    qx::import_from(m, "loguru", {"logger"});
    qx::import_from(m, "pydantic", {"BaseModel", "Field"});
    qx::import_from(m, "sqlalchemy.exc", {"SQLAlchemyError"});

    qx::import_from(m, ".custom_sql", {"CustomSQLDatabase"});
    // Analysis code draws charts off-screen; only the files it saves remain.
    m.attr("matplotlib").attr("use")("agg");
    qx::star_import(m, ".querymesh_prompts");
}

void import_prompt_modules(py::module_& m) {
    qx::import_from(m, "quorlix.prompts.context",
                    {"context_prompt", "custom_instructions", "check_instructions", "read_values"});
    qx::import_from(m, "quorlix.prompts.final_step_prompt", {"final_node_prompt"});
    m.attr("current_values") = m.attr("read_values")();
}

py::tuple runnable_bases(py::module_& m) {
    return py::make_tuple(m.attr("Runnable"));
}

}  // namespace nodewright
