"""``quorlix models check``: the model settings, the sign-in and one tiny call per deployment
(provider ``azure``) or per model (provider ``openai``).

The request is built as the graph builds its models (temperature 0, the settings' own time-out
and retries), so a deployment that passes here accepts the graph's calls too.
"""

from __future__ import annotations

import argparse
import time
from typing import Any

from .common import (
    EXIT_FAILED,
    EXIT_OK,
    EXIT_USAGE,
    describe,
    error,
    model_settings,
    print_json,
)

HELP = "check the model settings, the sign-in and each deployment or model"
DESCRIPTION = """\
Provider azure: show the Azure OpenAI endpoint, the deployments and model names, and how quorlix
signs in (QUORLIX_AZURE_AUTH); then sign in and send one tiny request to each deployment.
Provider openai: show the base URL and the models, then send one tiny request to each model."""

# A short prompt and a small cap keep the check to a handful of tokens per deployment.
PING = "Reply with the single word OK."
PING_MAX_TOKENS = 5
AUTH_SHOWN = {
    "key": "key (AZURE_OPENAI_API_KEY, api-key header)",
    "entra": "entra (Microsoft Entra ID bearer token, DefaultAzureCredential)",
}


def add_parser(commands: argparse._SubParsersAction) -> None:
    parser = commands.add_parser("models", help=HELP, description=DESCRIPTION)
    actions = parser.add_subparsers(dest="models_command", metavar="{check}", required=True)
    check = actions.add_parser("check", help=HELP, description=DESCRIPTION)
    check.add_argument("--json", action="store_true", help="print the result as JSON")
    check.set_defaults(run=run_check)


def _deployments(config_35: Any, config_4: Any) -> list[dict[str, Any]]:
    from quorlix.providers import AZURE, provider_of

    azure = provider_of(config_35) == AZURE
    rows: list[dict[str, Any]] = []
    for variable, config in (
        ("QUORLIX_CHAT35_DEPLOYMENT" if azure else "QUORLIX_CHAT35_MODEL", config_35),
        ("QUORLIX_CHAT4_DEPLOYMENT" if azure else "QUORLIX_CHAT4_MODEL", config_4),
    ):
        rows.append(
            {
                "variable": variable,
                # Provider openai has no deployments: the model answers under its own name.
                "deployment": config.azure_deployment if azure else config.model,
                "model": config.model,
                "settings": config,
                "ok": None,
                "detail": "",
                "seconds": None,
            }
        )
    return rows


def _ping(config: Any) -> tuple[bool, str]:
    from quorlix.providers import chat_model

    model = chat_model(config, max_tokens=PING_MAX_TOKENS, temperature=0)
    try:
        reply = model.invoke(PING)
    except Exception as exc:
        return False, describe(exc)
    answer = " ".join(str(reply.content).split())
    return True, f"answered {answer!r}" if answer else "answered"


def run_check(args: argparse.Namespace) -> int:
    from quorlix.azure_auth import SignInError, check_sign_in

    config_35, config_4 = model_settings()
    rows = _deployments(config_35, config_4)
    signed_in, sign_in_problem = True, None
    try:
        check_sign_in(config_35, config_4)
    except SignInError as exc:
        signed_in, sign_in_problem = False, str(exc)

    if signed_in:
        answered: dict[tuple[str, str], tuple[bool, str, float]] = {}
        for row in rows:
            # Both roles may share one deployment; it is asked once.
            key = (row["deployment"], row["model"])
            if key not in answered:
                started = time.monotonic()
                ok, detail = _ping(row["settings"])
                answered[key] = (ok, detail, time.monotonic() - started)
            row["ok"], row["detail"], row["seconds"] = answered[key]

    from quorlix.providers import provider_of

    report = {
        "provider": provider_of(config_35),
        "endpoint": config_35.endpoint,
        "api_version": getattr(config_35, "api_version", None),
        "auth": config_35.auth,
        "signed_in": signed_in,
        "deployments": [
            {name: value for name, value in row.items() if name != "settings"} for row in rows
        ],
    }
    if args.json:
        print_json(report)
    else:
        _print_report(report)

    if sign_in_problem is not None:
        error(sign_in_problem)
        return EXIT_USAGE
    failed = [row["deployment"] for row in rows if not row["ok"]]
    if failed:
        kind = "deployment(s)" if report["provider"] == "azure" else "model(s)"
        error(f"{kind} {', '.join(dict.fromkeys(failed))} did not answer; see above")
        return EXIT_FAILED
    return EXIT_OK


def _print_report(report: dict[str, Any]) -> None:
    if report["provider"] != "azure":
        print("OpenAI-compatible settings (QUORLIX_PROVIDER=openai):")
        print(f"  base URL     {report['endpoint']}")
        print("Models:")
        for row in report["deployments"]:
            print(f"  {row['variable']:<26} {row['model']}  {_status(row)}")
        return
    print("Azure OpenAI settings:")
    print(f"  endpoint     {report['endpoint']}")
    print(f"  api version  {report['api_version']}")
    print(f"  sign-in      {AUTH_SHOWN.get(report['auth'], report['auth'])}")
    if not report["signed_in"]:
        print("  signed in    no (no request sent)")
    print("Deployments:")
    for row in report["deployments"]:
        shown = f"{row['deployment']}  (model {row['model']})"
        print(f"  {row['variable']:<26} {shown}  {_status(row)}")


def _status(row: dict[str, Any]) -> str:
    if row["ok"] is None:
        return "not checked"
    if row["ok"]:
        return f"ok in {row['seconds']:.2f}s, {row['detail']}"
    return f"FAILED: {row['detail']}"
