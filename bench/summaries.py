#!/usr/bin/env python3
"""Summary trees of MrBayes posteriors against DendroPy on the same files, in the same run.

Run inside the development root:

    tools/devenv run python3 bench/summaries.py [--sets primates ovomucoid] [--repeats 3]

Sets: bench/data/primates.mb.nex.gz (20,000 trees of 12 leaves, committed) and bench/data/ovomucoid.mb.nex.gz
(2 x 10,000 trees of 89 leaves; `tools/devenv run bench/make_data.sh ovomucoid` makes it). For each, the best of
--repeats wall times of:

- read: the trees alone read into a TreeSet with their branch lengths, the baseline;
- consensus, mcc, support: the pass of each summary over the set read, its Newick text included (majority-rule
  consensus; the MCC tree; the MCC tree's splits counted in the set, as a reference tree's would be); a
  summary's whole time is reading plus its pass, as the command spends it;
- consensus.nex: the consensus written as NEXUS with MrBayes's annotations (the spread of every split's
  frequency and lengths: their median and interval sort every length of its splits), against DendroPy's
  plain consensus;
- the same with DendroPy 4, the best of the same --repeats, two ways:
  - TreeList: dendropy.TreeList.get(schema="nexus", rooting="force-unrooted"), then TreeList.consensus(min_freq=0.5),
    TreeList.maximum_product_of_split_support_tree() and
    TreeList.split_distribution().summarize_splits_on_tree(reference);
  - TreeArray, its fastest path for these summaries (each tree kept as its splits while it is read):
    TreeArray(is_rooted_trees=False).read_from_files([file], schema="nexus"), then TreeArray.consensus_tree(
    min_freq=0.5), TreeArray.maximum_product_of_split_support_tree() and TreeArray.summarize_splits_on_tree(
    reference).
  Debian's DendroPy ships no command-line summariser, so these calls are what is timed. The speed-ups printed are
  against the faster of the two for each step.

Targets: each summary within 1.5x of reading alone, and at least 100x faster than DendroPy.
"""

import argparse
import gzip
import time
from collections.abc import Callable
from pathlib import Path

import dendropy
from cladomatic_tools import summaries
from cladomatic_tools.treeset import TreeSet

ROOT = Path(__file__).resolve().parents[1]
SETS = {
    "primates": ROOT / "bench" / "data" / "primates.mb.nex.gz",
    "ovomucoid": ROOT / "bench" / "data" / "ovomucoid.mb.nex.gz",
}


def best_of(repeats: int, work: Callable[[], object]) -> float:
    times = []
    for _ in range(repeats):
        started = time.perf_counter()
        work()
        times.append(time.perf_counter() - started)
    return min(times)


def ours(path: Path, repeats: int) -> dict[str, float]:
    """Seconds of reading, then of each summary's pass over the set read (its text included)."""
    times = {"read": best_of(repeats, lambda: TreeSet.from_files([str(path)]))}
    trees = TreeSet.from_files([str(path)])
    reference = TreeSet.from_newick([summaries.newick(summaries.mcc_tree(trees))])
    times["consensus"] = best_of(repeats, lambda: summaries.newick(summaries.consensus(trees)))
    times["consensus.nex"] = best_of(
        repeats, lambda: summaries.nexus([("con", summaries.consensus(trees, spread=True))])
    )
    times["mcc"] = best_of(repeats, lambda: summaries.newick(summaries.mcc_tree(trees)))
    times["support"] = best_of(
        repeats, lambda: [summaries.newick(tree) for tree in summaries.support_trees(trees, reference)]
    )
    return times


def dendropy_list_times(path: Path, repeats: int) -> dict[str, float]:
    """DendroPy through a TreeList, the best of `repeats` each."""

    def read() -> dendropy.TreeList:
        with gzip.open(path, "rt") as text:
            return dendropy.TreeList.get(file=text, schema="nexus", rooting="force-unrooted")

    times = {"read": best_of(repeats, read)}
    trees = read()
    times["consensus"] = best_of(repeats, lambda: trees.consensus(min_freq=0.5).as_string(schema="newick"))
    times["mcc"] = best_of(
        repeats, lambda: trees.maximum_product_of_split_support_tree().as_string(schema="newick")
    )
    best = trees.maximum_product_of_split_support_tree()

    def support() -> str:
        reference = best.clone(depth=1)
        trees.split_distribution().summarize_splits_on_tree(reference, set_support_as_node_label=True)
        return reference.as_string(schema="newick")

    times["support"] = best_of(repeats, support)
    return times


def dendropy_array_times(path: Path, repeats: int) -> dict[str, float]:
    """DendroPy through a TreeArray, the best of `repeats` each."""

    def read() -> dendropy.TreeArray:
        array = dendropy.TreeArray(is_rooted_trees=False)
        with gzip.open(path, "rt") as text:
            array.read_from_files([text], schema="nexus")
        return array

    times = {"read": best_of(repeats, read)}
    array = read()
    times["consensus"] = best_of(repeats, lambda: array.consensus_tree(min_freq=0.5).as_string(schema="newick"))
    times["mcc"] = best_of(
        repeats, lambda: array.maximum_product_of_split_support_tree().as_string(schema="newick")
    )
    best = array.maximum_product_of_split_support_tree()

    def support() -> str:
        reference = best.clone(depth=1)
        array.summarize_splits_on_tree(reference, set_support_as_node_label=True)
        return reference.as_string(schema="newick")

    times["support"] = best_of(repeats, support)
    return times


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sets", nargs="+", choices=SETS, default=list(SETS))
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    print(
        f"{'set':<10} {'summary':<13} {'ours s':>8} {'x read':>7} {'DendroPy s':>11} {'speed-up':>9}"
        f" {'pass s':>8} {'DendroPy pass s':>16} {'pass speed-up':>14}"
    )
    for name in args.sets:
        path = SETS[name]
        if not path.exists():
            print(f"{name:<10} missing: run tools/devenv run bench/make_data.sh {name}")
            continue
        mine = ours(path, args.repeats)
        listed, arrayed = dendropy_list_times(path, args.repeats), dendropy_array_times(path, args.repeats)
        for way, times in (("TreeList", listed), ("TreeArray", arrayed)):
            print(f"{name:<10} DendroPy {way}: " + ", ".join(f"{step} {value:.2f} s" for step, value in times.items()))
        read = mine["read"]
        print(f"{name:<10} {'(read)':<13} {read:8.3f} {1:7.2f}")
        for step in ("consensus", "consensus.nex", "mcc", "support"):
            # the faster DendroPy path for this summary, reading included
            their_total, their_step = min(
                (times["read"] + times[step.removesuffix(".nex")], times[step.removesuffix(".nex")])
                for times in (listed, arrayed)
            )
            total = read + mine[step]
            passes = f"{mine[step]:8.3f} {their_step:16.2f} {their_step / mine[step]:13.0f}x"
            print(
                f"{name:<10} {step:<13} {total:8.3f} {total / read:7.2f} {their_total:11.2f}"
                f" {their_total / total:8.0f}x {passes}"
            )


if __name__ == "__main__":
    main()
