"""``python -m quorlix.config --markdown``: print the README's configuration tables;
``--write README.md`` replaces them in that file; without options, check the environment."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

from . import Config, ConfigError
from .markdown import readme_tables, tables


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m quorlix.config", description=__doc__)
    parser.add_argument("--markdown", action="store_true", help="print the README's tables")
    parser.add_argument("--write", metavar="README", help="replace the tables in this file")
    args = parser.parse_args(argv)
    if args.markdown:
        print(tables())
        return 0
    if args.write:
        path = Path(args.write)
        text = path.read_text(encoding="utf-8")
        old = readme_tables(text)
        if not old:
            print(f"{path}: the configuration table markers are missing", file=sys.stderr)
            return 1
        path.write_text(text.replace(old, tables()), encoding="utf-8")
        return 0
    try:
        print(repr(Config.from_environ()))
    except ConfigError as error:
        for problem in error.problems:
            print(f"quorlix: error: {problem}", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
