#!/usr/bin/env python3
"""All pairs of the generalised RF distances (cid, cid_norm, pid, msid, msd) on posterior-like and random trees.

Run inside the development root:

    tools/devenv run python3 bench/matching.py [--trees 1000] [--metrics cid msd] [--sets posterior random]

Sets: "posterior", treegen.Sampler's copies of one 100-leaf topology after one to four NNI or SPR moves each
(most splits shared, as in a converged posterior); "ufboot", bench/data/sceloporus.ufboot.nwk.gz (1,000 UFBoot
trees of 123 leaves, bench/make_data.sh); "random", independent random binary trees of 100 leaves (next to no
split shared). Prints the wall time of one whole matrix (TreeSet.distances, every CPU, reading excluded) and the
CPU time of the process over it (the machine is shared: the CPU time says more than the wall time when other
work runs).
"""

import argparse
import os
import random
import sys
import time
from pathlib import Path

BENCH = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH))
import treegen  # noqa: E402


def trees_of(name: str, count: int) -> list[str]:
    if name == "posterior":
        return list(treegen.newick_stream(count, n_leaves=100, n_bases=1, max_moves=4, seed=34))
    if name == "random":
        rng = random.Random(34)
        names = treegen.leaf_names(100)
        return [treegen.Tree.random(100, rng).newick(names) for _ in range(count)]
    raise ValueError(name)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--trees", type=int, default=1000)
    parser.add_argument("--metrics", nargs="+", default=["cid", "cid_norm", "pid", "msid", "msd"])
    parser.add_argument("--sets", nargs="+", default=["posterior", "ufboot", "random"])
    args = parser.parse_args()
    import numpy as np
    from cladomatic_tools import TreeSet

    print(f"{os.cpu_count()} CPUs")
    for name in args.sets:
        if name == "ufboot":
            path = BENCH / "data" / "sceloporus.ufboot.nwk.gz"
            if not path.exists():
                print("ufboot: bench/data/sceloporus.ufboot.nwk.gz missing (bench/make_data.sh sceloporus)")
                continue
            trees = TreeSet.from_files([str(path)])
        else:
            trees = TreeSet.from_newick(trees_of(name, args.trees))
        splits, _ = trees.split_counts()
        n = len(trees)
        rf = trees.distances("rf")
        shared = 1 - rf[np.triu_indices(n, 1)].mean() / (2 * (len(trees.leaf_names) - 3))
        print(f"{name}: {n} trees of {len(trees.leaf_names)} leaves, {len(splits)} distinct splits, "
              f"{shared:.0%} of a pair's splits shared on average")
        for metric in args.metrics:
            started, cpu = time.perf_counter(), time.process_time()
            trees.distances(metric)
            seconds, cpu = time.perf_counter() - started, time.process_time() - cpu
            pairs = n * (n - 1) / 2
            print(f"  {metric:9s} {seconds:8.2f} s wall, {cpu:8.2f} s CPU, {cpu / pairs * 1e6:8.2f} us CPU per pair")
            sys.stdout.flush()


if __name__ == "__main__":
    main()
