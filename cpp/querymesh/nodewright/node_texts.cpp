// The node module's own prompt texts.  They are written as data in quorlix.prompts.node_texts;
// each is bound here under its name with a leading underscore, and the nodes look that private
// name up in the module's namespace each time they use it, so a host that replaces one sees it
// used from then on.
#include <string>

#include "nodewright.hpp"

namespace nodewright {

void define_node_texts(py::module_& m) {
    const py::module_ texts = py::module_::import("quorlix.prompts.node_texts");
    for (const char* name : {"SQL_SYSTEM_MESSAGE", "SQL_USER_MESSAGE", "PANDAS_CORRECTION_PROMPT", "RESPONSE_RESULTS",
                             "RESPONSE_RULES_LEAD_IN", "RESPONSE_CONTEXT_LEAD_IN"})
        m.attr(("_" + std::string(name)).c_str()) = texts.attr(name);
}

}  // namespace nodewright
