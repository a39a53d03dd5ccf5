"""Posterior-like tree sets that repeat topologies, and the float list that shares its objects."""

import random
import struct

import cladomatic
import numpy as np
import pytest
from trees import Node, edge_splits, grow, newick, rf


def call(function, texts, rooted=False):
    names = [f"tree{i}" for i in range(len(texts))]
    return function(names, iter(texts), [{}], [0] * len(names), rooted=rooted)


def reshuffled(rng, node):
    """The same topology written in another child order, with fresh branch lengths."""
    if node.name is not None:
        return Node(name=node.name, length=round(rng.uniform(0.0, 2.0), 4))
    children = [reshuffled(rng, child) for child in node.children]
    rng.shuffle(children)
    return Node(children, length=None if node.length is None else round(rng.uniform(0.0, 2.0), 4))


def posterior(seed, n_trees, n_shapes, n_leaves=12):
    rng = random.Random(seed)
    names = [f"t{i}" for i in range(n_leaves)]
    shapes = [grow(rng, names) for _ in range(n_shapes)]
    return [reshuffled(rng, rng.choice(shapes)) for _ in range(n_trees)]


def rf_oracle(trees, rooted):
    sets = [edge_splits(tree, rooted) for tree in trees]
    return np.array([[rf(a, b) for b in sets] for a in sets], dtype=np.uint32)


class TestRepeatedTopologies:
    # Few shapes among many trees, and sizes on both sides of 256 trees and
    # 256 distinct shapes, where rare splits change storage; the last set
    # repeats nothing.
    @pytest.mark.parametrize(
        ("n_trees", "n_shapes", "n_leaves"), [(2, 1, 6), (60, 4, 12), (400, 30, 12), (700, 300, 9), (120, 120, 40)]
    )
    @pytest.mark.parametrize("rooted", [False, True])
    def test_match_the_splits_of_every_pair(self, n_trees, n_shapes, n_leaves, rooted):
        trees = posterior(n_trees + n_shapes, n_trees, n_shapes, n_leaves)
        texts = [newick(tree) for tree in trees]
        _, data = call(cladomatic.pairwise_rf_from_newick_iter, texts, rooted)
        got = np.frombuffer(data, dtype="<u4").reshape(n_trees, n_trees)
        np.testing.assert_array_equal(got, rf_oracle(trees, rooted))
        snapshot = call(cladomatic.pairwise_rf_with_snapshots_from_newick_iter, texts, rooted)
        assert snapshot[1] == data

    def test_progress_reaches_every_pair(self):
        texts = [newick(tree) for tree in posterior(5, 300, 3)]
        counter = cladomatic.ProgressCounter()
        names = [str(i) for i in range(300)]
        _, data = cladomatic.pairwise_rf_from_newick_iter(names, iter(texts), [{}], [0] * 300, progress=counter)
        assert counter.value() == counter.total() == 300 * 299 // 2
        assert data == call(cladomatic.pairwise_rf_from_newick_iter, texts)[1]


class TestSharedFloats:
    @pytest.mark.parametrize("metric", ["wrf", "kf"])
    def test_mirrored_entries_and_zeros_are_one_object(self, metric):
        # Repeated shapes with repeated lengths give off-diagonal zeros too.
        trees = posterior(3, 70, 6, 10)
        texts = [newick(tree) for tree in trees] + [newick(trees[0])] * 3
        n = len(texts)
        _, values = call(getattr(cladomatic, f"pairwise_{metric}_from_newick_iter"), texts)
        assert len(values) == n * n and all(type(v) is float for v in values)
        matrix_bytes = call(getattr(cladomatic, f"pairwise_{metric}_with_snapshots_from_newick_iter"), texts)[1]
        assert struct.pack(f"<{n * n}d", *values) == matrix_bytes
        zeros = {id(v) for v in values if v == 0.0}
        assert len(zeros) == 1
        assert sum(1 for v in values if v == 0.0) > n
        for i in range(n):
            for j in range(i + 1, n):
                assert values[i * n + j] is values[j * n + i]
        assert len({id(v) for v in values}) <= n * (n - 1) // 2 + 1


class TestTreeSetBlocks:
    """Blocks of the tree-set engine over repeated topologies, whole and in pieces with repeated rows."""

    @pytest.mark.parametrize(("n_trees", "n_shapes"), [(300, 5), (80, 80)])
    def test_rf_and_normalised_rf_match_the_splits(self, n_trees, n_shapes):
        from cladomatic_tools import TreeSet

        trees = posterior(n_trees, n_trees, n_shapes, 11)
        tree_set = TreeSet.from_newick([newick(tree) for tree in trees])
        expected = rf_oracle(trees, False)
        np.testing.assert_array_equal(tree_set.distances("rf"), expected)
        rng = np.random.default_rng(n_trees)
        rows = rng.integers(0, n_trees, 120)
        cols = np.concatenate([rng.integers(0, n_trees, 50), rows[:20]])
        np.testing.assert_array_equal(tree_set.distances("rf", rows=rows, cols=cols), expected[np.ix_(rows, cols)])
        inner = np.array([sum(len(side) > 1 for side in edge_splits(tree, False)) for tree in trees])
        both = inner[:, None] + inner[None, :]
        norm = tree_set.distances("rf_norm")
        np.testing.assert_array_equal(norm, np.where(both == 0, 0.0, expected / np.maximum(both, 1)))
        np.testing.assert_array_equal(tree_set.distances("rf_norm", rows=rows, cols=cols), norm[np.ix_(rows, cols)])

    def test_large_lists_alike_with_and_without_a_second_interpreter(self):
        # Past a few hundred thousand floats the list's arenas are faulted in
        # ahead; another interpreter in the process turns that off.  Both
        # lists, freed and made again, must read the same bytes.
        from concurrent import interpreters

        texts = [newick(tree) for tree in posterior(8, 1200, 1200, 7)]
        n = len(texts)
        matrix_bytes = call(cladomatic.pairwise_kf_with_snapshots_from_newick_iter, texts)[1]
        for _ in range(2):
            values = call(cladomatic.pairwise_kf_from_newick_iter, texts)[1]
            assert struct.pack(f"<{n * n}d", *values) == matrix_bytes
            assert all(values[7 * n + j] is values[j * n + 7] for j in range(n))
            del values
        # With a counter the pairwise stage runs without the lock, the reserve after it with the lock.
        counter = cladomatic.ProgressCounter()
        values = cladomatic.pairwise_kf_from_newick_iter(
            [str(i) for i in range(n)], iter(texts), [{}], [0] * n, progress=counter
        )[1]
        assert counter.value() == counter.total() == n * (n - 1) // 2
        assert struct.pack(f"<{n * n}d", *values) == matrix_bytes
        other = interpreters.create()
        try:
            values = call(cladomatic.pairwise_kf_from_newick_iter, texts)[1]
            assert struct.pack(f"<{n * n}d", *values) == matrix_bytes
        finally:
            other.close()

    @pytest.mark.parametrize("metric", ["rf", "rf_norm", "info_rf"])
    def test_repeated_topologies_take_the_cells_the_kernels_give(self, metric):
        # One tree per topology and a few repeats are too few repeats for the
        # shortcut, so such blocks come straight from the kernels; the whole
        # matrices, mostly repeats, go through it.
        from cladomatic_tools import TreeSet

        def direct(trees):
            keys = [frozenset(map(frozenset, edge_splits(tree, False))) for tree in trees]
            firsts = [t for t, key in enumerate(keys) if key not in keys[:t]]
            return np.array(firsts + [t for t in range(len(trees)) if t not in firsts][:5])

        mine, theirs = posterior(41, 300, 20, 11), posterior(42, 200, 15, 11)
        a, b = (TreeSet.from_newick([newick(tree) for tree in trees]) for trees in (mine, theirs))
        rows, cols = direct(mine), direct(theirs)
        np.testing.assert_array_equal(
            a.distances(metric, rows=rows, cols=rows), a.distances(metric)[np.ix_(rows, rows)]
        )
        np.testing.assert_array_equal(
            a.against(b, metric, rows=rows, cols=cols), a.against(b, metric)[np.ix_(rows, cols)]
        )

    @pytest.mark.parametrize("metric", ["rf", "rf_norm", "info_rf", "wrf", "kf"])
    def test_blocks_with_the_same_rows_and_columns_are_computed_once_per_pair(self, metric):
        # The same trees as rows and columns (repeats too) make a symmetric
        # block, filled a band at a time and copied across the diagonal; the
        # columns reversed make a plain block of the same cells.
        from cladomatic_tools import TreeSet

        tree_set = TreeSet.from_newick([newick(tree) for tree in posterior(9, 700, 5000, 12)])
        picked = np.random.default_rng(9).integers(0, 700, 600)
        for rows in (np.arange(700), picked):
            flipped = tree_set.distances(metric, rows=rows, cols=rows[::-1])[:, ::-1]
            np.testing.assert_array_equal(tree_set.distances(metric, rows=rows, cols=rows), flipped)
