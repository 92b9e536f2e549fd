"""The table catalogue of a database, read when first needed instead of when the wrapper is built.

LangChain's ``SQLDatabase`` lists every table and reflects all of them in its constructor:
seconds at a few thousand tables, before any question is asked. Here the constructor only
records its options; the table names are listed on first use and cached, and each table is
reflected on its own when its information is first asked for (``table_info``). ``refresh()``
drops everything, and ``catalogue_max_age`` does so by itself after that many seconds.
"""

from __future__ import annotations

import inspect as pyinspect
import threading
import time
from collections import OrderedDict
from collections.abc import Hashable
from typing import Any, Generic, TypeVar

from langchain_community.utilities.sql_database import SQLDatabase
from sqlalchemy import MetaData, inspect
from sqlalchemy.engine import Engine

from .scan import TableSketch, scan_catalogue

V = TypeVar("V")

_BASE_SIGNATURE = pyinspect.signature(SQLDatabase.__init__)


class BoundedCache(Generic[V]):
    """A thread-safe least-recently-used map with at most ``size`` entries."""

    def __init__(self, size: int) -> None:
        self._size = size
        self._entries: OrderedDict[Hashable, V] = OrderedDict()
        self._lock = threading.Lock()

    def get(self, key: Hashable) -> V | None:
        with self._lock:
            value = self._entries.get(key)
            if value is not None:
                self._entries.move_to_end(key)
            return value

    def put(self, key: Hashable, value: V) -> None:
        with self._lock:
            self._entries[key] = value
            self._entries.move_to_end(key)
            while len(self._entries) > self._size:
                self._entries.popitem(last=False)

    def clear(self) -> None:
        with self._lock:
            self._entries.clear()

    def __len__(self) -> int:
        return len(self._entries)


class LazyCatalogue:
    """Mixin for an ``SQLDatabase`` subclass: the base class's state, without its start-up reads.

    ``_init_catalogue`` takes exactly the base constructor's arguments and sets the attributes
    the base class's methods read; ``_all_tables`` and ``_usable_tables`` are then computed on
    first use.
    """

    def _init_catalogue(
        self, engine: Engine, args: tuple, kwargs: dict, *, max_age: float | None
    ) -> None:
        bound = _BASE_SIGNATURE.bind(self, engine, *args, **kwargs)
        bound.apply_defaults()
        options = dict(bound.arguments)
        options.pop("self")
        include = options["include_tables"]
        ignore = options["ignore_tables"]
        if include and ignore:
            raise ValueError("Cannot specify both include_tables and ignore_tables")
        if not isinstance(options["sample_rows_in_table_info"], int):
            raise TypeError("sample_rows_in_table_info must be an integer")
        custom = options["custom_table_info"]
        if custom and not isinstance(custom, dict):
            raise TypeError(
                "table_info must be a dictionary with table names as keys and the "
                "desired table info as values"
            )
        self._engine = engine
        self._schema = options["schema"]
        self._include_tables = set(include) if include else set()
        self._ignore_tables = set(ignore) if ignore else set()
        self._sample_rows_in_table_info = options["sample_rows_in_table_info"]
        self._indexes_in_table_info = options["indexes_in_table_info"]
        self._custom_table_info = custom
        self._max_string_length = options["max_string_length"]
        self._view_support = options["view_support"]
        self._metadata = options["metadata"] or MetaData()
        self._catalogue_max_age = max_age
        self._catalogue_lock = threading.RLock()
        self._catalogue_version = 0
        self._drop_catalogue()
        if self._include_tables or self._ignore_tables:
            # Naming a table that is not there is a mistake worth reporting at once, and the
            # list is needed for that.
            named = {"include": self._include_tables, "ignore": self._ignore_tables}
            for label, given in named.items():
                missing = given - self._all_tables
                if missing:
                    raise ValueError(f"{label}_tables {missing} not found in database")

    # --- what the base class reads ---------------------------------------------------------

    @property
    def _inspector(self) -> Any:
        # A fresh inspector per catalogue: SQLAlchemy's keeps everything it ever read.
        with self._catalogue_lock:
            if self._inspector_instance is None:
                self._inspector_instance = inspect(self._engine)
            return self._inspector_instance

    @property
    def _all_tables(self) -> set[str]:
        return self._catalogue()[0]

    @property
    def _usable_tables(self) -> set[str]:
        return self._catalogue()[1]

    def get_usable_table_names(self) -> list[str]:
        """The names of the tables questions may use, sorted; listed once, then cached."""
        return list(self._catalogue()[2])

    # --- catalogue ---------------------------------------------------------------------------

    @property
    def catalogue_version(self) -> int:
        """Changes whenever the cached catalogue is dropped; keys caches built over it."""
        self._catalogue()
        return self._catalogue_version

    @property
    def catalogue_max_age(self) -> float | None:
        return self._catalogue_max_age

    def refresh(self) -> None:
        """Forget the table list and every table's cached information.

        Call it after tables were added, dropped or changed; the next use reads them again.
        """
        with self._catalogue_lock:
            self._drop_catalogue()

    def catalogue_sketch(self) -> dict[str, TableSketch]:
        """Columns, comments and foreign-key neighbours of every usable table.

        Read in a few catalogue queries (not table by table) and cached with the table list,
        for ranking tables against a question.
        """
        self._catalogue()
        with self._catalogue_lock:
            if self._sketch is None:
                usable = self._catalogue()[1]
                sketch = scan_catalogue(self._engine, self._schema, self._view_support)
                self._sketch = {name: sketch.get(name, TableSketch()) for name in usable}
            return self._sketch

    def _drop_catalogue(self) -> None:
        self._catalogue_version += 1
        self._names: tuple[set[str], set[str], tuple[str, ...]] | None = None
        self._sketch: dict[str, TableSketch] | None = None
        self._inspector_instance = None
        self._catalogue_read_at = 0.0
        self._on_catalogue_dropped()

    def _on_catalogue_dropped(self) -> None:
        """Hook for the table-information cache."""

    def _catalogue(self) -> tuple[set[str], set[str], tuple[str, ...]]:
        with self._catalogue_lock:
            if self._names is not None and self._is_stale():
                self._drop_catalogue()
            if self._names is None:
                all_tables = self._list_tables()
                if self._include_tables:
                    usable = set(self._include_tables)
                else:
                    usable = all_tables - self._ignore_tables
                self._names = (all_tables, usable, tuple(sorted(usable)))
                self._catalogue_read_at = time.monotonic()
            return self._names

    def _is_stale(self) -> bool:
        age = self._catalogue_max_age
        return age is not None and time.monotonic() - self._catalogue_read_at > age

    def _list_tables(self) -> set[str]:
        inspector = self._inspector
        names = set(inspector.get_table_names(schema=self._schema))
        if self._view_support:
            names.update(inspector.get_view_names(schema=self._schema))
            try:
                names.update(inspector.get_materialized_view_names(schema=self._schema))
            except NotImplementedError:
                pass
        return names


def check_max_age(value: Any) -> float | None:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not value > 0:
        raise ValueError(
            f"catalogue_max_age must be a positive number of seconds, or None; got {value!r}"
        )
    return float(value)
