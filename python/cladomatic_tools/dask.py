"""The distance matrix of a tree set as Dask tiles: lazy arrays, reductions, and Zarr or .npy stores.

Every tile is one `TreeSet.distances` block computed where the task runs; nothing here computes a distance.
A run covers a block of the set's matrix: all its trees against all (the default), or a range of its trees
against another range (the command's --against and --between read both groups into one set). The matrix of
a set against itself is symmetric, so only tiles on or above the diagonal are computed: a tile below it is
the transpose of its mirror tile, and a tile on the diagonal is one block of the same trees as rows and as
columns, in which the set computes each pair once.

Trees whose taxa differ are compared with a pruning mode, `prune=` as `TreeSet.distances` takes it: "common"
prunes the set once, here, before any tile; "pairwise" compares each pair of each tile on the taxa it shares,
every metric then float64 and nan for a pair without a distance. A lazy array marks such pairs by their nan
alone; the runs that finish here (`block_matrix`, `to_npy`, `to_zarr`) count them in one PairsWithoutDistance
warning.

The tree set enters a graph once, as one `dask.delayed` value that every tile task takes. Without a
distributed client that value is the set itself. With one, the set travels in the graph as its pickled bytes
and a task loads it: the scheduler keeps the bytes (it never loads the set), so a worker that dies or is
restarted, even the last one holding the set, is given it again. A scattered set would be lost with its last
worker, and the run with it.

    import dask.array, zarr
    from cladomatic_tools import TreeSet, dask as tiles

    ts = TreeSet.from_files(["run1.t", "run2.t"], burnin="25%")
    matrix = tiles.distance_matrix(ts, "rf", tile=4096)      # dask.array.Array, nothing computed yet
    tiles.to_zarr(ts, "rf.zarr", "rf", tile=4096)             # resume=True after an interrupted run
    stored = dask.array.from_zarr("rf.zarr", component="distances")
"""

import math
import os
import pickle
import re
import socket
import time
import uuid
import warnings
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import dask
import dask.array as da
import numpy as np
from dask.delayed import Delayed
from dask.system import CPU_COUNT

from cladomatic_tools.io import provenance, tile_store, writers
from cladomatic_tools.metrics import METRICS, SUMMARIES, canonical_metric, metric_info
from cladomatic_tools.treeset import PairsWithoutDistance, _warn_short

# the reductions also take the summaries that are no metric (the mean squared Kuhner-Felsenstein score)
REDUCED_METRICS = (*METRICS, *(name for name in SUMMARIES if name not in METRICS))
# The sibling under which a store is built until it is complete and takes the place of PATH.
PARTIAL_SUFFIX = ".partial"
# A tile task holds about this many tile-sized arrays at its peak: the tile, its transposed mirror and the
# chunk being encoded above the diagonal; on it the tile and the set's scratch band of its pairs.
TILE_COPIES = 4
# The share of its memory limit at which a nanny restarts its worker (Dask's default).
RESTART_SHARE = 0.95
# How often a run on a cluster looks whether any worker is left.
POLL_SECONDS = 1.0
# The warnings of the set's calls made here, and of no other caller (see `tile_values`).
_OWN_CALLS = re.escape(__name__) + r"\Z"


class NoWorkers(TimeoutError):
    """No worker has been connected to the scheduler for as long as the caller allowed."""


class TileTooLarge(MemoryError):
    """A worker has not the memory for the tree set and a tile on each of its threads."""


def _is_metric(metric: str) -> bool:
    """Whether `metric` names a metric of the table with parameters ("kc(lambda=0.5)")."""
    try:
        metric_info(metric)
    except ValueError:
        return False
    return True


def dtype_of(metric: str, prune: str | None = None) -> np.dtype:
    """The matrix's dtype: the metric's, or float64 for every metric under prune="pairwise", whose pairs sharing
    too few taxa are nan."""
    dtype = metric_info(metric).dtype
    return np.dtype(np.float64 if prune == "pairwise" else dtype)


def bounds(n: int, tile: int) -> list[tuple[int, int]]:
    """The [start, stop) ranges of the tiles along one axis of n trees."""
    if isinstance(tile, bool) or not isinstance(tile, int) or tile < 1:
        raise ValueError(f"tile must be a whole number of at least 1, got {tile!r}")
    return [(start, min(start + tile, n)) for start in range(0, n, tile)]


def _tile_side(tile: int, chunk: int | None, stacklevel: int = 3) -> int:
    """`tile`, or `chunk`, the name callers knew it by, with a warning."""
    if chunk is None:
        return tile
    warnings.warn("chunk= is now tile=", DeprecationWarning, stacklevel=stacklevel)
    return chunk


@dataclass(frozen=True, slots=True)
class Block:
    """A block of a tree set's matrix: its rows and its columns, as ranges of the set's trees."""

    rows: range
    cols: range

    @property
    def symmetric(self) -> bool:
        return self.rows == self.cols

    @property
    def shape(self) -> tuple[int, int]:
        return len(self.rows), len(self.cols)


@dataclass(frozen=True, slots=True)
class Tile:
    """One tile to compute: its place in the block's grid of tiles, and its trees on each axis."""

    place: tuple[int, int]
    rows: tuple[int, int]
    cols: tuple[int, int]


def _block(tree_set: Any, rows: range | None, cols: range | None) -> Block:
    """The block of `rows` (default: every tree) against `cols` (default: the rows' own trees)."""
    picked = _trees(rows, len(tree_set), "rows")
    return Block(picked, picked if cols is None else _trees(cols, len(tree_set), "cols"))


def _trees(picked: range | None, n: int, what: str) -> range:
    if picked is None:
        return range(n)
    if not isinstance(picked, range) or picked.step != 1 or not 0 <= picked.start <= picked.stop <= n:
        raise ValueError(f"{what} must be a range of consecutive trees of the set (within 0 to {n}), not {picked!r}")
    return picked


def _chunks(block: Block, tile: int) -> tuple[int, int]:
    """A tile's rows and columns: `tile` on each axis, or the block's side where that is smaller."""
    bounds(0, tile)
    return max(1, min(tile, len(block.rows))), max(1, min(tile, len(block.cols)))


def _tiles(block: Block, chunks: tuple[int, int]) -> list[Tile]:
    """The tiles to compute: those on and above the diagonal of a symmetric block, every tile of another."""
    row_axis = [(block.rows.start + a, block.rows.start + b) for a, b in bounds(len(block.rows), chunks[0])]
    col_axis = [(block.cols.start + a, block.cols.start + b) for a, b in bounds(len(block.cols), chunks[1])]
    return [
        Tile((i, j), rows, cols)
        for i, rows in enumerate(row_axis)
        for j, cols in enumerate(col_axis)
        if not block.symmetric or i <= j
    ]


def _planned(
    tree_set: Any, metric: str, tile: int, chunk: int | None, prune: str | None, rows: range | None, cols: range | None
) -> tuple[Any, str | None, np.dtype, Block, tuple[int, int]]:
    """What a run over the block `rows` x `cols` works from: the set as its tiles compare it and the mode each tile
    takes (see `_compared`), the matrix's dtype, the block, and a tile's rows and columns."""
    side = _tile_side(tile, chunk, stacklevel=4)
    dtype = dtype_of(metric, prune)
    tree_set, prune = _compared(tree_set, metric, prune)
    block = _block(tree_set, rows, cols)
    return tree_set, prune, dtype, block, _chunks(block, side)


def _compared(tree_set: Any, metric: str, prune: str | None) -> tuple[Any, str | None]:
    """The set the tiles compare and the mode each tile takes: under "common", the set pruned once, here, to the
    taxa all its trees hold. What the set refuses (an unknown mode, taxa that differ without one, too few common
    taxa, a metric it cannot compute) is refused now, before any task."""
    if prune == "common":
        tree_set, prune = tree_set.pruned(), None
    tree_set.distances(metric, rows=slice(0, 0), cols=slice(0, 0), prune=prune)
    return tree_set, prune


def _compared_pair(tree_set: Any, reference_set: Any, metric: str, prune: str | None) -> tuple[Any, Any, str | None]:
    """`_compared` for the trees of one set against those of another: "common" prunes both to the taxa every
    tree of either holds."""
    if prune == "common":
        taxa = sorted(set(tree_set.common_taxa()) & set(reference_set.common_taxa()))
        tree_set, reference_set, prune = tree_set.pruned(taxa), reference_set.pruned(taxa), None
    tree_set.against(reference_set, metric, rows=slice(0, 0), cols=slice(0, 0), prune=prune)
    return tree_set, reference_set, prune


# --- work done on the workers ---------------------------------------------------------------------------


def tile_values(tree_set: Any, metric: str, prune: str | None, rows: tuple[int, int], cols: tuple[int, int]):
    """One tile on or above the diagonal; on it, the set computes each pair of the tile once."""
    _quiet_short_pairs()
    return tree_set.distances(metric, rows=slice(*rows), cols=slice(*cols), prune=prune)


def _against_tile(
    rows: np.ndarray, cols: np.ndarray, tree_set: Any, reference_set: Any, metric: str, prune: str | None
) -> np.ndarray:
    _quiet_short_pairs()
    picked_rows, picked_cols = slice(*_span(rows)), slice(*_span(cols))
    return tree_set.against(reference_set, metric, rows=picked_rows, cols=picked_cols, prune=prune)


def _quiet_short_pairs() -> None:
    # The set warns of pairs without a distance at every call: a run counts them over its tiles and says so
    # once. A filter limited to this module's calls, since `catch_warnings` is not safe on the threads that run
    # tiles at once; inserting it again replaces it.
    warnings.filterwarnings("ignore", category=PairsWithoutDistance, module=_OWN_CALLS)


def _short_pairs(values: np.ndarray, prune: str | None, diagonal: bool) -> int:
    """The pairs of two trees of a tile without a distance (nan under "pairwise"), each once: a tile on the
    diagonal of a symmetric block holds its pairs in both orders, and each tree against itself."""
    if prune != "pairwise":
        return 0
    if diagonal:
        values = values[np.triu_indices(len(values), 1)]
    return int(np.count_nonzero(np.isnan(values)))


def _pairs(block: Block) -> int:
    """The pairs of two trees a block compares: each once in a symmetric block."""
    rows, cols = block.shape
    return rows * (rows - 1) // 2 if block.symmetric else rows * cols


def _tile_sums(rows: np.ndarray, cols: np.ndarray, tree_set: Any, metric: str) -> np.ndarray:
    """What one tile on or above the diagonal adds to the distance sums of its rows and, by symmetry, of its
    columns, as a 1 x 1 block holding the pair (None below the diagonal)."""
    sums = np.empty((1, 1), dtype=object)
    if rows[0] <= cols[0]:
        block = tile_values(tree_set, "kf" if metric == "kf2" else metric, None, _span(rows), _span(cols))
        # RF sums are exact in 64-bit integers; a float sum would round for the largest sets
        values = block.astype(np.int64 if metric == "rf" else np.float64)
        if metric == "kf2":
            np.multiply(values, values, out=values)
        sums[0, 0] = values.sum(axis=1), values.sum(axis=0)
    return sums


def _row_sums(as_rows: np.ndarray, as_cols: np.ndarray) -> np.ndarray:
    """The sums of a row of tiles: its tiles from the diagonal on (`as_rows`, that row of tile sums), then the
    mirrors of those before it (`as_cols`, that column of tile sums, whose last is the diagonal again)."""
    mine = [sums[0] for sums in as_rows.ravel() if sums is not None]
    mirrored = [sums[1] for sums in as_cols.ravel() if sums is not None][:-1]
    # a fixed order of addition, so that the sums do not depend on which task finished first
    total = mine[0].copy()
    for part in [*mine[1:], *mirrored]:
        total += part
    return total


def _first_minimum(*blocks: np.ndarray) -> int:
    return int(np.argmin(np.concatenate(blocks)))


# --- graphs -----------------------------------------------------------------------------------------------
# Tiles are blocks of `dask.array.blockwise` over the block's trees on each axis (chunks already aligned: a
# tile's side), so that a graph of any number of tiles is built at once and laid out only by the scheduler.


def _client() -> Any:
    """The active distributed client, or None (without one, graphs run on the local threaded scheduler)."""
    try:
        from distributed import default_client
    except ImportError:
        return None
    try:
        return default_client()
    except ValueError:
        return None


def _entered(tree_set: Any, client: Any, pickled: bytes | None = None) -> Delayed:
    """The set as one value of graphs run by `client` (None: threads of this process); `pickled`, when given, is
    `pickle.dumps(tree_set)` already made."""
    key = f"cladomatic-treeset-{uuid.uuid4().hex}"
    if client is None:
        return dask.delayed(tree_set, name=key, traverse=False)
    data = dask.delayed(pickle.dumps(tree_set) if pickled is None else pickled, name=f"{key}-pickled", traverse=False)
    return dask.delayed(pickle.loads, pure=True)(data, dask_key_name=key)


def _axes(block: Block, chunks: tuple[int, int]) -> tuple[da.Array, da.Array]:
    """The block's trees along each axis, in chunks of a tile's side: what tells a tile's task its trees."""
    return (
        da.arange(block.rows.start, block.rows.stop, chunks=chunks[0], dtype=np.int64),
        da.arange(block.cols.start, block.cols.stop, chunks=chunks[1], dtype=np.int64),
    )


def _per_tile(
    task: Any, name: str, block: Block, chunks: tuple[int, int], arguments: tuple[Any, ...], meta: np.ndarray, **more
) -> da.Array:
    """One `task(rows, cols, *arguments)` per tile of the block, with the tile's trees on each axis: its block of
    the result, "ij" (or as `more` reshapes it)."""
    rows, cols = _axes(block, chunks)
    whole = [part for argument in arguments for part in (argument, None)]
    index = more.pop("index", "ij")
    return da.blockwise(
        *(task, index, rows, "i", cols, "j", *whole),
        name=f"{name}-{uuid.uuid4().hex}",
        dtype=meta.dtype,
        meta=meta,
        align_arrays=False,
        **more,
    )


def _upper_tiles(trees: Delayed, metric: str, prune: str | None, block: Block, chunks: tuple[int, int]) -> da.Array:
    """The block's tiles: below the diagonal of a symmetric block, stand-ins that hold no memory."""
    meta = np.empty((0, 0), dtype=dtype_of(metric, prune))
    with _unfused():
        return _per_tile(
            _upper_tile, f"cladomatic-{metric}", block, chunks, (trees, metric, prune, block.symmetric), meta
        )


def _unfused() -> Any:
    """The context of a layer of tiles read by two blocks each (a tile and its mirror): an annotation Dask cannot
    merge keeps each tile one task, where fusing the layer into the blocks that read it would compute it twice."""
    return dask.annotate(cladomatic_tile=True)


def _upper_tile(
    rows: np.ndarray, cols: np.ndarray, tree_set: Any, metric: str, prune: str | None, symmetric: bool
) -> np.ndarray:
    if symmetric and rows[0] > cols[0]:
        return np.broadcast_to(np.zeros((), dtype=dtype_of(metric, prune)), (rows.size, cols.size))
    return tile_values(tree_set, metric, prune, _span(rows), _span(cols))


def _span(trees: np.ndarray) -> tuple[int, int]:
    """The [start, stop) of a tile's consecutive trees."""
    return int(trees[0]), int(trees[-1]) + 1


def _mirrored(rows: np.ndarray, cols: np.ndarray, upper: np.ndarray, mirror: np.ndarray) -> np.ndarray:
    return upper if rows[0] <= cols[0] else mirror.T


def distance_matrix(
    tree_set: Any,
    metric: str = "rf",
    tile: int = 4096,
    *,
    rows: range | None = None,
    cols: range | None = None,
    prune: str | None = None,
    chunk: int | None = None,
) -> da.Array:
    """The matrix as a lazy Dask array of tile x tile blocks: every tree against every tree, or a block.

    Parameters
    ----------
    tree_set : TreeSet
        The trees; it travels to the workers pickled.
    metric : str, default "rf"
        As in `TreeSet.distances`.
    tile : int, default 4096
        Trees per side of a square tile (cut to the number of trees when that is smaller).
    rows, cols : range, optional
        The trees of the block's rows and columns (default: all; `cols` defaults to `rows`).
    prune : {"common", "pairwise"}, optional
        Compare trees whose taxa differ, as in `TreeSet.distances`.
    chunk : int, optional
        The former name of `tile`, deprecated.

    Returns
    -------
    dask.array.Array
        uint32 for rf, float64 otherwise.
    """
    tree_set, prune, dtype, block, chunks = _planned(tree_set, metric, tile, chunk, prune, rows, cols)
    if not all(block.shape):
        return da.zeros(block.shape, dtype=dtype)
    upper = _upper_tiles(_entered(tree_set, _client()), metric, prune, block, chunks)
    if not block.symmetric:
        return upper
    tree_rows, tree_cols = _axes(block, chunks)
    arguments = (tree_rows, "i", tree_cols, "j", upper, "ij", upper, "ji")
    return da.blockwise(
        _mirrored, "ij", *arguments, dtype=dtype, meta=np.empty((0, 0), dtype=dtype), align_arrays=False
    )


def against(
    tree_set: Any,
    reference_set: Any,
    metric: str = "rf",
    tile: int = 4096,
    *,
    prune: str | None = None,
    chunk: int | None = None,
) -> da.Array:
    """Every tree of one set against every tree of another: an n x m lazy Dask array of tiles.

    Parameters
    ----------
    tree_set, reference_set : TreeSet
        The trees; it travels to the workers pickled.
    metric : str, default "rf"
        As in `TreeSet.distances`.
    tile : int, default 4096
        Trees per side of a square tile (cut to the number of trees when that is smaller).
    prune : {"common", "pairwise"}, optional
        As in `TreeSet.against`.
    chunk : int, optional
        The former name of `tile`, deprecated.

    Returns
    -------
    dask.array.Array
    """
    side = _tile_side(tile, chunk)
    dtype = dtype_of(metric, prune)
    tree_set, reference_set, prune = _compared_pair(tree_set, reference_set, metric, prune)
    shape = (len(tree_set), len(reference_set))
    if not all(shape):
        return da.zeros(shape, dtype=dtype)
    client = _client()
    arguments = (_entered(tree_set, client), _entered(reference_set, client), metric, prune)
    block = Block(range(shape[0]), range(shape[1]))
    meta = np.empty((0, 0), dtype=dtype)
    return _per_tile(_against_tile, f"cladomatic-against-{metric}", block, (side, side), arguments, meta)


def _distance_sums(tree_set: Any, metric: str, tile: int) -> da.Array:
    """Per tree, the sum of its distances to the others, from tile sums: no tile outlives its task."""
    if metric not in REDUCED_METRICS and not _is_metric(metric):
        raise ValueError(f"unknown metric '{metric}' (expected one of {', '.join(REDUCED_METRICS)})")
    n = len(tree_set)
    dtype = np.dtype(np.int64 if metric == "rf" else np.float64)
    if not n:
        return da.zeros((0,), dtype=dtype)
    block = Block(range(n), range(n))
    arguments = (_entered(tree_set, _client()), metric)
    meta = np.empty((0, 0), dtype=object)
    with _unfused():
        sums = _per_tile(
            _tile_sums,
            f"cladomatic-sums-{metric}",
            block,
            (tile, tile),
            arguments,
            meta,
            adjust_chunks={"i": 1, "j": 1},
        )
    # each tile's sums serve its row and, mirrored, its column
    return da.blockwise(
        _row_sums,
        "i",
        *(sums, "ij", sums, "ji"),
        concatenate=True,
        adjust_chunks={"i": tuple(stop - start for start, stop in bounds(n, tile))},
        dtype=dtype,
        meta=np.empty((0,), dtype=dtype),
        align_arrays=False,
    )


def mean_distances(tree_set: Any, metric: str = "rf", tile: int = 4096, *, chunk: int | None = None) -> da.Array:
    """Per tree, the mean distance to the other trees, from tile sums: no tile outlives its task.

    Parameters
    ----------
    tree_set : TreeSet
        The trees; it travels to the workers pickled.
    metric : str, default "rf"
        As in `TreeSet.distances`, or "kf2", the mean squared KF distance.
    tile : int, default 4096
        Trees per side of a square tile (cut to the number of trees when that is smaller).
    chunk : int, optional
        The former name of `tile`, deprecated.

    Returns
    -------
    dask.array.Array
        float64 per tree.
    """
    return _distance_sums(tree_set, metric, _tile_side(tile, chunk)) / max(len(tree_set) - 1, 1)


def medoid(tree_set: Any, metric: str = "rf", tile: int = 4096, *, chunk: int | None = None) -> Delayed:
    """The index of the tree with the least summed distance to the others (the first one on a tie).

    Parameters
    ----------
    tree_set : TreeSet
        The trees; it travels to the workers pickled.
    metric : str, default "rf"
        As in `TreeSet.distances`.
    tile : int, default 4096
        Trees per side of a square tile (cut to the number of trees when that is smaller).
    chunk : int, optional
        The former name of `tile`, deprecated.

    Returns
    -------
    dask.delayed.Delayed
        The index, once computed.

    Raises
    ------
    ValueError
        For an empty set.
    """
    if not len(tree_set):
        raise ValueError("an empty tree set has no medoid")
    totals = _distance_sums(tree_set, metric, _tile_side(tile, chunk))
    return dask.delayed(_first_minimum, pure=True)(*totals.to_delayed())


# --- runs ----------------------------------------------------------------------------------------------


@dataclass(frozen=True, slots=True)
class _Run:
    """Graphs run on the active scheduler: its distributed client (None: threads of this process), how long to
    wait when no worker is left (None: as long as it takes), and the tree set as it enters those graphs."""

    client: Any
    worker_timeout: float | None
    trees: Delayed


def _prepared(
    tree_set: Any, chunks: tuple[int, int], dtype: np.dtype, worker_timeout: float | None, pickled: bytes | None = None
) -> _Run:
    """A run on the active scheduler, once it has a worker (NoWorkers after `worker_timeout` seconds without
    one) and once every worker, or this machine, has the memory for the set and a tile per thread."""
    client = _client()
    if client is None:
        _check_fits({"this machine": (CPU_COUNT, writers.available_memory())}, chunks, dtype.itemsize, 0)
        return _Run(None, worker_timeout, _entered(tree_set, None))
    data = pickle.dumps(tree_set) if pickled is None else pickled
    _check_fits(_workers(client, worker_timeout), chunks, dtype.itemsize, len(data))
    return _Run(client, worker_timeout, _entered(tree_set, client, data))


def _computed(run: _Run, tasks: Sequence[Delayed | da.Array]) -> list[Any]:
    """The values of `tasks` (Dask collections); on a cluster, NoWorkers when no worker has been left for the
    run's timeout."""
    if run.client is None:
        return list(dask.compute(*tasks))
    with warnings.catch_warnings():
        # the graph carries the tree set, once, on purpose (see the module's notes)
        warnings.filterwarnings("ignore", message="Sending large graph")
        futures = run.client.compute(tasks)
    _wait(run.client, futures, run.worker_timeout)
    return run.client.gather(futures)


def _workers(client: Any, worker_timeout: float | None) -> dict[str, tuple[int, int | None]]:
    """Per worker address, its threads and the memory it can still take before its nanny restarts it (None:
    no memory limit)."""
    try:
        client.wait_for_workers(1, timeout=worker_timeout)
    except TimeoutError:
        raise NoWorkers(f"no Dask worker has been connected for {worker_timeout:g} s") from None
    workers = {}
    for address, worker in client.scheduler_info()["workers"].items():
        limit, used = int(worker.get("memory_limit") or 0), int(worker.get("metrics", {}).get("memory") or 0)
        workers[address] = (int(worker.get("nthreads") or 1), int(limit * RESTART_SHARE) - used if limit else None)
    return workers


def _check_fits(
    workers: dict[str, tuple[int, int | None]], chunks: tuple[int, int], itemsize: int, shipped: int
) -> None:
    """Refuses tiles that would not fit: a worker holds the set, loaded and as the `shipped` bytes it came as
    (their count stands for both), and a tile on each of its threads."""
    for where, (threads, room) in workers.items():
        need = 2 * shipped + threads * TILE_COPIES * chunks[0] * chunks[1] * itemsize
        if room is not None and need > room:
            side = math.isqrt(max(0, room - 2 * shipped) // (threads * TILE_COPIES * itemsize))
            raise TileTooLarge(
                f"tiles of {chunks[0]:,} x {chunks[1]:,} trees need about {writers._size(need)} of memory on "
                f"{where} ({threads} at a time{' and the tree set' if shipped else ''}), which has "
                f"{writers._size(max(room, 0))} to spare: choose tiles of at most {side:,} trees per side"
            )


def _wait(client: Any, futures: Any, worker_timeout: float | None) -> None:
    """Returns when every future is done or one has failed (gathering then raises its error); NoWorkers when
    no worker has been left for `worker_timeout` seconds."""
    from distributed import futures_of, wait

    pending = futures_of(futures)
    alone_since = None
    while True:
        try:
            wait(pending, timeout=POLL_SECONDS)
            return
        except TimeoutError:
            pass
        if any(future.status == "error" for future in pending):
            return
        if client.nthreads():
            alone_since = None
        elif alone_since is None:
            alone_since = time.monotonic()
        elif worker_timeout is not None and time.monotonic() - alone_since >= worker_timeout:
            raise NoWorkers(f"no Dask worker has been left for {worker_timeout:g} s")


def block_matrix(
    tree_set: Any,
    metric: str = "rf",
    tile: int = 4096,
    *,
    rows: range | None = None,
    cols: range | None = None,
    prune: str | None = None,
    worker_timeout: float | None = None,
    chunk: int | None = None,
) -> np.ndarray:
    """The block of `distance_matrix` computed tile by tile on the active scheduler, as one array here.

    Parameters
    ----------
    tree_set : TreeSet
        The trees; it travels to the workers pickled.
    metric : str, default "rf"
        As in `TreeSet.distances`.
    tile : int, default 4096
        Trees per side of a square tile (cut to the number of trees when that is smaller).
    rows, cols : range, optional
        As in `distance_matrix`.
    prune : {"common", "pairwise"}, optional
        As in `distance_matrix`.
    worker_timeout : float, optional
        Seconds to wait when no worker is left before giving up (`NoWorkers`); None waits as long as it takes.
    chunk : int, optional
        The former name of `tile`, deprecated.

    Returns
    -------
    numpy.ndarray

    Raises
    ------
    TileTooLarge
        When a tile would not fit in a worker's memory limit.
    NoWorkers
        When no worker is left for `worker_timeout` seconds.
    """
    tree_set, prune, dtype, block, chunks = _planned(tree_set, metric, tile, chunk, prune, rows, cols)
    work = _tiles(block, chunks)
    if not work:
        return np.zeros(block.shape, dtype=dtype)
    run = _prepared(tree_set, chunks, dtype, worker_timeout)
    matrix = np.empty(block.shape, dtype=dtype)
    short = 0
    pieces = _upper_tiles(run.trees, metric, prune, block, chunks).to_delayed()
    for one, values in zip(work, _computed(run, [pieces[one.place] for one in work])):
        rows_at, cols_at = _cells(one, block)
        matrix[rows_at, cols_at] = values
        mirrored = block.symmetric and rows_at != cols_at
        if mirrored:
            matrix[cols_at, rows_at] = values.T
        short += _short_pairs(values, prune, block.symmetric and not mirrored)
    _warn_short(short, _pairs(block), tree_set.rooted)
    return matrix


def _cells(one: Tile, block: Block) -> tuple[slice, slice]:
    """Where a tile lies in the block's matrix."""
    origin = (block.rows.start, block.cols.start)
    return slice(one.rows[0] - origin[0], one.rows[1] - origin[0]), slice(
        one.cols[0] - origin[1], one.cols[1] - origin[1]
    )


def _one_task_per_tile(
    run: _Run, task: Any, arguments: tuple[Any, ...], block: Block, chunks: tuple[int, int]
) -> np.ndarray:
    """Runs `task(tree_set, *arguments, tile)` for every tile to compute, each returning (computed, pairs without a
    distance); their sums."""
    # one 1 x 1 x 2 block of results per tile
    per_tile = _per_tile(
        *(_tile_task, "cladomatic-store", block, chunks, (run.trees, task, block, chunks, arguments)),
        np.empty((0, 0, 0), dtype=np.int64),
        index="ijk",
        new_axes={"k": 2},
        adjust_chunks={"i": 1, "j": 1},
    )
    return _computed(run, [per_tile])[0].sum(axis=(0, 1))


def _tile_task(
    rows: np.ndarray,
    cols: np.ndarray,
    tree_set: Any,
    task: Any,
    block: Block,
    chunks: tuple[int, int],
    arguments: tuple[Any, ...],
) -> np.ndarray:
    place = ((int(rows[0]) - block.rows.start) // chunks[0], (int(cols[0]) - block.cols.start) // chunks[1])
    # below the diagonal of a symmetric block, the mirror's task does the work
    done = (
        (0, 0)
        if block.symmetric and place[0] > place[1]
        else task(tree_set, *arguments, Tile(place, _span(rows), _span(cols)))
    )
    return np.array(done, dtype=np.int64).reshape(1, 1, 2)


# --- stores ----------------------------------------------------------------------------------------------


@dataclass(frozen=True, slots=True)
class Written:
    """What a store run did: tiles computed now, and tiles found stored intact from an earlier run."""

    computed: int
    skipped: int


def _store_tile(
    tree_set: Any, metric: str, prune: str | None, path: str, symmetric: bool, one: Tile
) -> tuple[bool, int]:
    """Computes and stores one tile, and its mirror below the diagonal of a symmetric block, unless both are
    stored intact already; whether it computed, and the pairs it found without a distance."""
    array, sums = tile_store.opened(path)
    i, j = one.place
    places = [(i, j), (j, i)] if symmetric and i != j else [(i, j)]
    stale = [place for place in places if not tile_store.intact(array, sums, place)]
    if not stale:
        return False, 0
    values = tile_values(tree_set, metric, prune, one.rows, one.cols)
    for place in stale:
        # one transposed copy serves the write, its read-back and its checksum
        tile_store.write(array, sums, place, values if place == one.place else np.ascontiguousarray(values.T))
    return True, _short_pairs(values, prune, symmetric and i == j)


def to_zarr(
    tree_set: Any,
    path: str | os.PathLike[str],
    metric: str = "rf",
    tile: int = 4096,
    *,
    resume: bool = False,
    rows: range | None = None,
    cols: range | None = None,
    prune: str | None = None,
    worker_timeout: float | None = None,
    chunk: int | None = None,
) -> Written:
    """Writes the matrix (or a block) into a Zarr store, one chunk per tile, each with its checksum.

    The store is built under `path` + ".partial" and takes the place of a store at `path` only once complete,
    so a failed run never costs an earlier result. The group's ``complete`` attribute turns true only once every
    chunk has been read back. Every worker must see `path` (a shared file system on a cluster).

    Parameters
    ----------
    tree_set : TreeSet
        The trees; it travels to the workers pickled.
    path : str or os.PathLike
        The store.
    metric : str, default "rf"
        As in `TreeSet.distances`.
    tile : int, default 4096
        Trees per side of a square tile (cut to the number of trees when that is smaller).
    resume : bool, default False
        Continue the store of an earlier run of the same trees, metric, pruning mode and tiles: the one under
        construction if there is one, else the one at `path`. Every chunk it holds is read back against its
        checksum, and a chunk that is missing or does not match is computed again.
    rows, cols : range, optional
        As in `distance_matrix`.
    prune : {"common", "pairwise"}, optional
        As in `distance_matrix`; under "pairwise" the warning counts the pairs without a distance among the tiles
        this run computed.
    worker_timeout : float, optional
        As in `block_matrix`.
    chunk : int, optional
        The former name of `tile`, deprecated.

    Returns
    -------
    Written
        How many tiles were computed and how many were kept from an earlier run.

    Raises
    ------
    ValueError
        For a store at `path` that is not one this package wrote, or one that does not match the run.
    """
    tree_set, compared, dtype, block, chunks = _planned(tree_set, metric, tile, chunk, prune, rows, cols)
    # one text per computation, parameters and all, in the settings and the fingerprint (metrics.metric_setting)
    metric = canonical_metric(metric)
    # workers resolve a relative path against their own working folders
    path = os.path.abspath(path)
    building = path + PARTIAL_SUFFIX
    pickled = pickle.dumps(tree_set)
    found = tile_store.fingerprint(tree_set._trees_pickled(), metric, block.rows, block.cols, prune)
    layout = tile_store.Layout(metric, dtype, block.shape, chunks, block.symmetric, bool(tree_set.rooted), found, prune)
    names = tree_set.tree_names
    row_names = names[block.rows.start : block.rows.stop]
    col_names = None if block.symmetric else names[block.cols.start : block.cols.stop]
    tile_store.ours(path)  # what is there and not ours is refused before any work
    run = _prepared(tree_set, chunks, dtype, worker_timeout, pickled)
    record = (provenance.current() or tree_set.provenance).to_dict()
    group, target = None, building
    if resume:
        for candidate in (building, path):
            group = tile_store.resumed(candidate, layout, row_names, col_names, record)
            if group is not None:
                target = candidate
                break
    if group is None:
        group = tile_store.created(building, layout, row_names, col_names, record)
    work = _tiles(block, chunks)
    computed, short = (
        _one_task_per_tile(run, _store_tile, (metric, compared, target, block.symmetric), block, chunks)
        if work
        else (0, 0)
    )
    places = sorted({place for one in work for place in {one.place, one.place[::-1] if block.symmetric else one.place}})
    # every task succeeded, but a worker that sees another file system than this process wrote elsewhere
    lost = tile_store.unrecorded(group, places)
    if lost:
        raise ValueError(
            f"{len(lost)} of {len(places)} chunks written by the workers are missing from {target}: "
            "every worker must see this path (a shared file system)"
        )
    group.attrs["complete"] = True
    if target == building:
        writers.replace_folder(building, path)
    _warn_short(int(short), _pairs(block), tree_set.rooted)
    return Written(int(computed), len(work) - int(computed))


def _write_npy_tile(
    tree_set: Any, path: str, metric: str, prune: str | None, block: Block, one: Tile
) -> tuple[bool, int]:
    """Computes one tile into the memory-mapped matrix (and its mirror): computed, and the pairs it found without a
    distance."""
    matrix = np.lib.format.open_memmap(path, mode="r+")
    values = tile_values(tree_set, metric, prune, one.rows, one.cols)
    rows, cols = _cells(one, block)
    matrix[rows, cols] = values
    mirrored = block.symmetric and rows != cols
    if mirrored:
        matrix[cols, rows] = values.T
    matrix.flush()
    return True, _short_pairs(values, prune, block.symmetric and not mirrored)


def to_npy(
    tree_set: Any,
    path: str | os.PathLike[str],
    metric: str = "rf",
    tile: int = 4096,
    *,
    rows: range | None = None,
    cols: range | None = None,
    prune: str | None = None,
    worker_timeout: float | None = None,
    chunk: int | None = None,
) -> Written:
    """Writes the matrix (or a block) to a .npy file through a memory map, tile by tile, for workers on this
    machine.

    The file takes the place of one at `path` only once complete.

    Parameters
    ----------
    tree_set : TreeSet
        The trees; it travels to the workers pickled.
    path : str or os.PathLike
        The file.
    metric : str, default "rf"
        As in `TreeSet.distances`.
    tile : int, default 4096
        Trees per side of a square tile (cut to the number of trees when that is smaller).
    rows, cols : range, optional
        As in `distance_matrix`.
    prune : {"common", "pairwise"}, optional
        As in `distance_matrix`.
    worker_timeout : float, optional
        As in `block_matrix`.
    chunk : int, optional
        The former name of `tile`, deprecated.

    Returns
    -------
    Written

    Raises
    ------
    ValueError
        For a path that is not a regular file.
    """
    tree_set, prune, dtype, block, chunks = _planned(tree_set, metric, tile, chunk, prune, rows, cols)
    work = _tiles(block, chunks)
    path = os.fspath(path)
    run = _prepared(tree_set, chunks, dtype, worker_timeout) if work else None
    short = 0
    with writers._replaced(path) as (file, mappable):
        if run is None:
            np.save(file, np.zeros(block.shape, dtype=dtype))
        elif mappable is None:
            raise ValueError(f"cannot write {path} tile by tile: it is not a regular file")
        else:
            np.lib.format.open_memmap(mappable, mode="w+", dtype=dtype, shape=block.shape).flush()
            # the map made the file sparse: its blocks are held now, or a full disk would end a worker by SIGBUS
            writers.reserve(file.fileno(), os.path.getsize(mappable), path)
            _check_one_machine(run.client)
            short = int(_one_task_per_tile(run, _write_npy_tile, (mappable, metric, prune, block), block, chunks)[1])
    _warn_short(short, _pairs(block), tree_set.rooted)
    return Written(len(work), 0)


def _check_one_machine(client: Any) -> None:
    if client is None:
        return
    here = socket.gethostname()
    elsewhere = sorted({host for host in client.run(socket.gethostname).values() if host != here})
    if elsewhere:
        raise ValueError(
            ".npy output needs every worker on this machine, but workers run on "
            f"{', '.join(elsewhere)}; write a .zarr store instead"
        )
