"""The relevant-table picker: the graph's "relevant_table_names_node".

The graph hands it the general-purpose settings object and the database wrapper and registers
its bound ``invoke`` as a node. It chooses tables with its own temperature-0 chat model through
the node class ``RelevantTableNames``, so the step behaves like the rest of the graph while
staying replaceable.
"""

from __future__ import annotations

from typing import Any

from langchain_openai import AzureChatOpenAI


class RelevantTablePicker:
    """Chooses the tables a question needs: ``invoke(state)`` gives ``{"relevant_tables": [...]}``.

    ``config`` is an ``AzureOpenAIChat35`` settings object (its attribute dictionary holds the
    ``AzureChatOpenAI`` keyword arguments); ``db`` is the graph's ``CustomSQLDatabase``.
    """

    def __init__(self, config: Any, db: Any) -> None:
        # Imported here, not at module level: the graph module imports this module and the
        # node module side by side, and the node module is a compiled extension that may not
        # be importable yet when this module is.
        from quorlix.querymesh.nodewright import RelevantTableNames

        self.model = AzureChatOpenAI(**vars(config), temperature=0)
        self.node = RelevantTableNames(db=db, model=self.model)

    # LangGraph inspects this signature and injects arguments by parameter name (config,
    # store, writer, ...). Only ``state`` is wanted, so no parameter may take such a name.
    def invoke(self, state: dict, **kwargs: Any) -> dict:
        """Ask the model which tables the question needs and return the state update."""
        update = self.node.invoke(state)
        return {"relevant_tables": update["relevant_tables"]}
