#!/usr/bin/env python3
"""The Kendall-Colijn metric and the path difference against their R peers, in one run on the same trees.

Run inside the development root:

    tools/devenv run python3 bench/tree_vectors.py [--trees 1000] [--tips 100] [--lambdas 0 0.5]

R draws the trees (ape::rtree, seed 34, rooted, with branch lengths) and writes them with 17 significant digits;
then, each in its own child process and timed from the trees in memory to the matrix, treespace::multiDist (the
fastest all-pairs call treespace offers) for each lambda and phangorn::path.dist of the unrooted trees, then
cladomatic's whole matrix (TreeSet.distances, all CPUs, reading excluded). Prints each wall and CPU time, the
speed-ups (the CPU ratio is the one to read on a machine busy with other work) and the largest relative
difference of the matrices.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

R_DRAW = """
suppressPackageStartupMessages(library(ape))
set.seed(34)
args <- commandArgs(trailingOnly = TRUE)
trees <- rmtree(as.integer(args[1]), as.integer(args[2]), rooted = TRUE)
write.tree(trees, args[3], digits = 17)
"""

R_PEER = """
options(rgl.useNULL = TRUE)
suppressPackageStartupMessages({ library(ape); library(phangorn); library(treespace) })
args <- commandArgs(trailingOnly = TRUE)
trees <- read.tree(args[2])
started <- proc.time()
if (args[1] == "path") {
  unrooted <- lapply(trees, unroot)
  class(unrooted) <- "multiPhylo"
  d <- path.dist(unrooted)
} else {
  d <- multiDist(trees, lambda = as.numeric(args[1]))
}
spent <- proc.time() - started
con <- file(args[3], "wb")
writeBin(as.double(d), con, size = 8, endian = "little")
close(con)
cat(spent[["elapsed"]], spent[["user.self"]] + spent[["sys.self"]], "\\n")
"""


def rscript(code: str, *args: str) -> str:
    with tempfile.NamedTemporaryFile("w", suffix=".R", delete=False) as script:
        script.write(code)
    try:
        done = subprocess.run(["Rscript", script.name, *args], check=True, capture_output=True, text=True)
    finally:
        os.unlink(script.name)
    return done.stdout


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--trees", type=int, default=1000)
    parser.add_argument("--tips", type=int, default=100)
    parser.add_argument("--lambdas", type=float, nargs="+", default=[0.0, 0.5])
    parser.add_argument("--no-path", action="store_true", help="leave out phangorn's path.dist")
    args = parser.parse_args()
    from cladomatic_tools import TreeSet

    with tempfile.TemporaryDirectory() as work:
        trees_path = Path(work) / "trees.nwk"
        rscript(R_DRAW, str(args.trees), str(args.tips), str(trees_path))
        texts = trees_path.read_text().split()
        rooted = TreeSet.from_newick(texts, rooted=True)
        unrooted = TreeSet.from_newick(texts, rooted=False)
        n = len(texts)
        upper = np.triu_indices(n, 1)
        print(f"{n} random rooted trees of {args.tips} tips, {os.cpu_count()} CPUs")
        runs = [(f"kc(lambda={lam!r})", repr(lam), rooted) for lam in args.lambdas]
        if not args.no_path:
            runs.append(("path", "path", unrooted))
        for metric, peer_argument, trees in runs:
            out = Path(work) / "peer.bin"
            peer_seconds, peer_cpu = map(float, rscript(R_PEER, peer_argument, str(trees_path), str(out)).split()[-2:])
            expected = np.fromfile(out, dtype="<f8")
            started, cpu = time.perf_counter(), time.process_time()
            matrix = trees.distances(metric)
            seconds, cpu = time.perf_counter() - started, time.process_time() - cpu
            found = matrix[upper]
            worst = float(np.max(np.abs(found - expected) / np.maximum(np.abs(expected), 1e-300)))
            peer = "treespace::multiDist" if metric.startswith("kc") else "phangorn::path.dist"
            print(
                f"{metric:16s} cladomatic {seconds:7.3f} s ({cpu:.3f} s CPU)  {peer} {peer_seconds:7.2f} s "
                f"({peer_cpu:.2f} s CPU)  x{peer_seconds / seconds:,.0f} wall, x{peer_cpu / cpu:,.0f} CPU  "
                f"max relative difference {worst:.1e}"
            )
            sys.stdout.flush()


if __name__ == "__main__":
    main()
