"""Files only their owner may read: the run store holds every user's questions, SQL, rows and
answers, so its folder is 0700 and its files 0600, whatever the umask."""

from __future__ import annotations

import contextlib
import os
import stat
from pathlib import Path

FOLDER_MODE = 0o700
FILE_MODE = 0o600
# SQLite gives the files it makes beside a database (write-ahead log, shared memory, rollback
# journal) the database file's mode, so making the database file private covers those too;
# files left by an earlier, laxer version are tightened here.
SQLITE_COMPANIONS = ("-wal", "-shm", "-journal")


def private_folder(path: Path, tighten: bool) -> None:
    """Creates ``path`` (0700) if missing; an existing one is tightened only when ``tighten``
    (a folder of quorlix's own), since a folder the user chose may be shared on purpose."""
    if not path.exists():
        path.parent.mkdir(parents=True, exist_ok=True)
        with contextlib.suppress(FileExistsError):
            path.mkdir(mode=FOLDER_MODE)
        os.chmod(path, FOLDER_MODE)
    elif tighten:
        _restrict(path, FOLDER_MODE)


def private_sqlite_file(path: Path) -> None:
    """Creates the database file empty and 0600 before SQLite opens it (SQLite would make it
    0644), and takes group and other access away from one that exists, and from its
    companions."""
    try:
        os.close(os.open(path, os.O_CREAT | os.O_EXCL | os.O_WRONLY, FILE_MODE))
    except FileExistsError:
        _restrict(path, FILE_MODE)
    for suffix in SQLITE_COMPANIONS:
        companion = path.with_name(path.name + suffix)
        if companion.exists():
            _restrict(companion, FILE_MODE)


def _restrict(path: Path, mode: int) -> None:
    # Only what this user owns can be changed, and only access beyond the owner's is removed.
    info = path.stat()
    if info.st_uid == os.getuid() and stat.S_IMODE(info.st_mode) & ~mode:
        os.chmod(path, stat.S_IMODE(info.st_mode) & mode)
