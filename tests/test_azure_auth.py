"""Microsoft Entra ID sign-in: the settings carry a token provider, every chat model the graph
builds sends it as a bearer token, and a credential that cannot sign in stops the CLI early.

Credentials are always injected: a fake that hands out a fixed token, one that fails, or a
DefaultAzureCredential restricted to sign-in methods that never leave this machine.
"""

from __future__ import annotations

import json
import time

import pytest
from azure.core.credentials import AccessToken
from azure.core.exceptions import ClientAuthenticationError
from azure.identity import DefaultAzureCredential
from quorlix import azure_auth, cli
from quorlix.querymesh import querymesh
from quorlix.querymesh.custom_sql import CustomSQLDatabase
from quorlix.settings import AzureOpenAIChat4, AzureOpenAIChat35, ConfigurationError
from support.stub_openai import CHAT4_DEPLOYMENT, CHAT35_DEPLOYMENT, http_error, text

pytestmark = pytest.mark.filterwarnings("ignore::UserWarning")

TOKEN = "entra-token-0f9e8d"
MODEL_ATTRIBUTES = [
    "relevant_tables_model",
    "sql_generation_model",
    "response_model",
    "pandas_code_model",
    "pandas_ai_model",
]
# Everything DefaultAzureCredential could read from the environment to pick a sign-in method.
IDENTITY_VARIABLES = (
    "AZURE_TOKEN_CREDENTIALS",
    "AZURE_CLIENT_ID",
    "AZURE_TENANT_ID",
    "AZURE_CLIENT_SECRET",
    "AZURE_CLIENT_CERTIFICATE_PATH",
    "AZURE_USERNAME",
    "AZURE_FEDERATED_TOKEN_FILE",
    "IDENTITY_ENDPOINT",
    "MSI_ENDPOINT",
)


class FixedTokenCredential:
    def __init__(self) -> None:
        self.scopes: list[tuple[str, ...]] = []

    def get_token(self, *scopes, **kwargs) -> AccessToken:
        self.scopes.append(scopes)
        return AccessToken(TOKEN, int(time.time()) + 3600)


class RefusingCredential:
    def get_token(self, *scopes, **kwargs) -> AccessToken:
        raise ClientAuthenticationError("AADSTS7000215: Invalid client secret provided.")


def offline_default_credential() -> object:
    """DefaultAzureCredential with only the methods that fail without any network traffic: an
    unconfigured environment service principal and an Azure CLI that is not installed."""
    return DefaultAzureCredential(
        exclude_workload_identity_credential=True,
        exclude_managed_identity_credential=True,
        exclude_shared_token_cache_credential=True,
        exclude_visual_studio_code_credential=True,
        exclude_powershell_credential=True,
        exclude_developer_cli_credential=True,
        exclude_interactive_browser_credential=True,
        exclude_broker_credential=True,
    )


@pytest.fixture
def entra_env(stub_azure_env, monkeypatch, tmp_path):
    """The stub's environment with Entra sign-in chosen; the key stays set, to prove it unused."""
    monkeypatch.setenv("QUORLIX_AZURE_AUTH", "entra")
    for name in IDENTITY_VARIABLES:
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("PATH", str(tmp_path))  # no az, azd or pwsh to find
    monkeypatch.setattr(azure_auth, "_shared", None)
    return stub_azure_env


def use_credential(monkeypatch, factory) -> None:
    """Make the process-wide provider sign in with this credential instead of the real chain."""
    import azure.identity

    monkeypatch.setattr(azure.identity, "DefaultAzureCredential", factory)


def run_cli(capsys, *argv: str) -> tuple[int, str, str]:
    code = cli.main(list(argv))
    out, err = capsys.readouterr()
    return code, out, err


def error_lines(stderr: str) -> list[str]:
    return [line for line in stderr.splitlines() if line.startswith("quorlix: error:")]


# --- settings ----------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("auth", "key_set", "expected"),
    [
        (None, True, "key"),
        ("key", True, "key"),
        ("entra", True, "entra"),
        ("entra", False, "entra"),
        (" Entra ", False, "entra"),
    ],
)
def test_settings_carry_either_the_key_or_the_token_provider(
    stub_azure_env, monkeypatch, auth, key_set, expected
):
    monkeypatch.setattr(azure_auth, "_shared", None)
    use_credential(monkeypatch, FixedTokenCredential)
    if auth is not None:
        monkeypatch.setenv("QUORLIX_AZURE_AUTH", auth)
    if not key_set:
        monkeypatch.delenv("AZURE_OPENAI_API_KEY")

    small, large = AzureOpenAIChat35(), AzureOpenAIChat4()

    for config in (small, large):
        assert config.auth == expected
        assert ("api_key" in vars(config)) == (expected == "key")
        assert ("azure_ad_token_provider" in vars(config)) == (expected == "entra")
    if expected == "entra":
        # One sign-in per process, shared by both deployments.
        assert small.azure_ad_token_provider is large.azure_ad_token_provider


@pytest.mark.parametrize(
    ("changes", "keywords", "message"),
    [
        ({"AZURE_OPENAI_API_KEY": None}, {}, "QUORLIX_AZURE_AUTH=entra"),
        ({"QUORLIX_AZURE_AUTH": "oauth"}, {}, "QUORLIX_AZURE_AUTH must be 'key' or 'entra'"),
        ({"QUORLIX_AZURE_AUTH": "entra"}, {"api_key": "sk-x"}, "exclude each other"),
        ({}, {"auth": "entra", "azure_ad_token_provider": "token"}, "callable"),
    ],
)
def test_sign_in_settings_errors_say_what_to_set(
    stub_azure_env, monkeypatch, changes, keywords, message
):
    for name, value in changes.items():
        if value is None:
            monkeypatch.delenv(name)
        else:
            monkeypatch.setenv(name, value)
    with pytest.raises(ConfigurationError, match=message):
        AzureOpenAIChat35(**keywords)


# --- every model the graph builds signs with the token -------------------------------------


@pytest.fixture
def entra_graph(entra_env, sqlite_sample_db, monkeypatch):
    credential = FixedTokenCredential()
    use_credential(monkeypatch, lambda: credential)
    database = CustomSQLDatabase.from_uri(sqlite_sample_db.url)
    graph = querymesh.SQLGraph(database, AzureOpenAIChat35(), AzureOpenAIChat4())
    yield graph, credential
    database._engine.dispose()


@pytest.mark.parametrize(
    ("attribute", "deployment"),
    [(name, CHAT4_DEPLOYMENT if name == "sql_generation_model" else CHAT35_DEPLOYMENT)
     for name in MODEL_ATTRIBUTES]
    + [("relevant_table_picker", CHAT35_DEPLOYMENT)],
)  # fmt: skip
def test_every_graph_model_sends_a_bearer_token_and_no_key(
    entra_graph, entra_env, attribute, deployment
):
    graph, credential = entra_graph
    model = getattr(graph, attribute)
    model = model.model if attribute == "relevant_table_picker" else model
    entra_env.reply(text("fine"))

    assert model.invoke("hello").content == "fine"

    request = entra_env.last_request()
    assert request.deployment == deployment
    assert request.headers.get("authorization") == f"Bearer {TOKEN}"
    assert "api-key" not in request.headers
    assert set(credential.scopes) == {(azure_auth.SCOPE,)}


# --- the command line ----------------------------------------------------------------------


@pytest.mark.parametrize(
    ("factory", "named"),
    [
        (RefusingCredential, ["RefusingCredential", "Invalid client secret"]),
        (offline_default_credential, ["EnvironmentCredential", "AzureCliCredential"]),
    ],
)
def test_a_credential_without_a_token_stops_ask_before_the_first_node(
    entra_env, monkeypatch, capsys, factory, named
):
    use_credential(monkeypatch, factory)

    code, out, err = run_cli(capsys, "ask", "How many orders?")

    assert code == 2, err
    assert error_lines(err) == err.strip().splitlines(), err  # one line, nothing else
    assert len(error_lines(err)) == 1
    for word in [*named, "QUORLIX_AZURE_AUTH", "az login", "AZURE_CLIENT_ID"]:
        assert word in err
    assert out == "" and entra_env.requests == []


@pytest.mark.parametrize(
    ("auth", "replies", "code", "statuses"),
    [
        ("key", [text("OK"), text("OK")], 0, [True, True]),
        ("entra", [text("OK"), text("OK")], 0, [True, True]),
        ("entra", [text("OK"), http_error(404, "DeploymentNotFound", retryable=False)], 1,
         [True, False]),
    ],
)  # fmt: skip
def test_models_check_reports_each_deployment_and_the_sign_in(
    entra_env, monkeypatch, capsys, auth, replies, code, statuses
):
    monkeypatch.setenv("QUORLIX_AZURE_AUTH", auth)
    use_credential(monkeypatch, FixedTokenCredential)
    entra_env.reply(*replies)

    done, out, err = run_cli(capsys, "models", "check", "--json")

    assert done == code, err
    report = json.loads(out)
    assert report["auth"] == auth and report["signed_in"] is True
    assert report["endpoint"] == entra_env.url
    rows = report["deployments"]
    assert [row["deployment"] for row in rows] == [CHAT35_DEPLOYMENT, CHAT4_DEPLOYMENT]
    assert [row["ok"] for row in rows] == statuses
    requests = entra_env.requests
    assert [request.deployment for request in requests] == [CHAT35_DEPLOYMENT, CHAT4_DEPLOYMENT]
    for request in requests:
        assert ("api-key" in request.headers) == (auth == "key")
        assert (request.headers.get("authorization") == f"Bearer {TOKEN}") == (auth == "entra")
    assert len(error_lines(err)) == (0 if code == 0 else 1)


def test_models_check_without_a_token_sends_nothing(entra_env, monkeypatch, capsys):
    use_credential(monkeypatch, RefusingCredential)

    code, out, err = run_cli(capsys, "models", "check")

    assert code == 2
    assert "entra" in out and "not checked" in out
    assert len(error_lines(err)) == 1 and "RefusingCredential" in err
    assert entra_env.requests == []
