"""`cladomatic combine` on long runs: wall time, trees per second and peak memory against the number of trees, to
see that memory does not grow with the runs; with --logcombiner, LogCombiner 1.10.4 on the same files.

The runs are the two BEAST runs of tests/data/combine (17 taxa, a `rate` comment on every branch, about 1.5 KB a
tree) repeated to TREES trees each, written under build/combine-speed.  Run inside the development root:
    tools/devenv run python3 bench/combine_speed.py [--trees 5000 40000] [--logcombiner]
"""

import argparse
import gzip
import os
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
RUNS = [HERE.parent / "tests" / "data" / "combine" / f"run{i}.trees.gz" for i in (1, 2)]
WORK = Path(os.environ.get("CLADOMATIC_BUILD_DIR", HERE.parent / "build")) / "combine-speed"


def long_run(source: Path, trees: int, path: Path) -> None:
    """The run's trees repeated to `trees` trees, states continuing."""
    lines = gzip.open(source, "rt").read().splitlines()
    head = lines[: next(k for k, line in enumerate(lines) if line.startswith("tree "))]
    # each tree without its name: its own comment, '=', the tree
    bodies = [line.split(" ", 2)[2] for line in lines if line.startswith("tree ")]
    with open(path, "w") as out:
        out.write("\n".join(head) + "\n")
        for k in range(trees):
            out.write(f"tree STATE_{k * 4000} {bodies[k % len(bodies)]}\n")
        out.write("End;\n")


def timed(command: list[str]) -> tuple[float, float]:
    """Wall seconds and the peak RSS (MB) of one run of `command` in a fresh process."""
    start = time.perf_counter()
    child = subprocess.run(
        [
            sys.executable,
            "-c",
            "import resource, subprocess, sys; subprocess.run(sys.argv[1:], check=True, "
            "stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL); "
            "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)",
            *command,
        ],
        check=True,
        capture_output=True,
        text=True,
    )
    return time.perf_counter() - start, int(child.stdout) / 1024


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--trees", type=int, nargs="+", default=[5000, 40000])
    parser.add_argument("--logcombiner", action="store_true")
    args = parser.parse_args()
    WORK.mkdir(parents=True, exist_ok=True)
    print("trees per run\ttool\tseconds\ttrees/s\tpeak RSS MB\tinput MB")
    for trees in args.trees:
        paths = [WORK / f"run{i}.{trees}.trees" for i in (1, 2)]
        for source, path in zip(RUNS, paths):
            if not path.exists():
                long_run(source, trees, path)
        size = sum(path.stat().st_size for path in paths) / 2**20
        out = WORK / "combined.trees"
        tools = [
            (
                "cladomatic",
                [
                    sys.executable,
                    "-m",
                    "cladomatic_tools",
                    "combine",
                    *map(str, paths),
                    "--burnin",
                    "10%",
                    "--output",
                    str(out),
                ],
            )
        ]
        if args.logcombiner:
            tools.append(
                (
                    "logcombiner",
                    ["logcombiner", "-trees", "-burnin", str(trees // 10 * 4000), *map(str, paths), str(out)],
                )
            )
        for name, command in tools:
            seconds, peak = timed(command)
            print(f"{trees}\t{name}\t{seconds:.1f}\t{2 * trees / seconds:,.0f}\t{peak:.0f}\t{size:.0f}", flush=True)


if __name__ == "__main__":
    main()
