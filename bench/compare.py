#!/usr/bin/env python3
"""cladomatic against DendroPy, phangorn and IQ-TREE on the tree sets of bench/data (unrooted RF, WRF, KF).

Run inside the development root, after bench/make_data.sh:

    tools/devenv run python3 bench/compare.py --table build/bench-compare/table.md --plot docs/benchmarks.png

Every tool runs in its own child process, so that the peak resident set size read from wait4() belongs to that
tool alone. Each tool runs on the first 100, 300, 1000, ... trees of a set; a peer stops climbing when its next
size is predicted to take longer than --budget seconds, and its figure for the whole set is then extrapolated
(reading linearly, the pairwise part by the number of pairs) and marked as such. Matrices are compared with the
module's on the largest prefix each peer ran.
"""

import argparse
import json
import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from treefiles import read_tree_file

BENCH = Path(__file__).resolve().parent
# The sets bench/make_data.sh makes, described there.
DATASETS = [
    ("example", "example.ufboot.nwk.gz"),
    ("primates", "primates.mb.nex.gz"),
    ("cynmix", "cynmix.mb.nex.gz"),
    ("sceloporus", "sceloporus.ufboot.nwk.gz"),
    ("sim", "sim.ufboot.nwk.gz"),
]
METRICS = ("rf", "wrf", "kf")
LADDER = (100, 300, 1000, 3000, 10000, 30000)
# Tools in table order: (name, metrics supported, runs on the whole set whatever the budget).
TOOLS = [
    ("cladomatic", METRICS, True),
    ("cladomatic, 1 core", METRICS, True),
    ("DendroPy", METRICS, False),
    ("phangorn", METRICS, False),
    ("IQ-TREE", ("rf",), False),
    ("cladomatic, flat list", ("wrf", "kf"), True),
]
DEFAULT_TOOLS = [tool for tool, _, _ in TOOLS if tool != "cladomatic, flat list"]


def pairs(n):
    return n * (n - 1) // 2


# ---------------------------------------------------------------- workers (run in child processes)


def worker_cladomatic(args):
    if args.cores:
        os.sched_setaffinity(0, sorted(os.sched_getaffinity(0))[: args.cores])
    import cladomatic

    started = time.perf_counter()
    trees = read_tree_file(args.trees)
    names, texts = trees.names[: args.count], trees.newicks[: args.count]
    read = time.perf_counter() - started
    n = len(texts)
    # The weighted matrices come back as float64 bytes by default: the flat-list variants hold a Python float
    # per entry, four times the memory, which the largest sets here cannot afford.
    function = {
        "rf": cladomatic.pairwise_rf_from_newick_iter,
        "wrf": cladomatic.pairwise_wrf_with_snapshots_from_newick_iter,
        "kf": cladomatic.pairwise_kf_with_snapshots_from_newick_iter,
    }[args.metric]
    if args.flat_list:
        function = {"wrf": cladomatic.pairwise_wrf_from_newick_iter,
                    "kf": cladomatic.pairwise_kf_from_newick_iter}[args.metric]
    result = function(names, iter(texts), [trees.translate], [0] * n)
    elapsed = time.perf_counter() - started
    if args.keep:
        if args.flat_list:
            matrix = np.array(result[1]).reshape(n, n)
        else:
            matrix = np.frombuffer(result[1], "<u4" if args.metric == "rf" else "<f8").reshape(n, n)
        # Saved in the matrix's own type: np.save writes a strided slice in small chunks, where a conversion
        # would hold a second keep x keep matrix while the call's result is still alive, inflating its peak.
        np.save(args.out, matrix[: args.keep, : args.keep])
    print(json.dumps({"time": elapsed, "read": read, "trees": n}))


def worker_dendropy(args):
    import dendropy
    from dendropy.calculate import treecompare

    started = time.perf_counter()
    trees = dendropy.TreeList.get(path=args.trees, schema="newick", rooting="force-unrooted",
                                  preserve_underscores=True)
    for tree in trees:
        tree.encode_bipartitions()
    read = time.perf_counter() - started
    distance = {
        "rf": lambda a, b: treecompare.symmetric_difference(a, b, is_bipartitions_updated=True),
        "wrf": lambda a, b: treecompare.weighted_robinson_foulds_distance(
            a, b, edge_weight_attr="length", is_bipartitions_updated=True),
        "kf": lambda a, b: treecompare.euclidean_distance(
            a, b, edge_weight_attr="length", value_type=float, is_bipartitions_updated=True),
    }[args.metric]
    n = len(trees)
    matrix = np.zeros((n, n))
    for i in range(n):
        for j in range(i + 1, n):
            matrix[i, j] = matrix[j, i] = distance(trees[i], trees[j])
    elapsed = time.perf_counter() - started
    np.save(args.out, matrix)
    print(json.dumps({"time": elapsed, "read": read, "trees": n}))


# ---------------------------------------------------------------- running and measuring one child


# The peak RSS that wait4() reports for a child starts from its parent's: a vfork()ed child inherits the
# parent's high-water mark through exec, a fork()ed one the parent's resident size. So every tool is started by
# this small launcher (a bare interpreter, a few MB resident), which reports its own child's figures.
LAUNCHER = """
import json, os, sys, time
started = time.perf_counter()
pid = os.fork()
if pid == 0:
    os.execvp(sys.argv[1], sys.argv[1:])
_, status, usage = os.wait4(pid, 0)
wall = time.perf_counter() - started
print(json.dumps({"status": os.waitstatus_to_exitcode(status), "wall": wall, "rss_kb": usage.ru_maxrss}),
      file=sys.stderr)
"""


def measured(command, log):
    """Run a tool; return its wall time, peak RSS in MB and the JSON of its last stdout line."""
    with open(log, "w+") as err, open(log.with_suffix(".out"), "w+") as out:
        subprocess.run([sys.executable, "-S", "-c", LAUNCHER] + command, stdout=out, stderr=err, check=True)
        out.seek(0)
        lines = out.read().strip().splitlines()
        err.seek(0)
        launched = json.loads(err.read().strip().splitlines()[-1])
    if launched["status"] != 0:
        raise RuntimeError(f"{command[0]} failed ({launched['status']}); see {log}")
    report = json.loads(lines[-1]) if lines and lines[-1].startswith("{") else {}
    return {"wall": launched["wall"], "rss_mb": launched["rss_kb"] / 1024, **report}


class Workspace:
    def __init__(self, root, name, trees):
        self.dir = root / name
        self.dir.mkdir(parents=True, exist_ok=True)
        self.trees = trees
        self.source = self.dir / "source.txt"
        if not self.source.exists():
            self.source.write_text(self._source_text())

    def _source_text(self):
        if not self.trees.translate:
            return "\n".join(self.trees.newicks) + "\n"
        lines = ["#NEXUS", "begin trees;", "  translate"]
        entries = [f"    {k} {v}" for k, v in self.trees.translate.items()]
        lines.append(",\n".join(entries) + ";")
        lines += [f"  tree {n} = {t}" for n, t in zip(self.trees.names, self.trees.newicks)]
        return "\n".join(lines + ["end;", ""])

    def newick(self, count):
        path = self.dir / f"first{count}.nwk"
        if not path.exists():
            path.write_text("\n".join(self.trees.translated(count)) + "\n")
        return path


def run_tool(tool, metric, count, space, keep=0):
    tag = f"{tool.replace(', ', '-').replace(' ', '')}.{metric}.{count}"
    log = space.dir / f"{tag}.log"
    out = space.dir / f"{tag}.npy"
    me = [sys.executable, str(Path(__file__).resolve())]
    if tool.startswith("cladomatic"):
        flags = {"cladomatic, 1 core": ["--cores", "1"], "cladomatic, flat list": ["--flat-list"]}.get(tool, [])
        command = me + ["worker", "cladomatic", metric, str(space.source), "--count", str(count),
                        "--keep", str(keep), "--out", str(out)] + flags
    elif tool == "DendroPy":
        command = me + ["worker", "dendropy", metric, str(space.newick(count)), "--out", str(out)]
    elif tool == "phangorn":
        out = out.with_suffix(".bin")
        command = ["Rscript", str(BENCH / "phangorn_dists.R"), metric, str(space.newick(count)), str(out)]
    else:
        # IQ-TREE writes its own PREFIX.log, so its prefix must differ from the name of this run's log
        prefix = space.dir / f"{tag}.iqtree"
        command = ["iqtree2", "-rf_all", str(space.newick(count)), "--prefix", str(prefix), "--quiet", "--redo"]
        out = Path(f"{prefix}.rfdist")
    result = measured(command, log)
    result.setdefault("time", result["wall"])
    result.setdefault("read", 0.0)
    result.update(trees=count, matrix=str(out))
    return result


def condensed(tool, path, count):
    """The upper triangle, row by row, of the matrix a run wrote."""
    upper = np.triu_indices(count, 1)
    if tool == "phangorn":
        return np.fromfile(path, "<f8")
    if tool == "IQ-TREE":
        rows = Path(path).read_text().split("\n")[1 : count + 1]
        return np.array([[float(v) for v in row.split()[1:]] for row in rows])[upper]
    return np.load(path)[upper]


def extrapolate(run, n):
    """Time for n trees from a run on fewer: reading scales with trees, the rest with pairs."""
    m = run["trees"]
    if m == n:
        return run["time"], run["wall"]
    pair_share = run["time"] - run["read"]
    scale = pairs(n) / pairs(m)
    fixed = run["wall"] - run["time"]
    est = run["read"] * n / m + pair_share * scale
    return est, est + fixed


def ladder(n):
    return sorted({min(size, n) for size in LADDER} | {n})


def bench_dataset(key, path, args):
    trees = read_tree_file(path)
    n = len(trees.newicks)
    space = Workspace(args.work, key, trees)
    sizes = ladder(n)
    rows = []
    for metric in args.metrics:
        runs = {}
        for tool, metrics, whole in TOOLS:
            if metric not in metrics or tool not in args.tools:
                continue
            runs[tool] = []
            for size in sizes:
                if not whole and runs[tool]:
                    predicted, _ = extrapolate(runs[tool][-1], size)
                    if predicted > args.budget:
                        break
                if whole and size == n:
                    continue  # the whole set runs last, once the peers' largest prefix is known
                runs[tool].append(run_tool(tool, metric, size, space))
                print(f"  {key} {metric} {tool:20} {size:6} trees {runs[tool][-1]['time']:9.3f} s", flush=True)
        keep = max([r[-1]["trees"] for t, r in runs.items() if not t.startswith("cladomatic") and r] + [2])
        for tool in runs:
            if tool.startswith("cladomatic"):
                runs[tool].append(run_tool(tool, metric, n, space, keep=keep if tool == "cladomatic" else 0))
                print(f"  {key} {metric} {tool:20} {n:6} trees {runs[tool][-1]['time']:9.3f} s", flush=True)
        ours = np.load(runs["cladomatic"][-1]["matrix"])
        ours_time = runs["cladomatic"][-1]["time"]
        for tool, tool_runs in runs.items():
            if not tool_runs:
                continue
            last = tool_runs[-1]
            est_time, est_wall = extrapolate(last, n)
            row = {
                "dataset": key, "trees": n, "leaves": trees.leaf_count(), "metric": metric, "tool": tool,
                "measured_trees": last["trees"], "time": est_time, "wall": est_wall, "rss_mb": last["rss_mb"],
                "ratio": est_time / ours_time, "series": [(r["trees"], r["time"]) for r in tool_runs],
            }
            if not tool.startswith("cladomatic"):
                m = last["trees"]
                theirs = condensed(tool, last["matrix"], m)
                mine = ours[:m, :m][np.triu_indices(m, 1)]
                diff = np.abs(theirs - mine)
                scale = np.maximum(np.abs(theirs), np.abs(mine))
                row["max_abs"] = float(diff.max())
                row["max_rel"] = float(np.max(np.divide(diff, scale, out=np.zeros_like(diff), where=scale > 0)))
            rows.append(row)
    return rows


# ---------------------------------------------------------------- report


def fmt_time(seconds):
    return f"{seconds:.3g}" if seconds < 100 else f"{seconds:,.0f}"


def table(rows):
    head = ("| set | trees | leaves | metric | tool | trees run | time (s) | process (s) | peak RSS (MiB) "
            "| time / cladomatic | max abs diff | max rel diff |")
    lines = [head, "|" + "---|" * 12]
    for r in rows:
        extrapolated = r["measured_trees"] < r["trees"]
        mark = "~" if extrapolated else ""
        run = f"{r['measured_trees']:,}" + (" (extrapolated)" if extrapolated else "")
        diff = ("—", "—") if "max_abs" not in r else (f"{r['max_abs']:.2g}", f"{r['max_rel']:.2g}")
        rss = f"{r['rss_mb']:,.0f}" + (f" (at {r['measured_trees']:,})" if extrapolated else "")
        lines.append(f"| {r['dataset']} | {r['trees']:,} | {r['leaves']} | {r['metric'].upper()} | {r['tool']} "
                     f"| {run} | {mark}{fmt_time(r['time'])} | {mark}{fmt_time(r['wall'])} | {rss} "
                     f"| {mark}{r['ratio']:.3g} | {diff[0]} | {diff[1]} |")
    return "\n".join(lines) + "\n"


def plot(rows, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    sets = list(dict.fromkeys(r["dataset"] for r in rows))
    metrics = list(dict.fromkeys(r["metric"] for r in rows))
    colours = {tool: f"C{i}" for i, (tool, _, _) in enumerate(TOOLS)}
    figure, axes = plt.subplots(len(sets), len(metrics), figsize=(4.2 * len(metrics), 3.2 * len(sets)),
                                squeeze=False, sharex="row")
    for i, key in enumerate(sets):
        for j, metric in enumerate(metrics):
            ax = axes[i][j]
            for r in rows:
                if r["dataset"] != key or r["metric"] != metric:
                    continue
                xs, ys = zip(*r["series"])
                ax.loglog(xs, ys, "o-", color=colours[r["tool"]], label=r["tool"], ms=4)
                if r["measured_trees"] < r["trees"]:
                    ax.loglog([xs[-1], r["trees"]], [ys[-1], r["time"]], ":", color=colours[r["tool"]])
                    ax.loglog([r["trees"]], [r["time"]], "o", mfc="none", color=colours[r["tool"]], ms=6)
            leaves = next(r["leaves"] for r in rows if r["dataset"] == key)
            ax.set_title(f"{key} ({leaves} leaves): {metric.upper()}", fontsize=10)
            ax.grid(True, which="major", alpha=0.3)
            if j == 0:
                ax.set_ylabel("time (s)")
            if i == len(sets) - 1:
                ax.set_xlabel("trees")
    handles, labels = axes[0][0].get_legend_handles_labels()
    figure.legend(handles, labels, loc="upper center", ncol=len(labels), frameon=False)
    figure.text(0.5, 0.005, "dotted line and hollow marker: extrapolated from the largest prefix run",
                ha="center", fontsize=9)
    figure.tight_layout(rect=(0, 0.015, 1, 0.97))
    figure.savefig(path, dpi=90)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command")
    worker = sub.add_parser("worker")
    worker.add_argument("tool", choices=("cladomatic", "dendropy"))
    worker.add_argument("metric", choices=METRICS)
    worker.add_argument("trees")
    worker.add_argument("--count", type=int, default=None)
    worker.add_argument("--keep", type=int, default=0)
    worker.add_argument("--cores", type=int, default=0)
    worker.add_argument("--flat-list", action="store_true")
    worker.add_argument("--out", required=True)
    parser.add_argument("--data", type=Path, default=BENCH / "data")
    parser.add_argument("--work", type=Path, default=BENCH.parent / "build" / "bench-compare")
    parser.add_argument("--sets", nargs="*", default=[key for key, _ in DATASETS])
    parser.add_argument("--metrics", nargs="*", default=list(METRICS))
    parser.add_argument("--tools", nargs="*", default=DEFAULT_TOOLS, choices=[t for t, _, _ in TOOLS])
    parser.add_argument("--budget", type=float, default=20.0, help="seconds a peer's next prefix may take")
    parser.add_argument("--table", type=Path, help="write the Markdown table here")
    parser.add_argument("--plot", type=Path, help="write the PNG plot here")
    args = parser.parse_args()
    if args.command == "worker":
        (worker_cladomatic if args.tool == "cladomatic" else worker_dendropy)(args)
        return
    rows = []
    for key, name in DATASETS:
        if key not in args.sets:
            continue
        path = args.data / name
        if not path.exists():
            sys.exit(f"{path} is missing: run tools/devenv run bench/make_data.sh {key}")
        rows += bench_dataset(key, path, args)
    args.work.mkdir(parents=True, exist_ok=True)
    (args.work / "results.json").write_text(json.dumps(rows, indent=1))
    text = table(rows)
    print(text)
    if args.table:
        args.table.write_text(text)
    if args.plot:
        plot(rows, args.plot)


if __name__ == "__main__":
    main()
