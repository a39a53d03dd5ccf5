"""Inputs whose results cannot fit in memory: each call must raise MemoryError
and leave the process alive, with nothing of the failed call kept. Run in a
process of its own under an address-space limit, never by exhausting the
machine."""

import json
import shutil
import subprocess
import sys
import textwrap

import pytest
from conftest import FUNCTION_NAMES

LIMIT = 1 << 30

SCRIPT = textwrap.dedent("""
    import json, random, sys
    import cladomatic

    def vm_size():
        with open("/proc/self/status") as status:
            return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))

    def call(name, texts):
        getattr(cladomatic, name)([str(i) for i in range(len(texts))], iter(texts), [{{}}], [0] * len(texts))

    def caterpillar(names):
        return "(" * (len(names) - 1) + names[0] + "".join(f",{{name}}:1)" for name in names[1:]) + ";"

    case = {case!r}
    if case == "matrix":
        # 60,000 trees: every matrix (4 or 8 bytes a pair) needs far more than the limit.
        texts = ["((A:1,B:1):1,(C:1,D:1):1);"] * 60_000
    elif case == "list":
        # The float64 matrix (512 MB, which becomes the list's item array in
        # place) fits; the 32 million floats of distinct trees (about 1 GB) do not.
        texts = [f"((A:{{i + 1}},B:1):1,(C:1,D:1):1);" for i in range(8_000)]
    elif case == "exports":
        # Distinct splits in most trees: the matrix fits, the exports do not.
        rng = random.Random(3)
        names = [f"t{{i}}" for i in range(48)]
        texts = [caterpillar(rng.sample(names, len(names))) for _ in range(5000)]
    else:
        # Clade rows of a very deep tree.
        texts = [caterpillar([f"t{{i}}" for i in range(100_001)])] * 2
    outcomes = {{}}
    sizes = []
    # The first round also sets up the worker threads' own heaps; a second
    # round of the same calls must not need more address space.
    for _ in range(2):
        for name in {names!r}:
            try:
                call(name, texts)
                outcomes[name] = "result"
            except MemoryError:
                outcomes[name] = "MemoryError"
        sizes.append(vm_size())
    print(json.dumps({{"outcomes": outcomes, "grown": sizes[1] - sizes[0]}}))
""")


def run_limited(case, names):
    script = SCRIPT.format(case=case, names=names)
    done = subprocess.run(["prlimit", f"--as={LIMIT}", sys.executable, "-c", script],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
    return json.loads(done.stdout)


pytestmark = pytest.mark.skipif(shutil.which("prlimit") is None, reason="needs prlimit")

EXPORTS = [name for name in FUNCTION_NAMES if "snapshots" in name]
PLAIN = [name for name in FUNCTION_NAMES if name not in EXPORTS]


@pytest.mark.parametrize("case, names", [("matrix", FUNCTION_NAMES), ("list", PLAIN[1:]), ("exports", EXPORTS),
                                         ("deep", EXPORTS[:1])])
def test_result_beyond_memory_raises_memory_error(case, names):
    report = run_limited(case, names)
    assert report["outcomes"] == dict.fromkeys(names, "MemoryError")
    # Failed calls keep nothing: repeating them needs no more address space.
    assert report["grown"] < 64 << 20


def test_deep_tree_without_exports_fits():
    assert run_limited("deep", PLAIN)["outcomes"] == dict.fromkeys(PLAIN, "result")


DEEP_PEAK = textwrap.dedent("""
    import resource, sys
    import cladomatic, cladomatic_tools

    def caterpillar(n):
        return "(" * (n - 1) + "t0" + "".join(f",t{{i}})" for i in range(1, n)) + ";"

    def rf(texts):
        if {path!r} == "module":
            cladomatic.pairwise_rf_from_newick_iter(["a", "b"], iter(texts), [{{}}], [0, 0])
        else:
            cladomatic_tools.TreeSet.from_newick(texts).distances("rf")

    # Threads and their heaps come with the first call, not with the trees.
    rf([caterpillar(10)] * 2)
    texts = [caterpillar(20_000)] * 2
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    rf(texts)
    print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)
""")


def test_deep_trees_cost_the_tree_set_what_they_cost_the_module():
    # The clade rows of a caterpillar hold n^2 / 2 leaves: distances must not lay them out.
    def peak_kib(path):
        done = subprocess.run([sys.executable, "-c", DEEP_PEAK.format(path=path)], capture_output=True, text=True,
                              timeout=120)
        assert done.returncode == 0, done.stderr[-2000:]
        return int(done.stdout)

    assert peak_kib("treeset") <= 2 * peak_kib("module") + (16 << 10)
