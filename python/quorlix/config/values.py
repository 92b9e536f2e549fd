"""How a setting's text becomes a value: each reader raises ``Invalid`` with what it expects."""

from __future__ import annotations

import math
import re
from collections.abc import Callable
from urllib.parse import urlsplit

KiB = 1024
MiB = 1024 * KiB
GiB = 1024 * MiB

_SIZE = re.compile(r"^(\d+(?:\.\d+)?)\s*(?:([KMGT])(?:I?B)?|B)?$", re.IGNORECASE)
_UNITS = {None: 1, "K": KiB, "M": MiB, "G": GiB, "T": 1024 * GiB}


class Invalid(ValueError):
    """A setting's text is not what it must be; the message completes '<VARIABLE> must be ...'."""


def text(value: str) -> str:
    return value


def url(value: str) -> str:
    return url_like("https://my-resource.openai.azure.com/")(value)


def url_like(example: str) -> Callable[[str], str]:
    def read(value: str) -> str:
        parts = urlsplit(value)
        if parts.scheme not in ("http", "https") or not parts.netloc:
            raise Invalid(f"an http(s) URL such as {example}")
        return value

    return read


def choice(*allowed: str) -> Callable[[str], str]:
    def read(value: str) -> str:
        chosen = value.lower()
        if chosen not in allowed:
            quoted = ", ".join(repr(name) for name in allowed)
            raise Invalid(" or ".join(quoted.rsplit(", ", 1)))
        return chosen

    return read


def seconds(value: str) -> float:
    try:
        number = float(value)
    except ValueError:
        number = math.nan
    if not (math.isfinite(number) and number > 0):
        raise Invalid("a positive number of seconds")
    return number


def whole_number(minimum: int, what: str = "") -> Callable[[str], int]:
    unit = f" {what}" if what else ""

    def read(value: str) -> int:
        if not value.isdigit() or int(value) < minimum:
            raise Invalid(f"a whole number{unit} of at least {minimum}")
        return int(value)

    return read


def size(minimum: int, what: str, example: str) -> Callable[[str], int]:
    """Bytes (or characters), or a number with a K, M, G or T suffix (powers of 1024; 2G, 2GB
    and 2GiB agree)."""
    floor = f" of at least {_shown(minimum)}" if minimum > 1 else ""

    def read(value: str) -> int:
        match = _SIZE.match(value)
        number = None
        if match:
            unit = match.group(2).upper() if match.group(2) else None
            number = int(float(match.group(1)) * _UNITS[unit])
        if number is None or number < max(minimum, 1 if minimum else 0):
            raise Invalid(
                f"{what}, optionally with a K, M, G or T suffix{floor} (such as {example})"
            )
        return number

    return read


def _shown(count: int) -> str:
    for suffix, unit in (("G", GiB), ("M", MiB), ("K", KiB)):
        if count % unit == 0:
            return f"{count // unit}{suffix}"
    return str(count)
