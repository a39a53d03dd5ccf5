"""The distance matrix of a tree set as Dask tiles: lazy arrays, reductions, and Zarr or .npy stores.

Every tile is one `TreeSet.distances` block computed where the task runs; nothing here computes a distance.
The matrix is symmetric, so only tiles on or above the diagonal are computed: a tile below it is the
transpose of its mirror tile, and a diagonal tile is rebuilt from its own upper triangle, which makes it
symmetric with a zero diagonal whatever the block call returns there.

The tree set enters a graph once. With a distributed client active it is scattered to every worker before
the graph is built (each worker then holds one copy, and a restarted worker fetches it from a peer);
otherwise it is one key of the graph that every tile task depends on.

    import dask.array, zarr
    from cladomatic_tools import TreeSet, dask as tiles

    ts = TreeSet.from_files(["run1.t", "run2.t"], burnin="25%")
    matrix = tiles.distance_matrix(ts, "rf", chunk=4096)      # dask.array.Array, nothing computed yet
    tiles.to_zarr(ts, "rf.zarr", "rf", chunk=4096)             # resume=True after an interrupted run
    stored = dask.array.from_zarr("rf.zarr", component="distances")
"""

import hashlib
import os
import socket
import uuid
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import dask
import dask.array as da
import dask.threaded
import numpy as np
from dask.delayed import Delayed
from dask.highlevelgraph import HighLevelGraph
from dask.typing import Key

from cladomatic_tools.output import reserve

METRICS = ("rf", "rf_norm", "wrf", "kf", "info_rf")
# the reductions also take the mean squared Kuhner-Felsenstein score
REDUCED_METRICS = (*METRICS, "kf2")

# Marks a Zarr group as written by to_zarr, so that only such a store is ever replaced or resumed.
STORE_KIND = "cladomatic distance matrix"
DISTANCES = "distances"
TREE_NAMES = "tree_names"


def dtype_of(metric: str) -> np.dtype:
    if metric not in METRICS:
        raise ValueError(f"unknown metric '{metric}' (expected one of {', '.join(METRICS)})")
    return np.dtype(np.uint32 if metric == "rf" else np.float64)


def bounds(n: int, chunk: int) -> list[tuple[int, int]]:
    """The [start, stop) ranges of the tiles along one axis of n trees."""
    if isinstance(chunk, bool) or not isinstance(chunk, int) or chunk < 1:
        raise ValueError(f"chunk must be a whole number of at least 1, got {chunk!r}")
    return [(start, min(start + chunk, n)) for start in range(0, n, chunk)]


def _upper_tiles(n: int, chunk: int) -> list[tuple[int, int]]:
    count = len(bounds(n, chunk))
    return [(i, j) for i in range(count) for j in range(i, count)]


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


def _entered(tree_set: Any) -> tuple[dict[Key, Any], Any]:
    """The graph entries that hold the tree set, and what a task names to receive it."""
    client = _client()
    if client is not None:
        return {}, client.scatter(tree_set, broadcast=True, hash=False)
    key = f"cladomatic-treeset-{uuid.uuid4().hex}"
    return {key: tree_set}, key


def _checked(tree_set: Any, metric: str, chunk: int) -> tuple[int, list[tuple[int, int]]]:
    dtype_of(metric)
    n = len(tree_set)
    return n, bounds(n, chunk)


def distance_matrix(tree_set: Any, metric: str = "rf", chunk: int = 4096) -> da.Array:
    """The n x n matrix as a Dask array of chunk x chunk tiles (uint32 for rf, float64 otherwise)."""
    n, axis = _checked(tree_set, metric, chunk)
    name = f"cladomatic-{metric}-{uuid.uuid4().hex}"
    graph, ref = _entered(tree_set)
    upper = f"{name}-upper"
    for i, j in _upper_tiles(n, chunk):
        graph[(upper, i, j)] = (tile, ref, metric, axis[i], axis[j])
        graph[(name, i, j)] = (upper, i, j)
        if i != j:
            graph[(name, j, i)] = (_transposed, (upper, i, j))
    sizes = tuple(stop - start for start, stop in axis)
    return da.Array(HighLevelGraph.from_collections(name, graph), name, (sizes, sizes), dtype=dtype_of(metric))


def against(tree_set: Any, reference_set: Any, metric: str = "rf", chunk: int = 4096) -> da.Array:
    """Every tree of `tree_set` against every tree of `reference_set`: an n x m Dask array of tiles."""
    dtype = dtype_of(metric)
    rows, cols = bounds(len(tree_set), chunk), bounds(len(reference_set), chunk)
    name = f"cladomatic-against-{metric}-{uuid.uuid4().hex}"
    graph, mine = _entered(tree_set)
    more, theirs = _entered(reference_set)
    graph.update(more)
    for i, row_bounds in enumerate(rows):
        for j, col_bounds in enumerate(cols):
            graph[(name, i, j)] = (_against_tile, mine, theirs, metric, row_bounds, col_bounds)
    sizes = tuple(tuple(stop - start for start, stop in axis) for axis in (rows, cols))
    return da.Array(HighLevelGraph.from_collections(name, graph), name, sizes, dtype=dtype)


def _sum_graph(tree_set: Any, metric: str, chunk: int) -> tuple[str, dict[Key, Any], int, list[int]]:
    """A graph whose keys (name, i) are the distance sums of the trees of row tile i."""
    if metric not in REDUCED_METRICS:
        raise ValueError(f"unknown metric '{metric}' (expected one of {', '.join(REDUCED_METRICS)})")
    n = len(tree_set)
    axis = bounds(n, chunk)
    name = f"cladomatic-sums-{metric}-{uuid.uuid4().hex}"
    graph, ref = _entered(tree_set)
    parts = f"{name}-tile"
    for i, j in _upper_tiles(n, chunk):
        graph[(parts, i, j)] = (_tile_sums, ref, metric, axis[i], axis[j])
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


# --- stores ----------------------------------------------------------------------------------------------


@dataclass(frozen=True, slots=True)
class Written:
    """What a store run did: tiles computed now, and tiles found complete from an earlier run."""

    computed: int
    skipped: int


def _store_tile(tree_set: Any, metric: str, rows: tuple[int, int], cols: tuple[int, int], path: str) -> None:
    import zarr

    # a tile of zeros (identical trees) is stored too: a missing chunk must mean a tile not yet written
    array = zarr.open_array(path, path=DISTANCES, mode="r+").with_config({"write_empty_chunks": True})
    block = tile(tree_set, metric, rows, cols)
    # the mirror chunk first: a tile is taken as done once its own chunk exists, so that chunk comes last
    if rows != cols:
        array[cols[0] : cols[1], rows[0] : rows[1]] = block.T
    array[rows[0] : rows[1], cols[0] : cols[1]] = block


def _write_npy_tile(tree_set: Any, metric: str, rows: tuple[int, int], cols: tuple[int, int], path: str) -> None:
    matrix = np.lib.format.open_memmap(path, mode="r+")
    block = tile(tree_set, metric, rows, cols)
    matrix[rows[0] : rows[1], cols[0] : cols[1]] = block
    if rows != cols:
        matrix[cols[0] : cols[1], rows[0] : rows[1]] = block.T
    matrix.flush()


def _done(*_: None) -> None:
    return None


def _run_tiles(tree_set: Any, metric: str, work: list[tuple[tuple[int, int], tuple[int, int]]], write, path: str):
    """Runs one write task per tile on the active scheduler (a distributed client, else local threads)."""
    if not work:
        return
    name = f"cladomatic-store-{metric}-{uuid.uuid4().hex}"
    graph, ref = _entered(tree_set)
    for index, (rows, cols) in enumerate(work):
        graph[(name, index)] = (write, ref, metric, rows, cols, path)
    finish = f"{name}-finish"
    graph[finish] = (_done, *[(name, index) for index in range(len(work))])
    _scheduler()(graph, finish)


def _scheduler() -> Callable[..., Any]:
    # the client that the tree set was scattered to, whatever scheduler the configuration names
    client = _client()
    if client is not None:
        return client.get
    return dask.base.get_scheduler() or dask.threaded.get


def to_zarr(
    tree_set: Any, path: str | os.PathLike[str], metric: str = "rf", chunk: int = 4096, *, resume: bool = False
) -> Written:
    """Writes the matrix into a Zarr group at `path`: `distances`, one chunk per tile, and `tree_names`.

    Each upper tile is computed once and written with its mirror by the task that computed it. With `resume`,
    a store of the same trees, metric and tile size written by an earlier run keeps the tiles whose chunks
    both exist. A chunk file appears whole or not at all (the local store writes a temporary file and renames
    it), so a tile cut short by a killed run is computed again. The group's `complete` attribute turns true
    only when every tile is in place. Every worker must see `path` (a shared file system on a cluster)."""
    n, axis = _checked(tree_set, metric, chunk)
    # workers resolve a relative path against their own working folders
    path = os.path.abspath(path)
    settings = {"kind": STORE_KIND, "metric": metric, "rooted": bool(tree_set.rooted), "n_trees": n, "chunk": chunk}
    fingerprint = _fingerprint(tree_set, metric)
    group = _resumed(path, settings, fingerprint) if resume else None
    if group is None:
        group = _created_store(path, {**settings, "fingerprint": fingerprint}, tree_set.tree_names, dtype_of(metric))
    array = group[DISTANCES]

    def missing(stored: set[str]) -> list[tuple[int, int]]:
        def written(i: int, j: int) -> bool:
            return f"{DISTANCES}/{array.metadata.encode_chunk_key((i, j))}" in stored

        return [(i, j) for i, j in _upper_tiles(n, chunk) if not (written(i, j) and written(j, i))]

    work = missing(_stored_chunks(group)) if resume else _upper_tiles(n, chunk)
    _run_tiles(tree_set, metric, [(axis[i], axis[j]) for i, j in work], _store_tile, path)
    # every task succeeded, but a worker that sees another file system than this process wrote elsewhere
    lost = missing(_stored_chunks(group))
    if lost:
        raise ValueError(
            f"{len(lost)} of {len(work)} tiles written by the workers are missing from {path}: "
            "every worker must see this path (a shared file system)"
        )
    group.attrs["complete"] = True
    upper = len(_upper_tiles(n, chunk))
    return Written(len(work), upper - len(work))


def _our_store(path: str) -> Any:
    """The store at `path` when to_zarr wrote it; None when nothing is there; an error for anything else."""
    import zarr

    if not os.path.lexists(path):
        return None
    try:
        group = zarr.open_group(path, mode="r+")
    except OSError, ValueError, LookupError, zarr.errors.BaseZarrError:
        group = None
    if group is None or group.attrs.get("kind") != STORE_KIND:
        raise ValueError(f"{path} exists and is not a distance store written by cladomatic; not replacing it")
    return group


def _fingerprint(tree_set: Any, metric: str) -> str:
    """A digest of the names and of every tree's distances to three probe trees.

    Two sets with the same names and counts but other trees would otherwise pass for one another, and a
    resumed run would mix their tiles; the probes catch different trees at the cost of 3n distances."""
    n = len(tree_set)
    digest = hashlib.sha256()
    for names in (tree_set.tree_names, tree_set.leaf_names):
        digest.update("\0".join(names).encode() + b"\1")
    probes = sorted({0, n // 2, n - 1}) if n else []
    digest.update(np.ascontiguousarray(tree_set.distances(metric, rows=None, cols=probes)).tobytes())
    return digest.hexdigest()


def _resumed(path: str, settings: dict[str, Any], fingerprint: str) -> Any:
    group = _our_store(path)
    if group is None:
        return None
    found = {key: group.attrs.get(key) for key in settings}
    if found != settings:
        differ = ", ".join(
            f"{key} {found[key]!r} instead of {settings[key]!r}" for key in settings if found[key] != settings[key]
        )
        raise ValueError(f"cannot resume {path}: it holds another matrix ({differ})")
    if group.attrs.get("fingerprint") != fingerprint:
        raise ValueError(f"cannot resume {path}: it holds the matrix of other trees")
    _remove_partial_writes(group)
    group.attrs["complete"] = False
    return group


def _created_store(path: str, settings: dict[str, Any], names: list[str], dtype: np.dtype) -> Any:
    import zarr

    _our_store(path)  # refuses to replace what is not ours
    n, chunk = settings["n_trees"], settings["chunk"]
    group = zarr.open_group(path, mode="w")
    group.attrs.update({**settings, "complete": False})
    group.create_array(
        DISTANCES, shape=(n, n), chunks=(chunk, chunk), dtype=dtype, fill_value=0, compressors=_compressors(dtype)
    )
    labels = group.create_array(TREE_NAMES, shape=(n,), chunks=(max(n, 1),), dtype=str)
    if n:
        labels[:] = np.array(names, dtype=object)
    return group


def _compressors(dtype: np.dtype) -> Any:
    """Codecs chosen by measurement on 4096-tree tiles: writing a tile must not take much longer than computing it.

    RF counts are small integers: LZ4 over shuffled bytes stores them in about 15% of their size at several
    times the speed of the default Zstandard (11%). Float distances hardly compress below a third of their size
    whatever the codec; Zstandard at level 1 gets there faster than the default level."""
    from zarr.codecs import BloscCodec, ZstdCodec

    if dtype == np.uint32:
        return BloscCodec(cname="lz4", clevel=5, shuffle="shuffle")
    return ZstdCodec(level=1)


def _listed(group: Any, prefix: str) -> list[str]:
    from zarr.core.sync import sync

    async def keys() -> list[str]:
        return [key async for key in group.store.list_prefix(prefix)]

    return sync(keys())


def _stored_chunks(group: Any) -> set[str]:
    return set(_listed(group, f"{DISTANCES}/"))


def _remove_partial_writes(group: Any) -> None:
    """Drops the temporary files of chunk writes that a killed worker left behind."""
    from zarr.core.sync import sync

    for key in _listed(group, f"{DISTANCES}/"):
        if key.endswith(".partial"):
            sync(group.store.delete(key))


def to_npy(tree_set: Any, path: str | os.PathLike[str], metric: str = "rf", chunk: int = 4096) -> Written:
    """Writes the matrix to a .npy file through a memory map, tile by tile, for workers on this machine.

    The file is written under a temporary name beside `path` and renamed into place when complete, so an
    interrupted run leaves no partial matrix under the final name."""
    n, axis = _checked(tree_set, metric, chunk)
    path = os.fspath(path)
    temporary = os.path.join(
        os.path.dirname(os.path.abspath(path)), f".{os.path.basename(path)}.{uuid.uuid4().hex}.partial"
    )
    work = [(axis[i], axis[j]) for i, j in _upper_tiles(n, chunk)]
    try:
        if n:
            np.lib.format.open_memmap(temporary, mode="w+", dtype=dtype_of(metric), shape=(n, n)).flush()
            with open(temporary, "rb+") as file:
                reserve(file.fileno(), os.fstat(file.fileno()).st_size, path)
            _check_one_machine()
            _run_tiles(tree_set, metric, work, _write_npy_tile, temporary)
            with open(temporary, "rb+") as file:
                os.fsync(file.fileno())
        else:
            with open(temporary, "xb") as file:
                np.save(file, np.zeros((0, 0), dtype=dtype_of(metric)))
        os.replace(temporary, path)
    except BaseException:
        if os.path.exists(temporary):
            os.unlink(temporary)
        raise
    return Written(len(work), 0)


def _check_one_machine() -> None:
    client = _client()
    if client is None:
        return
    here = socket.gethostname()
    elsewhere = sorted({host for host in client.run(socket.gethostname).values() if host != here})
    if elsewhere:
        raise ValueError(
            ".npy output needs every worker on this machine, but workers run on "
            f"{', '.join(elsewhere)}; write a .zarr store instead"
        )
