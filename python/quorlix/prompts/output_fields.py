"""What the chat models are told about each field of the records they fill.

The node module defines the structured-output records (their fields, types and defaults) when
it is imported and gives each field the description below, which reaches the model inside the
output schema of every request for that record. Read once, at that import.
"""

FIELD_DESCRIPTIONS = {
    "RelevantTablesOutput": {"relevant_tables": "List of relevant table names"},
    "RewriteQueryOutput": {"rewritten_question": "Rewritten question"},
    "PandasCodeOutput": {
        "pandas_ai": "Whether question should answer by using pandas_ai or not. In case, the "
        "answer can derive directly from sql_execution_result, False. If the answer involves "
        "analysis/plotting/forecast then True.",
        "final_answer": "Final answer",
        "follow_up_question": "Follow up question",
    },
    "PythonCodeInput": {"code": "Python code to be executed"},
    "SQLQueryInput": {"sql_query": "SQL query string to be executed"},
    "GenerationOutput": {
        "image_path": "image path generated if exists in context",
        "final_response": "final response",
    },
}
