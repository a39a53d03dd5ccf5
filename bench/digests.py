"""Digests of every metric's matrix on the benchmark sets, to compare two builds bit for bit.

    tools/devenv run python3 bench/digests.py [--trees 2000] [--sets primates,cynmix] > before.txt
    (change, rebuild)
    tools/devenv run python3 bench/digests.py > after.txt && diff before.txt after.txt

Each set of bench/data (its first --trees trees) is compared unrooted and rooted by both native modules: the
`cladomatic` module's six functions (matrices and exports) and `TreeSet`'s blocks (every metric, the whole matrix,
a block of scattered rows and columns, and the set's first half against its second), its sums, split counts and
topologies. The weighted metrics run once more with every other branch length negated, where the rounding of a
sum depends on which splits are dense. The dense-share variables are read once per process, so every value of
the sweep (unset, 0, 0.5 and 1 for both) runs in a process of its own.

One line per result: set, lengths, rooting, share, path, metric and the first 16 hex digits of its SHA-256. The
module's plain matrices and TreeSet's whole matrices are digested alike, so equal lines mean equal bits.
"""

import argparse
import glob
import hashlib
import os
import re
import struct
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
SHARES = [None, "0", "0.5", "1"]
VARIABLES = ("CLADOMATIC_RF_DENSE_SHARE", "CLADOMATIC_WEIGHTED_DENSE_SHARE")
LENGTH = re.compile(r":(?=[0-9.])")


def digest(*parts) -> str:
    hasher = hashlib.sha256()
    for part in parts:
        if isinstance(part, (bytes, bytearray)):
            hasher.update(part)
        elif isinstance(part, list) and part and isinstance(part[0], float):
            hasher.update(struct.pack(f"<{len(part)}d", *part))
        elif isinstance(part, list):
            hasher.update("\0".join(map(str, part)).encode())
        elif hasattr(part, "tobytes"):
            hasher.update(part.tobytes())
        else:
            hasher.update(str(part).encode())
    return hasher.hexdigest()[:16]


def signed(text: str) -> str:
    """The tree with every other branch length negated."""
    flips = iter(range(1 << 30))
    return LENGTH.sub(lambda _: ":-" if next(flips) % 2 else ":", text)


def module_lines(cladomatic, newicks, translate, rooted, weighted_only):
    n = len(newicks)
    names = [f"t{i}" for i in range(n)]
    metrics = ("wrf", "kf") if weighted_only else ("rf", "wrf", "kf")
    for metric in metrics:
        for kind in ("", "_with_snapshots"):
            function = getattr(cladomatic, f"pairwise_{metric}{kind}_from_newick_iter")
            result = function(names, iter(newicks), [translate], [0] * n, rooted=rooted)
            # the matrix alone, so that the line compares directly with TreeSet's whole matrix
            yield f"module{kind or '_matrix'}", metric, digest(*result) if kind else digest(result[1])


def tree_set_lines(newicks, translate, rooted, weighted_only):
    import numpy as np
    from cladomatic_tools.treeset import METRICS, SUMMARIES, TreeSet

    whole = TreeSet.from_newick(newicks, translate=translate, rooted=rooted)
    half = len(newicks) // 2
    first = TreeSet.from_newick(newicks[:half], translate=translate, rooted=rooted)
    second = TreeSet.from_newick(newicks[half:], translate=translate, rooted=rooted)
    rows = np.arange(len(newicks), dtype=np.uint32)[1::3]
    cols = np.arange(len(newicks), dtype=np.uint32)[::-2]
    for metric in METRICS:
        if (weighted_only and metric not in ("wrf", "kf")) or (metric == "info_rf" and rooted):
            continue
        yield "treeset_whole", metric, digest(whole.distances(metric))
        yield "treeset_block", metric, digest(whole.distances(metric, rows=rows, cols=cols))
        yield "treeset_against", metric, digest(first.against(second, metric))
    if weighted_only:
        return
    for summary in SUMMARIES:
        if not (summary == "info_rf" and rooted):
            yield "treeset_sums", summary, digest(whole.mean_distances(summary))
    yield "treeset_splits", "counts", digest(*whole.split_counts())
    yield "treeset_topologies", "groups", digest(whole.topologies()[0])


def child(share: str, trees: int, sets: list[str]) -> None:
    sys.path.insert(0, HERE)
    import cladomatic
    import treefiles

    for path in sets:
        name = os.path.basename(path).split(".")[0]
        read = treefiles.read_tree_file(path)
        texts = read.newicks[:trees]
        for lengths, newicks in (("as_read", texts), ("signed", [signed(text) for text in texts])):
            weighted_only = lengths == "signed"
            for rooted in (False, True):
                rooting = "rooted" if rooted else "unrooted"
                results = [
                    *module_lines(cladomatic, newicks, read.translate, rooted, weighted_only),
                    *tree_set_lines(newicks, read.translate, rooted, weighted_only),
                ]
                for path_name, metric, value in results:
                    print(name, lengths, rooting, f"share={share}", path_name, metric, value, flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--trees", type=int, default=2000, help="the first TREES trees of each set")
    parser.add_argument("--sets", default="", help="comma-separated set names (default: every set of bench/data)")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    paths = sorted(glob.glob(os.path.join(HERE, "data", "*.gz")))
    if args.sets:
        wanted = set(args.sets.split(","))
        paths = [path for path in paths if os.path.basename(path).split(".")[0] in wanted]
    if args.child is not None:
        child(args.child, args.trees, paths)
        return
    for share in SHARES:
        env = {key: value for key, value in os.environ.items() if key not in VARIABLES}
        if share is not None:
            env.update(dict.fromkeys(VARIABLES, share))
        command = [sys.executable, os.path.abspath(__file__), "--trees", str(args.trees), "--child", str(share)]
        if args.sets:
            command += ["--sets", args.sets]
        subprocess.run(command, check=True, env=env)


if __name__ == "__main__":
    main()
