"""The database itself: an edited query re-run, and the tables to ask about."""

from __future__ import annotations

from typing import Annotated, Literal

from fastapi import APIRouter, HTTPException, Query
from sqlalchemy import inspect
from sqlalchemy.exc import SQLAlchemyError

from quorlix.answering.errors import describe
from quorlix.querymesh.custom_sql import QueryTimeoutError, UnsafeSQLError

from ..schemas import SQLRequest
from .runs import ServiceDep, User, csv_response

router = APIRouter(prefix="/v1", tags=["database"])


@router.post("/sql", summary="Run one read-only query (edit and re-run)")
def run_sql(
    body: SQLRequest,
    service: ServiceDep,
    user: User,
    as_format: Annotated[
        Literal["json", "csv"],
        Query(alias="format", description="csv: the rows as a CSV download"),
    ] = "json",
):
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
    return csv_response(result, "quorlix-query.csv") if as_format == "csv" else result


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
