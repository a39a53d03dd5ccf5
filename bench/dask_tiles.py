"""The matrix in Dask tiles on a local two-worker cluster against the engine in one process.

    tools/devenv run python3 bench/dask_tiles.py [--trees 40000] [--metric rf] [--tile 4096]
                                                 [--store build/bench] [--keep]

Trees are made by treegen.py (100 leaves, perturbed copies of four base topologies) and interned once
into a TreeSet in this process. Then, in order:

- the fingerprint a store records: the set pickled and hashed (SHA-256);
- tiles to Zarr: `to_zarr` on a LocalCluster of 2 worker processes with 1 thread each, every worker
  pinned to its own core (the engine sizes its thread pool from the process's CPU affinity, so each
  worker computes its tiles on one thread); wall time, the store's size on disk, tiles per second;
- the same store resumed: every chunk read back and checked against its checksum, none computed;
- tiles reduced: `mean_distances` on the same cluster, which computes every upper tile again but keeps
  only row sums: the tiled computation without storage;
- peak RSS of each worker process (its own ru_maxrss, asked for on the worker);
- in one process: `TreeSet.distances` for the whole matrix on the machine's 2 cores; wall time and
  the process's peak RSS (which includes the tree set and the trees' text);
- the store read back band by band and compared with the in-memory matrix, and the reduced means
  compared with the matrix's own row means: both must match.

Every run prints its wall time and pairs per second, and the CPU time of the processes that did the work
(the two workers, or the one process) with pairs per CPU-second: the per-core rate, which stays meaningful
when other programs share the machine. Nothing here runs in the test suite.
"""

import argparse
import os
import pickle
import resource
import shutil
import sys
import time
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import numpy as np
import treegen
import zarr
from cladomatic_tools import dask as tiles
from cladomatic_tools.io import tile_store
from cladomatic_tools.treeset import TreeSet
from distributed import Client, LocalCluster

N_LEAVES = 100
SEED = 17
WORKERS = 2


def peak_rss() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def mib(value: float) -> str:
    return f"{value / (1 << 20):,.1f} MiB"


def tree_size(path: Path) -> int:
    return sum(entry.stat().st_size for entry in path.rglob("*") if entry.is_file())


def pin_workers(client: Client) -> None:
    """One core per worker, before its first tile starts the engine's thread pool."""
    cores = sorted(os.sched_getaffinity(0))
    for index, address in enumerate(sorted(client.scheduler_info()["workers"])):
        client.run(os.sched_setaffinity, 0, {cores[index % len(cores)]}, workers=[address])


def cpu_seconds() -> float:
    """User and system CPU time of every thread of this process so far."""
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def timed(label: str, pairs: int, action, cpu=cpu_seconds):
    """Runs `action`, printing wall time, pairs per second and pairs per CPU-second of the processes that
    `cpu` measures (CPU time stays meaningful when other programs take cores away)."""
    cpu_start, start = cpu(), time.perf_counter()
    result = action()
    seconds, cpu_used = time.perf_counter() - start, cpu() - cpu_start
    print(
        f"{label:<28} {seconds:8.2f} s  {pairs / seconds / 1e6:8.1f} M pairs/s  cpu {cpu_used:7.2f} s  "
        f"{pairs / cpu_used / 1e6:7.1f} M pairs/cpu-s"
    )
    return result, seconds


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--trees", type=int, default=40_000)
    parser.add_argument("--metric", default="rf", choices=tiles.METRICS)
    parser.add_argument("--tile", type=int, default=4096)
    parser.add_argument("--store", default="build/bench", help="folder for the Zarr store")
    parser.add_argument("--keep", action="store_true", help="keep the Zarr store afterwards")
    args = parser.parse_args()

    start = time.perf_counter()
    tree_set = TreeSet.from_newick(treegen.newick_stream(args.trees, n_leaves=N_LEAVES, seed=SEED))
    n = len(tree_set)
    pairs = n * (n - 1) // 2
    upper = len(tiles.bounds(n, args.tile)) * (len(tiles.bounds(n, args.tile)) + 1) // 2
    print(
        f"{n:,} trees of {N_LEAVES} leaves, {args.metric}, {pairs:,} pairs, tiles of {args.tile} "
        f"({upper} upper tiles), tree set made in {time.perf_counter() - start:.1f} s"
    )

    start = time.perf_counter()
    pickled = pickle.dumps(tree_set)
    tile_store.fingerprint(pickled, args.metric, range(n), range(n))
    print(f"{'fingerprint of the set':<28} {time.perf_counter() - start:8.2f} s  ({mib(len(pickled))} pickled)")

    store = Path(args.store) / f"dask_tiles_{args.metric}.zarr"
    store.parent.mkdir(parents=True, exist_ok=True)
    shutil.rmtree(store, ignore_errors=True)
    with (
        LocalCluster(n_workers=WORKERS, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster,
        Client(cluster) as client,
    ):
        pin_workers(client)

        def workers_cpu() -> float:
            return sum(client.run(cpu_seconds).values())

        timed("dask: tiles to Zarr", pairs, lambda: tiles.to_zarr(tree_set, store, args.metric, args.tile), workers_cpu)
        timed(
            "dask: resumed, all verified",
            pairs,
            lambda: tiles.to_zarr(tree_set, store, args.metric, args.tile, resume=True),
            workers_cpu,
        )
        means, _ = timed(
            "dask: tiles reduced",
            pairs,
            lambda: tiles.mean_distances(tree_set, args.metric, args.tile).compute(),
            workers_cpu,
        )
        worker_peaks = client.run(peak_rss)
    print(f"{'peak RSS per worker':<28} " + ", ".join(mib(value) for value in worker_peaks.values()))
    size = tree_size(store)
    cell = tiles.dtype_of(args.metric).itemsize
    print(f"{'Zarr store':<28} {mib(size)} on disk for a {mib(n * n * cell)} matrix ({size / (n * n * cell):.1%})")

    matrix, _ = timed("one process, 2 threads", pairs, lambda: tree_set.distances(args.metric))
    print(f"{'peak RSS, one process':<28} {mib(peak_rss())} (matrix {mib(matrix.nbytes)})")

    stored = zarr.open_array(store, path=tile_store.DISTANCES, mode="r")
    for start in range(0, n, args.tile):
        stop = min(start + args.tile, n)
        if not np.array_equal(stored[start:stop], matrix[start:stop]):
            sys.exit(f"the stored matrix differs from the in-memory one in rows {start}..{stop - 1}")
    row_means = matrix.sum(axis=1, dtype=np.float64) / max(n - 1, 1)
    if not np.allclose(means, row_means, rtol=1e-12, atol=0):
        sys.exit("the reduced means differ from the in-memory matrix's")
    print("stored matrix == in-memory matrix; reduced means == its row means")
    if not args.keep:
        shutil.rmtree(store)


if __name__ == "__main__":
    main()
