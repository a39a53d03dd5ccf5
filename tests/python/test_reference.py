"""The module against references that share no code with it: DendroPy's tree
comparisons, and the split oracle of trees.py decoded through NumPy."""

import random

import cladomatic
import dendropy
import numpy as np
import pytest
from dendropy.calculate import treecompare
from trees import Node, edge_splits, grow, newick, pooled_forest, rf

NAMES = [f"t{i}" for i in range(24)]


def call(function, texts, rooted):
    return function([str(i) for i in range(len(texts))], iter(texts), [{}], [0] * len(texts), rooted=rooted)


def rf_matrix(texts, rooted):
    return np.frombuffer(call(cladomatic.pairwise_rf_from_newick_iter, texts, rooted)[1], "<u4").reshape(
        len(texts), len(texts))


def weighted_matrix(function, texts, rooted):
    return np.array(call(function, texts, rooted)[1]).reshape(len(texts), len(texts))


def leaf_beside_the_rest(rng, names):
    """A root of degree 2 whose one child is a single leaf."""
    rest = grow(rng, names[1:], root_degree=rng.choice([2, 3]))
    return Node([Node(name=names[0], length=1.5), Node(rest.children, length=0.75)], length=None)


SHAPES = {
    "bifurcating, root of degree 3": lambda rng: grow(rng, NAMES, multifurcation=0.0),
    "root of degree 2": lambda rng: grow(rng, NAMES, root_degree=2, multifurcation=0.0),
    "root of degree 2 beside a leaf": lambda rng: leaf_beside_the_rest(rng, NAMES),
    "multifurcating": lambda rng: grow(rng, NAMES, root_degree=rng.choice([2, 4, 5]), multifurcation=0.6),
    "single-child nodes": lambda rng: grow(rng, NAMES, root_degree=2, unary=0.2),
}


def forest_of(shape, seed, n_trees=14):
    rng = random.Random(seed)
    trees = [SHAPES[shape](rng) for _ in range(n_trees)]
    # A repeated tree, so that some pair is at distance 0.
    return trees + [trees[0]]


def dendropy_trees(texts, rooted):
    namespace = dendropy.TaxonNamespace()
    trees = [dendropy.Tree.get(data=text, schema="newick", taxon_namespace=namespace, preserve_underscores=True,
                               rooting="force-rooted" if rooted else "force-unrooted") for text in texts]
    for tree in trees:
        # Unrooted, this folds a root of degree 2 into one edge, adding the
        # removed child's length to the kept one's: to a leaf's pendant edge
        # when the kept child is a leaf, as the module does.
        tree.encode_bipartitions()
        # DendroPy counts the edge above the root, which separates nothing;
        # the module ignores a length written there.
        tree.seed_node.edge.length = None
    return trees


def dendropy_matrix(trees, distance):
    n = len(trees)
    matrix = np.zeros((n, n))
    for i in range(n):
        for j in range(i + 1, n):
            matrix[i, j] = matrix[j, i] = distance(trees[i], trees[j], is_bipartitions_updated=True)
    return matrix


class TestAgainstDendroPy:
    @pytest.mark.parametrize("rooted", [False, True], ids=["unrooted", "rooted"])
    @pytest.mark.parametrize("shape", SHAPES)
    def test_rf_wrf_and_kf(self, shape, rooted):
        trees = forest_of(shape, seed=len(shape))
        # A length after the outermost parenthesis is read and dropped.
        texts = [newick(tree)[:-1] + ":7.25;" for tree in trees]
        reference = dendropy_trees(texts, rooted)
        expected = dendropy_matrix(reference, treecompare.symmetric_difference)
        assert rf_matrix(texts, rooted).tolist() == expected.tolist()
        for function, distance in ((cladomatic.pairwise_wrf_from_newick_iter,
                                    treecompare.weighted_robinson_foulds_distance),
                                   (cladomatic.pairwise_kf_from_newick_iter, treecompare.euclidean_distance)):
            expected = dendropy_matrix(reference, distance)
            np.testing.assert_allclose(weighted_matrix(function, texts, rooted), expected, rtol=1e-9, atol=1e-12)

    def test_leaf_beside_the_rest_moves_the_length_to_the_leaf(self):
        # ((B,C,D):0.75,A:1.5) is the star with A's pendant edge 2.25.
        texts = ["(A:1.5,(B:1,C:1,D:1):0.75);", "(A:2.25,B:1,C:1,D:1);", "(A:1.5,B:1,C:1,D:1);"]
        expected = dendropy_matrix(dendropy_trees(texts, False), treecompare.weighted_robinson_foulds_distance)
        assert expected.tolist() == [[0, 0, 0.75], [0, 0, 0.75], [0.75, 0.75, 0]]
        assert weighted_matrix(cladomatic.pairwise_wrf_from_newick_iter, texts, False).tolist() == expected.tolist()


class TestAnyRootAgainstTheOracle:
    # A root of degree 1 is a single-child node above all leaves.
    @pytest.mark.parametrize("root_degree", [1, 2, 3])
    def test_rf(self, root_degree):
        rng = random.Random(root_degree)
        trees = [grow(rng, NAMES[:15], root_degree=root_degree, unary=0.1) for _ in range(20)]
        texts = [newick(tree) for tree in trees]
        for rooted in (False, True):
            sets = [edge_splits(tree, rooted) for tree in trees]
            assert rf_matrix(texts, rooted).tolist() == [[rf(a, b) for b in sets] for a in sets]


def presence(sets):
    columns = {split: c for c, split in enumerate(set().union(*sets))}
    table = np.zeros((len(sets), len(columns)), np.int64)
    for t, held in enumerate(sets):
        table[t, [columns[split] for split in held]] = 1
    return table


def oracle_rf(sets):
    table = presence(sets)
    sizes = table.sum(axis=1)
    return sizes[:, None] + sizes[None, :] - 2 * (table @ table.T)


class TestDenseAndSparseRf:
    # From 256 trees on, a split must be held by ceil(0.03 n) trees to be
    # dense: 8 for 256 and 257 trees, 9 for 300; below, every split is.
    @pytest.mark.parametrize("n_trees", [255, 256, 257, 300])
    @pytest.mark.parametrize("rooted", [False, True], ids=["unrooted", "rooted"])
    def test_matches_the_oracle(self, n_trees, rooted):
        trees = pooled_forest(n_trees, n_trees, 20, repeats=[2, 6, 7, 8, 9, 10, 40])
        sets = [edge_splits(tree, rooted) for tree in trees]
        counts = presence(sets).sum(axis=0)
        threshold = 2 if n_trees < 256 else -(-3 * n_trees // 100)
        sparse = (counts >= 2) & (counts < threshold)
        assert sparse.any() == (n_trees >= 256) and ((counts >= threshold) & (counts < n_trees)).any()
        np.testing.assert_array_equal(rf_matrix([newick(t) for t in trees], rooted), oracle_rf(sets))


def packed_words(rows):
    """Each bit row as its 64-bit words from word 0 up, for ordering."""
    padded = np.zeros((rows.shape[0], -(-rows.shape[1] // 8) * 8), np.uint8)
    padded[:, : rows.shape[1]] = rows
    return [tuple(int(w) for w in row) for row in padded.view("<u8")]


class TestExports:
    @pytest.mark.parametrize("n_leaves", [11, 70])
    @pytest.mark.parametrize("rooted", [False, True], ids=["unrooted", "rooted"])
    def test_decoded_exports_match_the_trees(self, n_leaves, rooted):
        rng = random.Random(n_leaves)
        names = [f"L{i:02d}" for i in range(n_leaves)]
        trees = [grow(rng, names, root_degree=rng.choice([2, 3]), unary=0.05) for _ in range(9)]
        trees.append(trees[3])
        texts = [newick(tree) for tree in trees]
        n = len(texts)
        _, rf_bytes, leaf_names, n_bip, present, clade_bytes = call(
            cladomatic.pairwise_rf_with_snapshots_from_newick_iter, texts, rooted)
        _, _, weighted_names, weighted_n_bip, length_bytes, weighted_clades = call(
            cladomatic.pairwise_wrf_with_snapshots_from_newick_iter, texts, rooted)
        # The RF and weighted exports share the column order.
        assert (weighted_names, weighted_n_bip, weighted_clades) == (leaf_names, n_bip, clade_bytes)
        assert leaf_names == sorted(names)

        stride = -(-n_leaves // 8)
        assert len(clade_bytes) == n_bip * stride and len(present) == n * n_bip and len(length_bytes) == 8 * n * n_bip
        packed = np.frombuffer(clade_bytes, np.uint8).reshape(n_bip, stride)
        bits = np.unpackbits(packed, axis=1, bitorder="little")
        assert not bits[:, n_leaves:].any()  # padding
        columns = [frozenset(np.array(leaf_names)[row[:n_leaves].astype(bool)]) for row in bits]
        if not rooted:
            assert [row[0] == 1 for row in bits] == [c == {leaf_names[0]} for c in columns]
        words = packed_words(packed)
        assert words == sorted(words) and len(set(words)) == n_bip

        sets = [edge_splits(tree, rooted) for tree in trees]
        assert set(columns) == set().union(*sets) and len(columns) == n_bip
        table = np.frombuffer(present, np.uint8).reshape(n, n_bip)
        lengths = np.frombuffer(length_bytes, "<f8").reshape(n, n_bip)
        for t, held in enumerate(sets):
            assert table[t].tolist() == [int(c in held) for c in columns]
            np.testing.assert_allclose(lengths[t], [held.get(c, 0.0) for c in columns], rtol=1e-12, atol=0)
        np.testing.assert_array_equal(np.frombuffer(rf_bytes, "<u4").reshape(n, n), oracle_rf(sets))
