"""Time and peak memory of `cladomatic kf` writing a square matrix, against an older build, in one run.

    tools/devenv run python3 bench/output_memory.py [--old build/base] [--trees 6000] [--formats npy,tsv]

--old is laid out as for speed.py (its native modules in OLD/python, its package in OLD-src/python). Each format
runs old then new, each a fresh process whose peak resident set is read from wait4 (a process forked from this
one inherits its high-water mark, so this one never holds a file whole); the two files are then compared byte for
byte.
"""

import argparse
import filecmp
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def timed(command, env):
    start = time.perf_counter()
    child = subprocess.Popen(command, env=env)
    _, status, usage = os.wait4(child.pid, 0)
    if os.waitstatus_to_exitcode(status):
        raise subprocess.CalledProcessError(os.waitstatus_to_exitcode(status), command)
    return time.perf_counter() - start, usage


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--old", default=os.path.join(ROOT, "build", "base"))
    parser.add_argument("--new", default=os.path.join(ROOT, "build", "release"))
    parser.add_argument("--trees", type=int, default=6000)
    parser.add_argument("--formats", default="npy,tsv")
    args = parser.parse_args()
    sys.path.insert(0, HERE)
    import treegen

    builds = {
        "old": os.pathsep.join([os.path.join(args.old, "python"), os.path.join(args.old + "-src", "python")]),
        "new": os.pathsep.join([os.path.join(args.new, "python"), os.path.join(ROOT, "python")]),
    }
    with tempfile.TemporaryDirectory(dir=os.path.join(ROOT, "build")) as folder:
        trees = os.path.join(folder, "trees.nwk")
        with open(trees, "w") as file:
            file.writelines(f"{tree}\n" for tree in treegen.newick_stream(args.trees, n_leaves=60))
        for fmt in args.formats.split(","):
            paths = {}
            for name, path in builds.items():
                paths[name] = os.path.join(folder, f"kf.{name}.{fmt}")
                command = [sys.executable, "-m", "cladomatic_tools", "kf", "--quiet", "--output", paths[name], trees]
                wall, usage = timed(command, dict(os.environ, PYTHONPATH=path))
                print(
                    f"{fmt} {name}: wall {wall:.2f} s, user {usage.ru_utime:.2f} s, system {usage.ru_stime:.2f} s, "
                    f"peak RSS {usage.ru_maxrss / 1024:.0f} MiB",
                    flush=True,
                )
            same = filecmp.cmp(paths["old"], paths["new"], shallow=False)  # a piece at a time
            print(f"{fmt}: {'same bytes' if same else 'FILES DIFFER'}", flush=True)


if __name__ == "__main__":
    main()
