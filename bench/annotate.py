#!/usr/bin/env python3
"""`cladomatic annotate` against TreeAnnotator 1.10.4 (`treeannotator`) with every heights option, in the same run,
on BEAST-style tree files made here (not committed): wall time and peak RSS of each process, and the time of
`TreeSet.from_files` on the same file, the baseline `annotate` is to stay within 3x of.

Run inside the development root:

    tools/devenv run python3 bench/annotate.py [--files 89 160] [--trees 10000] [--heights keep mean median ca]

Files, written to build/bench-annotate/ once and kept:

- 89 taxa, 10,000 trees (about 80 MB): made from the project's MrBayes strict-clock posterior
  (tests/data/mrbayes/clock.run{1,2}.t.gz, 2 x 201 trees of 32 taxa, ultrametric): each tree joins, below a root
  above them, three of those trees with their taxa renamed apart (A_, B_, C_) and the third pruned to 25 taxa,
  chosen by three strides through the 402 trees so that the clades of the sample vary as a posterior's do;
- 160 taxa, 10,000 trees: five such trees joined the same way.

Every branch gets a `rate` (lognormal, fixed seed), written as BEAST 1 writes it (`12:[&rate=0.00114]1.05`),
with STATE_ names, TRANSLATE and [&R]. No burn-in is given to either program. Until `cladomatic annotate` exists
the script times TreeAnnotator and the read alone.
"""

import argparse
import gzip
import math
import random
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
WORK = ROOT / "build" / "bench-annotate"
CLOCK = [ROOT / "tests" / "data" / "mrbayes" / f"clock.run{i}.t.gz" for i in (1, 2)]


# --- the files ---------------------------------------------------------------------------------------------------


class Node:
    __slots__ = ("children", "length", "name")

    def __init__(self, name=None, length=0.0, children=None):
        self.name, self.length, self.children = name, length, children or []


def clock_trees():
    """The clock posterior's trees as (translate-resolved) Node trees."""
    trees = []
    for path in CLOCK:
        translate, in_translate = {}, False
        with gzip.open(path, "rt") as f:
            for line in f:
                s = line.strip()
                if s.lower() == "translate":
                    in_translate = True
                elif in_translate:
                    m = re.match(r"(\d+)\s+([^,;]+)", s)
                    if m:
                        translate[m.group(1)] = m.group(2)
                    in_translate = not s.endswith(";")
                elif s.startswith("tree "):
                    trees.append(parse(s.split("[&R]", 1)[1].strip(), translate))
    return trees


def parse(text, translate):
    stack, root = [], None
    current = None
    for token in re.findall(r"\(|\)|,|;|:[-+0-9.eE]+|[^(),:;\s]+", text):
        if token == "(":
            node = Node()
            if stack:
                stack[-1].children.append(node)
            stack.append(node)
            current = node
        elif token == ")":
            current = stack.pop()
            root = current
        elif token.startswith(":"):
            current.length = float(token[1:])
        elif token not in ",;":
            current = Node(translate.get(token, token))
            stack[-1].children.append(current)
    return root


def height(node):
    return 0.0 if not node.children else max(c.length + height(c) for c in node.children)


def renamed(node, prefix, keep=None):
    """A copy with taxa renamed `prefix + name`, pruned to the taxa in `keep` (unary nodes merged)."""
    if not node.children:
        if keep is not None and node.name not in keep:
            return None
        return Node(prefix + node.name, node.length)
    kids = [k for k in (renamed(c, prefix, keep) for c in node.children) if k is not None]
    if not kids:
        return None
    if len(kids) == 1:
        kids[0].length += node.length
        return kids[0]
    return Node(None, node.length, kids)


def joined(parts, rng):
    """The parts under new nodes above them (a caterpillar of parts, heights 5-15% above the tallest)."""
    tree = parts[0]
    for part in parts[1:]:
        h = max(height(tree), height(part)) * (1.05 + 0.1 * rng.random())
        tree.length, part.length = h - height(tree), h - height(part)
        tree = Node(None, 0.0, [tree, part])
    return tree


def make_file(path, n_taxa, n_trees, seed):
    source = clock_trees()
    rng = random.Random(seed)
    names = sorted(leaves(source[0]))
    prefixes = "ABCDEFGH"
    n_parts = math.ceil(n_taxa / len(names))
    remaining = n_taxa - len(names) * (n_parts - 1)
    keep = set(names[:remaining]) if remaining < len(names) else None
    strides = [1, 7, 13, 31, 53, 71, 97][:n_parts]
    with open(path, "w") as out:
        first = None
        for k in range(n_trees):
            parts = []
            for p, stride in enumerate(strides):
                sub = source[(k * stride + 17 * p) % len(source)]
                parts.append(renamed(sub, prefixes[p] + "_", keep if p == n_parts - 1 else None))
            tree = joined(parts, rng)
            if first is None:
                first = sorted(leaves(tree))
                number = {name: str(i + 1) for i, name in enumerate(first)}
                out.write(f"#NEXUS\n\nBegin taxa;\n\tDimensions ntax={len(first)};\n\tTaxlabels\n")
                out.writelines(f"\t\t{name}\n" for name in first)
                out.write("\t\t;\nEnd;\n\nBegin trees;\n\tTranslate\n")
                out.write(",\n".join(f"\t\t{number[name]} {name}" for name in first) + "\n\t\t;\n")
            lnp = -4000.0 - 50 * rng.random()
            text = write(tree, number, rng)
            out.write(f"tree STATE_{k * 1000} [&lnP={lnp!r},posterior={lnp!r}] = [&R] {text};\n")
        out.write("End;\n")
    return first


def leaves(node):
    return [node.name] if not node.children else [x for c in node.children for x in leaves(c)]


def write(node, number, rng, root=True):
    if not node.children:
        text = number[node.name]
    else:
        text = "(" + ",".join(write(c, number, rng, False) for c in node.children) + ")"
    if root:
        return text
    rate = math.exp(rng.gauss(math.log(1e-3), 0.4))
    return f"{text}:[&rate={rate!r}]{node.length!r}"


# --- timing ------------------------------------------------------------------------------------------------------


def measured(command):
    """(wall seconds, peak RSS in MB of the process and its children, exit code), the command in a fresh
    interpreter of its own so that the peak is its alone."""
    probe = (
        "import resource, subprocess, sys, time\n"
        "t = time.perf_counter()\n"
        "rc = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode\n"
        "print(time.perf_counter() - t, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024, rc)\n"
    )
    out = subprocess.run([sys.executable, "-c", probe, *command], capture_output=True, text=True, check=True)
    wall, rss, rc = out.stdout.split()
    return float(wall), float(rss), int(rc)


def read_alone(path):
    """Wall time and peak RSS of TreeSet.from_files on the file, in a process of its own."""
    code = f"from cladomatic_tools import TreeSet; TreeSet.from_files([{str(path)!r}])"
    return measured([sys.executable, "-c", code])


def have_annotate():
    cmd = shutil.which("cladomatic")
    if cmd is None:
        return False
    return subprocess.run([cmd, "annotate", "--help"], capture_output=True).returncode == 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--files", nargs="+", type=int, default=[89, 160], help="taxa of the files to time")
    parser.add_argument("--trees", type=int, default=10000)
    parser.add_argument("--heights", nargs="+", default=["keep", "mean", "median", "ca"])
    args = parser.parse_args()
    WORK.mkdir(parents=True, exist_ok=True)
    annotate = have_annotate()
    columns = ["file", "MB", "read_s", "read_MB", "heights", "treeannotator_s", "treeannotator_MB"]
    print("\t".join([*columns, "annotate_s", "annotate_MB", "treeannotator/annotate", "annotate/read"]))
    for n_taxa in args.files:
        path = WORK / f"beast{n_taxa}x{args.trees}.trees"
        if not path.exists():
            started = time.perf_counter()
            make_file(path, n_taxa, args.trees, seed=n_taxa)
            print(f"# made {path.name} in {time.perf_counter() - started:.0f} s", file=sys.stderr)
        read_s, read_mb, _ = read_alone(path)
        for heights in args.heights:
            out1 = WORK / f"{path.stem}.ta1.{heights}.tre"
            command = ["treeannotator", "-burninTrees", "0", "-heights", heights, str(path), str(out1)]
            ta_s, ta_mb, rc = measured(command)
            row = [path.name, f"{path.stat().st_size / 1e6:.0f}", f"{read_s:.2f}", f"{read_mb:.0f}", heights]
            row += [f"{ta_s:.2f}", f"{ta_mb:.0f}"] if rc == 0 and out1.exists() else [f"exit {rc}", ""]
            if annotate:
                out2 = WORK / f"{path.stem}.ours.{heights}.tre"
                command = ["cladomatic", "annotate", str(path), "--burnin", "0", "--heights", heights]
                command += ["--output", str(out2)]
                our_s, our_mb, rc = measured(command)
                row += [f"{our_s:.2f}", f"{our_mb:.0f}", f"{ta_s / our_s:.0f}", f"{our_s / read_s:.2f}"]
                if rc != 0:
                    row[-4:] = [f"exit {rc}", "", "", ""]
            print("\t".join(row), flush=True)


if __name__ == "__main__":
    main()
