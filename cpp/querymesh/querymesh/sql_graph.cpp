// SQLGraph: builds the five chat models, the relevant-table picker, the state graph and the run
// configuration once, compiles the graph, and runs it for each question.
#include "querymesh.hpp"
#include "qx/classes.hpp"
#include "qx/python.hpp"

namespace querymesh {
namespace {

// AzureChatOpenAI(**settings, max_tokens=..., temperature=0, model_kwargs={"top_p": 0.95}): a
// settings dictionary that already holds one of the fixed keywords is refused as the interpreter
// refuses such a call, before the model class runs.
py::object chat_model(const qx::Call& call, const py::dict& settings, int max_tokens) {
    py::dict model_kwargs;
    model_kwargs["top_p"] = 0.95;
    py::dict fixed;
    fixed["max_tokens"] = max_tokens;
    fixed["temperature"] = 0;
    fixed["model_kwargs"] = model_kwargs;
    return qx::call_unpacking(call.global("AzureChatOpenAI"), py::tuple(), settings, fixed);
}

py::dict attribute_dictionary(py::handle settings) {
    py::object attributes = settings.attr("__dict__");
    // `**` needs a mapping; an instance dictionary always is one, anything else fails as Python would.
    if (!PyDict_Check(attributes.ptr())) return py::dict(attributes);
    return py::reinterpret_borrow<py::dict>(attributes);
}

py::object init(qx::Call& call) {
    py::object self = py::reinterpret_borrow<py::object>(call.self());
    py::object custom_sql_db = py::reinterpret_borrow<py::object>(call[1]);
    // The picker takes the settings object itself; the models take its attribute dictionary.
    py::object config_35_settings = py::reinterpret_borrow<py::object>(call[2]);
    py::dict config_35 = attribute_dictionary(call[2]);
    py::dict config_4 = attribute_dictionary(call[3]);

    self.attr("db") = custom_sql_db;
    self.attr("graph") = call.global("StateGraph")(call.global("SQLState"));
    self.attr("runnable_config") = self.attr("_config_graph")();
    self.attr("relevant_tables_model") = chat_model(call, config_35, 8192);
    self.attr("sql_generation_model") = chat_model(call, config_4, 4096);
    self.attr("response_model") = chat_model(call, config_35, 4096);
    self.attr("pandas_code_model") = chat_model(call, config_35, 8192);
    self.attr("pandas_ai_model") = chat_model(call, config_35, 8192);
    self.attr("relevant_table_picker") =
        call.global("RelevantTablePicker")(py::arg("config") = config_35_settings, py::arg("db") = custom_sql_db);
    // Last: the wiring reads the database, the five models and the picker.
    self.attr("compiled_graph") = self.attr("_compile_graph")(self.attr("runnable_config"));
    return py::none();
}

py::object invoke(qx::Call& call) {
    py::object self = py::reinterpret_borrow<py::object>(call.self());
    py::object result =
        self.attr("compiled_graph").attr("invoke")(call[1], py::arg("config") = self.attr("runnable_config"));
    if (!result.is_none() && !PyDict_CheckExact(result.ptr())) {
        PyErr_Format(PyExc_TypeError, "Expected dict, got %s", Py_TYPE(result.ptr())->tp_name);
        throw py::error_already_set();
    }
    return result;
}

}  // namespace

void define_sql_graph(py::module_& m) {
    const py::object dict = qx::type_object(qx::dict_type());
    qx::ClassBuilder cls(m, "SQLGraph", py::tuple());
    cls.method("__init__",
               qx::Signature{qx::arg("self"), qx::arg("custom_sql_db").annotated(m.attr("CustomSQLDatabase")),
                             qx::arg("config_35").annotated(m.attr("AzureOpenAIChat35")),
                             qx::arg("config_4").annotated(m.attr("AzureOpenAIChat4"))},
               init);
    add_config_graph(m, cls);
    add_compile_graph(m, cls);
    add_visualize_graph(m, cls);
    cls.method("invoke", qx::Signature{qx::arg("self"), qx::arg("inputs").exactly(qx::dict_type())}.returning(dict),
               invoke);
    cls.create();
}

}  // namespace querymesh
