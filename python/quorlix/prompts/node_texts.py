"""The node module's own prompt texts, which it keeps under private names.

When ``quorlix.querymesh.nodewright`` is imported it binds each text below under its name with a
leading underscore (``SQL_SYSTEM_MESSAGE`` becomes ``nodewright._SQL_SYSTEM_MESSAGE``) and looks
that name up each time a node uses it: ``SQLGeneration``, ``PandasGenerator`` and
``PandasCorrection`` when they are built, ``GenerateResponse`` at every answer. So a host that
assigns a new text to the node module's name sees it used from then on; assigning to a name of
this module after the node module was imported changes nothing.

Each text is sent exactly as written here, its slips included ("the anwer part"): the models'
behaviour was tuned to these texts, and changing one is a change of prompt, not a tidy-up.
"""

_INDENT = " " * 20

# SQLGeneration's first-attempt prompt: two (role, template) pairs in LangChain's tuple form,
# brace placeholders. Every line of the system text after the first is indented by 20 spaces,
# except the two empty ones; the text ends in two lines of only that indentation, with no line
# feed after the last.
SQL_SYSTEM_MESSAGE = (
    "system",
    "\n".join(
        [
            "You are an agent designed to interact with a SQL database.",
            _INDENT + "Given an input question, create a syntactically correct {dialect} query "
            "to run, then look at the results of the query and return the answer.",
            _INDENT + "Unless the user specifies a specific number of examples they wish to "
            "obtain, always limit your query to at most 20 results.",
            _INDENT + "You can order the results by a relevant column to return the most "
            "interesting examples in the database.",
            _INDENT + "Never query for all the columns from a specific table, only ask for the "
            "relevant columns given the question.",
            _INDENT + "You have access to tools for interacting with the database.",
            _INDENT + "Only use the below tools. Only use the information returned by the below "
            "tools to construct your final answer.",
            _INDENT + "You MUST double check your query before executing it. If you get an error "
            "while executing a query, rewrite the query and try again.",
            "",
            _INDENT + "DO NOT make any DML statements (INSERT, UPDATE, DELETE, DROP etc.) to the "
            "database.",
            "",
            _INDENT + "If the question does not seem related to the database, just return "
            '"I don\'t know" as the answer.',
            _INDENT,
            _INDENT,
        ]
    ),
)
SQL_USER_MESSAGE = (
    "user",
    "{user_question}\n Schemas_from_relevant_tables: {schemas_from_relevant_tables}",
)

# The request for a corrected analysis program, a brace template over user_question,
# python_code and error. PandasGenerator (in its correction mode) and PandasCorrection both
# send it.
PANDAS_CORRECTION_PROMPT = (
    "The user asked the following question:\n"
    "            {user_question}\n"
    "\n"
    "            You generated this python code:\n"
    "            {python_code}\n"
    "\n"
    "            It fails with the following error:\n"
    "            {error}\n"
    "\n"
    "            Fix the python code above and return the new python code:"
)

# GenerateResponse's prompt is these texts joined, in this order, with the run's values and the
# texts of quorlix.prompts.final_step_prompt and quorlix.prompts.context:
#   RESPONSE_RESULTS.format(question, queries, last result, analysis code, analysis output)
#   + RESPONSE_RULES_LEAD_IN + final_node_prompt
#   + RESPONSE_CONTEXT_LEAD_IN + context_prompt + custom_instructions
# Only the first is formatted, with its five values in that order.
RESPONSE_RESULTS = (
    "User question: {}\nSQL query: {}\nSQL query result: {}\nPython code: {}\n"
    "Python executed result: {}\n"
)
RESPONSE_RULES_LEAD_IN = (
    "Use the above result to address user's question. \n"
    "use context and instructions below from the user to present your answer in the best "
    "way.Only the anwer part"
)
RESPONSE_CONTEXT_LEAD_IN = "use context and instructions below"
