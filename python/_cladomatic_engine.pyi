"""The interned tree set behind cladomatic_tools.TreeSet."""

from collections.abc import Iterable, Iterator, Sequence

import numpy as np
from numpy.typing import NDArray

# Arrays are taken as they are, never converted: C-contiguous, on the CPU, of the dtype named (index arrays
# uint32; `out` of `distances` and `against` uint32 for rf, float64 for the other metrics).

class InvariantFailure(BaseException): ...

def format_rows(names: Sequence[str], values: NDArray[np.uint32] | NDArray[np.float64], delimiter: str) -> bytes:
    """Lines of delimited text, one per name: the name (quoted only when it must be), then its row of
    values (uint32, or float64 in the shortest form that reads back to the same bits)."""

def rooting_mark(text: str) -> bool | None:
    """True for a tree marked [&R] (rooted), False for [&U], None without a mark."""

def leaf_labels(text: str) -> list[str]:
    """The leaf labels of a tree as the engine reads them, as far as the text is well-formed."""

# (text, line, name, translate table, block, position) of one tree of a file.
TreeTuple = tuple[str, int, str | None, dict[str, str] | None, int, int]

class TreeFile(Iterator[TreeTuple]):
    # source: a path, a file descriptor (left open), or a file object that reads bytes or text
    def __init__(self, source: object, name: str, chunk_bytes: int, max_tree_chars: int) -> None: ...
    def __iter__(self) -> TreeFile: ...
    def __next__(self) -> TreeTuple: ...
    def peek(self) -> TreeTuple | None: ...

class FileReading:
    def __init__(
        self,
        readings: list[tuple[list[TreeFile], int | None, int, str]],
        # first_kept(reading, found) -> int; marked((line, name, block, position),
        # (reading, input, block, blocks_in_file), rooted); progress(name, trees)
        hooks: object,
        follow_marks: bool,
        marks_seen: tuple[bool, bool],
        hold_texts: bool,
    ) -> None: ...
    def read_all(self) -> None: ...
    @property
    def error(self) -> str | None: ...
    @property
    def runs(self) -> list[tuple[int, int, int, int, int, int, bool]]: ...
    def without_lengths(self, reading: int) -> int: ...
    def kept(self, reading: int) -> tuple[list[int], list[int], list[int], list[int], list[str | None]]: ...
    def tables(self, reading: int) -> list[dict[str, str]]: ...
    def text(self, index: int) -> str | None: ...

class Engine:
    @staticmethod
    def build(
        items: Iterable[str | tuple[str, dict[str, str] | None]],
        translate: dict[str, str] | None,
        rooted: bool,
        lengths: bool,
    ) -> Engine: ...
    @staticmethod
    def build_from(reading: FileReading, rooted: bool, lengths: bool) -> Engine | None: ...
    @staticmethod
    def load(data: bytes) -> Engine: ...
    def save(self) -> bytes: ...
    @property
    def n_trees(self) -> int: ...
    @property
    def n_leaves(self) -> int: ...
    @property
    def n_splits(self) -> int: ...
    @property
    def leaf_names(self) -> list[str]: ...
    @property
    def rooted(self) -> bool: ...
    @property
    def lengths(self) -> bool: ...
    def distances(
        self,
        metric: str,
        rows: NDArray[np.uint32],
        cols: NDArray[np.uint32],
        out: NDArray[np.uint32] | NDArray[np.float64],
    ) -> None: ...
    def against(
        self,
        other: Engine,
        metric: str,
        rows: NDArray[np.uint32],
        cols: NDArray[np.uint32],
        out: NDArray[np.uint32] | NDArray[np.float64],
    ) -> None: ...
    def sums(self, metric: str, out: NDArray[np.float64]) -> None: ...
    def split_sides(self, out: NDArray[np.bool_]) -> None: ...
    def group_counts(self, groups: NDArray[np.int32], out: NDArray[np.int64]) -> None: ...
