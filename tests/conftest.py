"""Fixtures shared by every test: a hermetic environment, the stub chat-completions server and
the databases."""

pytest_plugins = [
    "support.hermetic",
    "support.stub_openai",
    "support.databases",
    "support.graphs",
    "support.skip_gate",
    "support.sandbox_probes",
    "support.traces",
]
