// The structured-output records: pydantic models whose field descriptions reach the chat model
// as the output schema.  The descriptions are prompt text, written in quorlix.prompts.output_fields;
// the fields, their types and defaults are defined here.  Annotations are real type objects, so
// pydantic never has to resolve a name through a Python frame.
#include "nodewright.hpp"
#include "qx/classes.hpp"
#include "qx/python.hpp"

namespace nodewright {
namespace {

struct FieldSpec {
    const char* name;
    py::object type;
    py::object default_value;  // empty: the field is required
};

void define_record(py::module_& m, const char* name, std::initializer_list<FieldSpec> fields) {
    const py::object descriptions =
        py::module_::import("quorlix.prompts.output_fields").attr("FIELD_DESCRIPTIONS")[py::str(name)];
    qx::ClassBuilder record(m, name, py::make_tuple(m.attr("BaseModel")));
    for (const FieldSpec& field : fields) {
        py::object description = descriptions[py::str(field.name)];
        py::object declared = field.default_value ? m.attr("Field")(py::arg("description") = description,
                                                                    py::arg("default") = field.default_value)
                                                  : m.attr("Field")(py::arg("description") = description);
        record.annotation(field.name, field.type).attribute(field.name, declared);
    }
    record.create();
}

py::object str_t() {
    return qx::type_object(&PyUnicode_Type);
}
py::object bool_t() {
    return qx::type_object(&PyBool_Type);
}

}  // namespace

void define_leading_records(py::module_& m) {
    define_record(m, "RelevantTablesOutput", {{"relevant_tables", qx::subscript(qx::typing("List"), str_t()), {}}});
    define_record(m, "RewriteQueryOutput", {{"rewritten_question", str_t(), {}}});
    define_record(m, "PandasCodeOutput",
                  {{"pandas_ai", bool_t(), {}}, {"final_answer", bool_t(), {}}, {"follow_up_question", bool_t(), {}}});
}

void define_python_code_input(py::module_& m) {
    define_record(m, "PythonCodeInput", {{"code", str_t(), {}}});
}

void define_sql_query_input(py::module_& m) {
    define_record(m, "SQLQueryInput", {{"sql_query", str_t(), {}}});
}

void define_generation_output(py::module_& m) {
    define_record(
        m, "GenerationOutput",
        {{"image_path", qx::subscript(qx::typing("Optional"), str_t()), py::str("")}, {"final_response", str_t(), {}}});
}

}  // namespace nodewright
