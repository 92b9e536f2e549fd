"""What a model call's span says, in OpenTelemetry's GenAI vocabulary, read from LangChain's
callback arguments: who was asked (system, model, deployment), what it cost (tokens), how it
ended (finish reasons). Prompt and completion texts only when content recording is on."""

from __future__ import annotations

import json
from typing import Any

# LangChain's provider names (its "ls_provider" run metadata) in the GenAI conventions' words.
SYSTEMS = {"azure": "az.ai.openai", "openai": "openai"}
PROVIDERS = {"azure": "azure.ai.openai", "openai": "openai"}
REQUEST_PARAMETERS = {
    "temperature": "gen_ai.request.temperature",
    "top_p": "gen_ai.request.top_p",
    "max_tokens": "gen_ai.request.max_tokens",
    "max_completion_tokens": "gen_ai.request.max_tokens",
    "seed": "gen_ai.request.seed",
}


def deployment_of(metadata: dict, params: dict) -> str:
    """The deployment that answers (for Azure, what a request names), or the model."""
    return str(
        params.get("azure_deployment")
        or params.get("deployment_name")
        or metadata.get("ls_model_name")
        or params.get("model")
        or params.get("model_name")
        or "unknown"
    )


def request_attributes(metadata: dict, params: dict) -> dict[str, Any]:
    provider = str(metadata.get("ls_provider") or params.get("_type") or "unknown")
    deployment = deployment_of(metadata, params)
    model = str(
        metadata.get("ls_model_name") or params.get("model") or params.get("model_name") or ""
    )
    attributes: dict[str, Any] = {
        "gen_ai.operation.name": "chat",
        "gen_ai.system": SYSTEMS.get(provider, provider),
        "gen_ai.provider.name": PROVIDERS.get(provider, provider),
        "gen_ai.request.model": model or deployment,
        "quorlix.model.deployment": deployment,
    }
    for name, key in REQUEST_PARAMETERS.items():
        value = params.get(name)
        if isinstance(value, int | float) and not isinstance(value, bool):
            attributes[key] = value
    return attributes


def response_attributes(response: Any) -> dict[str, Any]:
    """Tokens, finish reasons and the answering model of an ``LLMResult``."""
    attributes: dict[str, Any] = {}
    reasons: list[str] = []
    usage = None
    for generations in getattr(response, "generations", None) or []:
        for generation in generations:
            info = getattr(generation, "generation_info", None) or {}
            if info.get("finish_reason"):
                reasons.append(str(info["finish_reason"]))
            message = getattr(generation, "message", None)
            usage = usage or getattr(message, "usage_metadata", None)
            metadata = getattr(message, "response_metadata", None) or {}
            if metadata.get("model_name"):
                attributes["gen_ai.response.model"] = str(metadata["model_name"])
            if metadata.get("id"):
                attributes["gen_ai.response.id"] = str(metadata["id"])
    if usage:
        attributes["gen_ai.usage.input_tokens"] = int(usage.get("input_tokens") or 0)
        attributes["gen_ai.usage.output_tokens"] = int(usage.get("output_tokens") or 0)
    else:
        token_usage = (getattr(response, "llm_output", None) or {}).get("token_usage") or {}
        if token_usage.get("prompt_tokens") is not None:
            attributes["gen_ai.usage.input_tokens"] = int(token_usage["prompt_tokens"])
            attributes["gen_ai.usage.output_tokens"] = int(
                token_usage.get("completion_tokens") or 0
            )
    if reasons:
        attributes["gen_ai.response.finish_reasons"] = reasons
    return attributes


def prompt_text(messages: Any) -> str:
    """The messages sent, as JSON: role and content of each."""
    shown = []
    for batch in messages or []:
        for message in batch if isinstance(batch, list) else [batch]:
            shown.append(
                {
                    "role": getattr(message, "type", "unknown"),
                    "content": getattr(message, "content", str(message)),
                }
            )
    return json.dumps(shown, ensure_ascii=False, default=str)


def completion_text(response: Any) -> str:
    """What came back, as JSON: content and tool-call arguments (structured output)."""
    shown = []
    for generations in getattr(response, "generations", None) or []:
        for generation in generations:
            message = getattr(generation, "message", None)
            item: dict[str, Any] = {"content": getattr(message, "content", generation.text)}
            calls = getattr(message, "tool_calls", None)
            if calls:
                item["tool_calls"] = [
                    {"name": call.get("name"), "arguments": call.get("args")} for call in calls
                ]
            shown.append(item)
    return json.dumps(shown, ensure_ascii=False, default=str)
