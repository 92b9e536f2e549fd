"""The package's layers, read from its sources: only the command imports the command, and no
two of quorlix's parts import each other, directly or round about."""

from __future__ import annotations

import ast
from collections import defaultdict
from pathlib import Path

import quorlix

ROOT = Path(quorlix.__file__).parent


def module_name(path: Path) -> str:
    parts = list(path.relative_to(ROOT.parent).with_suffix("").parts)
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def imported_names(path: Path) -> set[str]:
    """Every quorlix module the file imports, at its top or inside a function."""
    package = module_name(path).split(".")
    if path.name != "__init__.py":
        package = package[:-1]
    found: set[str] = set()
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if isinstance(node, ast.Import):
            found.update(alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom):
            base = package[: len(package) - node.level + 1] if node.level else []
            module = ".".join([*base, *([node.module] if node.module else [])])
            found.add(module)
            found.update(f"{module}.{alias.name}" for alias in node.names)
    return {name for name in found if name.startswith("quorlix.")}


def part_of(name: str) -> str | None:
    """The part of quorlix a module belongs to: its subpackage or top-level module."""
    first = name.split(".")[1]
    is_part = (ROOT / first).is_dir() or (ROOT / f"{first}.py").is_file()
    return first if is_part else None


def part_imports() -> dict[str, dict[str, set[str]]]:
    """part -> part it imports -> the modules that do."""
    edges: dict[str, dict[str, set[str]]] = defaultdict(lambda: defaultdict(set))
    for path in ROOT.rglob("*.py"):
        importer = module_name(path)
        source = part_of(importer) if "." in importer else None
        for name in imported_names(path):
            target = part_of(name)
            if source and target and target != source:
                edges[source][target].add(importer)
    return edges


def cycle_in(edges: dict[str, dict[str, set[str]]]) -> list[str] | None:
    done: set[str] = set()

    def visit(part: str, path: list[str]) -> list[str] | None:
        if part in path:
            return [*path[path.index(part) :], part]
        if part in done:
            return None
        for target in sorted(edges.get(part, {})):
            if found := visit(target, [*path, part]):
                return found
        done.add(part)
        return None

    for part in sorted(edges):
        if found := visit(part, []):
            return found
    return None


def test_only_the_command_imports_the_command_and_parts_import_no_cycle():
    edges = part_imports()
    into_cli = {
        importer
        for source, targets in edges.items()
        if source != "cli"
        for importer in targets.get("cli", ())
    }
    assert not into_cli, f"modules outside quorlix.cli import it: {sorted(into_cli)}"
    assert cycle_in(edges) is None, f"parts of quorlix import each other: {cycle_in(edges)}"
