"""The question-answering graph's vocabulary: its node names and the route texts of its routing
functions, written once.

The compiled modules read these at import (the wiring registers the nodes under these names, the
routing functions return these texts), and the ``quorlix`` command's progress lines and the tests
use them, so a name can only ever be spelled one way. Pure Python with no imports: reading it
costs nothing and pulls in neither LangGraph nor the compiled modules.
"""

from __future__ import annotations

# Nodes, in the order the graph registers them.
INIT_NODE = "init_node"
TABLE_NAMES_LOOKUP_NODE = "table_names_lookup_node"
RELEVANT_TABLE_NAMES_NODE = "relevant_table_names_node"
RELEVANT_SCHEMAS_NODE = "relevant_schemas_node"
SQL_GENERATION_NODE = "sql_generation_node"
REWRITE_QUERY_NODE = "rewrite_query_node"
SQL_SYNTAX_CHECKER_NODE = "sql_syntax_checker_node"
SQL_EXECUTION_NODE = "sql_execution_node"
PANDAS_GENERATOR_NODE = "pandas_generator_node"
PANDAS_EXECUTOR_NODE = "pandas_executor_node"
FINAL_RESPONSE_GENERATION_NODE = "final_response_generation_node"
PANDAS_ERROR_HANDLER_NODE = "pandas_error_handler_node"
SQL_ERROR_HANDLER_NODE = "sql_error_handler_node"

NODES = (
    INIT_NODE,
    TABLE_NAMES_LOOKUP_NODE,
    RELEVANT_TABLE_NAMES_NODE,
    RELEVANT_SCHEMAS_NODE,
    SQL_GENERATION_NODE,
    REWRITE_QUERY_NODE,
    SQL_SYNTAX_CHECKER_NODE,
    SQL_EXECUTION_NODE,
    PANDAS_GENERATOR_NODE,
    PANDAS_EXECUTOR_NODE,
    FINAL_RESPONSE_GENERATION_NODE,
    PANDAS_ERROR_HANDLER_NODE,
    SQL_ERROR_HANDLER_NODE,
)

# Route texts of the wired routing functions.
FINAL_RESPONSE = "final_response"
PANDAS_EXECUTION_ERROR = "pandas_execution_error"
PANDAS_GENERATION = "pandas_generation"
SQL_EXECUTION_ERROR = "sql_execution_error"
REGENERATE_SQL_QUERY = "regenerate_sql_query"
REWRITE_QUERY = "rewrite_query"
TERMINAL_FAILURE_RESPONSE = "terminal_failure_response"
REGENERATE_PANDAS_CODE = "regenerate_pandas_code"

# Route texts of the two routing functions the graph defines but does not wire.
SQL_EXECUTE = "sql_execute"
SQL_SYNTAX_ERROR = "sql_syntax_error"
USE_PANDAS = "use_pandas"
GENERATE_RESPONSE = "generate_response"
