"""Reading a tree file against parsing its trees: how close reading gets to the parser's own speed.

    tools/devenv run bench/make_data.sh ovomucoid30k   # once: data/ovomucoid.30k.t(.gz), 30,000 trees of 89 leaves
    tools/devenv run python3 bench/reading.py [--file FILE] [--repeat 5] [--old build/base]

(`make_data.sh reading` makes data/sceloporus.mb.t, 30,001 trees of 123 leaves, for `--file`.)

First the floor: a plain Python `read()` of the file and `count(b";")` (for a .gz file, `zcat FILE | wc -l` as
well), against which `TreeSet.from_files` is a ratio. Then, in one process, the file's trees are read once into
memory; then, alternately, `TreeSet.from_newick` on those texts (with the file's TRANSLATE table) and
`TreeSet.from_files` on the file, each repeated. With `--old`, a build directory of an older commit beside its
source (as for speed.py), `from_files` by each build at 1 and 2 threads, alternating, each call in a fresh
process. Then the command, `cladomatic rf FILE --against ONE` against the same command on a file of the first
tree alone (so that starting Python and writing the small matrix fall out): the difference is the command's
reading. Every figure is a median of the repeats, and each ratio is formed from figures of this one run, since
the machine's load moves between runs.
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.append(str(HERE.parent / "python"))  # after PYTHONPATH, so that --old children import their own

from cladomatic_tools import TreeSet  # noqa: E402
from cladomatic_tools.io.reader import read_trees  # noqa: E402

DEFAULT_FILE = HERE / "data" / "ovomucoid.30k.t"


def seconds(call) -> float:
    started = time.perf_counter()
    call()
    return time.perf_counter() - started


def one_tree_file(path: Path, folder: str) -> str:
    """The file's first tree alone, with its TRANSLATE table, as NEXUS."""
    first = next(read_trees(str(path)))
    table = {key: name for key, name in (first.translate or {}).items() if key != name}
    lines = ["#NEXUS", "begin trees;"]
    if table:
        lines.append("translate " + ",\n".join(f"{key} {name}" for key, name in table.items()) + ";")
    lines += [f"tree one = {first.text}", "end;"]
    out = os.path.join(folder, "one.t")
    Path(out).write_text("\n".join(lines) + "\n")
    return out


def command_seconds(*args: str) -> float:
    command = [sys.executable, "-m", "cladomatic_tools", "rf", *args, "--quiet"]
    started = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - started


def child_seconds(path: Path, python_path: str, threads: int) -> float:
    """`TreeSet.from_files` of the file once, in a fresh process of the build on `python_path`."""
    environment = dict(os.environ, PYTHONPATH=python_path)
    command = [sys.executable, __file__, "--child", "--file", str(path), "--threads", str(threads)]
    done = subprocess.run(command, check=True, capture_output=True, text=True, env=environment)
    return float(done.stdout.split()[-1])


def compare_builds(args: argparse.Namespace) -> None:
    """From_files by the older build and by this one, alternating, each in processes of its own, at 1 and 2
    threads: the ratio is the change, whatever the machine's load did meanwhile."""
    old = os.path.abspath(args.old)
    builds = {
        "old": f"{old}/python:{old}-src/python",
        "new": os.environ.get("PYTHONPATH", ""),
    }
    for threads in (1, 2):
        runs: dict[str, list[float]] = {"old": [], "new": []}
        for _ in range(args.repeat):
            for name, python_path in builds.items():
                runs[name].append(child_seconds(args.file, python_path, threads))
        old_s, new_s = statistics.median(runs["old"]), statistics.median(runs["new"])
        print(f"from_files, {threads} thread(s): old {old_s:.3f} s, new {new_s:.3f} s, new / old {new_s / old_s:.2f}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--file", type=Path, default=DEFAULT_FILE)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--old", help="a build directory of an older commit (beside its source, <old>-src)")
    parser.add_argument("--threads", type=int, help=argparse.SUPPRESS)  # the child's
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        print(seconds(lambda: TreeSet.from_files([str(args.file)], threads=args.threads)))
        return
    if not args.file.exists():
        sys.exit(f"{args.file} is missing: make it with 'tools/devenv run bench/make_data.sh reading'")

    records = list(read_trees(str(args.file)))
    texts = [record.text for record in records]
    table = records[0].translate
    leaves = len(TreeSet.from_newick(texts[:1], translate=table).leaf_names)
    print(f"{args.file.name}: {len(texts):,} trees of {leaves} leaves, {args.file.stat().st_size / 1e6:.1f} MB")

    floor = []
    for _ in range(args.repeat):
        floor.append(seconds(lambda: args.file.read_bytes().count(b";")))
    zcat = []
    if args.file.suffix == ".gz":
        for _ in range(args.repeat):
            zcat.append(
                seconds(
                    lambda: subprocess.run(
                        f"zcat '{args.file}' | wc -l", shell=True, check=True, stdout=subprocess.DEVNULL
                    )
                )
            )

    parse, read = [], []
    for _ in range(args.repeat):
        parse.append(seconds(lambda: TreeSet.from_newick(texts, translate=table)))
        read.append(seconds(lambda: TreeSet.from_files([str(args.file)])))
    parse_s, read_s = statistics.median(parse), statistics.median(read)
    print(f"TreeSet.from_newick (texts in memory)  {parse_s:6.3f} s   runs {' '.join(f'{s:.3f}' for s in parse)}")
    print(f"TreeSet.from_files                     {read_s:6.3f} s   runs {' '.join(f'{s:.3f}' for s in read)}")
    print(f"  from_files / from_newick             {read_s / parse_s:6.2f} x")
    floor_s = statistics.median(floor)
    print(f"read() + count(b';')                   {floor_s:6.3f} s   runs {' '.join(f'{s:.3f}' for s in floor)}")
    print(f"  from_files / read() + count          {read_s / floor_s:6.2f} x")
    if zcat:
        zcat_s = statistics.median(zcat)
        print(f"zcat | wc -l                           {zcat_s:6.3f} s   runs {' '.join(f'{s:.3f}' for s in zcat)}")
        print(f"  from_files / zcat | wc -l            {read_s / zcat_s:6.2f} x")

    if args.old:
        compare_builds(args)

    with tempfile.TemporaryDirectory() as folder:
        one = one_tree_file(args.file, folder)
        whole, alone = [], []
        for _ in range(args.repeat):
            whole.append(command_seconds(str(args.file), "--against", one))
            alone.append(command_seconds(one, "--against", one))
    whole_s, alone_s = statistics.median(whole), statistics.median(alone)
    print(f"cladomatic rf FILE --against ONE       {whole_s:6.3f} s   runs {' '.join(f'{s:.3f}' for s in whole)}")
    print(f"cladomatic rf ONE --against ONE        {alone_s:6.3f} s   runs {' '.join(f'{s:.3f}' for s in alone)}")
    print(f"  (FILE - ONE) / from_newick           {(whole_s - alone_s) / parse_s:6.2f} x")


if __name__ == "__main__":
    main()
