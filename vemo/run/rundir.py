"""The run folder: made or checked so that it is the run's own (no one else may write in it, nor read what the
run writes there), and claimed with an exclusive lock that the run holds until its process ends."""

from __future__ import annotations

import contextlib
import fcntl
import os
import stat
import time
from pathlib import Path
from typing import Iterator

from vemo.run.journal import JOURNAL_NAME

# A run folder that `vemo run` creates: for the run's user alone, as the journal tells what the script does.
FOLDER_MODE = 0o700
# What `vemo run` creates (the journal, the output files and their folders) is for the run's user alone.
PRIVATE_UMASK = 0o077
# How many `-2`, `-3`, ... names are tried beside a default folder name taken within the same second.
MAX_NAME_TRIES = 1000
# How often a folder given with --run-dir is made again when a run that had made it removed it meanwhile.
MAX_CLAIM_TRIES = 3


@contextlib.contextmanager
def private_files() -> Iterator[None]:
    """Within the block, files and folders the process creates are readable by their user alone."""
    previous = os.umask(PRIVATE_UMASK)
    try:
        yield
    finally:
        os.umask(previous)


class RunDirError(Exception):
    """The run folder cannot be used; the message names it and says why."""


class RunDir:
    """A run folder claimed by this process: `path`, the folders made for it (innermost first), and the
    descriptor whose exclusive lock keeps any other run out of the folder. The lock goes with the process,
    also when it is killed; `release` gives it up earlier."""

    def __init__(self, path: Path, created: list[Path], descriptor: int) -> None:
        self.path = path
        self.created = created
        self._descriptor: int | None = descriptor

    def release(self) -> None:
        if self._descriptor is not None:
            os.close(self._descriptor)
            self._descriptor = None

    def remove_if_unused(self) -> None:
        """Removes the folders made for a run that never announced them, if they are still empty. The
        lock is held meanwhile, so no other run can have claimed the folder."""
        for folder in self.created:
            try:
                folder.rmdir()
            except OSError:
                break
        self.release()


def _missing_folders(folder: Path) -> list[Path]:
    """`folder` and those of its parents that do not exist yet, innermost first."""
    return [path for path in [folder, *folder.parents] if not path.exists()]


def _open_owned(folder: Path, where: str) -> int:
    """A descriptor of `folder`, checked to be a folder of this user that no one else may write in."""
    try:
        descriptor = os.open(folder, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    except NotADirectoryError:
        raise RunDirError(f"{where}: cannot create the folder: it is a file") from None
    except OSError as error:
        raise RunDirError(f"{where}: cannot open the folder: {error.strerror}") from None
    info = os.fstat(descriptor)
    problem = None
    if info.st_uid != os.geteuid():
        problem = "it belongs to another user"
    elif stat.S_IMODE(info.st_mode) & (stat.S_IWGRP | stat.S_IWOTH):
        problem = f"others may write in it (mode {stat.S_IMODE(info.st_mode):04o})"
    elif not os.access(folder, os.W_OK | os.X_OK):
        problem = "cannot write in that folder"
    if problem is not None:
        os.close(descriptor)
        raise RunDirError(f"{where}: {problem}; a run folder must be the run's own: choose another folder, or "
                          f"one made with mode 0700")
    return descriptor


def _lock(descriptor: int, where: str) -> None:
    try:
        fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        os.close(descriptor)
        raise RunDirError(f"{where}: another run is using that folder; choose another folder") from None


def _claim(folder: Path, created: list[Path], where: str) -> RunDir | None:
    """The folder, locked; None when it was removed before the lock was taken (a run that gave it up)."""
    descriptor = _open_owned(folder, where)
    _lock(descriptor, where)
    if os.fstat(descriptor).st_nlink == 0:
        os.close(descriptor)
        return None
    if os.path.lexists(folder / JOURNAL_NAME):
        os.close(descriptor)
        raise RunDirError(f"{where}: it already holds a run's journal; choose another folder")
    return RunDir(folder, created, descriptor)


def _make(folder: Path) -> list[Path]:
    """Creates `folder` (mode FOLDER_MODE) and its missing parents; the folders made, innermost first.
    FileExistsError when `folder` itself was there already."""
    created = _missing_folders(folder)
    folder.parent.mkdir(parents=True, exist_ok=True)
    folder.mkdir(mode=FOLDER_MODE)
    os.chmod(folder, FOLDER_MODE)  # whatever the umask
    return created


def claim_run_dir(requested: str | None, script: Path) -> RunDir:
    """The run's folder, claimed: `requested`, which must be this user's alone and hold no journal yet
    (created if missing), or a new runs/<YYYYmmdd-HHMMSS>-<script name> below the current directory."""
    if requested:
        folder = Path(requested)
        where = f"--run-dir {requested}"
        for _ in range(MAX_CLAIM_TRIES):
            created: list[Path] = []
            try:
                created = _make(folder)
            except FileExistsError:
                pass  # checked as a folder given by the user
            except OSError as error:
                raise RunDirError(f"{where}: cannot create the folder: {error.strerror}") from None
            claimed = _claim(folder, created, where)
            if claimed is not None:
                return claimed
        raise RunDirError(f"{where}: other runs keep making and removing that folder; choose another folder")
    base = Path("runs") / f"{time.strftime('%Y%m%d-%H%M%S')}-{script.stem}"
    for attempt in range(1, MAX_NAME_TRIES):
        folder = base if attempt == 1 else base.with_name(f"{base.name}-{attempt}")
        try:
            created = _make(folder)
        except FileExistsError:
            continue  # another run of the same script started within the same second
        except OSError as error:
            raise RunDirError(f"cannot create the run folder {folder}: {error.strerror}; pass --run-dir DIR") from None
        claimed = _claim(folder, created, str(folder))
        if claimed is not None:
            return claimed
    raise RunDirError(f"cannot find a free run folder name beside {base}; pass --run-dir DIR")
