"""The two dense-share settings decide only how splits are stored, never a
distance. Each is read once per process, so every value runs in a process of
its own."""

import functools
import hashlib
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from trees import edge_splits, newick, pooled_forest

# 300 trees: a split held by 9 or more is dense for RF by default, by 75 or
# more for the weighted metrics. Lengths are multiples of 1/8, so every sum
# the engines form is exact whatever its order, and so is the oracle's.
N_TREES = 300
REPEATS = [2, 3, 6, 7, 8, 9, 10, 20, 40, 70, 80]
SIGNS = {"non-negative": (0, 16), "signed": (-16, 16)}

SCRIPT = textwrap.dedent("""
    import hashlib, struct, sys
    sys.path.insert(0, {here!r})
    import cladomatic
    from test_settings import forest_texts

    def digest(data):
        return hashlib.sha256(data).hexdigest()

    for signs in {signs!r}:
        texts = forest_texts(signs)
        args = ([str(i) for i in range(len(texts))], [{{}}], [0] * len(texts))
        for rooted in (False, True):
            run = lambda f: getattr(cladomatic, f)(args[0], iter(texts), *args[1:], rooted=rooted)[1]
            pack = lambda values: struct.pack(f"<{{len(values)}}d", *values)
            print(signs, rooted, digest(run("pairwise_rf_from_newick_iter")),
                  digest(pack(run("pairwise_wrf_from_newick_iter"))), digest(pack(run("pairwise_kf_from_newick_iter"))))
""")


def eighths(low, high):
    return lambda rng: rng.randint(low, high) / 8


@functools.cache
def forest(signs):
    return pooled_forest(17, N_TREES, 16, REPEATS, length=eighths(*SIGNS[signs]))


def forest_texts(signs):
    return [newick(tree) for tree in forest(signs)]


def digest(matrix, dtype):
    return hashlib.sha256(np.ascontiguousarray(matrix, dtype=dtype).tobytes()).hexdigest()


@functools.cache
def expected():
    lines = []
    for signs in SIGNS:
        for rooted in (False, True):
            sets = [edge_splits(tree, rooted) for tree in forest(signs)]
            columns = {split: c for c, split in enumerate(set().union(*sets))}
            lengths = np.zeros((len(sets), len(columns)))
            for t, held in enumerate(sets):
                for split, length in held.items():
                    lengths[t, columns[split]] = length
            present = np.array([[split in held for split in columns] for held in sets], np.int64)
            sizes = present.sum(axis=1)
            rf = sizes[:, None] + sizes[None, :] - 2 * (present @ present.T)
            wrf = np.array([np.abs(lengths - row).sum(axis=1) for row in lengths])
            kf = np.sqrt(np.array([((lengths - row) ** 2).sum(axis=1) for row in lengths]))
            lines.append(f"{signs} {rooted} {digest(rf, '<u4')} {digest(wrf, '<f8')} {digest(kf, '<f8')}")
    return lines


def run_with(value):
    env = dict(os.environ)
    for name in ("CLADOMATIC_RF_DENSE_SHARE", "CLADOMATIC_WEIGHTED_DENSE_SHARE"):
        env.pop(name, None)
        if value is not None:
            env[name] = value
    script = SCRIPT.format(here=os.path.dirname(__file__), signs=list(SIGNS))
    done = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return done.stdout.splitlines()


class TestDenseShares:
    # Unset and empty (how the development root passes an unset variable)
    # mean the default; 0 makes every shared split dense, 1 none; the rest
    # are not shares and fall back to the default.
    @pytest.mark.parametrize("value", [None, "", "0", "1", " 0.5 ", "abc", "-1", "nan"])
    def test_every_value_gives_the_exact_distances(self, value):
        assert run_with(value) == expected()
