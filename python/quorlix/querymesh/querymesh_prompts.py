"""The graph's prompt module, which the node module star-imports.

The texts are written in ``quorlix.prompts.graph_templates``, beside every other prompt text of
the system; this module keeps the name under which the node module, and hosts, import them.
"""

from quorlix.prompts.graph_templates import *  # noqa: F403
