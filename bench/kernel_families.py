"""The two kernel families side by side on bench/speed.py's trees: the `cladomatic` module's whole-matrix fill
against TreeSet's block kernels filling the same whole matrix, alternating, medians of --repeat runs.

    tools/devenv run python3 bench/kernel_families.py [--repeat 5] [--metrics rf,wrf,kf] [--sets primates,synthetic]

The module's figure is its pairwise stage: from the moment its progress counter's total is set (the layout is built
after that) to the return, the Python result built. TreeSet's figure is one `distances` call on a fresh set (its
layout built within the call) into an array touched beforehand: NumPy asks for huge pages for a large array, and
their first touch is the machine's cost, not the kernels'. Both matrices are compared bit for bit.
"""

import argparse
import statistics
import sys
import threading
import time

import cladomatic
import numpy as np
import treefiles
import treegen
from cladomatic_tools.treeset import TreeSet
from speed import N_SYNTHETIC, PRIMATES


def module_stage(metric, names, texts, translate):
    function = getattr(cladomatic, f"pairwise_{metric}_from_newick_iter")
    counter = cladomatic.ProgressCounter()
    started = []
    done = threading.Event()

    def watch():
        while not done.is_set() and not counter.total():
            time.sleep(0.0005)
        started.append(time.perf_counter())

    watcher = threading.Thread(target=watch)
    watcher.start()
    _, data = function(names, iter(texts), [translate], [0] * len(texts), progress=counter)
    end = time.perf_counter()
    done.set()
    watcher.join()
    matrix = np.frombuffer(data, "<u4") if metric == "rf" else np.array(data)
    return end - started[0], matrix.tobytes()


def block_stage(metric, texts, translate):
    trees = TreeSet.from_newick(texts, translate=translate, rooted=False, lengths=metric != "rf")
    out = np.empty((len(trees), len(trees)), np.uint32 if metric == "rf" else np.float64)
    out.fill(1)
    start = time.perf_counter()
    trees.distances(metric, out=out)
    return time.perf_counter() - start, out.tobytes()


def trees_of(name):
    if name == "primates":
        read = treefiles.read_tree_file(PRIMATES)
        return read.newicks, read.translate
    sampler = treegen.Sampler(n_leaves=100, n_bases=4, max_moves=4, seed=11)
    return [sampler.tree() for _ in range(N_SYNTHETIC)], {}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--metrics", default="rf,wrf,kf")
    parser.add_argument("--sets", default="primates,synthetic")
    args = parser.parse_args()
    for name in args.sets.split(","):
        texts, translate = trees_of(name)
        names = [str(i) for i in range(len(texts))]
        for metric in args.metrics.split(","):
            if name == "primates" and metric != "rf":
                continue  # speed.py times the primates RF call only
            whole, block, same = [], [], True
            for _ in range(args.repeat):
                seconds, expected = module_stage(metric, names, texts, translate)
                whole.append(seconds)
                seconds, got = block_stage(metric, texts, translate)
                block.append(seconds)
                same = same and got == expected
                del expected, got
            ratio = statistics.median(block) / statistics.median(whole)
            print(
                f"{name} {metric}: whole-matrix {statistics.median(whole):.3f} s, blocks {statistics.median(block):.3f}"
                f" s, blocks / whole-matrix {ratio:.2f}, {'same bits' if same else 'BITS DIFFER'}",
                flush=True,
            )


if __name__ == "__main__":
    sys.exit(main())
