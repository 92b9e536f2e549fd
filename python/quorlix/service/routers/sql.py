"""The database itself: an edited query re-run, and the tables to ask about."""

from __future__ import annotations

from fastapi import APIRouter, HTTPException
from sqlalchemy import inspect
from sqlalchemy.exc import SQLAlchemyError

from quorlix.cli.common import describe
from quorlix.querymesh.custom_sql import QueryTimeoutError, UnsafeSQLError
from quorlix.querymesh.sql_results import json_rows_within

from ..schemas import SQLRequest
from .runs import ServiceDep, User

router = APIRouter(prefix="/v1", tags=["database"])


@router.post("/sql", summary="Run one read-only query (edit and re-run)")
def run_sql(body: SQLRequest, service: ServiceDep, user: User):
    try:
        result = service.db.query(body.sql)
    except UnsafeSQLError as exc:
        raise HTTPException(422, detail=str(exc)) from None
    except QueryTimeoutError:
        limit = service.db.statement_timeout
        raise HTTPException(
            422, detail=f"the query did not finish within the database time limit ({limit:g} s)"
        ) from None
    except SQLAlchemyError as exc:
        raise HTTPException(422, detail=describe(exc)) from None
    # The same character cap as the text the model reads.
    rows, left_out = json_rows_within(
        result["columns"], result["rows"], service.db.max_result_chars
    )
    return {**result, "rows": rows, "truncated": result["truncated"] or left_out}


@router.get("/tables", summary="Tables and their columns")
def tables(service: ServiceDep, user: User):
    db = service.db
    inspector = inspect(db._engine)
    listed = []
    for name in sorted(db.get_usable_table_names()):
        try:
            columns = inspector.get_columns(name, schema=db._schema)
        except SQLAlchemyError as exc:
            raise HTTPException(503, detail=describe(exc)) from None
        listed.append(
            {
                "name": name,
                "columns": [{"name": col["name"], "type": str(col["type"])} for col in columns],
            }
        )
    return {"tables": listed}
