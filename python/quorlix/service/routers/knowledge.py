"""The team's knowledge of the served database: verified examples, the glossary, candidates.

Anyone with a token may read it (each run's record names what it used); changing it, and
accepting or rejecting candidates from feedback, needs a token with the admin role.
"""

from __future__ import annotations

from typing import Annotated, Literal

import anyio
from fastapi import APIRouter, Depends, HTTPException, Query

from quorlix.knowledge.records import (
    ACCEPTED,
    CANDIDATE,
    ORIGIN_MANUAL,
    REJECTED,
    GlossaryEntry,
    KnowledgeError,
    VerifiedExample,
)

from ..auth import admin_user
from ..schemas import ExampleRequest, TermRequest
from .runs import ServiceDep, User

router = APIRouter(prefix="/v1/knowledge", tags=["knowledge"])

Admin = Annotated[str, Depends(admin_user)]
Status = Literal["accepted", "candidate", "rejected", "all"]


def example_view(example: VerifiedExample) -> dict:
    return {
        "id": example.id,
        "question": example.question,
        "sql": example.sql,
        "notes": example.notes,
        "status": example.status,
        "origin": example.origin,
        "run_id": example.run_id,
    }


def term_view(entry: GlossaryEntry) -> dict:
    return {
        "term": entry.term,
        "definition": entry.definition,
        "sql": entry.sql,
        "synonyms": list(entry.synonyms),
    }


@router.get("/examples", summary="The verified examples (and candidates) of the database")
async def list_examples(
    service: ServiceDep,
    user: User,
    status: Annotated[Status, Query(description="which to list")] = "accepted",
):
    wanted = None if status == "all" else status
    found = await anyio.to_thread.run_sync(
        service.knowledge.examples, service.knowledge_key, wanted
    )
    return {"examples": [example_view(example) for example in found]}


@router.post("/examples", status_code=201, summary="Add a verified example")
async def add_example(body: ExampleRequest, service: ServiceDep, user: Admin):
    example = VerifiedExample(
        body.question.strip(),
        body.sql.strip(),
        service.knowledge_key,
        notes=body.notes,
        origin=ORIGIN_MANUAL,
        status=ACCEPTED,
    )
    try:
        stored, _ = await anyio.to_thread.run_sync(service.knowledge.add_example, example)
    except KnowledgeError as exc:
        raise HTTPException(422, detail=str(exc)) from None
    return example_view(stored)


@router.delete("/examples/{example_id}", summary="Remove an example or candidate")
async def remove_example(example_id: int, service: ServiceDep, user: Admin):
    done = await anyio.to_thread.run_sync(
        service.knowledge.remove_example, example_id, service.knowledge_key
    )
    if not done:
        raise HTTPException(404, detail=f"there is no example {example_id}")
    return {"id": example_id, "removed": True}


@router.get("/candidates", summary="Examples learnt from feedback, waiting for review")
async def list_candidates(service: ServiceDep, user: Admin):
    found = await anyio.to_thread.run_sync(
        service.knowledge.examples, service.knowledge_key, CANDIDATE
    )
    return {"candidates": [example_view(example) for example in found]}


async def _review(service, example_id: int, status: str) -> dict:
    found = await anyio.to_thread.run_sync(service.knowledge.example, example_id)
    if found is None or found.database != service.knowledge_key:
        raise HTTPException(404, detail=f"there is no example {example_id}")
    changed = await anyio.to_thread.run_sync(service.knowledge.set_status, example_id, status)
    return example_view(changed)


@router.post("/candidates/{example_id}/accept", summary="Use a candidate from now on")
async def accept_candidate(example_id: int, service: ServiceDep, user: Admin):
    return await _review(service, example_id, ACCEPTED)


@router.post("/candidates/{example_id}/reject", summary="Never use a candidate")
async def reject_candidate(example_id: int, service: ServiceDep, user: Admin):
    return await _review(service, example_id, REJECTED)


@router.get("/glossary", summary="The glossary of the database")
async def list_glossary(service: ServiceDep, user: User):
    found = await anyio.to_thread.run_sync(service.knowledge.glossary, service.knowledge_key)
    return {"glossary": [term_view(entry) for entry in found]}


@router.post("/glossary", summary="Add or replace a glossary entry")
async def put_term(body: TermRequest, service: ServiceDep, user: Admin):
    entry = GlossaryEntry(
        body.term.strip(),
        body.definition.strip(),
        service.knowledge_key,
        sql=(body.sql or "").strip() or None,
        synonyms=tuple(synonym.strip() for synonym in body.synonyms if synonym.strip()),
    )
    try:
        stored = await anyio.to_thread.run_sync(service.knowledge.put_term, entry)
    except KnowledgeError as exc:
        raise HTTPException(422, detail=str(exc)) from None
    return term_view(stored)


@router.delete("/glossary/{term}", summary="Remove a glossary entry")
async def remove_term(term: str, service: ServiceDep, user: Admin):
    done = await anyio.to_thread.run_sync(
        service.knowledge.remove_term, service.knowledge_key, term
    )
    if not done:
        raise HTTPException(404, detail=f"there is no glossary entry {term!r}")
    return {"term": term, "removed": True}
