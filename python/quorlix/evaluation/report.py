"""The summary of an evaluation: accuracy overall, by difficulty and by database, failures by
kind, model usage and time per question; as a JSON-ready dictionary and as text."""

from __future__ import annotations

import math
from collections import Counter, defaultdict
from collections.abc import Iterable
from typing import Any

from .compare import Comparison

UNRATED = "unrated"
# Difficulty labels of the built-in set, Spider and BIRD, shown easiest first.
DIFFICULTY_ORDER = ("easy", "simple", "medium", "moderate", "hard", "challenging", "extra")


def summarise(records: Iterable[dict[str, Any]], comparison: Comparison) -> dict[str, Any]:
    records = list(records)
    scored = [record for record in records if record["verdict"] in ("correct", "wrong")]
    broken = [record for record in records if record["verdict"] == "broken"]
    wrong = [record for record in scored if record["verdict"] == "wrong"]
    reported = [record for record in scored if record.get("tokens")]
    seconds = sorted(record["seconds"] for record in scored if record.get("seconds") is not None)
    return {
        "metric": comparison.name,
        "official": comparison.official,
        "comparison": comparison.describe(),
        **_share(scored),
        "broken": len(broken),
        "questions": len(records),
        "by_difficulty": _grouped(scored, "difficulty", _difficulty_key),
        "by_database": _grouped(scored, "db", lambda name: (name,)),
        "errors": dict(Counter(record["error_kind"] for record in wrong).most_common()),
        "broken_items": [
            {"id": record["id"], "db": record["db"], "reason": record["reason"]}
            for record in broken
        ],
        "model_calls_per_question": _mean([record.get("model_calls") or 0 for record in scored]),
        # Averaged over the questions whose model answers reported usage; None: not reported.
        "tokens_per_question": {
            key: _mean([record["tokens"][key] for record in reported])
            for key in ("input_tokens", "output_tokens", "total_tokens")
        }
        if reported
        else None,
        "seconds_per_question": {"p50": _percentile(seconds, 50), "p95": _percentile(seconds, 95)},
    }


def _share(records: list[dict[str, Any]]) -> dict[str, Any]:
    correct = sum(record["verdict"] == "correct" for record in records)
    accuracy = correct / len(records) if records else None
    return {"accuracy": accuracy, "correct": correct, "scored": len(records)}


def _grouped(records: list[dict[str, Any]], key: str, order) -> dict[str, dict[str, Any]]:
    groups: dict[str, list[dict[str, Any]]] = defaultdict(list)
    for record in records:
        groups[record.get(key) or UNRATED].append(record)
    return {name: _share(groups[name]) for name in sorted(groups, key=order)}


def _difficulty_key(name: str) -> tuple:
    lowered = name.lower()
    rank = DIFFICULTY_ORDER.index(lowered) if lowered in DIFFICULTY_ORDER else len(DIFFICULTY_ORDER)
    return (name == UNRATED, rank, lowered)


def _mean(values: list[float]) -> float | None:
    return sum(values) / len(values) if values else None


def _percentile(ordered: list[float], percent: float) -> float | None:
    """Linear interpolation between the closest ranks."""
    if not ordered:
        return None
    position = (len(ordered) - 1) * percent / 100
    low, high = math.floor(position), math.ceil(position)
    value = ordered[low] + (ordered[high] - ordered[low]) * (position - low)
    return round(value, 3)


def render(summary: dict[str, Any], source: str) -> str:
    lines = [f"Execution accuracy ({summary['comparison']}) on {source}:"]
    lines.append(f"  overall        {_figure(summary)}")
    for title, key in (("by difficulty", "by_difficulty"), ("by database", "by_database")):
        groups = summary[key]
        if len(groups) > 1 or (key == "by_difficulty" and UNRATED not in groups and groups):
            lines.append(f"  {title}:")
            width = max(len(name) for name in groups)
            lines.extend(f"    {name:<{width}}  {_figure(share)}" for name, share in groups.items())
    if summary["broken"]:
        lines.append(f"  broken gold queries (left out of the score): {summary['broken']}")
        lines.extend(
            f"    {item['db']}/{item['id']}: {item['reason']}" for item in summary["broken_items"]
        )
    if summary["errors"]:
        lines.append("  wrong answers by kind:")
        lines.extend(f"    {kind:<18} {count}" for kind, count in summary["errors"].items())
    calls = summary["model_calls_per_question"]
    if calls is not None:
        lines.append(f"  model calls per question   {calls:.1f}")
    tokens = summary["tokens_per_question"]
    if tokens is None:
        lines.append("  tokens per question        not reported by the model")
    else:
        lines.append(
            f"  tokens per question        {tokens['total_tokens']:.0f} "
            f"({tokens['input_tokens']:.0f} in, {tokens['output_tokens']:.0f} out)"
        )
    timing = summary["seconds_per_question"]
    if timing["p50"] is not None:
        lines.append(
            f"  seconds per question       p50 {timing['p50']:.1f}, p95 {timing['p95']:.1f}"
        )
    return "\n".join(lines)


def _figure(share: dict[str, Any]) -> str:
    if not share["scored"]:
        return "no question scored"
    return f"{100 * share['accuracy']:5.1f}%  ({share['correct']}/{share['scored']})"
