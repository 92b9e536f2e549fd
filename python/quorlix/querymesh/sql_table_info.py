"""Table information for the chat model, read once per table and then served from a cache.

LangChain's ``SQLDatabase.get_table_info`` runs the sample-row query of every table on every
call, and the graph asks for the same tables again on each retry and rewrite. The rendering
stays LangChain's; only the sample rows are fetched through the wrapper's guarded, bounded path.
"""

from __future__ import annotations

import threading

from sqlalchemy import Table, select
from sqlalchemy.exc import ProgrammingError, SQLAlchemyError


class CachedTableInfo:
    """Mixin for an ``SQLDatabase`` subclass that has ``_fetch(command, limit, params, opts)``."""

    def _init_table_info_cache(self) -> None:
        self._table_info_cache: dict[tuple[str, bool], str] = {}
        self._table_info_lock = threading.RLock()
        self._sample_state = threading.local()

    def get_table_info(
        self, table_names: list[str] | None = None, get_col_comments: bool = False
    ) -> str:
        """Schema and sample rows of the tables, from a per-table cache after the first call.

        Call ``clear_cache()`` after the schema or the sample data changed.
        """
        usable = list(self.get_usable_table_names())
        wanted = usable if table_names is None else list(table_names)
        missing = set(wanted).difference(usable)
        if missing:
            # InfoSQLDatabaseTool turns this into "Error: ..." for the model, so name the choice.
            raise ValueError(
                f"table_names {missing} not found in database. Available tables:"
                f" {', '.join(usable) or '(none)'}"
            )
        parts = [self._one_table_info(name, get_col_comments) for name in dict.fromkeys(wanted)]
        return "\n\n".join(sorted(part for part in parts if part))

    def clear_cache(self) -> None:
        """Forget cached table information, so that the next call reads it again."""
        with self._table_info_lock:
            self._table_info_cache.clear()

    def _one_table_info(self, name: str, get_col_comments: bool) -> str:
        key = (name, get_col_comments)
        # One lock for reading and filling: the base class reflects into shared MetaData.
        with self._table_info_lock:
            if key in self._table_info_cache:
                return self._table_info_cache[key]
            self._sample_state.failed = False
            info = super().get_table_info([name], get_col_comments=get_col_comments)
            if not self._sample_state.failed:  # a passing failure must not stick
                self._table_info_cache[key] = info
            return info

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
