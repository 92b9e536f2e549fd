"""A generated SQLite catalogue of thousands of tables, with questions whose tables are known.

Tables are named ``<area>_<thing>`` (``billing_invoice``, ``fleet_vehicle``): every area word
and every thing word is shared by dozens of tables, as in a real warehouse, so a question has
to match both. Each table has a key, a foreign key to another table, a few common columns and
one column of its own. Questions ask about one table (by its area and thing, in the plural) or
about two joined tables; some name the table's own column instead of its area.
"""

from __future__ import annotations

import random
import sqlite3
from dataclasses import dataclass
from pathlib import Path

AREAS = """billing sales fleet payroll warehouse marketing support audit legal clinic school
library hotel airline garden kitchen studio museum bakery pharmacy factory mining farming
fishing forestry shipping banking lending insurance trading energy water transit parking
postal catering cinema theatre stadium gym spa salon printing publishing radio television
gaming robotics research charity church embassy prison harbour railway bridge tunnel
festival auction vineyard brewery dairy""".split()

THINGS = """invoice customer vehicle employee pallet campaign ticket contract patient student
book guest flight plant recipe session exhibit loaf prescription machine shift harvest catch
tree parcel account loan policy trade meter pipe route permit letter menu screening seat
member treatment appointment press episode broadcast player robot grant donor visitor visa
inmate berth train inspection stall lot barrel cheese bottle supplier shipment payment refund
order device sensor badge locker voucher coupon courier driver tenant lease boiler valve
crane forklift tractor licence warranty claim lawsuit judge sample specimen dose vaccine
ward bed shelf aisle kiosk terminal cable antenna satellite drone""".split()

ADJECTIVES = """amber brisk coral dusky ember frosty golden hazel ivory jade""".split()
NOUNS = """anchor beacon cipher dial ember flask gauge hinge ingot jetty""".split()
COMMON = ["status TEXT", "created_at TEXT", "amount REAL", "note TEXT"]


@dataclass(frozen=True)
class Question:
    text: str
    gold: tuple[str, ...]


@dataclass
class LargeSchema:
    path: Path
    tables: list[str]
    signature: dict[str, str]  # table -> its own column
    refers_to: dict[str, str]  # table -> the table its foreign key names


def build_large_schema(path: Path, count: int, seed: int = 13) -> LargeSchema:
    """A SQLite file with ``count`` tables (at most len(AREAS) * len(THINGS))."""
    rng = random.Random(seed)
    names = [f"{area}_{thing}" for area in AREAS for thing in THINGS]
    if count > len(names):
        raise ValueError(f"at most {len(names)} tables can be generated")
    rng.shuffle(names)
    tables = sorted(names[:count])
    signature = {t: f"{rng.choice(ADJECTIVES)}_{rng.choice(NOUNS)}" for t in tables}
    refers_to = {t: rng.choice(tables) for t in tables}
    statements = ["BEGIN;"]
    for table in tables:
        other = refers_to[table]
        statements.append(
            f"CREATE TABLE {table} (id INTEGER PRIMARY KEY, {other}_id INTEGER"
            f" REFERENCES {other}(id), {', '.join(COMMON)}, {signature[table]} TEXT);"
        )
    statements.append("COMMIT;")
    connection = sqlite3.connect(path)
    try:
        connection.executescript("\n".join(statements))
    finally:
        connection.close()
    return LargeSchema(path, tables, signature, refers_to)


def _plural(word: str) -> str:
    if word.endswith("y") and word[-2] not in "aeiou":
        return word[:-1] + "ies"
    if word.endswith(("s", "x", "ch", "sh")):
        return word + "es"
    return word + "s"


def questions(schema: LargeSchema, count: int, seed: int = 7) -> list[Question]:
    """Questions over ``schema``: a third about one table, a third naming its own column, a
    third about two tables joined by a foreign key."""
    rng = random.Random(seed)
    asked: list[Question] = []
    for number in range(count):
        table = rng.choice(schema.tables)
        area, thing = table.split("_", 1)
        kind = number % 3
        if kind == 0:
            text = f"How many {_plural(thing)} does {area} have with status open?"
            asked.append(Question(text, (table,)))
        elif kind == 1:
            column = schema.signature[table].replace("_", " ")
            text = f"List the {column} of every {area} {thing} created this year."
            asked.append(Question(text, (table,)))
        else:
            other = schema.refers_to[table]
            if other == table:
                continue
            other_area, other_thing = other.split("_", 1)
            text = (
                f"What is the total amount of {area} {_plural(thing)} for each"
                f" {other_area} {other_thing}?"
            )
            asked.append(Question(text, (table, other)))
    return asked
