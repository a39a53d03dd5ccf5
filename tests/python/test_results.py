import struct

import cladomatic
import numpy as np
import pytest
from trees import forest, kf, newick, rf, splits, wrf


def call(function, texts, rooted=False, names=None, **keywords):
    names = names if names is not None else [f"tree{i}" for i in range(len(texts))]
    return function(names, iter(texts), [{}], [0] * len(names), rooted=rooted, **keywords)


def matrix_u32(data, n):
    assert len(data) == 4 * n * n
    return np.frombuffer(data, dtype="<u4").reshape(n, n)


def matrix_f64(data, n):
    assert len(data) == 8 * n * n
    return np.frombuffer(data, dtype="<f8").reshape(n, n)


TWO = ["((A:1,B:2):0.5,C:3,(D:4,E:5):0.25);", "((A:1,C:2):0.5,B:3,(D:4,E:5):1.0);"]


class TestRfResults:
    def test_two_trees_give_sixteen_bytes(self):
        names, data = call(cladomatic.pairwise_rf_from_newick_iter, TWO)
        assert names == ["tree0", "tree1"]
        assert data == struct.pack("<4I", 0, 2, 2, 0)

    def test_matches_brute_force_on_random_trees(self):
        for rooted in (False, True):
            trees = forest(7, 25, 12)
            _, data = call(cladomatic.pairwise_rf_from_newick_iter, [newick(t) for t in trees], rooted=rooted)
            sets = [splits(t, rooted) for t in trees]
            expected = [[rf(a, b) for b in sets] for a in sets]
            assert matrix_u32(data, 25).tolist() == expected

    def test_snapshot_variant_shapes(self):
        trees = forest(3, 9, 11)
        texts = [newick(t) for t in trees]
        names, data, leaf_names, n_bip, presence, clades = call(
            cladomatic.pairwise_rf_with_snapshots_from_newick_iter, texts)
        assert names == [f"tree{i}" for i in range(9)]
        assert data == call(cladomatic.pairwise_rf_from_newick_iter, texts)[1]
        assert leaf_names == sorted(f"t{i}" for i in range(11))
        distinct = set().union(*(splits(t, False).keys() for t in trees))
        assert n_bip == len(distinct)
        assert len(presence) == 9 * n_bip
        assert len(clades) == n_bip * 2  # 11 leaves: two bytes per row
        rows = np.unpackbits(np.frombuffer(clades, np.uint8).reshape(n_bip, 2), axis=1, bitorder="little")
        decoded = {frozenset(np.array(leaf_names)[row[:11].astype(bool)]) for row in rows}
        assert decoded == distinct
        table = np.frombuffer(presence, np.uint8).reshape(9, n_bip)
        for t, tree in enumerate(trees):
            held = {frozenset(np.array(leaf_names)[rows[j][:11].astype(bool)]) for j in np.flatnonzero(table[t])}
            assert held == set(splits(tree, False))

    def test_translate_maps_by_index(self):
        maps = [{"1": "A", "2": "B", "3": "C", "4": "D"}, {"a": "D", "b": "C", "c": "B", "d": "A"}]
        texts = ["((1,2),3,4);", "((d,c),b,a);", "((1,3),2,4);"]
        _names, data = cladomatic.pairwise_rf_from_newick_iter(["x", "y", "z"], iter(texts), maps, [0, 1, 0])
        assert matrix_u32(data, 3).tolist() == [[0, 0, 2], [0, 0, 2], [2, 2, 0]]


class TestWeightedResults:
    @pytest.mark.parametrize("rooted", [False, True])
    def test_matches_brute_force_on_random_trees(self, rooted):
        trees = forest(11, 20, 10)
        texts = [newick(t) for t in trees]
        sets = [splits(t, rooted) for t in trees]
        for function, metric in ((cladomatic.pairwise_wrf_from_newick_iter, wrf),
                                 (cladomatic.pairwise_kf_from_newick_iter, kf)):
            _names, flat = call(function, texts, rooted=rooted)
            assert isinstance(flat, list) and len(flat) == 400
            assert all(type(value) is float for value in flat)
            expected = [metric(a, b) for a in sets for b in sets]
            assert flat == pytest.approx(expected, rel=1e-12, abs=1e-12)

    def test_two_trees_flat_list(self):
        _, flat = call(cladomatic.pairwise_wrf_from_newick_iter, TWO)
        # A|B split 0.5 against A|C split 0.5; D|E split 0.25 against 1.0; pendants B and C 2 vs 3.
        assert flat == [0.0, 3.75, 3.75, 0.0]

    def test_snapshot_variants_agree_with_plain_ones(self):
        texts = [newick(t) for t in forest(5, 15, 9)]
        wrf_result = call(cladomatic.pairwise_wrf_with_snapshots_from_newick_iter, texts)
        kf_result = call(cladomatic.pairwise_kf_with_snapshots_from_newick_iter, texts)
        for result, plain in ((wrf_result, cladomatic.pairwise_wrf_from_newick_iter),
                              (kf_result, cladomatic.pairwise_kf_from_newick_iter)):
            assert len(result) == 6
            assert matrix_f64(result[1], 15).ravel().tolist() == call(plain, texts)[1]
        # The exports do not depend on the metric.
        assert wrf_result[2:] == kf_result[2:]
        _names, _, _leaf_names, n_bip, lengths, clades = wrf_result
        assert len(lengths) == 8 * 15 * n_bip
        assert len(clades) == n_bip * 2

    def test_branch_length_matrix_reproduces_the_distances(self):
        texts = [newick(t) for t in forest(9, 12, 14)]
        _, data, _, n_bip, lengths, _ = call(cladomatic.pairwise_kf_with_snapshots_from_newick_iter, texts)
        table = np.frombuffer(lengths, "<f8").reshape(12, n_bip)
        traces = np.sqrt(((table - table[4]) ** 2).sum(axis=1))
        np.testing.assert_allclose(traces, matrix_f64(data, 12)[4], rtol=1e-12, atol=1e-12)

    def test_trees_a_hair_apart_keep_their_distance(self):
        # The sums behind the matrix cancel for such pairs; 0 would call them identical.
        texts = ["((A:1,B:1):1,C:1,(D:1,E:1):1);", "((A:1,B:1):1,C:1,(D:1,E:1.00000001):1);"]
        for function in (cladomatic.pairwise_wrf_from_newick_iter, cladomatic.pairwise_kf_from_newick_iter):
            _, flat = call(function, texts)
            assert flat[1] == pytest.approx(1.00000001 - 1.0, rel=1e-9)


class TestTreeNames:
    @pytest.mark.parametrize("name", ["pairwise_rf_from_newick_iter", "pairwise_wrf_with_snapshots_from_newick_iter",
                                      "pairwise_kf_from_newick_iter"])
    def test_fewer_trees_than_names(self, name):
        names = ["a", "b", "c", "d"]
        result = getattr(cladomatic, name)(names, iter(TWO), [{}], [0, 0, 0, 0])
        assert result[0] == names
        assert len(result[1]) in (4 * 2 * 2, 8 * 2 * 2, 2 * 2)

    def test_names_are_returned_unchanged(self, function):
        names = ["é", "a b", ""]
        result = function(names, iter(TWO * 2), [{}], [0, 0, 0])
        assert result[0] == names and result[0] is not names
