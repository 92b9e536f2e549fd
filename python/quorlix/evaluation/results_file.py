"""The ``--out`` file: one JSON line per scored question, read back to resume a run.

Lines are appended and flushed as questions finish, so an interrupted evaluation keeps all it
finished; a line cut short by the interruption is dropped when the file is opened again.
"""

from __future__ import annotations

import json
import os
from pathlib import Path
from typing import Any, TextIO

from .compare import Comparison
from .items import Question, QuestionSetError


class ResultsFile:
    def __init__(self, path: Path) -> None:
        self.path = path
        self._handle: TextIO | None = None

    def load(
        self, questions: list[Question], comparison: Comparison, knowledge: str | None = None
    ) -> dict[str, dict[str, Any]]:
        """The outcomes already in the file, by question id; refuses a file written for another
        question set, scored with another comparison or with other team knowledge (``knowledge``:
        the file its runs were given, None for none), which resuming would silently mix in."""
        if not self.path.exists():
            return {}
        if self.path.is_dir():
            raise QuestionSetError(f"--out {self.path} is a directory; name a file")
        data = self.path.read_bytes()
        complete = data[: data.rfind(b"\n") + 1]
        by_id = {question.id: question for question in questions}
        done: dict[str, dict[str, Any]] = {}
        try:
            lines = complete.decode("utf-8").splitlines()
        except UnicodeDecodeError:
            raise QuestionSetError(
                f"--out {self.path} is not a results file of this command"
            ) from None
        for number, line in enumerate(lines, start=1):
            if not line.strip():
                continue
            try:
                record = json.loads(line)
                ident, verdict = str(record["id"]), record["verdict"]
            except (ValueError, KeyError, TypeError):
                raise QuestionSetError(
                    f"--out {self.path}, line {number}: not a result line of this command; "
                    "give a new file or remove this one"
                ) from None
            question = by_id.get(ident)
            if question is None or record.get("question") != question.question:
                raise QuestionSetError(
                    f"--out {self.path} holds results of another question set (id {ident!r} "
                    "does not match); give a new file to start afresh"
                )
            if "official" not in record:
                # Written before the official comparisons: numbers were rounded to 12 digits
                # and only an outer ORDER BY fixed the row order, whatever the label says.
                raise QuestionSetError(
                    f"--out {self.path} was scored by an earlier quorlix, which compared "
                    "results its own way; give a new file to score with this comparison"
                )
            if record.get("metric") != comparison.name:
                raise QuestionSetError(
                    f"--out {self.path} was scored with {record.get('metric')}, not "
                    f"{comparison.name}; give a new file or the options it was scored with"
                )
            if record.get("knowledge") != knowledge:
                given = record.get("knowledge")
                raise QuestionSetError(
                    f"--out {self.path} was scored "
                    + (f"with the team knowledge of {given}" if given else "without team knowledge")
                    + "; give a new file, or the --knowledge it was scored with"
                )
            if verdict in ("correct", "wrong", "broken"):
                done[ident] = record
        if len(complete) != len(data):
            # The last line was cut short by an interruption; that question is scored again.
            # Only now, once the rest proved to be our results, is the file touched.
            with open(self.path, "r+b") as handle:
                handle.truncate(len(complete))
        return done

    def append(self, record: dict[str, Any]) -> None:
        if self._handle is None:
            self.path.parent.mkdir(parents=True, exist_ok=True)
            self._handle = open(self.path, "a", encoding="utf-8")
        self._handle.write(json.dumps(record, ensure_ascii=False, default=str) + "\n")
        self._handle.flush()
        os.fsync(self._handle.fileno())

    def close(self) -> None:
        if self._handle is not None:
            self._handle.close()
            self._handle = None
