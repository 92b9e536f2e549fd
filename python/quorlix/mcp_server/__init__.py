"""quorlix as a tool of other agents: a Model Context Protocol server (``quorlix mcp``).

Four tools over one database (``tools``): ``ask`` (a whole run of a question, stored in the run
store like any run of the service, with a progress notification per finished node),
``list_tables``, ``describe_tables`` and ``run_sql`` (the service's read-only, bounded,
time-limited query). ``server`` builds the protocol server over a ``Service``; ``http`` serves
it over streamable HTTP behind the service's API tokens. Built on the official MCP SDK.
"""
