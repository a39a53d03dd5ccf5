#!/usr/bin/env python3
"""Two identical caterpillar trees, as deep as trees get: RF through the module and through the tree set.

    tools/devenv run python3 bench/deep_trees.py [--leaves 30000 100000]

Each figure comes from a fresh subprocess, after one call on two 10-leaf trees has set up the threads: the wall
time of `cladomatic.pairwise_rf_from_newick_iter` or of `TreeSet.from_newick(trees).distances("rf")` (reading
included), and the growth of the process's peak resident memory over that call.
"""

import argparse
import json
import resource
import subprocess
import sys
import time


def caterpillar(n: int) -> str:
    return "(" * (n - 1) + "t0" + "".join(f",t{i})" for i in range(1, n)) + ";"


def measure(path: str, leaves: int) -> dict[str, float]:
    import cladomatic
    import cladomatic_tools

    def rf(texts: list[str]) -> None:
        if path == "module":
            cladomatic.pairwise_rf_from_newick_iter(["a", "b"], iter(texts), [{}], [0, 0])
        else:
            cladomatic_tools.TreeSet.from_newick(texts).distances("rf")

    rf([caterpillar(10)] * 2)
    texts = [caterpillar(leaves)] * 2
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    started = time.perf_counter()
    rf(texts)
    seconds = time.perf_counter() - started
    grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
    return {"seconds": seconds, "mib": grown / 1024}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--leaves", type=int, nargs="+", default=[30000, 100000])
    parser.add_argument("--run", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.run:
        print(json.dumps(measure(args.run[0], int(args.run[1]))))
        return
    print(f"{'leaves':>8} {'module s':>9} {'module MiB':>11} {'set s':>7} {'set MiB':>8}")
    for leaves in args.leaves:
        found = {}
        for path in ("module", "treeset"):
            done = subprocess.run([sys.executable, __file__, "--run", path, str(leaves)], check=True,
                                  capture_output=True, text=True)
            found[path] = json.loads(done.stdout)
        module, tree_set = found["module"], found["treeset"]
        print(f"{leaves:>8} {module['seconds']:9.2f} {module['mib']:11.1f} {tree_set['seconds']:7.2f} "
              f"{tree_set['mib']:8.1f}")


if __name__ == "__main__":
    main()
