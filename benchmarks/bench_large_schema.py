"""Large catalogues: CustomSQLDatabase and the table shortlist against LangChain's SQLDatabase.

For SQLite databases of 10 to 20,000 tables (three rows each, every table with a key, a foreign
key, four ordinary columns; built in a temporary directory), in one run:

* build: constructing the wrapper (``from_uri``); LangChain's reflects every table here.
* list: the first ``get_usable_table_names()`` (what "table_names_lookup_node" asks).
* schema: then the first ``get_table_info`` of the two tables a question chose (what
  "relevant_schemas_node" asks), on the same fresh wrapper.
* index: ours only, building the shortlist's BM25 index (once per catalogue).
* prompt: characters of the table list the relevant-table picker's prompt carries: every name
  joined by ", " for LangChain's wrapper (and ours up to the 40-table threshold), the 20-table
  shortlist with columns above it.

The ratios that matter are ours at N tables against ours at 10 (build, schema) or at 50 (prompt),
and ours against LangChain's at the same N. LangChain's wrapper is skipped above --baseline-max
tables (default 5,000): past that its construction alone takes minutes.

Generating the schema is the slow part (SQLite's CREATE TABLE scans the whole schema table, so
building 20,000 tables takes minutes); --cache-dir keeps the generated files between runs.

    PYTHONPATH=python python benchmarks/bench_large_schema.py [--sizes 10,50,1000] [--quick]
"""

from __future__ import annotations

import argparse
import random
import sqlite3
import statistics
import sys
import tempfile
import time
import warnings
from pathlib import Path

AREAS = """billing sales fleet payroll warehouse marketing support audit legal clinic school
library hotel airline garden kitchen studio museum bakery pharmacy factory mining farming
fishing forestry shipping banking lending insurance trading energy water transit parking
postal catering cinema theatre stadium""".split()
THINGS = """invoice customer vehicle employee pallet campaign ticket contract patient student
book guest flight plant recipe session exhibit loaf prescription machine shift harvest catch
tree parcel account loan policy trade meter pipe route permit letter menu screening seat
member treatment appointment press episode""".split()
QUESTION = "What is the total amount of billing invoices for each sales customer?"
CHOSEN = ("billing_invoice", "sales_customer")
SIZES = (10, 50, 100, 1_000, 5_000, 20_000)
QUICK_SIZES = (10, 50, 100)


def table_names(count: int) -> list[str]:
    """``count`` names; the two tables the question needs are always among them."""
    names = [f"{area}_{thing}" for area in AREAS for thing in THINGS]
    rng = random.Random(count)
    rng.shuffle(names)
    extra = [f"{name}_{n}" for n in range(2, 20) for name in names]
    pool = [n for n in names + extra if n not in CHOSEN]
    return sorted([*CHOSEN, *pool[: count - len(CHOSEN)]])


def build(path: Path, count: int) -> None:
    names = table_names(count)
    rng = random.Random(7)
    script = ["BEGIN;"]
    for name in names:
        other = rng.choice(names)
        script.append(
            f"CREATE TABLE {name} (id INTEGER PRIMARY KEY, {other}_id INTEGER REFERENCES"
            f" {other}(id), status TEXT, amount REAL, created_at TEXT, note TEXT);"
            f"INSERT INTO {name} VALUES (1, 1, 'open', 9.5, '2026-01-02', 'a'),"
            " (2, 1, 'closed', 12.0, '2026-01-03', 'b'), (3, 2, 'open', 1.25, '2026-02-01', 'c');"
        )
    script.append("COMMIT;")
    connection = sqlite3.connect(path)
    try:
        connection.executescript("\n".join(script))
    finally:
        connection.close()


def database(folder: Path, count: int) -> Path:
    path = folder / f"tables_{count}.db"
    if not path.exists():
        started = time.perf_counter()
        partial = path.with_suffix(".partial")
        partial.unlink(missing_ok=True)
        build(partial, count)
        partial.rename(path)
        print(f"  (built {count} tables in {time.perf_counter() - started:.1f} s)", flush=True)
    return path


def ms(start: float) -> float:
    return (time.perf_counter() - start) * 1000


def measure(cls, url: str, *, ours: bool) -> dict[str, float]:
    started = time.perf_counter()
    db = cls.from_uri(url)
    figures = {"build": ms(started)}
    started = time.perf_counter()
    names = list(db.get_usable_table_names())
    figures["list"] = ms(started)
    started = time.perf_counter()
    db.get_table_info(list(CHOSEN))
    figures["schema"] = ms(started)
    if ours:
        from quorlix.function_calling.base import DEFAULT_SHORTLIST_THRESHOLD
        from quorlix.function_calling.shortlist import describe_shortlist, table_index

        started = time.perf_counter()
        index = table_index(db)
        figures["index"] = ms(started)
        if len(names) > DEFAULT_SHORTLIST_THRESHOLD:
            shortlist = index.rank(QUESTION, 20)
            figures["prompt"] = len(describe_shortlist(index, shortlist, len(names)))
            figures["found"] = sum(name in shortlist for name in CHOSEN)
        else:
            figures["prompt"] = len(", ".join(names))
            figures["found"] = len(CHOSEN)
    else:
        figures["prompt"] = len(", ".join(names))
    db._engine.dispose()
    return figures


def best(runs: list[dict[str, float]]) -> dict[str, float]:
    return {key: min(run[key] for run in runs) for key in runs[0]}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", help="comma-separated table counts")
    parser.add_argument("--quick", action="store_true", help=f"sizes {QUICK_SIZES}")
    parser.add_argument("--repeat", type=int, default=3, help="runs of ours per size (best)")
    parser.add_argument("--baseline-max", type=int, default=5_000)
    parser.add_argument("--cache-dir", type=Path, help="keep generated databases here")
    args = parser.parse_args()
    sizes = QUICK_SIZES if args.quick else SIZES
    if args.sizes:
        sizes = tuple(int(size) for size in args.sizes.split(","))

    warnings.filterwarnings("ignore")
    from langchain_community.utilities.sql_database import SQLDatabase
    from quorlix.querymesh.custom_sql import CustomSQLDatabase

    with tempfile.TemporaryDirectory(prefix="quorlix-bench-") as scratch:
        folder = args.cache_dir or Path(scratch)
        folder.mkdir(parents=True, exist_ok=True)
        rows = {}
        for count in sizes:
            url = f"sqlite:///{database(folder, count)}"
            ours = best(
                [measure(CustomSQLDatabase, url, ours=True) for _ in range(max(1, args.repeat))]
            )
            theirs = None
            if count <= args.baseline_max:
                try:
                    theirs = measure(SQLDatabase, url, ours=False)
                except (Exception, RecursionError) as err:
                    # Its reflection follows foreign keys recursively, in an order that
                    # changes from run to run: a long chain can exhaust Python's stack.
                    theirs = {"failed": type(err).__name__}
            rows[count] = (ours, theirs)
            report_row(count, ours, theirs)
    summary(rows)
    return 0


HEADER = (
    f"{'tables':>7} | {'build ms':>9} {'LC':>9} | {'list ms':>8} {'LC':>8} |"
    f" {'schema ms':>9} {'LC':>9} | {'index ms':>8} | {'prompt':>7} {'LC':>8} | found"
)


def report_row(count: int, ours: dict, theirs: dict | None) -> None:
    if count == min_size_seen.setdefault("first", count):
        print(HEADER)
    lc = theirs or {}
    if "failed" in lc:
        print(f"  (LangChain's SQLDatabase failed at {count} tables: {lc['failed']})")

    def other(key: str, width: int, digits: int = 1) -> str:
        return f"{lc[key]:>{width}.{digits}f}" if key in lc else f"{'skipped':>{width}}"

    print(
        f"{count:>7} | {ours['build']:>9.1f} {other('build', 9)} | {ours['list']:>8.1f}"
        f" {other('list', 8)} | {ours['schema']:>9.1f} {other('schema', 9)} |"
        f" {ours['index']:>8.1f} | {ours['prompt']:>7.0f} {other('prompt', 8, 0)} |"
        f" {ours['found']:.0f}/{len(CHOSEN)}",
        flush=True,
    )


min_size_seen: dict[str, int] = {}


def summary(rows: dict[int, tuple[dict, dict | None]]) -> None:
    print()
    print("Skipped: LangChain's SQLDatabase above --baseline-max tables (construction too long).")
    sizes = sorted(rows)
    smallest = sizes[0]
    for count in sizes[1:]:
        ours, theirs = rows[count]
        base = rows[smallest][0]
        line = (
            f"{count:>6} tables: build {ours['build'] / base['build']:.2f}x,"
            f" schema {ours['schema'] / base['schema']:.2f}x of ours at {smallest}"
        )
        if 50 in rows:
            line += f"; prompt {ours['prompt'] / rows[50][0]['prompt']:.2f}x of ours at 50"
        if theirs and "failed" not in theirs:
            line += (
                f"; vs LangChain: build {ours['build'] / theirs['build']:.3f}x,"
                f" schema {ours['schema'] / theirs['schema']:.2f}x,"
                f" prompt {ours['prompt'] / theirs['prompt']:.2f}x"
            )
        print(line)
    medians = statistics.median(rows[c][0]["build"] for c in sizes)
    print(f"median build of ours: {medians:.1f} ms")


if __name__ == "__main__":
    sys.exit(main())
