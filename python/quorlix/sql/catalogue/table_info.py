"""Table information for the chat model: read per table on first use, cached, and bounded.

LangChain's ``SQLDatabase.get_table_info`` reflects into one shared ``MetaData`` (listing the
whole catalogue again for each table it adds) and runs every table's sample-row query on every
call, while the graph asks for the same tables again on each retry and rewrite. Here each table
is reflected on its own, rendered the way LangChain renders it, and kept in a bounded cache;
sample rows come through the wrapper's guarded, bounded path.

The text is bounded too (``schema_text``): a very wide table shows its key columns first and
says how many it leaves out, and the whole text stops at ``max_schema_chars`` with the names of
the tables it could not include.
"""

from __future__ import annotations

import threading
from typing import TYPE_CHECKING

from sqlalchemy import MetaData, Table, select
from sqlalchemy.engine.reflection import ObjectKind
from sqlalchemy.exc import NoSuchTableError, ProgrammingError, SQLAlchemyError
from sqlalchemy.schema import CreateTable
from sqlalchemy.types import NullType

from .. import engines
from .schema_text import join_bounded, keep_key_columns_first
from .table_list import BoundedCache

if TYPE_CHECKING:
    from ..engines.kind import EngineKind

# The wrapper's defaults; the constructor takes other values.
DEFAULT_TABLE_CACHE_SIZE = 1024
DEFAULT_MAX_SCHEMA_CHARS = 24_000
DEFAULT_MAX_COLUMNS = 60
_MISSING_NAMES_SHOWN = 50


class CachedTableInfo:
    """Mixin for an ``SQLDatabase`` subclass that has ``_fetch(command, limit, params, opts)``."""

    def _init_table_info_cache(
        self,
        *,
        cache_size: int = DEFAULT_TABLE_CACHE_SIZE,
        max_schema_chars: int = DEFAULT_MAX_SCHEMA_CHARS,
        max_columns: int = DEFAULT_MAX_COLUMNS,
    ) -> None:
        self._table_info_cache: BoundedCache[str] = BoundedCache(cache_size)
        self._max_schema_chars = max_schema_chars
        self._max_columns = max_columns
        self._sample_state = threading.local()

    @property
    def max_schema_chars(self) -> int:
        return self._max_schema_chars

    @property
    def _engine_kind(self) -> EngineKind:
        return engines.find(self._engine.dialect.name)

    def get_table_info(
        self, table_names: list[str] | None = None, get_col_comments: bool = False
    ) -> str:
        """Schema and sample rows of the tables, from a per-table cache after the first call.

        At most ``max_schema_chars`` characters: tables that do not fit are named at the end.
        Call ``refresh()`` after the schema or the sample data changed.
        """
        usable = self._usable_tables
        wanted = sorted(usable) if table_names is None else list(dict.fromkeys(table_names))
        missing = [name for name in wanted if name not in usable]
        if missing:
            # InfoSQLDatabaseTool turns this into "Error: ..." for the model, so name the choice.
            raise ValueError(
                f"table_names {set(missing)} not found in database. Available tables:"
                f" {_some_names(sorted(usable))}"
            )
        system_prefix = self._engine_kind.system_table_prefix
        if system_prefix:
            wanted = [name for name in wanted if not name.startswith(system_prefix)]
        return join_bounded(
            wanted,
            lambda name: self._one_table_info(name, get_col_comments),
            self._max_schema_chars,
        )

    def clear_cache(self) -> None:
        """Forget the table list and cached table information (the same as ``refresh()``)."""
        self.refresh()

    def _on_catalogue_dropped(self) -> None:
        cache = getattr(self, "_table_info_cache", None)
        if cache is not None:
            cache.clear()

    def _one_table_info(self, name: str, get_col_comments: bool) -> str:
        key = (self.catalogue_version, name, get_col_comments)
        info = self._table_info_cache.get(key)
        if info is not None:
            return info
        self._sample_state.failed = False
        info = self._render_table(name, get_col_comments)
        if not self._sample_state.failed:  # a passing failure must not stick
            self._table_info_cache.put(key, info)
        return info

    def _render_table(self, name: str, get_col_comments: bool) -> str:
        custom = self._custom_table_info
        if custom and name in custom:
            return custom[name]
        table = self._reflect(name)
        for column in list(table.columns):
            if type(column.type) is NullType:  # LangChain leaves these out too
                table._columns.remove(column)
        left_out = keep_key_columns_first(table, self._max_columns)
        info = str(CreateTable(table).compile(self._engine)).rstrip()
        if left_out:
            info += f"\n/* {len(left_out)} more columns not shown: {_some_names(left_out)} */"
        if get_col_comments:
            comments = {column.name: column.comment for column in table.columns if column.comment}
            if comments:
                info += f"\n\n/*\nColumn Comments: {comments}\n*/"
        extra = self._indexes_in_table_info or self._sample_rows_in_table_info
        if extra:
            info += "\n\n/*"
        if self._indexes_in_table_info:
            info += f"\n{self._get_table_indexes(table)}\n"
        if self._sample_rows_in_table_info:
            info += f"\n{self._get_sample_rows(table)}\n"
        if extra:
            info += "*/"
        return info

    def _reflect(self, name: str) -> Table:
        # A MetaData of its own per table, so nothing accumulates across the catalogue. The
        # tables its foreign keys name are reflected too (CREATE TABLE needs their columns),
        # but not theirs in turn: a chain of references must not pull in half the catalogue.
        try:
            own = self._engine_kind.reflect_table(self._engine, name, self._schema)
            if own is not None:
                return own
            metadata = MetaData()
            table = self._reflect_one(metadata, name, self._schema)
        except NoSuchTableError as err:
            raise ValueError(
                f"table {name!r} is no longer in the database; call refresh() to read the"
                " table list again"
            ) from err
        for constraint in list(table.foreign_key_constraints):
            key = constraint.elements[0].target_fullname.rpartition(".")[0]
            schema, _, referred = key.rpartition(".")
            if key in metadata.tables:
                continue
            try:
                self._reflect_one(metadata, referred, schema or None)
            except NoSuchTableError:
                table.constraints.discard(constraint)  # names a table that is not there
        return table

    def _reflect_one(self, metadata: MetaData, name: str, schema: str | None) -> Table:
        return Table(name, metadata, schema=schema, autoload_with=self._engine, resolve_fks=False)

    def describe_columns(self) -> dict[str, list[tuple[str, str]]]:
        """``{table: [(column, type), ...]}`` of every usable table, read in bulk."""
        usable = self._usable_tables
        found = self._engine_kind.describe_columns(self._engine, self._schema)
        if found is None:
            kind = ObjectKind.ANY if self._view_support else ObjectKind.TABLE
            multi = self._inspector.get_multi_columns(schema=self._schema, kind=kind)
            found = {
                table: [(c["name"], _type_name(c["type"], self._engine)) for c in columns]
                for (_, table), columns in multi.items()
            }
        return {name: found.get(name, []) for name in sorted(usable)}

    def _get_sample_rows(self, table: Table) -> str:
        count = self._sample_rows_in_table_info
        columns = "\t".join(column.name for column in table.columns)
        try:
            # Our own select(): no statement check needed, but the session walls still apply.
            _, rows, _ = self._fetch(select(table).limit(count), count, None, None)
            sample = "\n".join("\t".join(str(value)[:100] for value in row) for row in rows)
        except ProgrammingError:
            sample = ""  # some dialects raise this for an empty table
        except SQLAlchemyError as err:
            self._sample_state.failed = True
            sample = f"(sample rows unavailable: {str(err).strip().splitlines()[0]})"
        return f"{count} rows from {table.name} table:\n{columns}\n{sample}"


def _some_names(names: list[str]) -> str:
    if not names:
        return "(none)"
    shown = ", ".join(names[:_MISSING_NAMES_SHOWN])
    if len(names) > _MISSING_NAMES_SHOWN:
        shown += f" and {len(names) - _MISSING_NAMES_SHOWN} more"
    return shown


def _type_name(column_type, engine) -> str:
    try:
        return column_type.compile(dialect=engine.dialect)
    except Exception:  # a type that cannot render for this dialect
        return str(column_type) if not isinstance(column_type, NullType) else "NULL"
