"""What the graph's database account could do beyond answering questions.

The walls of ``CustomSQLDatabase`` stop the statements this system sends; the account's own
rights are what is left if a wall ever fails. ``account_warnings`` names the rights a
question-answering account does not need, each as a sentence saying what to do instead.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

from . import engines

if TYPE_CHECKING:
    from .database import CustomSQLDatabase


def account_warnings(db: CustomSQLDatabase) -> list[str]:
    """Sentences about rights the database account should not have; empty when it is fine."""
    engine = db._engine
    read = engines.find(engine.dialect.name).account_warnings
    if read is None:
        return []
    with engine.connect() as conn:
        try:
            return read(conn)
        finally:
            conn.rollback()
