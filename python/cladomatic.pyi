"""Type stub of the compiled module: the six pairwise functions and the progress counter."""

from collections.abc import Iterator, Mapping, Sequence
from typing import SupportsIndex, final

import numpy as np

__all__ = [
    "pairwise_rf_from_newick_iter",
    "pairwise_rf_with_snapshots_from_newick_iter",
    "pairwise_wrf_with_snapshots_from_newick_iter",
    "pairwise_kf_with_snapshots_from_newick_iter",
    "pairwise_wrf_from_newick_iter",
    "pairwise_kf_from_newick_iter",
    "ProgressCounter",
]

_Rooted = bool | np.bool_

@final
class ProgressCounter:
    def __init__(self) -> None: ...
    def value(self, /) -> int: ...
    def total(self, /) -> int: ...
    def fraction(self, /) -> float: ...
    def reset(self, /) -> None: ...

# (tree_names, rf_matrix_bytes)
def pairwise_rf_from_newick_iter(
    names: Sequence[str],
    newick_iter: Iterator[str],
    translate_maps: Sequence[Mapping[str, str]],
    map_indices: Sequence[SupportsIndex],
    rooted: _Rooted = False,
    progress: ProgressCounter | None = None,
) -> tuple[list[str], bytes]: ...

# (tree_names, rf_matrix_bytes, leaf_names, n_bipartitions, presence_bytes, bipartition_clade_bytes)
def pairwise_rf_with_snapshots_from_newick_iter(
    names: Sequence[str],
    newick_iter: Iterator[str],
    translate_maps: Sequence[Mapping[str, str]],
    map_indices: Sequence[SupportsIndex],
    rooted: _Rooted = False,
    progress: ProgressCounter | None = None,
) -> tuple[list[str], bytes, list[str], int, bytes, bytes]: ...

# (tree_names, wrf_matrix_bytes, leaf_names, n_bip, branch_length_bytes, bipartition_clade_bytes)
def pairwise_wrf_with_snapshots_from_newick_iter(
    names: Sequence[str],
    newick_iter: Iterator[str],
    translate_maps: Sequence[Mapping[str, str]],
    map_indices: Sequence[SupportsIndex],
    rooted: _Rooted = False,
    progress: ProgressCounter | None = None,
) -> tuple[list[str], bytes, list[str], int, bytes, bytes]: ...

# (tree_names, kf_matrix_bytes, leaf_names, n_bip, branch_length_bytes, bipartition_clade_bytes)
def pairwise_kf_with_snapshots_from_newick_iter(
    names: Sequence[str],
    newick_iter: Iterator[str],
    translate_maps: Sequence[Mapping[str, str]],
    map_indices: Sequence[SupportsIndex],
    rooted: _Rooted = False,
    progress: ProgressCounter | None = None,
) -> tuple[list[str], bytes, list[str], int, bytes, bytes]: ...

# (tree_names, distance_matrix): n * n floats, row-major
def pairwise_wrf_from_newick_iter(
    names: Sequence[str],
    newick_iter: Iterator[str],
    translate_maps: Sequence[Mapping[str, str]],
    map_indices: Sequence[SupportsIndex],
    rooted: _Rooted = False,
    progress: ProgressCounter | None = None,
) -> tuple[list[str], list[float]]: ...

# (tree_names, distance_matrix): n * n floats, row-major
def pairwise_kf_from_newick_iter(
    names: Sequence[str],
    newick_iter: Iterator[str],
    translate_maps: Sequence[Mapping[str, str]],
    map_indices: Sequence[SupportsIndex],
    rooted: _Rooted = False,
    progress: ProgressCounter | None = None,
) -> tuple[list[str], list[float]]: ...
