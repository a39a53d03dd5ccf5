"""Gene trees whose taxa differ, compared pruned to the taxa each pair shares.

    tools/devenv run python3 bench/gene_trees.py [--trees 2000] [--taxa 200] [--ete-pairs 200] [--repeats 3]
        [--seed 1]

A species tree over all taxa, and gene trees each holding a random 20 to 100 % of them: the species tree pruned to
the gene's taxa, its lengths summed where nodes merge, with a few random subtrees of up to 12 leaves redrawn and
every length jittered, so that genes disagree with the species tree and with each other in places, as real ones
do. Next to them, as many trees over all the taxa, for the rate of same-taxa RF.

Each configuration runs in a fresh subprocess, so that its peak memory is its own; times are the tree set's calls
(the trees read once before), CPU time of all threads beside wall time, and the whole command, reading and
writing included, for all pairs. ETE 3's Tree.robinson_foulds(other, unrooted_trees=True), which prunes each pair
to its shared taxa in Python, runs on a random sample of pairs of the same trees (parsed before timing), and its
answers are checked against the set's; its CPU time per pair is set against the CPU time per pair of the set's
all-pairs `distances("rf", prune="pairwise")`, each side the best of --repeats runs (the whole sample for ETE).
Last, the cost against the number of distinct taxon sets: the same trees with their taxa drawn from 1, 10, 100 or
every set.
"""

import argparse
import json
import os
import random
import resource
import subprocess
import sys
import time
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "..", "build", "bench", "gene_trees")
sys.path.insert(0, HERE)

from pairwise import cpu_seconds, current_rss  # noqa: E402


class Node:
    __slots__ = ("children", "length", "name")

    def __init__(self, children=(), name=None, length=0.0):
        self.children = list(children)
        self.name = name
        self.length = length

    def leaves(self):
        return [self.name] if self.name is not None else [x for child in self.children for x in child.leaves()]

    def newick(self):
        text = self.name if self.name is not None else "(" + ",".join(c.newick() for c in self.children) + ")"
        return f"{text}:{self.length:.5f}"


def random_tree(rng, names):
    nodes = [Node(name=name, length=rng.uniform(0.01, 0.5)) for name in names]
    while len(nodes) > 1:
        a = nodes.pop(rng.randrange(len(nodes)))
        b = nodes.pop(rng.randrange(len(nodes)))
        nodes.append(Node([a, b], length=rng.uniform(0.01, 0.5)))
    return nodes[0]


def pruned(node, keep):
    """The subtree restricted to `keep`, nodes left with one child merged into it (lengths summed)."""
    if node.name is not None:
        return Node(name=node.name, length=node.length) if node.name in keep else None
    children = [child for child in (pruned(c, keep) for c in node.children) if child is not None]
    if not children:
        return None
    if len(children) == 1:
        children[0].length += node.length
        return children[0]
    return Node(children, length=node.length)


def perturbed(rng, node, moves):
    """`moves` random subtrees of 3 to 12 leaves redrawn at random, every length jittered."""
    inner = []

    def collect(v):
        if v.name is None:
            if 3 <= len(v.leaves()) <= 12:
                inner.append(v)
            for child in v.children:
                collect(child)

    collect(node)
    for v in rng.sample(inner, min(moves, len(inner))):
        fresh = random_tree(rng, v.leaves())
        v.children = fresh.children

    def jitter(v):
        v.length *= rng.uniform(0.7, 1.3)
        for child in v.children:
            jitter(child)

    jitter(node)
    return node


def text(tree):
    return "(" + ",".join(child.newick() for child in tree.children) + ");"


def make_trees(n_trees, n_taxa, seed, taxon_sets=None):
    """(species tree, gene trees, same-taxa trees) as Newick texts; `taxon_sets` draws the genes' taxa from that
    many sets (default: one per gene)."""
    rng = random.Random(seed)
    names = [f"taxon_{i:03d}" for i in range(n_taxa)]
    species = random_tree(rng, names)
    pool = [rng.sample(names, rng.randint(n_taxa // 5, n_taxa)) for _ in range(taxon_sets or n_trees)]
    genes = []
    for g in range(n_trees):
        keep = set(pool[g % len(pool)])
        genes.append(text(perturbed(rng, pruned(species, keep), moves=3)))
    same = [text(perturbed(rng, random_tree(rng, names), moves=0)) for _ in range(n_trees)]
    return text(species), genes, same


def write(path, texts):
    with open(path, "w") as out:
        out.write("\n".join(texts) + "\n")


def timed(call):
    wall, used = time.perf_counter(), cpu_seconds()
    result = call()
    return result, time.perf_counter() - wall, cpu_seconds() - used


# --- configurations, each in a subprocess ----------------------------------------------------------------------


def run_set(args):
    """Reading, all pairs in rf and kf, and the genes against the species tree."""
    import pickle

    from cladomatic_tools import TreeSet

    before = current_rss()
    genes, read_wall, _ = timed(lambda: TreeSet.from_files([args.genes], taxa="any"))
    memory = current_rss() - before
    species = TreeSet.from_files([args.species])
    out = {"read_s": read_wall, "set_mib": memory / 2**20, "pickled_mib": len(pickle.dumps(genes)) / 2**20}
    n = len(genes)
    with warnings.catch_warnings(record=True):
        for metric in ("rf", "kf"):
            runs = [timed(lambda metric=metric: genes.distances(metric, prune="pairwise")) for _ in range(args.repeats)]
            out[f"{metric}_wall"], out[f"{metric}_cpu"] = min(run[1] for run in runs), min(run[2] for run in runs)
            _, wall, used = timed(lambda metric=metric: genes.against(species, metric, prune="pairwise"))
            out[f"against_{metric}_wall"], out[f"against_{metric}_cpu"] = wall, used
    out["pairs"] = n * (n - 1) // 2
    out["peak_mib"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    return out


def run_same(args):
    from cladomatic_tools import TreeSet

    same = TreeSet.from_files([args.same])
    _, wall, used = timed(lambda: same.distances("rf"))
    _, again, _ = timed(lambda: same.distances("rf"))
    return {"rf_wall": wall, "rf_cpu": used, "rf_again_wall": again, "pairs": len(same) * (len(same) - 1) // 2}


def run_ete(args):
    from cladomatic_tools import TreeSet
    from ete3 import Tree

    with open(args.genes) as lines:
        texts = [line.strip() for line in lines if line.strip()]
    rng = random.Random(args.seed)
    pairs = [tuple(rng.sample(range(len(texts)), 2)) for _ in range(args.ete_pairs)]
    trees = [Tree(t) for t in texts]
    times = []
    for _ in range(args.repeats):
        # CPU time, as the set's side is counted: a busy machine slows both alike
        answers, _, used = timed(lambda: [trees[i].robinson_foulds(trees[j], unrooted_trees=True)[0] for i, j in pairs])
        times.append(used / len(pairs))
    per_pair = min(times)
    genes = TreeSet.from_files([args.genes], taxa="any")
    with warnings.catch_warnings(record=True):
        ours = [genes.distances("rf", rows=[i], cols=[j], prune="pairwise")[0, 0] for i, j in pairs]
    equal = all(a == b for a, b in zip(answers, ours))
    return {"ete_s_per_pair": per_pair, "ete_worst": max(times), "equal": equal, "sample": len(pairs)}


def run_command(args):
    out = {}
    for name, path, extra in (("pairwise", args.genes, ["--prune", "pairwise"]), ("same", args.same, [])):
        target = os.path.join(DATA, f"{name}.npy")
        start = time.perf_counter()
        subprocess.run(["cladomatic", "rf", path, "--quiet", "--output", target, *extra], check=True,
                       stderr=subprocess.DEVNULL)
        out[f"{name}_s"] = time.perf_counter() - start
    return out


def run_taxon_sets(args):
    from cladomatic_tools import TreeSet

    before = current_rss()
    genes = TreeSet.from_files([args.genes], taxa="any")
    memory = current_rss() - before
    with warnings.catch_warnings(record=True):
        _, wall, used = timed(lambda: genes.distances("rf", prune="pairwise"))
    return {"set_mib": memory / 2**20, "rf_wall": wall, "rf_cpu": used}


CONFIGURATIONS = {"set": run_set, "same": run_same, "ete": run_ete, "command": run_command, "sets": run_taxon_sets}


def in_subprocess(name, args, **paths):
    argv = [sys.executable, __file__, "--run", name, "--seed", str(args.seed), "--ete-pairs", str(args.ete_pairs)]
    argv += ["--repeats", str(args.repeats)]
    for key, value in paths.items():
        argv += [f"--{key}", value]
    done = subprocess.run(argv, check=True, capture_output=True, text=True)
    return json.loads(done.stdout.splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--trees", type=int, default=2000)
    parser.add_argument("--taxa", type=int, default=200)
    parser.add_argument("--ete-pairs", type=int, default=200)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--run", choices=CONFIGURATIONS, help=argparse.SUPPRESS)
    for path in ("genes", "species", "same"):
        parser.add_argument(f"--{path}", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.run:
        print(json.dumps(CONFIGURATIONS[args.run](args)))
        return

    os.makedirs(DATA, exist_ok=True)
    paths = {name: os.path.join(DATA, f"{name}.nwk") for name in ("genes", "species", "same")}
    species, genes, same = make_trees(args.trees, args.taxa, args.seed)
    write(paths["species"], [species])
    write(paths["genes"], genes)
    write(paths["same"], same)
    n = args.trees
    print(f"{n} gene trees over {args.taxa} taxa (each holding 20-100 %), one species tree, {n} same-taxa trees")

    result = in_subprocess("set", args, **paths)
    pairs = result["pairs"]
    print(f"read: {result['read_s']:.2f} s; set {result['set_mib']:.1f} MiB in memory, pickled "
          f"{result['pickled_mib']:.1f} MiB; peak {result['peak_mib']:.0f} MiB")
    for metric in ("rf", "kf"):
        wall, used = result[f"{metric}_wall"], result[f"{metric}_cpu"]
        print(f"all pairs, --prune pairwise {metric}: {pairs:,} pairs in {wall:.2f} s ({pairs / wall / 1e6:.2f} M/s; "
              f"{used / pairs * 1e6:.2f} cpu-us per pair)")
    for metric in ("rf", "kf"):
        wall = result[f"against_{metric}_wall"]
        print(f"{n} genes --against the species tree, {metric}: {wall * 1e3:.1f} ms ({wall / n * 1e6:.2f} us per gene)")

    same_result = in_subprocess("same", args, **paths)
    same_rate = same_result["pairs"] / same_result["rf_wall"]
    pruned_rate = pairs / result["rf_wall"]
    print(f"same-taxa rf, {n} trees of {args.taxa} taxa: {same_result['rf_wall']:.3f} s first call "
          f"({same_rate / 1e6:.1f} M pairs/s, {same_result['rf_cpu'] / pairs * 1e6:.3f} cpu-us per pair), "
          f"{same_result['rf_again_wall']:.3f} s again; pairwise rf runs at 1/{same_rate / pruned_rate:.1f} of its "
          f"rate, 1/{result['rf_cpu'] / same_result['rf_cpu']:.1f} by cpu time")
    command = in_subprocess("command", args, **paths)
    print(f"the command, rf to .npy, reading and writing included: --prune pairwise {command['pairwise_s']:.2f} s, "
          f"same taxa {command['same_s']:.2f} s (1/{command['pairwise_s'] / command['same_s']:.1f})")

    ete = in_subprocess("ete", args, **paths)
    ours = result["rf_cpu"] / pairs
    print(f"ETE robinson_foulds on {ete['sample']} pairs, best of {args.repeats}: "
          f"{ete['ete_s_per_pair'] * 1e3:.2f} cpu-ms per pair (worst {ete['ete_worst'] * 1e3:.2f} ms), "
          f"{ete['ete_s_per_pair'] / ours:,.0f} x the set's cpu time per pair ({ours * 1e6:.2f} us, best of "
          f"{args.repeats}); same answers: {ete['equal']}")

    print("distinct taxon sets   set MiB   all-pairs rf s   cpu-us per pair")
    for count in (1, 10, 100, n):
        _, varied, _ = make_trees(n, args.taxa, args.seed, taxon_sets=count)
        path = os.path.join(DATA, f"genes-{count}.nwk")
        write(path, varied)
        row = in_subprocess("sets", args, genes=path)
        print(f"{count:>21,}   {row['set_mib']:7.1f}   {row['rf_wall']:14.2f}   {row['rf_cpu'] / pairs * 1e6:15.2f}")


if __name__ == "__main__":
    main()
