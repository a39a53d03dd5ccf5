"""How the command's NEXUS reader scales with the length of one word, and of one tree.

    tools/devenv run python3 bench/reader_words.py [--sizes 8,16,32]

For each size in MiB it writes a NEXUS file whose TRANSLATE table holds one word of that length, and a
Newick file of one tree of that length, then times reading every record of each. Time per MiB should stay
flat as the size grows: the reader looks at each character a bounded number of times.
"""

import argparse
import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))

from cladomatic_tools.io.reader import read_trees


def timed(path):
    started = time.perf_counter()
    count = sum(1 for _ in read_trees(path))
    return time.perf_counter() - started, count


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="8,16,32", help="sizes in MiB, comma-separated")
    sizes = [int(size) for size in parser.parse_args().sizes.split(",")]
    print(f"{'MiB':>5} {'word s':>8} {'word s/MiB':>11} {'tree s':>8} {'tree s/MiB':>11}")
    with tempfile.TemporaryDirectory() as folder:
        for size in sizes:
            chars = size << 20
            word = os.path.join(folder, "word.nex")
            with open(word, "w") as file:
                file.write("#NEXUS\nbegin trees;\ntranslate 1 " + "x" * chars + ", 2 B;\ntree t = (1,2);\nend;\n")
            tree = os.path.join(folder, "tree.nwk")
            leaves = chars // 8
            with open(tree, "w") as file:
                file.write("(" + ",".join(f"t{i:06d}" for i in range(leaves)) + ");\n")
            word_s, _ = timed(word)
            tree_s, _ = timed(tree)
            print(f"{size:>5} {word_s:>8.2f} {word_s / size:>11.3f} {tree_s:>8.2f} {tree_s / size:>11.3f}")


if __name__ == "__main__":
    main()
