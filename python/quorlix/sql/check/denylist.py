"""Function names a read-only query may not call.

Everything not listed is allowed: a chat model uses hundreds of ordinary functions across
dialects and an allow-list would keep refusing good queries. What is listed reaches beyond
the query itself: files on the server, programs, other connections, other sessions, server
settings, sequences, locks, or SQL text executed behind the statement check's back. A read-only
transaction does not stop most of these (PostgreSQL lets ``COPY ... TO`` and ``pg_read_file``
run inside one), which is why they are refused by name.

Names are compared lower-cased, with any schema qualifier ignored.

A list of names keeps missing the next spelling, so where an engine's own catalog can say which
functions and relations reach other sessions or read relations by name, the wrapper reads it
there too (the ``refusals`` of the PostgreSQL and MySQL engines) and refuses those as well.
"""

from __future__ import annotations

from dataclasses import dataclass

DENIED_FUNCTIONS: frozenset[str] = frozenset(
    {
        # PostgreSQL: server files and programs
        "pg_read_file",
        "pg_read_binary_file",
        "pg_stat_file",
        "pg_file_write",
        "pg_file_rename",
        "pg_file_unlink",
        "pg_file_sync",
        "pg_logdir_ls",
        "lo_import",
        "lo_export",
        "lo_create",
        "lo_creat",
        "lo_unlink",
        "lo_put",
        "lo_from_bytea",
        "lo_truncate",
        "lo_truncate64",
        "lo_open",
        "lo_close",
        "lo_write",
        "lowrite",
        "loread",
        # PostgreSQL: other sessions, server state and settings
        "pg_terminate_backend",
        "pg_cancel_backend",
        "pg_signal_backend",
        "pg_reload_conf",
        "pg_switch_wal",
        "pg_promote",
        "pg_create_restore_point",
        "pg_start_backup",
        "pg_stop_backup",
        "pg_backup_start",
        "pg_backup_stop",
        "pg_export_snapshot",
        "pg_import_system_collations",
        "pg_log_backend_memory_contexts",
        "pg_notify",
        # PostgreSQL: server configuration, logs and memory, which it shows only to superusers
        "pg_config",
        "pg_current_logfile",
        "pg_get_backend_memory_contexts",
        "pg_get_shmem_allocations",
        "pg_hba_file_rules",
        "pg_ident_file_mappings",
        "pg_show_all_file_settings",
        "pg_show_replication_origin_status",
        "pg_stat_have_stats",
        "set_config",
        "txid_current",
        "pg_current_xact_id",
        "nextval",
        "setval",
        # PostgreSQL: maintenance functions that write even inside a read-only transaction
        "brin_summarize_new_values",
        "brin_summarize_range",
        "brin_desummarize_range",
        "gin_clean_pending_list",
        "pg_nextoid",
        # PostgreSQL: functions that run an SQL text they are given
        "query_to_xml",
        "query_to_xmlschema",
        "query_to_xml_and_xmlschema",
        "cursor_to_xml",
        "cursor_to_xmlschema",
        "ts_stat",
        "ts_rewrite",
        # MySQL / MariaDB
        "load_file",
        "sys_exec",
        "sys_eval",
        "sys_get",
        "sys_set",
        "get_lock",
        "release_lock",
        "release_all_locks",
        "master_pos_wait",
        "source_pos_wait",
        "master_gtid_wait",
        "wait_for_executed_gtid_set",
        "wait_until_sql_thread_after_gtids",
        "next_value_for",
        # A stopped BENCHMARK returns 0 as if it had run; nothing a question needs.
        "benchmark",
        # SQLite (and the extensions the sqlite3 shell ships)
        "load_extension",
        "readfile",
        "writefile",
        "edit",
        "fsdir",
        "lsdir",
        "zipfile",
        "fts3_tokenizer",
        "eval",
        "sha3_query",
        # SQL Server
        "xp_cmdshell",
        "openrowset",
        "opendatasource",
        "openquery",
    }
)

DENIED_PREFIXES: tuple[str, ...] = (
    "dblink",  # dblink, dblink_exec, dblink_connect, ...: a second connection outside our rules
    "pg_ls_",  # server directory listings
    "pg_read_",
    "pg_stat_reset",
    "pg_advisory_",
    "pg_try_advisory_",
    "pg_logical_",  # consuming or emitting replication data
    "pg_replication_",
    "pg_create_",
    "pg_drop_",
    "pg_copy_",
    "pg_wal_replay_",
    "pg_rotate_logfile",  # and pg_rotate_logfile_old, its older name
    "pg_background_",  # runs SQL text in a background worker
    "binary_upgrade_",
    "http_",  # pgsql-http and similar: network requests
    "xp_",
)


# Relations that hold credentials, server configuration or other sessions' work, compared by
# bare name whatever their schema. A superuser account can read them all, and the answer to a
# question about the application's data never needs them.
DENIED_RELATIONS: frozenset[str] = frozenset(
    {
        # PostgreSQL
        "pg_authid",
        "pg_shadow",
        "pg_user_mapping",
        "pg_user_mappings",
        "pg_subscription",
        "pg_file_settings",
        "pg_hba_file_rules",
        "pg_ident_file_mappings",
        "pg_stat_activity",
        "pg_stat_ssl",
        "pg_stat_gssapi",
        "pg_stat_statements",
        "pg_config",
        "pg_largeobject",
        "pg_backend_memory_contexts",
        "pg_shmem_allocations",
        "pg_replication_origin_status",
        "pg_statistic",  # samples of column values, whatever the table's own privileges
        "pg_statistic_ext_data",
        # MySQL / MariaDB (information_schema)
        "processlist",
        "user_privileges",
        "user_attributes",
        "global_variables",
        "session_variables",
    }
)

# Schemas of the server itself: accounts, grants, other sessions' statements, and (sys)
# functions that change session variables.
DENIED_SCHEMAS: frozenset[str] = frozenset({"mysql", "performance_schema", "sys"})


def is_denied_relation(name: str) -> bool:
    return _bare(name) in DENIED_RELATIONS


def is_denied_schema(name: str | None) -> bool:
    return bool(name) and name.strip('"`[]').lower() in DENIED_SCHEMAS


def is_denied_function(name: str) -> bool:
    """Whether a function with this (possibly schema-qualified) name may not be called."""
    bare = _bare(name)
    return bare in DENIED_FUNCTIONS or bare == "http" or bare.startswith(DENIED_PREFIXES)


@dataclass(frozen=True)
class CatalogDenials:
    """Functions and relations refused because the database's own catalog marks them.

    Names are lower-case and bare; ``EMPTY`` where an engine's catalog says nothing.
    """

    functions: frozenset[str] = frozenset()
    relations: frozenset[str] = frozenset()

    def refuses_function(self, name: str) -> bool:
        return _bare(name) in self.functions

    def refuses_relation(self, name: str) -> bool:
        return _bare(name) in self.relations


EMPTY = CatalogDenials()


def _bare(name: str) -> str:
    return name.rsplit(".", 1)[-1].strip('"`[]').lower()
