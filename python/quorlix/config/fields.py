"""What each setting is: its variable, default, how it is read, and how the README shows it."""

from __future__ import annotations

import dataclasses
from collections.abc import Callable
from typing import Any


@dataclasses.dataclass(frozen=True)
class Setting:
    variable: str
    description: str  # one user-facing line: the README's "Meaning" column
    default: Any  # a value, or a function that computes it (such as from the cores)
    read: Callable[[str], Any]  # the stripped text -> the value; raises on a bad one
    shown: str  # the README's "Default" column
    group: str  # which README table
    secret: bool = False  # never echoed in messages or reprs

    @property
    def required(self) -> bool:
        return self.shown.startswith("required")


def setting_field(
    variable: str,
    description: str,
    default: Any,
    read: Callable[[str], Any],
    *,
    shown: str | None = None,
    group: str = "other",
    secret: bool = False,
) -> Any:
    if shown is None:
        shown = f"`{default}`"
    spec = Setting(variable, description, default, read, shown, group, secret)
    if callable(default):
        return dataclasses.field(default_factory=default, metadata={"setting": spec})
    return dataclasses.field(default=default, metadata={"setting": spec})


# Read by the database utilities (quorlix.dbkeeper) themselves, once, when they are imported;
# documented beside the others but not part of Config. (variable, meaning, default)
DATABASE_UTILITY_VARIABLES: tuple[tuple[str, str, str], ...] = (
    ("db_user", "user of the database utilities (`quorlix.dbkeeper`, `quorlix db`)", "`root`"),
    ("db_password", "password of the database utilities", "`kelp`"),
    ("db_host", "server host of the database utilities", "required"),
    ("db_name", "database name of the database utilities", "required"),
)
