"""quorlix: answers natural-language questions about relational databases.

Importing the package stays cheap on purpose: the graph, database and analysis-runtime
extension modules load only when a submodule such as ``quorlix.querymesh.querymesh`` is imported.
"""

__version__ = "0.1.0"
