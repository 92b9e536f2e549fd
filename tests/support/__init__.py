"""Shared test harness: a scripted OpenAI-compatible server and throwaway databases.

The fixtures are registered as pytest plugins by ``tests/conftest.py``; the reply helpers
(``text``, ``structured``, ``tool_call``, ``http_error``, ``delay``, ``raw``) are imported from
``support.stub_openai`` by the tests that script a conversation.
"""
