"""A test session started from a shell set up for the cloud still stays on this machine: the
shell's sign-in, endpoint, Ray and tracing settings do not reach the code under test, and a
test that would sign in for real fails the run."""

from __future__ import annotations

import os

from support.hermetic import RefusingDefaultCredential

pytest_plugins = ["pytester"]

CLOUD_SHELL = {
    "QUORLIX_AZURE_AUTH": "entra",
    "AZURE_CLIENT_ID": "00000000-0000-0000-0000-000000000001",
    "AZURE_TENANT_ID": "00000000-0000-0000-0000-000000000002",
    "IDENTITY_ENDPOINT": "http://169.254.169.254/metadata/identity/oauth2/token",
    "AZURE_OPENAI_ENDPOINT": "https://real-resource.openai.azure.com/",
    "AZURE_OPENAI_API_KEY": "real-key",
    "QUORLIX_CHAT4_DEPLOYMENT": "production-gpt-4o",
    "RAY_ADDRESS": "10.0.0.1:6379",
    "RAY_USAGE_STATS_ENABLED": "1",
    "LANGCHAIN_TRACING_V2": "true",
    "HTTPS_PROXY": "http://proxy.example.com:3128",
    "db_host": "db.example.com",
}

INNER_TESTS = """
import os

import pytest
from quorlix import azure_auth
from quorlix.settings import AzureOpenAIChat4

SHELL = {shell!r}


def test_the_code_sees_the_stub_and_key_sign_in(stub_azure_env, monkeypatch):
    monkeypatch.setattr(azure_auth, "_shared", None)
    settings = AzureOpenAIChat4()
    assert settings.azure_endpoint == stub_azure_env.url
    assert settings.azure_deployment != SHELL["QUORLIX_CHAT4_DEPLOYMENT"]
    assert settings.api_key.get_secret_value() != SHELL["AZURE_OPENAI_API_KEY"]
    assert azure_auth.auth_method() == "key"
    assert not {{name for name in SHELL if os.environ.get(name) == SHELL[name]}}


def test_ray_sees_usage_reporting_off():
    usage_lib = pytest.importorskip("ray._common.usage.usage_lib")
    assert usage_lib.usage_stats_enabled() is False


def test_signing_in_without_an_injected_credential(stub_azure_env, monkeypatch):
    monkeypatch.setenv("QUORLIX_AZURE_AUTH", "entra")
    monkeypatch.setattr(azure_auth, "_shared", None)
    try:
        AzureOpenAIChat4()
    except Exception:
        pass  # however the code reports it, the run fails
"""


def test_a_cloud_shell_reaches_no_test_and_a_real_sign_in_fails_the_run(pytester, monkeypatch):
    saved = dict(os.environ)
    reached_before = len(RefusingDefaultCredential.reached)
    for name, value in CLOUD_SHELL.items():
        monkeypatch.setenv(name, value)
    pytester.makeconftest('pytest_plugins = ["support.hermetic", "support.stub_openai"]')
    pytester.makepyfile(test_inner=INNER_TESTS.format(shell=CLOUD_SHELL))
    try:
        result = pytester.runpytest_inprocess("-p", "no:cacheprovider")
    finally:
        # The inner session made its own environment; the outer one's comes back.
        os.environ.clear()
        os.environ.update(saved)
        reached = RefusingDefaultCredential.reached[reached_before:]
        del RefusingDefaultCredential.reached[reached_before:]
    outcomes = result.parseoutcomes()
    assert outcomes.get("passed") == 3 and outcomes.get("failed") is None, result.stdout.str()
    assert outcomes.get("errors") == 1  # the session's end names the test that reached it
    assert reached == ["test_inner.py::test_signing_in_without_an_injected_credential (call)"]
    result.stdout.fnmatch_lines(["*reached without an injected credential by*signing_in*"])
