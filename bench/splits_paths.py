"""`cladomatic splits` by its two paths, alternating in one process: the module's `*_with_snapshots_*` call
(taken without --threads or --prune) and the tree-set engine's whole matrix and exports (taken with them).

    tools/devenv run python3 bench/splits_paths.py [FILE] [--repeat K]
"""

import argparse
import os
import sys
import time

from cladomatic_tools.cli import distances
from cladomatic_tools.cli.progress import Status
from cladomatic_tools.io.sources import FileTrees
from cladomatic_tools.selection import Selection


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("file", nargs="?", default="bench/data/primates.mb.nex.gz")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    status = Status(sys.stderr, enabled=False)
    # naming a thread count chooses the engine; every CPU, as the module takes them
    paths = {"module": None, "engine": len(os.sched_getaffinity(0))}
    times: dict[str, list[float]] = {name: [] for name in paths}
    for _ in range(args.repeat):
        for name, threads in paths.items():
            start = time.perf_counter()
            distances.splits("rf", FileTrees([args.file], Selection()), None, status, print, threads=threads)
            times[name].append(time.perf_counter() - start)
    for name, values in times.items():
        median = sorted(values)[len(values) // 2]
        print(f"{name:7} " + " ".join(f"{v:6.2f}" for v in values) + f"   median {median:.2f} s")


if __name__ == "__main__":
    main()
