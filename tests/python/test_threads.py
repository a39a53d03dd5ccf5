import os
import subprocess
import sys
import textwrap

import pytest

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
