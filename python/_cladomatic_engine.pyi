"""The interned tree set behind cladomatic_tools.TreeSet."""

from collections.abc import Iterable, Sequence

import numpy as np
from numpy.typing import NDArray

# Arrays are taken as they are, never converted: C-contiguous, on the CPU, of the dtype named (index arrays
# uint32; `out` of `distances` and `against` uint32 for rf, float64 for the other metrics).

class InvariantFailure(BaseException): ...

def format_rows(names: Sequence[str], values: NDArray[np.uint32] | NDArray[np.float64], delimiter: str) -> bytes:
    """Lines of delimited text, one per name: the name (quoted only when it must be), then its row of
    values (uint32, or float64 in the shortest form that reads back to the same bits)."""

class Engine:
    @staticmethod
    def build(
        items: Iterable[str | tuple[str, dict[str, str] | None]],
        translate: dict[str, str] | None,
        rooted: bool,
        lengths: bool,
    ) -> Engine: ...
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
    def topologies(self, out: NDArray[np.uint32]) -> None: ...
