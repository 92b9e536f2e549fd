"""A ready-made sample database to ask questions about."""

from .shop import (
    build_shop_database,
    default_database_path,
    default_database_uri,
    ensure_shop_database,
)

__all__ = [
    "build_shop_database",
    "default_database_path",
    "default_database_uri",
    "ensure_shop_database",
]
