#!/usr/bin/env python3
"""Wall time and peak memory of `cladomatic converge` and `cladomatic space` on full MCMC samples.

Run inside the development root:

    tools/devenv run python3 bench/diagnostics.py

The 20,000 trees of bench/data/primates.mb.nex.gz (two MrBayes runs of 10,000 trees each after burn-in, 12
leaves, both in one TREES block) are first written as one file per run under build/bench-diagnostics. Then, each
in its own child process so that wait4() reports that command's peak resident set size alone:

- `converge` on the two 10,000-tree runs (burn-in 0: the files are already past it);
- `space` on all 20,000 trees, RF and KF (landmark MDS: above the exact-decomposition limit).

Target: each under 10 s on the development machine.
"""

import argparse
import gzip
import os
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
SOURCE = ROOT / "bench" / "data" / "primates.mb.nex.gz"


def split_runs(work: Path) -> list[Path]:
    """One NEXUS file per run, with the shared TRANSLATE block; tree names tell the runs apart."""
    with gzip.open(SOURCE, "rt") as source:
        lines = source.read().splitlines()
    header = [line for line in lines if not line.lstrip().startswith("tree ") and line.strip().lower() != "end;"]
    paths = []
    for run in ("run1", "run2"):
        path = work / f"primates.{run}.t.gz"
        if not path.exists():
            trees = [line for line in lines if line.lstrip().startswith(f"tree {run}.")]
            with gzip.open(path, "wt") as out:
                out.write("\n".join(header + trees + ["end;", ""]))
        paths.append(path)
    return paths


def run(args: list[str]) -> tuple[float, float, str]:
    """Wall seconds and peak RSS (MiB) of one child process, and its standard output."""
    started = time.perf_counter()
    read_out, write_out = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_out)
        os.dup2(write_out, 1)
        os.execvp(args[0], args)
    os.close(write_out)
    with os.fdopen(read_out) as stream:
        out = stream.read()
    _, status, usage = os.wait4(pid, 0)
    elapsed = time.perf_counter() - started
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"failed: {' '.join(args)}")
    return elapsed, usage.ru_maxrss / 1024.0, out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--work", default=str(ROOT / "build" / "bench-diagnostics"))
    args = parser.parse_args()
    work = Path(args.work)
    work.mkdir(parents=True, exist_ok=True)
    runs = [str(p) for p in split_runs(work)]
    command = [sys.executable, "-m", "cladomatic_tools"]
    cases = [
        (
            "converge, 2 x 10,000 trees",
            [*command, "converge", *runs, "--burnin", "0", "--output", str(work / "converge")],
        ),
        ("space rf, 20,000 trees", [*command, "space", *runs, "--output", str(work / "space-rf")]),
        ("space kf, 20,000 trees", [*command, "space", *runs, "--metric", "kf", "--output", str(work / "space-kf")]),
    ]
    print(f"{'command':<30} {'wall s':>8} {'peak RSS MiB':>13}")
    for label, argv in cases:
        elapsed, rss, out = run(argv)
        print(f"{label:<30} {elapsed:8.2f} {rss:13.1f}")
        for line in out.splitlines():
            print(f"    {line}")


if __name__ == "__main__":
    main()
