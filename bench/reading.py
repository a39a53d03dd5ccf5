"""Reading a tree file against parsing its trees: how close reading gets to the parser's own speed.

    tools/devenv run bench/make_data.sh reading        # once: data/sceloporus.mb.t, 30,001 trees of 123 leaves
    tools/devenv run python3 bench/reading.py [--file FILE] [--repeat 5]

In one process, the file's trees are read once into memory; then, alternately, `TreeSet.from_newick` on those
texts (with the file's TRANSLATE table) and `TreeSet.from_files` on the file, each repeated. Then the command,
`cladomatic rf FILE --against ONE` against the same command on a file of the first tree alone (so that
starting Python and writing the small matrix fall out): the difference is the command's reading. Every figure is
a median of the repeats, and each ratio is formed from figures of this one run, since the machine's load moves
between runs.
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
sys.path.insert(0, str(HERE.parent / "python"))

from cladomatic_tools import TreeSet  # noqa: E402
from cladomatic_tools.io.reader import read_trees  # noqa: E402

DEFAULT_FILE = HERE / "data" / "sceloporus.mb.t"


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


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--file", type=Path, default=DEFAULT_FILE)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    if not args.file.exists():
        sys.exit(f"{args.file} is missing: make it with 'tools/devenv run bench/make_data.sh reading'")

    records = list(read_trees(str(args.file)))
    texts = [record.text for record in records]
    table = records[0].translate
    leaves = len(TreeSet.from_newick(texts[:1], translate=table).leaf_names)
    print(f"{args.file.name}: {len(texts):,} trees of {leaves} leaves, {args.file.stat().st_size / 1e6:.1f} MB")

    parse, read = [], []
    for _ in range(args.repeat):
        parse.append(seconds(lambda: TreeSet.from_newick(texts, translate=table)))
        read.append(seconds(lambda: TreeSet.from_files([str(args.file)])))
    parse_s, read_s = statistics.median(parse), statistics.median(read)
    print(f"TreeSet.from_newick (texts in memory)  {parse_s:6.3f} s   runs {' '.join(f'{s:.3f}' for s in parse)}")
    print(f"TreeSet.from_files                     {read_s:6.3f} s   runs {' '.join(f'{s:.3f}' for s in read)}")
    print(f"  from_files / from_newick             {read_s / parse_s:6.2f} x")

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
