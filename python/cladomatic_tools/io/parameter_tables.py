"""Parameter samples of MCMC runs: MrBayes `.p` files and BEAST `.log` files, gzip-compressed or not.

Both are tab-separated tables, one row per sample: MrBayes's opens with a bracketed `[ID: ...]` line and names
the generation `Gen`, BEAST's opens with `#` comment lines and names it `state`. The first column is always the
generation; every other column is a parameter.
"""

import gzip
import io
import os
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass

import numpy as np

from cladomatic_tools.io.reader import InputError

# A tree file's parameter file beside it: MrBayes names them NAME.runI.t and NAME.runI.p
_TREE_SUFFIXES = (".t", ".t.gz")


_GZIP_MAGIC = b"\x1f\x8b"
# rows converted to numbers at a time: their text is held until then
_BLOCK_ROWS = 4096


@contextmanager
def open_text(path: str) -> Iterator[io.TextIOWrapper]:
    """A table's lines, decompressed when the file is gzip; tree files have the engine's reader, tables this."""
    try:
        raw = open(path, "rb")
    except OSError as err:
        raise InputError(f"cannot open {path}: {err.strerror or err}") from None
    with raw:
        binary: io.BufferedReader | gzip.GzipFile = raw
        if raw.peek(2)[:2] == _GZIP_MAGIC:
            binary = gzip.GzipFile(fileobj=raw, mode="rb")
        yield io.TextIOWrapper(binary, encoding="utf-8-sig", newline="")


@dataclass(frozen=True, slots=True)
class ParameterTable:
    path: str
    names: list[str]  # the parameter columns, the generation column left out
    generations: np.ndarray  # int64 [samples]
    values: np.ndarray  # float64 [samples, parameters]


def read_table(path: str) -> ParameterTable:
    """The samples of one parameter file; a malformed one raises InputError naming the file and line."""
    header: list[str] | None = None
    blocks: list[np.ndarray] = []
    rows: list[list[str]] = []
    numbers: list[int] = []
    with open_text(path) as text:
        try:
            for number, line in enumerate(text, start=1):
                fields = line.rstrip("\r\n").split("\t")
                if not line.strip() or line.lstrip().startswith(("[", "#")):
                    continue
                if header is None:
                    header = [field.strip() for field in fields]
                    if len(header) < 2:
                        raise InputError(f"{path} line {number}: not a table of parameters (no tab-separated columns)")
                    continue
                if len(fields) != len(header):
                    raise InputError(
                        f"{path} line {number}: {len(fields)} values for {len(header)} columns"
                        " (is the file complete?)"
                    )
                rows.append(fields)
                numbers.append(number)
                if len(rows) == _BLOCK_ROWS:
                    blocks.append(_block(path, header, rows, numbers))
                    rows, numbers = [], []
        except (OSError, EOFError, UnicodeDecodeError) as err:
            raise InputError(f"cannot read {path}: {err}") from None
    if rows:
        blocks.append(_block(path, header or [], rows, numbers))
    if header is None or not blocks:
        raise InputError(f"{path}: no parameter samples found")
    table = np.concatenate(blocks)
    generations = table[:, 0]
    # beyond 2^63 a generation would wrap round as an int64
    if np.any(generations != np.round(generations)) or np.any(np.abs(generations) >= 2.0**63):
        raise InputError(f"{path}: the first column ({header[0]}) must hold whole generation numbers below 2^63")
    return ParameterTable(path, header[1:], generations.astype(np.int64), np.ascontiguousarray(table[:, 1:]))


def _block(path: str, header: list[str], rows: list[list[str]], numbers: list[int]) -> np.ndarray:
    """Rows of fields as numbers: NumPy converts a block at once, and only a block that fails is gone through
    field by field, for the message naming the line and column."""
    try:
        block = np.array(rows, dtype=np.float64)
    except ValueError:
        block = np.array(
            [[_number(path, line, header[k], field) for k, field in enumerate(row)] for row, line in zip(rows, numbers)]
        )
    if not np.isfinite(block).all():
        row, column = np.argwhere(~np.isfinite(block))[0]
        _number(path, numbers[row], header[column], rows[row][column])
    return block


def _number(path: str, line: int, column: str, field: str) -> float:
    try:
        value = float(field)
    except ValueError:
        raise InputError(f"{path} line {line}: expected a number in column {column}, got '{field.strip()}'") from None
    if not np.isfinite(value):
        raise InputError(f"{path} line {line}: column {column} holds {field.strip()}, not a finite number")
    return value


def beside(tree_path: str) -> str | None:
    """The MrBayes parameter file of a run's tree file (NAME.runI.p or .p.gz for NAME.runI.t or .t.gz), when one
    exists."""
    for suffix in _TREE_SUFFIXES:
        if tree_path.endswith(suffix):
            stem = tree_path[: -len(suffix)]
            for candidate in (stem + ".p", stem + ".p.gz"):
                if os.path.isfile(candidate):
                    return candidate
    return None
