"""The graph as a host builds it: ``SQLGraph`` over the project's database wrapper, its chat
models pointed at the stub server.

Usage::

    def test_run(build_graph, sqlite_sample_db):
        graph = build_graph(sqlite_sample_db.url)
        final = graph.invoke({...})

Every wrapper made here is disposed of after the test, so no connection outlives it.
"""

from __future__ import annotations

from collections.abc import Callable, Iterator

import pytest


@pytest.fixture
def build_graph(stub_azure_env) -> Iterator[Callable]:
    from quorlix.querymesh.custom_sql import CustomSQLDatabase
    from quorlix.querymesh.querymesh import SQLGraph
    from quorlix.settings import AzureOpenAIChat4, AzureOpenAIChat35

    databases = []

    def build(url: str, **wrapper_options):
        db = CustomSQLDatabase.from_uri(url, **wrapper_options)
        databases.append(db)
        return SQLGraph(db, AzureOpenAIChat35(), AzureOpenAIChat4())

    yield build
    for db in databases:
        db._engine.dispose()
