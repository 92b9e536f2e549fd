"""Every prompt text the system sends to a chat model, as Python data.

Which step sends what, and where the node that sends it finds it:

=====================================  ==================  ======================================
Step (node class)                      Module here         Name the node looks up in nodewright
=====================================  ==================  ======================================
choose tables (RelevantTableNames)     graph_templates     SQL_PREFIX,
                                                           GET_RELEVANT_TABLE_NAMES_TEMPLATE,
                                                           TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE
  ... heading of a table shortlist     table_shortlist     (the picker formats it itself)
restate the question (RewriteQuery)    graph_templates     REWRITE_QUESTION_TEMPLATE
first SQL attempt (SQLGeneration)      node_texts          _SQL_SYSTEM_MESSAGE, _SQL_USER_MESSAGE
corrected SQL (SQLGeneration)          graph_templates     SQL_PREFIX, CORRECT_SQL_TEMPLATE
analysis program (PandasGenerator)     graph_templates     PANDAS_SYSTEM_TEMPLATE,
                                                           PANDAS_HUMAN_TEMPLATE
corrected program (PandasGenerator,    node_texts          _PANDAS_CORRECTION_PROMPT
  PandasCorrection)
the answer (GenerateResponse)          node_texts,         _RESPONSE_RESULTS,
                                       final_step_prompt,  _RESPONSE_RULES_LEAD_IN,
                                       context             final_node_prompt,
                                                           _RESPONSE_CONTEXT_LEAD_IN,
                                                           current_values (from read_values())
fields of every structured answer      output_fields       (read once, when the records are made)
team knowledge of a run (table         reference           (the picker and the database wrapper's
  choice, SQL and its correction)                          table information append it)
restate a follow-up (no node; before  follow_up           (read at each call, by
  the graph runs)                                          quorlix.answering.follow_up)
=====================================  ==================  ======================================

``graph_templates`` reaches the node module through ``quorlix.querymesh.querymesh_prompts``,
which it star-imports, so its names are public names of ``quorlix.querymesh.nodewright``;
the texts of ``node_texts`` are bound there under their names with a leading underscore. A node
looks each name up in ``nodewright`` when it is built, if it makes a template of the text, or
else each time it builds a prompt (``TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE`` and every text of
the answer): a host changes a prompt by assigning to ``nodewright``'s name, not to these modules.
``context`` also reads the user's own context file. ``compiled_templates`` is no text: it
renders the jinja2 templates, compiling each once.
"""
