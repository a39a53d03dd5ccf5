"""Where the second core goes: each stage of the command's work at 1 and 2 threads, and the speed-up.

    tools/devenv run bench/make_data.sh ovomucoid30k          # once: data/ovomucoid.30k.t(.gz)
    tools/devenv run python3 bench/scaling.py [--file F] [--every 3] [--repeat 3]

Stages, each timed alone in this process (minimum of the repeats, 1 and 2 threads alternating so that the
machine's load falls on both alike):

- read: `TreeSet.from_files` of the whole file (reading, parsing and interning);
- pairs: `distances("rf")` of every `--every`-th tree of it (10,000 by default), the whole square matrix;
- command: `cladomatic rf FILE --every K --threads N --output rf.npy`, a process of its own: reading the whole
  file, the pairs, and writing the .npy.

The stage by stage split of reading itself (inflate, cut, parse, intern) is `bench/reading_stages.sh`'s.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "python"))

from cladomatic_tools import TreeSet  # noqa: E402

DEFAULT_FILE = HERE / "data" / "ovomucoid.30k.t"


def seconds(call) -> float:
    started = time.perf_counter()
    call()
    return time.perf_counter() - started


def command(*args: str) -> float:
    started = time.perf_counter()
    subprocess.run([sys.executable, "-m", "cladomatic_tools", *args, "--quiet"], check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - started


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--file", type=Path, default=DEFAULT_FILE)
    parser.add_argument("--every", type=int, default=3)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    if not args.file.exists():
        sys.exit(f"{args.file} is missing: make it with 'tools/devenv run bench/make_data.sh ovomucoid30k'")
    print(f"{args.file.name}, one tree in {args.every} for the pairs; {os.cpu_count()} CPUs; load {os.getloadavg()}")
    thinned = TreeSet.from_files([str(args.file)], every=args.every)
    times: dict[str, dict[int, list[float]]] = {stage: {1: [], 2: []} for stage in ("read", "pairs", "command")}
    with tempfile.TemporaryDirectory(dir=HERE.parent / "build") as folder:
        out = os.path.join(folder, "rf.npy")
        for _ in range(args.repeat):
            for threads in (1, 2):
                times["read"][threads].append(
                    seconds(lambda t=threads: TreeSet.from_files([str(args.file)], threads=t))
                )
                times["pairs"][threads].append(seconds(lambda t=threads: thinned.distances("rf", threads=t)))
                whole = command(
                    "rf", str(args.file), "--every", str(args.every), "--threads", str(threads), "--output", out
                )
                times["command"][threads].append(whole)
    print(f"{'stage':8} {'1 thread s':>11} {'2 threads s':>12} {'speed-up':>9}")
    for stage, by_threads in times.items():
        one_s, two_s = min(by_threads[1]), min(by_threads[2])
        print(f"{stage:8} {one_s:11.3f} {two_s:12.3f} {one_s / two_s:8.2f}x")
    pairs = len(thinned) * (len(thinned) - 1) // 2
    print(f"pairs: {len(thinned):,} trees, {pairs / min(times['pairs'][2]) / 1e6:.0f} M pairs/s at 2 threads")


if __name__ == "__main__":
    main()
