#!/usr/bin/env python3
"""All pairs of quartet distances: seconds for the whole matrix of a set of trees.

Run inside the development root:

    tools/devenv run python3 bench/quartets.py [--trees 1000] [--tips 100] [--threads N] [--repeats 3]
        [--sets random posterior multifurcating]

Three sets of trees drawn here (seed 34): random binary trees, trees a few nearest-neighbour interchanges from one
random tree (as a posterior sample), and random trees with a third of their internal edges contracted
(multifurcating, which takes the general form of the count). Each is read once; then TreeSet.distances("quartet")
fills the whole matrix, reading excluded; the best wall and CPU times of `--repeats` runs are printed (the CPU time
of all threads: the figure to compare on a shared machine) with the largest count.
"""

import argparse
import os
import random
import time


def random_binary(rng: random.Random, names: list[str]) -> list:
    items: list = list(names)
    rng.shuffle(items)
    while len(items) > 3:
        a = items.pop(rng.randrange(len(items)))
        b = items.pop(rng.randrange(len(items)))
        items.append([a, b])
    return items


def interchanged(rng: random.Random, tree: list, moves: int) -> list:
    """The tree after `moves` interchanges: a grandchild swapped with its uncle, at random internal nodes."""
    tree = copy(tree)
    inner = []
    stack = [tree]
    while stack:
        node = stack.pop()
        inner.append(node)
        stack.extend(child for child in node if isinstance(child, list))
    for _ in range(moves):
        parent = rng.choice(inner)
        kids = [k for k, child in enumerate(parent) if isinstance(child, list)]
        if not kids or len(parent) < 2:
            continue
        k = rng.choice(kids)
        uncle = rng.choice([j for j in range(len(parent)) if j != k])
        g = rng.randrange(len(parent[k]))
        parent[k][g], parent[uncle] = parent[uncle], parent[k][g]
    return tree


def contracted(rng: random.Random, node, rate: float):
    if not isinstance(node, list):
        return node
    out: list = []
    for child in (contracted(rng, child, rate) for child in node):
        out.extend(child if isinstance(child, list) and rng.random() < rate else [child])
    return out


def copy(node):
    return [copy(child) for child in node] if isinstance(node, list) else node


def newick(node, top: bool = True) -> str:
    if not isinstance(node, list):
        return node
    return "(" + ",".join(newick(child, False) for child in node) + ")" + (";" if top else "")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--trees", type=int, default=1000)
    parser.add_argument("--tips", type=int, default=100)
    parser.add_argument("--threads", type=int, default=None, help="default: every CPU")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--sets", nargs="+", default=["random", "posterior", "multifurcating"])
    args = parser.parse_args()
    from cladomatic_tools import TreeSet

    rng = random.Random(34)
    names = [f"t{i}" for i in range(args.tips)]
    base = random_binary(rng, names)
    sets = {
        "random": [random_binary(rng, names) for _ in range(args.trees)],
        "posterior": [interchanged(rng, base, rng.randrange(1, 12)) for _ in range(args.trees)],
        "multifurcating": [contracted(rng, random_binary(rng, names), 1 / 3) for _ in range(args.trees)],
    }
    sets = {label: roots for label, roots in sets.items() if label in args.sets}
    print(f"{args.trees} trees of {args.tips} tips, threads {args.threads or os.cpu_count()} of {os.cpu_count()} CPUs")
    for label, roots in sets.items():
        trees = TreeSet.from_newick([newick(root) for root in roots])
        best, cpu = float("inf"), float("inf")
        for _ in range(args.repeats):
            started, started_cpu = time.perf_counter(), time.process_time()
            matrix = trees.distances("quartet", threads=args.threads)
            best = min(best, time.perf_counter() - started)
            cpu = min(cpu, time.process_time() - started_cpu)
        pairs = args.trees * (args.trees - 1) // 2
        print(
            f"{label:15s} wall {best:7.2f} s  CPU {cpu:7.2f} s  {cpu / pairs * 1e6:7.1f} CPU-us a pair (each once)  "
            f"largest count {int(matrix.max()):,}"
        )


if __name__ == "__main__":
    main()
