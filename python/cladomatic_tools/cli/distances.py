"""Calls into the native code for the command: the tree set read in one pass, the matrix computed a band of
rows at a time on it, and the split exports."""

import contextlib
import warnings
from collections.abc import Callable, Iterator
from typing import TYPE_CHECKING, Any, cast

from cladomatic_tools.cli.progress import Counter, RowCounter, Status
from cladomatic_tools.io.reader import EngineMissing, InputError
from cladomatic_tools.io.sources import FileTrees, explain, kept_note, listed, rooting_of, scan, texts
from cladomatic_tools.io.writers import Bands, ensure_fits
from cladomatic_tools.metrics import metric_info
from cladomatic_tools.rooting import COMMAND_OPTIONS

if TYPE_CHECKING:
    from cladomatic_tools.treeset import TreeSet

# Metrics whose per-tree exports the cladomatic module writes.
SPLIT_METRICS = ("rf", "wrf", "kf")


def known_metric(metric: str) -> bool:
    """Whether `metric` names a metric of the table (with or without parameters)."""
    try:
        metric_info(metric)
    except ValueError:
        return False
    return True
# --prune: every tree pruned to the taxa all hold, or each pair to the taxa its two trees share
PRUNE_MODES = ("common", "pairwise")


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
    prune: str | None = None,
    say_kept: bool = False,
) -> TreeSet:
    """The trees of the readings read once, one after another, into one tree set of `threads` threads (None:
    every CPU), with branch lengths only for the metrics that use them (or as `lengths` says), rooted as `rooted`
    says or else as the files mark them (see `rooting`); a fault in a tree is said with its file, line and tree.
    With a `prune` mode the trees may hold different taxa; "common" gives the set pruned to the taxa every tree
    holds and says which taxa that drops. `say_kept` says on standard error what the burn-in and --every kept of
    each run (see `Status.note`), since no output shows how much of a sample the burn-in dropped."""
    tree_set_type = _tree_set_type()
    # None for a set read for no one metric (the summaries), which says `lengths`
    info = metric_info(metric) if known_metric(metric) else None
    weighted = (info is not None and info.needs_lengths) if lengths is None else lengths
    try:
        rooting = rooting_of(rooted, readings, COMMAND_OPTIONS)
        if info is not None and info.unrooted_only:
            rooting.refuse_rooted(info.name)
        if info is not None and info.rooted_only:
            rooting.refuse_unrooted(info.name)
        if info is not None and info.by_tree and prune == "pairwise":
            raise ValueError(f"{info.name} has no pairwise pruning: give --prune common")
        on_tree = status.reading if status.enabled else None
        taxa = "same" if prune is None else "any"
        trees = tree_set_type.from_reading(
            readings, rooted=rooting, lengths=weighted, on_tree=on_tree, threads=threads, taxa=taxa
        )
        if prune == "common":
            everything = trees.leaf_names
            trees = trees.pruned()
            dropped = sorted(set(everything) - set(trees.leaf_names))
            if dropped and warn is not None:
                warn(
                    f"--prune common drops {len(dropped)} of {len(everything)} taxa, those not in every tree: "
                    f"{listed(dropped)}"
                )
    except ValueError as err:
        raise InputError(str(err)) from None
    finally:
        status.clear()
    if say_kept:
        status.note(kept_note(readings))
    if warn is not None and weighted:
        _warn_lengths(warn, sum(files.without_lengths for files in readings), len(trees))
    return trees


class ShortPairs:
    """How many pairs compared with --prune pairwise share too few taxa to have a distance, over all bands."""

    def __init__(self) -> None:
        self.count = 0

    @contextlib.contextmanager
    def counted(self) -> Iterator[None]:
        """Adds up the PairsWithoutDistance warnings of the calls within, which say nothing themselves: the
        command says the sum once."""
        from cladomatic_tools.treeset import PairsWithoutDistance

        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", PairsWithoutDistance)
            yield
        self.count += sum(w.message.pairs for w in caught if isinstance(w.message, PairsWithoutDistance))

    @contextlib.contextmanager
    def silenced(self) -> Iterator[None]:
        """Drops the PairsWithoutDistance warnings of the calls within, for pairs the command counts itself."""
        from cladomatic_tools.treeset import PairsWithoutDistance

        with warnings.catch_warnings():
            warnings.simplefilter("ignore", PairsWithoutDistance)
            yield

    def add_from_diagonal(self, block: Any) -> None:
        """Counts the pairs without a distance (nan) of a band of a square matrix given from its diagonal on:
        those right of the diagonal, each pair of two trees once."""
        import numpy

        for k, row in enumerate(block):
            self.count += int(numpy.count_nonzero(numpy.isnan(row[k + 1 :])))

    def warn(self, warn: Callable[[str], None], rooted: bool, pairs: int) -> None:
        """Says how many of the `pairs` pairs of two trees compared have no distance."""
        if self.count:
            verb = "shares" if self.count == 1 else "share"
            warn(
                f"{self.count} of {pairs} pairs of trees {verb} fewer than {3 if rooted else 4} taxa: their "
                "distances are written as nan"
            )


def bands(
    metric: str,
    trees: TreeSet,
    rows: range,
    cols: range,
    counter: RowCounter,
    pairwise: ShortPairs | None = None,
) -> Bands:
    """The block `rows` x `cols` of the set's matrix, band by band (Ctrl-C stops a band at once). Blocks of one set
    are cells of its whole matrix, bit for bit; the whole square matrix also comes from its diagonal on, each pair
    computed once, but in the metrics whose pairs are cheap (`Metric.cheap_pairs`). With `pairwise`, each pair is
    compared on the taxa it shares (float64), and the pairs without a distance are counted there."""
    import numpy

    dtype = metric_info(metric).dtype if pairwise is None else "float64"
    columns = numpy.arange(cols.start, cols.stop, dtype=numpy.uint32)

    def band(picked: range, out: Any) -> None:
        if pairwise is None:
            trees.distances(metric, rows=picked, cols=columns, out=out)
            return
        with pairwise.counted():
            trees.distances(metric, rows=picked, cols=columns, out=out, prune="pairwise")

    def fill(span: range, out: Any) -> None:
        picked = range(rows.start + span.start, rows.start + span.stop)
        band(picked, out)
        counter.add(len(span))

    def upper(band_bytes: int) -> Iterator[tuple[range, Any]]:
        prune = None if pairwise is None else "pairwise"
        blocks = trees.distances_chunked(metric, working_memory=band_bytes / 2**20, upper=True, prune=prune)
        start = 0
        while start < len(trees):
            if pairwise is None:
                block = next(blocks)
            else:
                with pairwise.silenced():  # their warnings count the diagonal block's pairs twice
                    block = next(blocks)
                pairwise.add_from_diagonal(block)
            yield range(start, start + len(block)), block
            counter.add(len(block))
            start += len(block)

    names = trees.tree_names
    square = rows == cols
    # a square block here is always the whole set's matrix (the rows of one sample against themselves)
    once = pairwise is not None or not metric_info(metric).cheap_pairs
    from_diagonal = upper if square and once else None
    return Bands(names[rows.start : rows.stop], names[cols.start : cols.stop], dtype, fill, square, from_diagonal)


def _warn_lengths(warn: Callable[[str], None], without_lengths: int, trees: int) -> None:
    if without_lengths:
        warn(
            f"{without_lengths} of {trees} trees have no branch lengths: every split of "
            f"{'it' if without_lengths == 1 else 'them'} counts as length 0"
        )


def splits(
    metric: str,
    reading: FileTrees,
    rooted: bool | None,
    status: Status,
    warn: Callable[[str], None],
    *,
    threads: int | None = None,
    prune: str | None = None,
) -> dict[str, Any]:
    """The distance matrix and the exports of the trees `reading` selects, rooted as `rooted` says or else as
    the files mark them, as the NumPy arrays of the .npz file; with `prune="common"`, of the trees pruned to the
    taxa all of them hold. Both paths give the same arrays: the module's whole-matrix kernel is the faster on
    large sets (3x on 20,000 trees) but runs on every CPU and lets Ctrl-C wait for its call's end, so a run that
    names its threads, or prunes, takes the engine's."""
    import numpy

    from cladomatic_tools.treeset import Progress

    if prune is None and threads is None:
        return _module_splits(metric, reading, rooted, status, warn)
    trees = read_set([reading], metric, rooted, status, warn, threads=threads, prune=prune, say_kept=True)
    n = len(trees)
    if n < 2:
        raise InputError(f"need at least 2 trees to compare, found {n}")
    ensure_fits(n, n, numpy.dtype(metric_info(metric).dtype).itemsize)
    rows = Progress()
    with status.watching(_PairsOfRows(rows, n), n):
        matrix = trees.distances(metric, progress=rows)
    weighted = metric_info(metric).needs_lengths
    sides, per_tree = trees.splits_by_tree(lengths=weighted)
    return {
        "tree_names": numpy.array(trees.tree_names, dtype=str),
        "leaf_names": numpy.array(trees.leaf_names, dtype=str),
        "distances": matrix,
        "branch_lengths" if weighted else "presence": per_tree,
        "bipartitions": sides,
    }


def _module_splits(
    metric: str, reading: FileTrees, rooted: bool | None, status: Status, warn: Callable[[str], None]
) -> dict[str, Any]:
    """`splits` by the module's `*_with_snapshots_*` call."""
    import numpy

    from cladomatic_tools.treeset import bipartition_rows

    function = _function(f"pairwise_{metric}_with_snapshots_from_newick_iter")
    try:
        rooting = rooting_of(rooted, [reading], COMMAND_OPTIONS)
        scan(reading, status.reading if status.enabled else None, rooting)
    except ValueError as err:
        raise InputError(str(err)) from None
    finally:
        status.clear()
    status.note(kept_note([reading]))
    n = len(reading.names)
    ensure_fits(n, n, numpy.dtype(metric_info(metric).dtype).itemsize)
    counter = cast(Counter, _function("ProgressCounter")()) if status.enabled else None
    stream = texts(reading, lambda _: status.tree_read())
    try:
        with status.watching(counter, n):
            result = function(
                reading.names,
                stream,
                reading.translate_maps,
                reading.map_indices,
                rooted=rooting.rooted,
                progress=counter,
            )
    except ValueError as err:
        raise InputError(explain([reading], err, rooting.rooted)) from None
    finally:
        stream.close()
    if metric != "rf":
        _warn_lengths(warn, reading.without_lengths, n)
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
    arrays["bipartitions"] = bipartition_rows(clades, n_bip, len(leaf_names))
    return arrays


class _PairsOfRows:
    """The engine's count of rows of a whole matrix, shown as the status line shows pairs."""

    def __init__(self, rows: Counter, n: int):
        self._rows = rows
        self._pairs = n * (n - 1) // 2

    def value(self) -> int:
        return round(self._pairs * self._rows.fraction())

    def total(self) -> int:
        return self._pairs

    def fraction(self) -> float:
        return self._rows.fraction()
