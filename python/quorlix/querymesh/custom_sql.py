"""The database wrapper the graph is built with: ``CustomSQLDatabase`` and the errors it raises.

The graph's node module and users import it from here; it is made in ``quorlix.sql``, which
holds the statement check, the catalogue, the bounds on results and one package per database
engine (``quorlix.sql.database`` for the wrapper itself).
"""

from quorlix.sql.database import CustomSQLDatabase
from quorlix.sql.errors import QueryTimeoutError, UnsafeSQLError

__all__ = ["CustomSQLDatabase", "QueryTimeoutError", "UnsafeSQLError"]
