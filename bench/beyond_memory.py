"""A matrix larger than memory, and a large set against one reference tree, through the `cladomatic` command.

    tools/devenv run python3 bench/beyond_memory.py [--trees 60000] [--in-memory 10000] [--against 100000]
                                                     [--keep]

1. `cladomatic rf trees.nwk --output rf.npy` on --trees 100-leaf trees (60,000: a 14.4 GB file), run as a
   subprocess: wall time, peak RSS of the command, and cells per second of the matrix stage (the command's
   wall time less the time the same process takes to read the trees, measured in a run of its own).
2. The in-memory rate it is held against: TreeSet.distances("rf") of the whole --in-memory matrix in one call
   (layout included), and the cladomatic module's full fill of the same trees for reference. The block
   computes every cell of the matrix; the module computes the upper triangle and mirrors it: both rates count
   cells, so that they compare.
3. `cladomatic rf trees.nwk --against ref.nwk` with one reference tree over --against trees: wall time of the
   command (reading included), the time of the block it computes on the joint set once read (the command reads
   both files into one set), and TreeSet.against on two sets already read.

Trees come from treegen.py (seeded), written once to build/bench-beyond/ and reused; the .npy file is deleted
after it is checked (a sample of its rows against TreeSet.distances) unless --keep is given.
"""

import argparse
import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import treegen  # noqa: E402

FOLDER = os.path.join(HERE, "..", "build", "bench-beyond")
N_LEAVES = 100
SEED = 23


def trees_file(count: int) -> str:
    """A Newick file of the first `count` trees of the seeded stream, written once."""
    os.makedirs(FOLDER, exist_ok=True)
    path = os.path.join(FOLDER, f"trees-{count}.nwk")
    if not os.path.exists(path):
        with open(path + ".part", "w") as file:
            for text in treegen.newick_stream(count, n_leaves=N_LEAVES, seed=SEED):
                file.write(text + "\n")
        os.replace(path + ".part", path)
    return path


def run_child(args: list[str]) -> tuple[float, int, str]:
    """Wall seconds, the child's own peak RSS in bytes (from wait4) and its standard output."""
    started = time.monotonic()
    printed = os.path.join(FOLDER, "child.out")
    with open(printed, "w") as out:
        process = subprocess.Popen(args, stdout=out)
        _, status, usage = os.wait4(process.pid, 0)  # the child's own rusage, which Popen would not give
    wall = time.monotonic() - started
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"{' '.join(args)} failed with status {os.waitstatus_to_exitcode(status)}")
    with open(printed) as file:
        return wall, usage.ru_maxrss * 1024, file.read()


def python(code: str) -> list[str]:
    return [sys.executable, "-c", code]


def command(*args: str) -> list[str]:
    return [sys.executable, "-m", "cladomatic_tools", *args]


READ = """
import json, time
from cladomatic_tools import TreeSet
started = time.monotonic()
ts = TreeSet.from_files([{path!r}], lengths=False)
print(json.dumps({{"read": time.monotonic() - started, "trees": len(ts)}}))
"""

IN_MEMORY = """
import json, time
import cladomatic
from cladomatic_tools import TreeSet
ts = TreeSet.from_files([{path!r}], lengths=False)
started = time.monotonic()
ts.distances("rf")
block = time.monotonic() - started
texts = open({path!r}).read().split()
started = time.monotonic()
cladomatic.pairwise_rf_from_newick_iter([str(i) for i in range(len(texts))], iter(texts), [{{}}], [0] * len(texts))
module = time.monotonic() - started
print(json.dumps({{"block": block, "module": module, "trees": len(ts)}}))
"""

CHECK = """
import json
import numpy as np
from cladomatic_tools import TreeSet
matrix = np.load({npy!r}, mmap_mode="r")
ts = TreeSet.from_files([{path!r}], lengths=False)
rows = np.random.default_rng(1).choice(len(ts), 8, replace=False)
equal = all(np.array_equal(matrix[r], ts.distances("rf", rows=[r])[0]) for r in rows.tolist())
print(json.dumps({{"equal": equal, "shape": list(matrix.shape), "dtype": str(matrix.dtype)}}))
"""

AGAINST = """
import json, time
import numpy as np
from cladomatic_tools import TreeSet
from cladomatic_tools.selection import Selection
from cladomatic_tools.io.sources import FileTrees
readings = [FileTrees([{path!r}], Selection()), FileTrees([{ref!r}], Selection())]
joint = TreeSet.from_reading(readings, lengths=False)
n = len(joint) - 1
started = time.monotonic()
joint.distances("rf", rows=range(n), cols=[n])
block = time.monotonic() - started
ts = TreeSet.from_files([{path!r}], lengths=False)
ref = TreeSet.from_files([{ref!r}], lengths=False)
times = []
for _ in range(2):
    started = time.monotonic()
    ts.against(ref, "rf")
    times.append(time.monotonic() - started)
print(json.dumps({{"block": block, "against": times}}))
"""

BAND = """
import json, time
import numpy as np
from cladomatic_tools import TreeSet
ts = TreeSet.from_files([{path!r}], lengths=False)
ts.distances("rf", rows=[0])  # the layout, built on first use
rows = range(len(ts) // 2, min(len(ts), len(ts) // 2 + 1000))
out = np.empty((len(rows), len(ts)), dtype=np.uint32)
started = time.monotonic()
ts.distances("rf", rows=rows, out=out)
print(json.dumps({{"band": time.monotonic() - started, "rows": len(rows)}}))
"""


def gb(count: float) -> str:
    return f"{count / 1e9:.2f} GB"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--trees", type=int, default=60000)
    parser.add_argument("--in-memory", type=int, default=10000)
    parser.add_argument("--against", type=int, default=100000)
    parser.add_argument("--keep", action="store_true", help="keep the .npy file")
    options = parser.parse_args()

    small = trees_file(options.in_memory)
    wall, rss, out = run_child(python(IN_MEMORY.format(path=small)))
    figures = json.loads(out)
    n = figures["trees"]
    block_rate = n * n / figures["block"]
    module_rate = n * n / figures["module"]
    block = figures["block"]
    print(f"in memory, {n:,} trees: TreeSet.distances('rf') {block:.2f} s = {block_rate / 1e6:.0f} M cells/s")
    print(f"  (cladomatic module, reading included: {figures['module']:.2f} s = {module_rate / 1e6:.0f} M cells/s)")

    big = trees_file(options.trees)
    _, _, out = run_child(python(READ.format(path=big)))
    read = json.loads(out)["read"]
    npy = os.path.join(FOLDER, "rf.npy")
    wall, rss, _ = run_child(command("rf", big, "--output", npy, "--quiet"))
    n = options.trees
    size = os.path.getsize(npy)
    stage = wall - read
    print(f"rf --output .npy, {n:,} trees: wall {wall:.1f} s (reading about {read:.1f} s), file {gb(size)}")
    print(f"  peak RSS {gb(rss)}; matrix stage {stage:.1f} s = {n * n / stage / 1e6:.0f} M cells/s, "
          f"{n * (n - 1) / 2 / stage / 1e6:.0f} M pairs/s; in-memory block rate / this rate = "
          f"{block_rate / (n * n / stage):.2f}")
    _, _, out = run_child(python(BAND.format(path=big)))
    band = json.loads(out)
    print(f"  a band of {band['rows']:,} rows computed in memory, no file: {band['band']:.2f} s = "
          f"{band['rows'] * n / band['band'] / 1e6:.0f} M cells/s")
    _, _, out = run_child(python(CHECK.format(npy=npy, path=big)))
    print(f"  sampled rows equal to TreeSet.distances: {json.loads(out)}")
    if not options.keep:
        os.unlink(npy)

    many = trees_file(options.against)
    ref = os.path.join(FOLDER, "reference.nwk")
    with open(ref, "w") as file:
        file.write(next(treegen.newick_stream(1, n_leaves=N_LEAVES, seed=SEED + 1)) + "\n")
    against = os.path.join(FOLDER, "against.tsv")
    wall, rss, out = run_child(command("rf", many, "--against", ref, "--quiet", "--output", against))
    _, _, out = run_child(python(AGAINST.format(path=many, ref=ref)))
    times = json.loads(out)
    print(f"rf --against 1 reference, {options.against:,} trees: command wall {wall:.2f} s (peak RSS {gb(rss)}, "
          f"reading included); its block on the joint set {times['block']:.3f} s (layout included); "
          f"TreeSet.against {times['against'][0]:.3f} s first call, {times['against'][1]:.3f} s again")


if __name__ == "__main__":
    main()
