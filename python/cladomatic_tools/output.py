"""Writing distance matrices (TSV, CSV, either gzip-compressed, .npy, .npz) and split exports (.npz).

A file output is written under a temporary name in its own folder and renamed into place only once complete
and on disk, so an interrupted or failed run leaves an existing file as it was, and runs writing the same path
at once each leave a whole file. Only a path that is not a regular file (a device such as /dev/null, a pipe)
is written in place; nothing the command did not create is ever removed.
"""

import csv
import gzip
import io
import os
import stat
import sys
import tempfile
from array import array
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager, suppress
from dataclasses import dataclass
from typing import IO, Any, cast

from cladomatic_tools.reader import STDIN, EnvironmentFailure, InputError

FORMATS = ("tsv", "csv", "npy", "npz")
_SUFFIX_FORMATS = {".tsv": "tsv", ".csv": "csv", ".npy": "npy", ".npz": "npz"}
_OTHER_COMPRESSION = (".bz2", ".xz", ".zst", ".zip", ".7z", ".lz4")


@dataclass(frozen=True, slots=True)
class Matrix:
    """An n x n distance matrix in row-major order: RF counts or WRF/KF floats."""

    names: list[str]
    values: Sequence[int] | Sequence[float]
    dtype: str  # the NumPy type of the values

    def row(self, i: int) -> Sequence[int] | Sequence[float]:
        n = len(self.names)
        return self.values[i * n : (i + 1) * n]


@dataclass(frozen=True, slots=True)
class Target:
    path: str | None  # None: standard output
    fmt: str
    compressed: bool  # gzip, chosen by a '.gz' suffix


def u32_values(data: bytes) -> Sequence[int]:
    """Little-endian unsigned 32-bit values, without a copy where the machine is little-endian."""
    if sys.byteorder == "little":
        return memoryview(data).cast("I")
    values = array("I", data)
    values.byteswap()
    return values


def target_for(path: str | None, chosen: str | None) -> Target:
    """The output format from --format and the suffix of --output; a pair that could only give a file whose
    content does not match its name is refused before any work."""
    if path is None:
        fmt = chosen or "tsv"
        if fmt in ("npy", "npz"):
            raise InputError(f"{fmt} output needs --output")
        return Target(None, fmt, False)
    name = os.path.basename(path).lower()
    compressed = name.endswith(".gz")
    stem = name[:-3] if compressed else name
    if name.endswith(_OTHER_COMPRESSION):
        raise InputError(f"cannot write {path}: only gzip compression ('.gz') is written")
    implied = _SUFFIX_FORMATS.get(os.path.splitext(stem)[1])
    if chosen is not None and implied is not None and chosen != implied:
        raise InputError(f"--format {chosen} does not match the name {path}")
    fmt = chosen or implied or "tsv"
    if compressed and fmt in ("npy", "npz"):
        raise InputError(f"cannot write {path}: {fmt} files are not gzip-compressed ({fmt} output is binary)")
    return Target(path, fmt, compressed)


def splits_target(path: str) -> Target:
    target = target_for(path, None)
    if target.fmt != "npz":
        raise InputError(f"splits writes one .npz file: give --output a name ending in .npz, not {path}")
    return target


def require_numpy(what: str) -> None:
    try:
        import numpy  # noqa: F401
    except ImportError:
        raise EnvironmentFailure(f"{what} needs NumPy, which cannot be imported here") from None


def check_writable(path: str, inputs: Sequence[str]) -> None:
    """Fails before any work when the output could not be written afterwards, or would destroy an input."""
    if os.path.isdir(path):
        raise InputError(f"cannot write {path}: it is a directory")
    directory = os.path.dirname(os.path.realpath(path))
    if not os.path.isdir(directory):
        raise InputError(f"cannot write {path}: no directory {os.path.dirname(path) or directory}")
    try:
        existing = os.stat(path)
    except OSError:
        existing = None
    if existing is not None:
        if not os.access(path, os.W_OK):
            raise EnvironmentFailure(f"cannot write {path}: permission denied")
        for source in inputs:
            if source == STDIN:
                continue
            with suppress(OSError):
                read = os.stat(source)
                if (read.st_dev, read.st_ino) == (existing.st_dev, existing.st_ino):
                    raise InputError(f"the output {path} is the input {source}")
        if not stat.S_ISREG(existing.st_mode):
            return
    if not os.access(directory, os.W_OK):
        raise EnvironmentFailure(f"cannot write {path}: permission denied")


def _failed(path: str, err: OSError) -> EnvironmentFailure:
    return EnvironmentFailure(f"cannot write {path}: {err.strerror or err}")


def _umask() -> int:
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


@contextmanager
def _replaced(path: str) -> Iterator[IO[bytes]]:
    """A binary file that becomes `path` once the block completes."""
    target = os.path.realpath(path)  # through symbolic links: the link stays, its target is replaced
    try:
        mode: int | None = os.stat(target).st_mode
    except FileNotFoundError:
        mode = None
    try:
        if mode is not None and not stat.S_ISREG(mode):
            with open(target, "wb") as device:
                yield device
            return
        folder = os.path.dirname(target)
        handle, temporary = tempfile.mkstemp(prefix=f".{os.path.basename(target)}.", suffix=".part", dir=folder)
    except OSError as err:
        raise _failed(path, err) from None
    try:
        with os.fdopen(handle, "wb") as file:
            os.fchmod(file.fileno(), stat.S_IMODE(mode) if mode is not None else 0o666 & ~_umask())
            yield file
            file.flush()
            os.fsync(file.fileno())
        os.replace(temporary, target)
    except BaseException as err:
        with suppress(OSError):
            os.unlink(temporary)
        if isinstance(err, OSError):
            raise _failed(path, err) from None
        raise
    _sync_folder(folder)


def _sync_folder(folder: str) -> None:
    """Makes the rename itself durable where the file system allows it."""
    with suppress(OSError):
        handle = os.open(folder, os.O_RDONLY)
        try:
            os.fsync(handle)
        finally:
            os.close(handle)


@contextmanager
def _text(binary: IO[bytes], compressed: bool) -> Iterator[IO[str]]:
    packed = gzip.GzipFile(fileobj=binary, mode="wb", mtime=0) if compressed else None
    text = io.TextIOWrapper(packed if packed is not None else binary, encoding="utf-8", newline="")
    yield text
    text.flush()
    text.detach()
    if packed is not None:
        packed.close()


# Rows done and rows in all, after each band of rows written.
RowsWritten = Callable[[int, int], None]


def write_matrix(matrix: Matrix, target: Target, written: RowsWritten | None = None) -> None:
    if target.path is None:
        _write_table(matrix, sys.stdout, _delimiter(target.fmt), written)
        sys.stdout.flush()
        return
    if target.fmt in ("npy", "npz"):
        import numpy

        n = len(matrix.names)
        values = numpy.asarray(matrix.values, dtype=matrix.dtype).reshape(n, n)
        with _replaced(target.path) as file:
            if target.fmt == "npy":
                numpy.save(file, values)
            else:
                numpy.savez_compressed(file, distances=values, tree_names=numpy.array(matrix.names, dtype=str))
        return
    with _replaced(target.path) as file, _text(file, target.compressed) as text:
        _write_table(matrix, text, _delimiter(target.fmt), written)


def _delimiter(fmt: str) -> str:
    return "\t" if fmt == "tsv" else ","


def _write_table(matrix: Matrix, file: IO[str], delimiter: str, written: RowsWritten | None = None) -> None:
    writer = csv.writer(file, delimiter=delimiter, lineterminator="\n")
    writer.writerow(["", *matrix.names])
    n = len(matrix.names)
    # A text stream without bytes beneath it (a StringIO standing in for stdout) gets the csv module's rows.
    format_rows = _native_rows() if isinstance(file, io.TextIOWrapper) else None
    # Bands of about a million cells: each formatted in parallel by the engine, and a progress step.
    band = max(1, (1 << 20) // max(n, 1))
    for start in range(0, n, band):
        end = min(n, start + band)
        if format_rows is None:
            for i in range(start, end):
                writer.writerow([matrix.names[i], *matrix.row(i)])
        else:
            import numpy

            values = numpy.asarray(matrix.values[start * n : end * n], dtype=matrix.dtype).reshape(end - start, n)
            file.flush()
            cast(io.TextIOWrapper, file).buffer.write(format_rows(matrix.names[start:end], values, delimiter))
        if written is not None:
            written(end, n)


def _native_rows() -> Callable[[list[str], Any, str], bytes] | None:
    """The engine's row formatter (the same text as the csv module writes, at native speed), where the engine
    and NumPy can be imported."""
    try:
        import numpy  # noqa: F401
        from _cladomatic_engine import format_rows
    except ImportError:
        return None
    return cast(Callable[[list[str], Any, str], bytes], format_rows)


def write_npz(path: str, arrays: dict[str, Any]) -> None:
    import numpy

    with _replaced(path) as file:
        numpy.savez_compressed(file, **arrays)
