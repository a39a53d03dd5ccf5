"""Calls into the cladomatic extension module: one call per run, fed by the file stream."""

from collections.abc import Callable
from typing import Any

from cladomatic_tools.output import Matrix, u32_values
from cladomatic_tools.progress import Status
from cladomatic_tools.reader import InputError
from cladomatic_tools.sources import FileTrees, explain, texts

METRICS = ("rf", "wrf", "kf")


class EngineMissing(Exception):
    """The extension module cannot be imported."""


def _function(name: str) -> Callable[..., Any]:
    try:
        import cladomatic
    except ImportError as err:
        raise EngineMissing(f"cannot import the cladomatic extension module: {err}") from None
    if not hasattr(cladomatic, name):
        raise EngineMissing(f"the cladomatic extension module at {cladomatic.__file__} has no {name}")
    return getattr(cladomatic, name)


def _run(
    function: Callable[..., tuple[Any, ...]], tree_set: FileTrees, rooted: bool, status: Status
) -> tuple[Any, ...]:
    counter = _function("ProgressCounter")() if status.enabled else None
    stream = texts(tree_set, status.tree_read if status.enabled else None)
    try:
        with status.watching(counter, len(tree_set.names)):
            result = function(
                tree_set.names, stream, tree_set.translate_maps, tree_set.map_indices, rooted=rooted, progress=counter
            )
    except ValueError as err:
        raise InputError(explain(tree_set, str(err))) from None
    finally:
        stream.close()
    return result


def _changed() -> InputError:
    # the stream stops at the trees counted by the scan, so only a file that shrank gets here
    return InputError("the input files changed while they were being read")


def distances(metric: str, tree_set: FileTrees, rooted: bool, status: Status) -> Matrix:
    function = _function(f"pairwise_{metric}_from_newick_iter")
    names, values = _run(function, tree_set, rooted, status)
    if metric == "rf":
        values = u32_values(values)
    if len(values) != len(names) ** 2:
        raise _changed()
    return Matrix(names, values, "uint32" if metric == "rf" else "float64")


def splits(metric: str, tree_set: FileTrees, rooted: bool, status: Status) -> dict[str, Any]:
    """The distance matrix and the exports, decoded into the NumPy arrays of the .npz file."""
    import numpy

    function = _function(f"pairwise_{metric}_with_snapshots_from_newick_iter")
    names, matrix, leaf_names, n_bip, per_tree, clades = _run(function, tree_set, rooted, status)
    n = len(names)
    if len(matrix) != n * n * (4 if metric == "rf" else 8):
        raise _changed()
    arrays: dict[str, Any] = {
        "tree_names": numpy.array(names, dtype=str),
        "leaf_names": numpy.array(leaf_names, dtype=str),
    }
    if metric == "rf":
        arrays["distances"] = numpy.frombuffer(matrix, dtype="<u4").reshape(n, n)
        arrays["presence"] = numpy.frombuffer(per_tree, dtype=numpy.uint8).reshape(n, n_bip) != 0
    else:
        arrays["distances"] = numpy.frombuffer(matrix, dtype="<f8").reshape(n, n)
        arrays["branch_lengths"] = numpy.frombuffer(per_tree, dtype="<f8").reshape(n, n_bip)
    stride = (len(leaf_names) + 7) // 8
    rows = numpy.frombuffer(clades, dtype=numpy.uint8).reshape(n_bip, stride)
    bits = numpy.unpackbits(rows, axis=1, count=len(leaf_names), bitorder="little")
    arrays["bipartitions"] = bits.astype(bool)
    return arrays
