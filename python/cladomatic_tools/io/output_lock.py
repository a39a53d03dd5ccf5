"""An advisory lock beside each output of a command, so that a second run writing the same output stops before it
touches anything instead of leaving two half-made results that neither run can continue or replace."""

import fcntl
import os
import stat
from collections.abc import Iterator, Sequence
from contextlib import ExitStack, contextmanager, suppress

from cladomatic_tools.io.reader import InputError


@contextmanager
def held(paths: Sequence[str]) -> Iterator[None]:
    """Holds the lock of every output in `paths` (files or folders) for the block; InputError, before anything
    is written, when another run holds one of them."""
    with ExitStack() as stack:
        for path in paths:
            stack.enter_context(_held(path))
        yield


def _lock_name(path: str) -> str | None:
    """Where the lock of `path` lives: beside it, or inside a folder whose parent cannot be written to (the
    current folder, say); None for a device or a pipe, or where the run could not write anyway."""
    target = os.path.realpath(path)
    with suppress(OSError):
        mode = os.stat(target).st_mode
        if not (stat.S_ISREG(mode) or stat.S_ISDIR(mode)):
            return None
    folder, name = os.path.split(target)
    if os.access(folder, os.W_OK):
        return os.path.join(folder, f".{name}.lock")
    if os.path.isdir(target) and os.access(target, os.W_OK):
        return os.path.join(target, ".cladomatic.lock")
    return None


@contextmanager
def _held(path: str) -> Iterator[None]:
    lock = _lock_name(path)
    descriptor = None if lock is None else _locked(lock, path)
    if lock is None or descriptor is None:
        yield  # the run itself says what keeps it from writing there
        return
    try:
        yield
    finally:
        # removed while still held: a run that opened it meanwhile sees it gone once it has the lock, and
        # locks a new one
        with suppress(OSError):
            os.unlink(lock)
        os.close(descriptor)


def _locked(lock: str, path: str) -> int | None:
    while True:
        try:
            descriptor = os.open(lock, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)
        except OSError:
            return None
        try:
            fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            holder = os.pread(descriptor, 32, 0).decode(errors="replace").strip()
            os.close(descriptor)
            who = f" (pid {holder})" if holder.isdigit() else ""
            raise InputError(f"another cladomatic run{who} is writing {path}") from None
        # the run that held it may have ended and removed the file between our open and our lock
        try:
            current = os.stat(lock).st_ino
        except FileNotFoundError:
            current = None
        if current == os.fstat(descriptor).st_ino:
            os.ftruncate(descriptor, 0)
            os.pwrite(descriptor, f"{os.getpid()}\n".encode(), 0)
            return descriptor
        os.close(descriptor)
