// The first-attempt SQL prompt: a system and a user message in LangChain's (role, template) form.
#include <string>

#include "nodewright.hpp"

namespace nodewright {
namespace {

std::string system_text() {
    const std::string indent(20, ' ');
    const char* lines[] = {
        "You are an agent designed to interact with a SQL database.",
        "Given an input question, create a syntactically correct {dialect} query to run, then look at the results "
        "of the query and return the answer.",
        "Unless the user specifies a specific number of examples they wish to obtain, always limit your query to at "
        "most 20 results.",
        "You can order the results by a relevant column to return the most interesting examples in the database.",
        "Never query for all the columns from a specific table, only ask for the relevant columns given the question.",
        "You have access to tools for interacting with the database.",
        "Only use the below tools. Only use the information returned by the below tools to construct your final "
        "answer.",
        "You MUST double check your query before executing it. If you get an error while executing a query, rewrite "
        "the query and try again.",
        "",
        "DO NOT make any DML statements (INSERT, UPDATE, DELETE, DROP etc.) to the database.",
        "",
        "If the question does not seem related to the database, just return \"I don't know\" as the answer.",
        "",
        "",
    };
    std::string text = lines[0];
    for (std::size_t i = 1; i < sizeof(lines) / sizeof(lines[0]); ++i) {
        const std::string line = lines[i];
        const bool blank_line = i == 8 || i == 10;  // lines 9 and 11 hold nothing at all
        text += "\n" + (blank_line ? line : indent + line);
    }
    return text;
}

}  // namespace

void define_sql_message_texts(py::module_& m) {
    // Kept under private names: they are the module's own literals, not part of its public face.
    m.attr("_SQL_SYSTEM_MESSAGE") = py::make_tuple("system", system_text());
    m.attr("_SQL_USER_MESSAGE") =
        py::make_tuple("user", "{user_question}\n Schemas_from_relevant_tables: {schemas_from_relevant_tables}");
}

}  // namespace nodewright
