"""The price table that turns token usage into a cost: ``QUORLIX_PRICES``.

Per deployment and per 1,000 tokens, as JSON text or the path of a JSON file::

    {"currency": "USD",
     "gpt-4o-prod": {"input": 0.0025, "output": 0.01},
     "gpt-35-turbo-prod": {"input": 0.0005, "output": 0.0015}}

``currency`` is optional and only labels the cost; every other key is a deployment name.
Kept apart from ``quorlix.usage`` so a command can check the table before anything heavy loads.
"""

from __future__ import annotations

import json
import math
from collections.abc import Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import Any

PRICES_VARIABLE = "QUORLIX_PRICES"


class PriceTableError(ValueError):
    """QUORLIX_PRICES is malformed; the message says what is wrong and how it should look."""


@dataclass(frozen=True)
class Price:
    input: float  # per 1,000 prompt tokens
    output: float  # per 1,000 completion tokens


@dataclass(frozen=True)
class Prices:
    by_deployment: Mapping[str, Price]
    currency: str | None = None

    def cost(self, deployment: str, prompt_tokens: int, completion_tokens: int) -> float | None:
        price = self.by_deployment.get(deployment)
        if price is None:
            return None
        return (prompt_tokens * price.input + completion_tokens * price.output) / 1000


def load_prices(value: str | None = None) -> Prices | None:
    """The price table from ``value`` or ``QUORLIX_PRICES``: JSON text or a JSON file's path.

    ``None`` when unset. Raises ``PriceTableError`` for anything malformed.
    """
    if value is None:
        from quorlix import config

        try:
            value = config.setting("prices") or ""
        except config.ConfigError as exc:
            raise PriceTableError(str(exc)) from None
    text = value
    text = text.strip()
    if not text:
        return None
    if text[0] not in "{[":
        path = Path(text).expanduser()
        try:
            text = path.read_text(encoding="utf-8")
        except OSError as exc:
            raise PriceTableError(
                f"{PRICES_VARIABLE} is neither a JSON object nor a readable file: {exc}"
            ) from None
    try:
        table = json.loads(text)
    except ValueError as exc:
        raise PriceTableError(f"{PRICES_VARIABLE} is not valid JSON: {exc}") from None
    if not isinstance(table, dict):
        raise PriceTableError(f"{PRICES_VARIABLE} must be a JSON object: {_SHAPE}")
    currency = table.pop("currency", None)
    if currency is not None and (not isinstance(currency, str) or not currency.strip()):
        raise PriceTableError(f'{PRICES_VARIABLE}: currency must be a text such as "USD"')
    prices = {name: _price(name, entry) for name, entry in table.items()}
    return Prices(prices, currency.strip() if currency else None)


_SHAPE = '{"DEPLOYMENT": {"input": PRICE_PER_1000, "output": PRICE_PER_1000}, ...}'


def _price(name: str, entry: Any) -> Price:
    if not isinstance(entry, dict) or set(entry) != {"input", "output"}:
        raise PriceTableError(
            f"{PRICES_VARIABLE}: the price of deployment {name!r} must be "
            f'{{"input": ..., "output": ...}} (per 1,000 tokens), got {entry!r}'
        )
    values = []
    for side in ("input", "output"):
        number = entry[side]
        if (
            isinstance(number, bool)
            or not isinstance(number, (int, float))
            or not math.isfinite(number)
            or number < 0
        ):
            raise PriceTableError(
                f"{PRICES_VARIABLE}: {side} price of deployment {name!r} must be a number of 0 "
                f"or more, got {number!r}"
            )
        values.append(float(number))
    return Price(*values)
