"""Keeps the suite on this machine whatever shell it is started from.

A developer's shell may hold a sign-in choice (``QUORLIX_AZURE_AUTH=entra``), Azure identity
variables, a real endpoint or key, a Ray cluster address, tracing or telemetry settings, or a
proxy: any of them would send a test's traffic to the cloud or mix a real account into it.
They are cleared before the test modules are imported (some modules read their settings at
import), what the tests rely on is fixed, and ``DefaultAzureCredential`` is replaced by a
credential that refuses at once, so a test that reaches it without injecting its own fails
loudly instead of asking the cloud metadata address or ``az`` for a real token.
"""

from __future__ import annotations

import os
import shutil
import tempfile
from collections.abc import MutableMapping

import pytest

# Sign-in, model provider, Ray, tracing and telemetry settings of the calling shell.
CLEARED_PREFIXES = (
    "QUORLIX_",
    "AZURE_",
    "OPENAI_",
    "MSI_",
    "IDENTITY_",
    "IMDS_",
    "LANGCHAIN_",
    "LANGSMITH_",
    "OTEL_",
    "APPLICATIONINSIGHTS_",
)
CLEARED = (
    "RAY_ADDRESS",
    # quorlix.dbkeeper's connection settings
    "db_user",
    "db_password",
    "db_host",
    "db_name",
    "db_port",
    # a proxy would carry even the 127.0.0.1 traffic elsewhere
    "HTTP_PROXY",
    "HTTPS_PROXY",
    "ALL_PROXY",
    "http_proxy",
    "https_proxy",
    "all_proxy",
)
FIXED = {
    # Ray reports usage to its makers unless told not to.
    "RAY_USAGE_STATS_ENABLED": "0",
}


def make_hermetic(environ: MutableMapping[str, str], home: str) -> None:
    for name in list(environ):
        if name.startswith(CLEARED_PREFIXES) or name in CLEARED:
            del environ[name]
    environ.update(FIXED)
    # Files quorlix keeps (the sample shop, run stores) go to a folder of this run, never to
    # the user's own.
    environ["QUORLIX_HOME"] = home


_home = pytest.StashKey[str]()


def pytest_configure(config: pytest.Config) -> None:
    # Before collection: a test module imported with the shell's variables would keep them.
    config.stash[_home] = tempfile.mkdtemp(prefix="quorlix-tests-home-")
    make_hermetic(os.environ, config.stash[_home])


def pytest_unconfigure(config: pytest.Config) -> None:
    shutil.rmtree(config.stash.get(_home, ""), ignore_errors=True)


class CredentialNotInjected(AssertionError):
    """A test reached DefaultAzureCredential without giving its own credential."""


class RefusingDefaultCredential:
    reached: list[str] = []

    def __init__(self, *args, **kwargs) -> None:
        test = os.environ.get("PYTEST_CURRENT_TEST", "outside a test")
        RefusingDefaultCredential.reached.append(test)
        raise CredentialNotInjected(
            f"{test} reached DefaultAzureCredential, which would ask the cloud or az for a real "
            "token: inject a credential (monkeypatch azure.identity.DefaultAzureCredential)"
        )


@pytest.fixture(scope="session", autouse=True)
def hermetic_environment():
    """DefaultAzureCredential refuses for the whole run; reaching it fails the run even when
    the code under test turned the refusal into an ordinary sign-in error."""
    import azure.identity

    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(azure.identity, "DefaultAzureCredential", RefusingDefaultCredential)
        yield
    if RefusingDefaultCredential.reached:
        pytest.fail(
            "DefaultAzureCredential was reached without an injected credential by: "
            + ", ".join(RefusingDefaultCredential.reached)
        )
