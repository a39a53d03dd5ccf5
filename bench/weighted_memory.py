"""Peak memory of `cladomatic wrf` and `cladomatic kf` for every output format, against the matrix's size.

    tools/devenv run python3 bench/weighted_memory.py [--trees bench/data/primates.mb.nex.gz]
                                                      [--metrics wrf,kf] [--formats npy,npz,tsv,csv,tsv.gz]

Each run is the command in a subprocess of its own, writing to build/bench-memory/ (deleted after the run);
its peak RSS comes from wait4. The bound it is held to: 1.3 x the matrix's float64 bytes plus the interned
tree set, whose size is taken as the length of the pickled TreeSet (split ids, branch lengths, clade rows,
names). Output written by bands (.npy, text) needs about one band beyond the set; .npz holds the matrix whole.
Text output formats every value in Python: at 20,000 trees (4e8 values) a text run takes minutes.
"""

import argparse
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
FOLDER = os.path.join(HERE, "..", "build", "bench-memory")


def child(args: list[str]) -> tuple[float, int]:
    """Wall seconds and peak RSS in bytes of a command run with its output thrown away."""
    started = time.monotonic()
    process = subprocess.Popen(args, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)  # the child's own rusage, which Popen would not give
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"{' '.join(args)} failed with status {os.waitstatus_to_exitcode(status)}")
    return time.monotonic() - started, usage.ru_maxrss * 1024


SET_BYTES = """
import pickle
from cladomatic_tools import TreeSet
trees = TreeSet.from_files([{path!r}])
print(len(trees), len(pickle.dumps(trees)))
"""


def set_bytes(path: str) -> tuple[int, int]:
    """The number of trees and the pickled size of their interned set with branch lengths (in a child, so that
    this process starts the commands without threads of its own)."""
    script = SET_BYTES.format(path=path)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    trees, size = done.stdout.split()
    return int(trees), int(size)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--trees", default=os.path.join(HERE, "data", "primates.mb.nex.gz"))
    parser.add_argument("--metrics", default="wrf,kf")
    parser.add_argument("--formats", default="npy,npz,tsv,csv,tsv.gz")
    options = parser.parse_args()
    os.makedirs(FOLDER, exist_ok=True)
    n, interned = set_bytes(options.trees)
    matrix = n * n * 8
    bound = 1.3 * matrix + interned
    sizes = f"matrix {matrix / 1e9:.2f} GB, interned set {interned / 1e6:.0f} MB, bound {bound / 1e9:.2f} GB"
    print(f"{n:,} trees: {sizes}")
    for metric in options.metrics.split(","):
        for fmt in options.formats.split(","):
            out = os.path.join(FOLDER, f"{metric}.{fmt}")
            command = [sys.executable, "-m", "cladomatic_tools", metric, options.trees, "--output", out, "--quiet"]
            wall, peak = child(command)
            os.unlink(out)
            verdict = "within" if peak <= bound else "OVER"
            print(
                f"{metric:>3} {fmt:<6} wall {wall:7.1f} s  peak RSS {peak / 1e9:5.2f} GB  "
                f"= {peak / matrix:.2f} x matrix  ({verdict} the bound)",
                flush=True,
            )


if __name__ == "__main__":
    main()
