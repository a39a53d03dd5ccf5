"""Calls into the native code for the command: the tree set read in one pass, the matrix computed a band of
rows at a time on it, and the split exports of the cladomatic module."""

from collections.abc import Callable
from typing import TYPE_CHECKING, Any, cast

from cladomatic_tools.output import Bands, ensure_fits
from cladomatic_tools.progress import Counter, RowCounter, Status
from cladomatic_tools.reader import EngineMissing, InputError
from cladomatic_tools.rooting import COMMAND_OPTIONS
from cladomatic_tools.sources import FileTrees, explain, rooting_of, scan, texts

if TYPE_CHECKING:
    from cladomatic_tools.treeset import TreeSet

METRICS = ("rf", "rf_norm", "wrf", "kf", "info_rf")
# Metrics whose per-tree exports the cladomatic module writes.
SPLIT_METRICS = ("rf", "wrf", "kf")
WEIGHTED = ("wrf", "kf")


def _function(name: str) -> Callable[..., tuple[Any, ...]]:
    try:
        import cladomatic
    except ImportError as err:
        raise EngineMissing(f"cannot import the cladomatic extension module: {err}") from None
    if not hasattr(cladomatic, name):
        raise EngineMissing(f"the cladomatic extension module at {cladomatic.__file__} has no {name}")
    return cast(Callable[..., tuple[Any, ...]], getattr(cladomatic, name))


def _tree_set_type() -> type[TreeSet]:
    try:
        from cladomatic_tools.treeset import TreeSet
    except ImportError as err:
        raise EngineMissing(f"cannot import the tree-set engine: {err}") from None
    return TreeSet




def read_set(
    readings: list[FileTrees],
    metric: str,
    rooted: bool | None,
    status: Status,
    warn: Callable[[str], None] | None = None,
    *,
    lengths: bool | None = None,
    threads: int | None = None,
) -> TreeSet:
    """The trees of the readings read once, one after another, into one tree set of `threads` threads (None:
    every CPU), with branch lengths only for the metrics that use them (or as `lengths` says), rooted as `rooted`
    says or else as the files mark them (see `rooting`); a fault in a tree is said with its file, line and tree."""
    tree_set_type = _tree_set_type()
    weighted = metric in WEIGHTED if lengths is None else lengths
    try:
        rooting = rooting_of(rooted, readings, COMMAND_OPTIONS)
        if metric == "info_rf":
            rooting.refuse_rooted(metric)
        on_tree = status.reading if status.enabled else None
        trees = tree_set_type.from_reading(
            readings, rooting=rooting, lengths=weighted, on_tree=on_tree, threads=threads
        )
    except ValueError as err:
        raise InputError(str(err)) from None
    finally:
        status.clear()
    if warn is not None and weighted:
        _warn_lengths(warn, sum(files.without_lengths for files in readings), len(trees))
    return trees


def bands(metric: str, trees: TreeSet, rows: range, cols: range, counter: RowCounter) -> Bands:
    """The block `rows` x `cols` of the set's matrix, band by band (Ctrl-C stops a band at once). Blocks of one set
    are cells of its whole matrix, bit for bit."""
    import numpy

    dtype = "uint32" if metric == "rf" else "float64"
    columns = numpy.arange(cols.start, cols.stop, dtype=numpy.uint32)

    def fill(span: range, out: Any) -> None:
        picked = range(rows.start + span.start, rows.start + span.stop)
        trees.distances(metric, rows=picked, cols=columns, out=out)
        counter.add(len(span))

    names = trees.tree_names
    return Bands(names[rows.start : rows.stop], names[cols.start : cols.stop], dtype, fill, rows == cols)


def _run(
    function: Callable[..., tuple[Any, ...]],
    tree_set: FileTrees,
    rooted: bool,
    status: Status,
    warn: Callable[[str], None] | None,
) -> tuple[Any, ...]:
    counter = cast(Counter, _function("ProgressCounter")()) if status.enabled else None
    stream = texts(tree_set, lambda _: status.tree_read())

    # The module is not stopped by Ctrl-C: the interrupt takes effect once its call returns.
    try:
        with status.watching(counter, len(tree_set.names)):
            result = function(
                tree_set.names, stream, tree_set.translate_maps, tree_set.map_indices, rooted=rooted, progress=counter
            )
    except ValueError as err:
        stream.close()
        raise InputError(explain([tree_set], err, rooted)) from None
    stream.close()
    if warn is not None:
        _warn_lengths(warn, tree_set.without_lengths, len(tree_set.names))
    return result


def _warn_lengths(warn: Callable[[str], None], without_lengths: int, trees: int) -> None:
    if without_lengths:
        warn(
            f"{without_lengths} of {trees} trees have no branch lengths: every split of "
            f"{'it' if without_lengths == 1 else 'them'} counts as length 0"
        )


def splits(
    metric: str, tree_set: FileTrees, rooted: bool | None, status: Status, warn: Callable[[str], None]
) -> dict[str, Any]:
    """The distance matrix and the exports of the trees `tree_set` selects, rooted as `rooted` says or else as
    the files mark them, decoded into the NumPy arrays of the .npz file."""
    import numpy

    function = _function(f"pairwise_{metric}_with_snapshots_from_newick_iter")
    try:
        rooting = rooting_of(rooted, [tree_set], COMMAND_OPTIONS)
        scan(tree_set, status.reading if status.enabled else None, rooting)
    except ValueError as err:
        raise InputError(str(err)) from None
    finally:
        status.clear()
    n = len(tree_set.names)
    ensure_fits(n, n, 4 if metric == "rf" else 8)
    result = _run(function, tree_set, rooting.rooted, status, None if metric == "rf" else warn)
    names, matrix, leaf_names, n_bip, per_tree, clades = result
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
    # unpackbits gives exactly 0 or 1, so its bytes are booleans as they are
    arrays["bipartitions"] = numpy.unpackbits(rows, axis=1, count=len(leaf_names), bitorder="little").view(bool)
    return arrays
