"""Writing distance matrices (TSV, CSV, .npy) and split exports (.npz)."""

import csv
import os
import sys
from array import array
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass
from typing import IO, Any

from cladomatic_tools.reader import InputError

FORMATS = ("tsv", "csv", "npy")


@dataclass(frozen=True, slots=True)
class Matrix:
    """An n x n distance matrix in row-major order: RF counts or WRF/KF floats."""

    names: list[str]
    values: Sequence[int] | Sequence[float]
    dtype: str  # the NumPy type of the values

    def row(self, i: int) -> Sequence[int] | Sequence[float]:
        n = len(self.names)
        return self.values[i * n : (i + 1) * n]


def u32_values(data: bytes) -> Sequence[int]:
    """Little-endian unsigned 32-bit values, without a copy where the machine is little-endian."""
    if sys.byteorder == "little":
        return memoryview(data).cast("I")
    values = array("I", data)
    values.byteswap()
    return values


def format_for(path: str | None, chosen: str | None) -> str:
    if chosen is not None:
        return chosen
    suffix = os.path.splitext(path or "")[1].lower()
    return {".csv": "csv", ".npy": "npy"}.get(suffix, "tsv")


def check_writable(path: str) -> None:
    """Fails before any work when the output could not be written afterwards."""
    if os.path.isdir(path):
        raise InputError(f"cannot write {path}: it is a directory")
    directory = os.path.dirname(path) or "."
    if not os.path.isdir(directory):
        raise InputError(f"cannot write {path}: no directory {directory}")
    if not os.access(directory, os.W_OK) or (os.path.exists(path) and not os.access(path, os.W_OK)):
        raise InputError(f"cannot write {path}: permission denied")


@contextmanager
def _created(path: str, binary: bool) -> Iterator[IO[Any]]:
    """The output file, removed again when writing it fails or is interrupted."""
    try:
        file = open(path, "wb") if binary else open(path, "w", encoding="utf-8", newline="")
    except OSError as err:
        raise InputError(f"cannot write {path}: {err.strerror or err}") from None
    try:
        with file:
            yield file
    except BaseException:
        os.unlink(path)
        raise


def write_matrix(matrix: Matrix, path: str | None, fmt: str) -> None:
    if fmt == "npy":
        import numpy

        assert path is not None
        with _created(path, binary=True) as file:
            n = len(matrix.names)
            numpy.save(file, numpy.asarray(matrix.values, dtype=matrix.dtype).reshape(n, n))
        return
    delimiter = "\t" if fmt == "tsv" else ","
    if path is None:
        _write_table(matrix, sys.stdout, delimiter)
        sys.stdout.flush()
        return
    with _created(path, binary=False) as file:
        _write_table(matrix, file, delimiter)


def _write_table(matrix: Matrix, file: IO[str], delimiter: str) -> None:
    writer = csv.writer(file, delimiter=delimiter, lineterminator="\n")
    writer.writerow(["", *matrix.names])
    for i, name in enumerate(matrix.names):
        writer.writerow([name, *matrix.row(i)])


def write_npz(path: str, arrays: dict[str, Any]) -> None:
    import numpy

    with _created(path, binary=True) as file:
        numpy.savez_compressed(file, **arrays)
