"""The distance matrix of a tree set as Dask tiles: lazy arrays, reductions, and Zarr or .npy stores.

Every tile is one `TreeSet.distances` block computed where the task runs; nothing here computes a distance.
A run covers a block of the set's matrix: all its trees against all (the default), or a range of its trees
against another range (the command's --against and --between read both groups into one set). The matrix of
a set against itself is symmetric, so only tiles on or above the diagonal are computed: a tile below it is
the transpose of its mirror tile, and a diagonal tile is rebuilt from its own upper triangle, which makes it
symmetric with a zero diagonal whatever the block call returns there.

The tree set enters a graph once. Without a distributed client it is one key of the graph that every tile
task depends on. With one, it travels in the graph as its pickled bytes and a task loads it: the scheduler
keeps the bytes (it never loads the set), so a worker that dies or is restarted, even the last one holding
the set, is given it again. A scattered set would be lost with its last worker, and the run with it.

    import dask.array, zarr
    from cladomatic_tools import TreeSet, dask as tiles

    ts = TreeSet.from_files(["run1.t", "run2.t"], burnin="25%")
    matrix = tiles.distance_matrix(ts, "rf", chunk=4096)      # dask.array.Array, nothing computed yet
    tiles.to_zarr(ts, "rf.zarr", "rf", chunk=4096)             # resume=True after an interrupted run
    stored = dask.array.from_zarr("rf.zarr", component="distances")
"""

import math
import os
import pickle
import socket
import time
import uuid
import warnings
from dataclasses import dataclass
from typing import Any

import dask
import dask.array as da
import dask.threaded
import numpy as np
from dask.delayed import Delayed
from dask.highlevelgraph import HighLevelGraph
from dask.system import CPU_COUNT
from dask.typing import Key

from cladomatic_tools import output, tile_store
from cladomatic_tools.metrics import METRICS, SUMMARIES, metric_info

# the reductions also take the summaries that are no metric (the mean squared Kuhner-Felsenstein score)
REDUCED_METRICS = (*METRICS, *(name for name in SUMMARIES if name not in METRICS))
# The sibling under which a store is built until it is complete and takes the place of PATH.
PARTIAL_SUFFIX = ".partial"
# A tile task holds about this many tile-sized arrays at its peak: on the diagonal the block, its upper
# triangle and their symmetric sum; above it the block, its transposed mirror and the chunk being encoded.
TILE_COPIES = 4
# The share of its memory limit at which a nanny restarts its worker (Dask's default).
RESTART_SHARE = 0.95
# How often a run on a cluster looks whether any worker is left.
POLL_SECONDS = 1.0


class NoWorkers(TimeoutError):
    """No worker has been connected to the scheduler for as long as the caller allowed."""


class TileTooLarge(MemoryError):
    """A worker has not the memory for the tree set and a tile on each of its threads."""


def dtype_of(metric: str) -> np.dtype:
    return np.dtype(metric_info(metric).dtype)


def bounds(n: int, chunk: int) -> list[tuple[int, int]]:
    """The [start, stop) ranges of the tiles along one axis of n trees."""
    if isinstance(chunk, bool) or not isinstance(chunk, int) or chunk < 1:
        raise ValueError(f"chunk must be a whole number of at least 1, got {chunk!r}")
    return [(start, min(start + chunk, n)) for start in range(0, n, chunk)]


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


def _chunks(block: Block, chunk: int) -> tuple[int, int]:
    """A tile's rows and columns: `chunk` on each axis, or the block's side where that is smaller."""
    bounds(0, chunk)
    return max(1, min(chunk, len(block.rows))), max(1, min(chunk, len(block.cols)))


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


# --- work done on the workers ---------------------------------------------------------------------------


# Diagonal tiles are computed as halves down to blocks of this many trees, so that of a tile's mirrored
# pairs only those within the smallest diagonal blocks (1/16 of a 4096-tree tile) are computed twice.
DIAGONAL_BLOCK = 256


def tile(tree_set: Any, metric: str, rows: tuple[int, int], cols: tuple[int, int]) -> np.ndarray:
    """One tile on or above the diagonal."""
    if rows != cols:
        return tree_set.distances(metric, rows=slice(*rows), cols=slice(*cols))
    block = np.empty((rows[1] - rows[0],) * 2, dtype=dtype_of(metric))
    _fill_diagonal(tree_set, metric, block, rows[0], 0, len(block))
    upper = np.triu(block, 1)
    return upper + upper.T


def _fill_diagonal(tree_set: Any, metric: str, block: np.ndarray, offset: int, start: int, stop: int) -> None:
    """The upper triangle of block[start:stop, start:stop] (rows and columns from tree `offset` on)."""
    if stop - start <= DIAGONAL_BLOCK:
        picked = slice(offset + start, offset + stop)
        block[start:stop, start:stop] = tree_set.distances(metric, rows=picked, cols=picked)
        return
    middle = (start + stop) // 2
    _fill_diagonal(tree_set, metric, block, offset, start, middle)
    _fill_diagonal(tree_set, metric, block, offset, middle, stop)
    block[start:middle, middle:stop] = tree_set.distances(
        metric, rows=slice(offset + start, offset + middle), cols=slice(offset + middle, offset + stop)
    )


def _against_tile(
    tree_set: Any, reference_set: Any, metric: str, rows: tuple[int, int], cols: tuple[int, int]
) -> np.ndarray:
    return tree_set.against(reference_set, metric, rows=slice(*rows), cols=slice(*cols))


def _transposed(block: np.ndarray) -> np.ndarray:
    return np.ascontiguousarray(block.T)


def _tile_sums(
    tree_set: Any, metric: str, rows: tuple[int, int], cols: tuple[int, int]
) -> tuple[np.ndarray, np.ndarray]:
    """What one tile adds to the distance sums of its rows and, by symmetry, of its columns."""
    block = tile(tree_set, "kf" if metric == "kf2" else metric, rows, cols)
    # RF sums are exact in 64-bit integers; a float sum would round for the largest sets
    values = block.astype(np.int64 if metric == "rf" else np.float64)
    if metric == "kf2":
        np.multiply(values, values, out=values)
    return values.sum(axis=1), values.sum(axis=0)


def _row_sums(as_rows: list[tuple[np.ndarray, np.ndarray]], as_cols: list[tuple[np.ndarray, np.ndarray]]):
    # a fixed order of addition, so that the sums do not depend on which task finished first
    total = as_rows[0][0].copy()
    for sums in as_rows[1:]:
        total += sums[0]
    for sums in as_cols:
        total += sums[1]
    return total


def _means(sums: np.ndarray, n: int) -> np.ndarray:
    return sums / max(n - 1, 1)


def _first_minimum(*blocks: np.ndarray) -> int:
    return int(np.argmin(np.concatenate(blocks)))


# --- graphs ----------------------------------------------------------------------------------------------


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


@dataclass(frozen=True, slots=True)
class _Entry:
    """How a tree set enters a graph: the graph entries that hold it, and the key a task names to receive it."""

    graph: dict[Key, Any]
    key: str


def _entered(tree_set: Any, client: Any, pickled: bytes | None = None) -> _Entry:
    """The set as it enters a graph run by `client` (None: threads of this process); `pickled`, when given, is
    `pickle.dumps(tree_set)` already made."""
    key = f"cladomatic-treeset-{uuid.uuid4().hex}"
    if client is None:
        return _Entry({key: tree_set}, key)
    data = pickle.dumps(tree_set) if pickled is None else pickled
    return _Entry({f"{key}-pickled": data, key: (pickle.loads, f"{key}-pickled")}, key)


def _matrix_graph(entry: _Entry, metric: str, block: Block, chunks: tuple[int, int], name: str) -> dict[Key, Any]:
    """Keys (name, i, j): the tiles of the block, those below the diagonal of a symmetric block transposed."""
    graph = dict(entry.graph)
    computed = f"{name}-tile"
    for one in _tiles(block, chunks):
        i, j = one.place
        graph[(computed, i, j)] = (tile, entry.key, metric, one.rows, one.cols)
        graph[(name, i, j)] = (computed, i, j)
        if block.symmetric and i != j:
            graph[(name, j, i)] = (_transposed, (computed, i, j))
    return graph


def distance_matrix(
    tree_set: Any, metric: str = "rf", chunk: int = 4096, *, rows: range | None = None, cols: range | None = None
) -> da.Array:
    """The matrix as a Dask array of chunk x chunk tiles (uint32 for rf, float64 otherwise): every tree against
    every tree, or the trees `rows` (a range of the set's trees) against the trees `cols` (default: the same)."""
    dtype = dtype_of(metric)
    block = _block(tree_set, rows, cols)
    chunks = _chunks(block, chunk)
    name = f"cladomatic-{metric}-{uuid.uuid4().hex}"
    graph = _matrix_graph(_entered(tree_set, _client()), metric, block, chunks, name)
    sizes = tuple(tuple(stop - start for start, stop in bounds(side, step)) for side, step in zip(block.shape, chunks))
    return da.Array(HighLevelGraph.from_collections(name, graph), name, sizes, dtype=dtype)


def against(tree_set: Any, reference_set: Any, metric: str = "rf", chunk: int = 4096) -> da.Array:
    """Every tree of `tree_set` against every tree of `reference_set`: an n x m Dask array of tiles."""
    dtype = dtype_of(metric)
    rows, cols = bounds(len(tree_set), chunk), bounds(len(reference_set), chunk)
    name = f"cladomatic-against-{metric}-{uuid.uuid4().hex}"
    client = _client()
    mine, theirs = _entered(tree_set, client), _entered(reference_set, client)
    graph = {**mine.graph, **theirs.graph}
    for i, row_bounds in enumerate(rows):
        for j, col_bounds in enumerate(cols):
            graph[(name, i, j)] = (_against_tile, mine.key, theirs.key, metric, row_bounds, col_bounds)
    sizes = tuple(tuple(stop - start for start, stop in axis) for axis in (rows, cols))
    return da.Array(HighLevelGraph.from_collections(name, graph), name, sizes, dtype=dtype)


def _sum_graph(tree_set: Any, metric: str, chunk: int) -> tuple[str, dict[Key, Any], int, list[int]]:
    """A graph whose keys (name, i) are the distance sums of the trees of row tile i."""
    if metric not in REDUCED_METRICS:
        raise ValueError(f"unknown metric '{metric}' (expected one of {', '.join(REDUCED_METRICS)})")
    n = len(tree_set)
    axis = bounds(n, chunk)
    name = f"cladomatic-sums-{metric}-{uuid.uuid4().hex}"
    entry = _entered(tree_set, _client())
    graph = dict(entry.graph)
    parts = f"{name}-tile"
    for one in _tiles(Block(range(n), range(n)), (chunk, chunk)):
        graph[(parts, *one.place)] = (_tile_sums, entry.key, metric, one.rows, one.cols)
    for i in range(len(axis)):
        as_rows = [(parts, i, j) for j in range(i, len(axis))]
        as_cols = [(parts, j, i) for j in range(i)]
        graph[(name, i)] = (_row_sums, as_rows, as_cols)
    return name, graph, n, [stop - start for start, stop in axis]


def mean_distances(tree_set: Any, metric: str = "rf", chunk: int = 4096) -> da.Array:
    """Per tree, the mean distance to the other trees (float64), from tile sums: no tile outlives its task.

    `kf2` is the mean squared Kuhner-Felsenstein score."""
    name, graph, n, sizes = _sum_graph(tree_set, metric, chunk)
    means = f"{name}-means"
    for i in range(len(sizes)):
        graph[(means, i)] = (_means, (name, i), n)
    return da.Array(HighLevelGraph.from_collections(means, graph), means, (tuple(sizes),), dtype=np.float64)


def medoid(tree_set: Any, metric: str = "rf", chunk: int = 4096) -> Delayed:
    """The index of the tree with the least summed distance to the others (the first one on a tie)."""
    name, graph, _, sizes = _sum_graph(tree_set, metric, chunk)
    if not sizes:
        raise ValueError("an empty tree set has no medoid")
    key = f"{name}-medoid"
    graph[key] = (_first_minimum, *[(name, i) for i in range(len(sizes))])
    return Delayed(key, graph)


# --- runs ----------------------------------------------------------------------------------------------


@dataclass(frozen=True, slots=True)
class _Run:
    """Graphs run on the active scheduler: its distributed client (None: threads of this process), how long to
    wait when no worker is left (None: as long as it takes), and the tree set as it enters those graphs."""

    client: Any
    worker_timeout: float | None
    entry: _Entry


def _prepared(
    tree_set: Any, chunks: tuple[int, int], dtype: np.dtype, worker_timeout: float | None, pickled: bytes | None = None
) -> _Run:
    """A run on the active scheduler, once it has a worker (NoWorkers after `worker_timeout` seconds without
    one) and once every worker, or this machine, has the memory for the set and a tile per thread."""
    client = _client()
    if client is None:
        _check_fits({"this machine": (CPU_COUNT, output.available_memory())}, chunks, dtype.itemsize, 0)
        return _Run(None, worker_timeout, _entered(tree_set, None))
    data = pickle.dumps(tree_set) if pickled is None else pickled
    _check_fits(_workers(client, worker_timeout), chunks, dtype.itemsize, len(data))
    return _Run(client, worker_timeout, _entered(tree_set, client, data))


def _computed(run: _Run, graph: dict[Key, Any], keys: list[Any]) -> Any:
    """The values of `keys`; on a cluster, NoWorkers when no worker has been left for the run's timeout."""
    if run.client is None:
        return (dask.base.get_scheduler() or dask.threaded.get)(graph, keys)
    with warnings.catch_warnings():
        # the graph carries the tree set, once, on purpose (see the module's notes)
        warnings.filterwarnings("ignore", message="Sending large graph")
        futures = run.client.get(graph, keys, sync=False)
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
                f"tiles of {chunks[0]:,} x {chunks[1]:,} trees need about {output._size(need)} of memory on "
                f"{where} ({threads} at a time{' and the tree set' if shipped else ''}), which has "
                f"{output._size(max(room, 0))} to spare: choose tiles of at most {side:,} trees per side"
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
    chunk: int = 4096,
    *,
    rows: range | None = None,
    cols: range | None = None,
    worker_timeout: float | None = None,
) -> np.ndarray:
    """The block of `distance_matrix` computed tile by tile on the active scheduler, as one array here."""
    dtype = dtype_of(metric)
    block = _block(tree_set, rows, cols)
    chunks = _chunks(block, chunk)
    if not all(block.shape):
        return np.zeros(block.shape, dtype=dtype)
    run = _prepared(tree_set, chunks, dtype, worker_timeout)
    name = f"cladomatic-{metric}-{uuid.uuid4().hex}"
    graph = _matrix_graph(run.entry, metric, block, chunks, name)
    grid = [len(bounds(side, step)) for side, step in zip(block.shape, chunks)]
    return np.block(_computed(run, graph, [[(name, i, j) for j in range(grid[1])] for i in range(grid[0])]))


def _one_task_per_tile(run: _Run, task: Any, arguments: tuple[Any, ...], work: list[Tile]) -> list[Any]:
    """Runs `task(tree_set, *arguments, tile)` for every tile of `work`; their results in order."""
    name = f"cladomatic-store-{uuid.uuid4().hex}"
    graph = dict(run.entry.graph)
    for index, one in enumerate(work):
        graph[(name, index)] = (task, run.entry.key, *arguments, one)
    return _computed(run, graph, [(name, index) for index in range(len(work))])


# --- stores ----------------------------------------------------------------------------------------------


@dataclass(frozen=True, slots=True)
class Written:
    """What a store run did: tiles computed now, and tiles found stored intact from an earlier run."""

    computed: int
    skipped: int


def _store_tile(tree_set: Any, metric: str, path: str, symmetric: bool, one: Tile) -> bool:
    """Computes and stores one tile, and its mirror below the diagonal of a symmetric block, unless both are
    stored intact already; whether it computed."""
    array, sums = tile_store.opened(path)
    i, j = one.place
    places = [(i, j), (j, i)] if symmetric and i != j else [(i, j)]
    stale = [place for place in places if not tile_store.intact(array, sums, place)]
    if not stale:
        return False
    values = tile(tree_set, metric, one.rows, one.cols)
    for place in stale:
        # one transposed copy serves the write, its read-back and its checksum
        tile_store.write(array, sums, place, values if place == one.place else np.ascontiguousarray(values.T))
    return True


def to_zarr(
    tree_set: Any,
    path: str | os.PathLike[str],
    metric: str = "rf",
    chunk: int = 4096,
    *,
    resume: bool = False,
    rows: range | None = None,
    cols: range | None = None,
    worker_timeout: float | None = None,
) -> Written:
    """Writes the matrix (or the block `rows` x `cols`, as in `distance_matrix`) into a Zarr store at `path`
    (see `tile_store` for what it holds): one chunk per tile, each with its checksum.

    The store is built under `path` + ".partial" and takes the place of a store at `path` only once complete,
    so a failed run never costs an earlier result. With `resume`, the store of an earlier run of the same
    trees, metric and tiles is continued: the one under construction if there is one, else the one at
    `path`. Every chunk it holds is read back against its checksum, and a chunk that is missing or does not
    match is computed again. The group's `complete` attribute turns true only once every chunk has been
    read back. Every worker must see `path` (a shared file system on a cluster)."""
    dtype = dtype_of(metric)
    block = _block(tree_set, rows, cols)
    chunks = _chunks(block, chunk)
    # workers resolve a relative path against their own working folders
    path = os.path.abspath(path)
    building = path + PARTIAL_SUFFIX
    pickled = pickle.dumps(tree_set)
    found = tile_store.fingerprint(pickled, metric, block.rows, block.cols)
    layout = tile_store.Layout(metric, dtype, block.shape, chunks, block.symmetric, bool(tree_set.rooted), found)
    names = tree_set.tree_names
    row_names = names[block.rows.start : block.rows.stop]
    col_names = None if block.symmetric else names[block.cols.start : block.cols.stop]
    tile_store.ours(path)  # what is there and not ours is refused before any work
    run = _prepared(tree_set, chunks, dtype, worker_timeout, pickled)
    group, target = None, building
    if resume:
        for candidate in (building, path):
            group = tile_store.resumed(candidate, layout, row_names, col_names)
            if group is not None:
                target = candidate
                break
    if group is None:
        group = tile_store.created(building, layout, row_names, col_names)
    work = _tiles(block, chunks)
    computed = sum(_one_task_per_tile(run, _store_tile, (metric, target, block.symmetric), work)) if work else 0
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
        output.replace_folder(building, path)
    return Written(computed, len(work) - computed)


def _write_npy_tile(tree_set: Any, path: str, metric: str, origin: tuple[int, int], symmetric: bool, one: Tile) -> None:
    matrix = np.lib.format.open_memmap(path, mode="r+")
    values = tile(tree_set, metric, one.rows, one.cols)
    rows = slice(one.rows[0] - origin[0], one.rows[1] - origin[0])
    cols = slice(one.cols[0] - origin[1], one.cols[1] - origin[1])
    matrix[rows, cols] = values
    if symmetric and rows != cols:
        matrix[cols, rows] = values.T
    matrix.flush()


def to_npy(
    tree_set: Any,
    path: str | os.PathLike[str],
    metric: str = "rf",
    chunk: int = 4096,
    *,
    rows: range | None = None,
    cols: range | None = None,
    worker_timeout: float | None = None,
) -> Written:
    """Writes the matrix (or the block `rows` x `cols`) to a .npy file through a memory map, tile by tile,
    for workers on this machine. The file takes the place of one at `path` only once complete."""
    dtype = dtype_of(metric)
    block = _block(tree_set, rows, cols)
    chunks = _chunks(block, chunk)
    work = _tiles(block, chunks)
    path = os.fspath(path)
    run = _prepared(tree_set, chunks, dtype, worker_timeout) if work else None
    with output._replaced(path) as (file, mappable):
        if run is None:
            np.save(file, np.zeros(block.shape, dtype=dtype))
        elif mappable is None:
            raise ValueError(f"cannot write {path} tile by tile: it is not a regular file")
        else:
            np.lib.format.open_memmap(mappable, mode="w+", dtype=dtype, shape=block.shape).flush()
            # the map made the file sparse: its blocks are held now, or a full disk would end a worker by SIGBUS
            output.reserve(file.fileno(), os.path.getsize(mappable), path)
            _check_one_machine(run.client)
            origin = (block.rows.start, block.cols.start)
            _one_task_per_tile(run, _write_npy_tile, (mappable, metric, origin, block.symmetric), work)
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
