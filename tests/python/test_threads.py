import os
import subprocess
import sys
import textwrap

import pytest
from cladomatic_tools import TreeSet
from cladomatic_tools.treeset import METRICS, SUMMARIES
from trees import forest, newick

# Runs every function on the same seeded trees and prints one digest per
# result; the pool sizes itself from the CPUs the process may use when the
# module first runs, so pinning must happen before the import.
SCRIPT = textwrap.dedent("""
    import hashlib, os, struct, sys
    sys.path.insert(0, {here!r})
    if {pin}:
        os.sched_setaffinity(0, {{min(os.sched_getaffinity(0))}})
    import cladomatic
    from trees import forest, newick

    def encode(item):
        if isinstance(item, bytes):
            return item
        if isinstance(item, int):
            return str(item).encode()
        if all(isinstance(x, float) for x in item):
            return struct.pack(f"<{{len(item)}}d", *item)
        return "\\0".join(item).encode()

    texts = [newick(t) for t in forest(13, 400, 70)]
    names = [str(i) for i in range(len(texts))]
    for name in cladomatic.__all__[:-1]:
        for rooted in (False, True):
            result = getattr(cladomatic, name)(names, iter(texts), [{{}}], [0] * len(texts), rooted=rooted,
                                               progress=cladomatic.ProgressCounter())
            digest = hashlib.sha256()
            for item in result:
                digest.update(encode(item))
            print(name, rooted, digest.hexdigest())
    print("cpus", len(os.sched_getaffinity(0)))
""")


def digests(pin):
    script = SCRIPT.format(here=os.path.dirname(__file__), pin=pin)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True, timeout=600)
    return done.stdout.splitlines()


class TestThreadCount:
    @pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="needs more than one CPU")
    def test_one_cpu_and_all_give_identical_results(self):
        pinned, unpinned = digests(True), digests(False)
        assert pinned[-1] == "cpus 1" and unpinned[-1] != "cpus 1"
        assert pinned[:-1] == unpinned[:-1]


class TestTreeSetThreads:
    def test_every_count_gives_the_same_bits(self):
        texts = [newick(tree) for tree in forest(13, 400, 70)]

        def results(threads, per_call):
            trees = TreeSet.from_newick(texts, threads=threads)
            other = TreeSet.from_newick(texts[:50], threads=threads)
            # the metrics of the split layouts; those computed pair by pair have tests of their own
            # (test_tree_vectors, test_matching, test_quartets), on fewer trees
            unrooted = [m for m in METRICS if not METRICS[m].by_tree]
            metrics = [trees.distances(m, threads=per_call) for m in unrooted]
            metrics += [trees.against(other, m, rows=slice(0, 400, 3), threads=per_call) for m in unrooted]
            summaries = [trees.mean_distances(s, threads=per_call) for s in SUMMARIES]
            return [a.tobytes() for a in [*metrics, *summaries, *trees.split_counts(), *trees.topologies()]]

        every = results(None, None)
        for threads, per_call in [(1, None), (2, None), (64, None), (1, 2), (2, 1)]:
            assert results(threads, per_call) == every, (threads, per_call)

    @pytest.mark.parametrize("suffix", [".npy", ".zarr"])
    def test_the_command_writes_the_same_matrix_for_every_count(self, tmp_path, suffix):
        if suffix == ".zarr":
            zarr = pytest.importorskip("zarr")
            pytest.importorskip("dask")
        trees = tmp_path / "trees.nwk"
        trees.write_text("\n".join(newick(tree) for tree in forest(5, 300, 30)) + "\n")
        written = []
        for threads in ("1", "2", "7"):
            out = tmp_path / f"kf{threads}{suffix}"
            command = [sys.executable, "-m", "cladomatic_tools", "kf", trees, "--threads", threads, "--output", out]
            if suffix == ".zarr":
                command += ["--tile", "64"]  # tiles run on Dask's local threads, as many as --threads
            subprocess.run(command, check=True, timeout=300)
            if suffix == ".zarr":
                written.append(zarr.open_group(out, mode="r")["distances"][:].tobytes())
            else:
                written.append(out.read_bytes())
        assert written[0] == written[1] == written[2]

    @pytest.mark.parametrize("threads", [0, -2, True, 1.5, "2"])
    def test_a_count_is_a_whole_number_of_at_least_one(self, threads):
        with pytest.raises(ValueError, match=f"threads must be a whole number of at least 1, got {threads!r}"):
            TreeSet.from_newick(["(A,B,(C,D));"], threads=threads)
        with pytest.raises(ValueError, match="threads must be"):
            TreeSet.from_newick(["(A,B,(C,D));"]).distances("rf", threads=threads)
