"""Trees whose taxa differ: pruned to the taxa all trees hold, or pair by pair to the taxa two trees share, checked
against DendroPy's pruning and tree comparison and ETE's Robinson-Foulds distance on each pair's shared taxa."""

import itertools
import math
import os
import pickle
import random
import subprocess
import sys
import textwrap
import warnings

import dendropy
import numpy as np
import pytest
from cladomatic_tools import TreeSet
from cladomatic_tools.treeset import PairsWithoutDistance
from conftest import one_line_error, run
from dendropy.calculate import treecompare
from ete3 import Tree
from trees import gene_trees, grow, newick, oracle

METRICS = ("rf", "rf_norm", "info_rf", "wrf", "kf")


def read(text, rooted, namespace=None):
    rooting = "force-rooted" if rooted else "force-unrooted"
    return dendropy.Tree.get(data=text, schema="newick", taxon_namespace=namespace, rooting=rooting)


def pruned_splits(text, taxa, rooted):
    """Split (frozenset, unrooted: the side without the first taxon) -> length of the tree pruned by DendroPy, its
    edges that induce one split summed (two halves of an edge cut by a root of degree 2); the root's own edge
    joins nothing and is left out."""
    tree = read(text, rooted)
    tree.retain_taxa_with_labels(taxa)
    every = frozenset(taxa)
    first = min(every)
    found: dict[frozenset, float] = {}
    for node in tree.postorder_node_iter():
        if node is tree.seed_node:
            continue
        side = frozenset(leaf.taxon.label for leaf in node.leaf_iter())
        if not rooted and (len(every - side) == 1 or (len(side) > 1 and first in side)):
            side = every - side
        found[side] = found.get(side, 0.0) + (node.edge.length or 0.0)
    return found


def dendropy_pair(a, b, taxa, rooted):
    """rf, wrf and kf of two tree texts both pruned to `taxa`, by DendroPy's own comparison."""
    namespace = dendropy.TaxonNamespace()
    pruned = []
    for text in (a, b):
        tree = read(text, rooted, namespace)
        tree.retain_taxa_with_labels(taxa)
        tree.seed_node.edge.length = None  # the root's own edge is no split
        tree.encode_bipartitions()
        pruned.append(tree)
    return (
        treecompare.symmetric_difference(*pruned),
        treecompare.weighted_robinson_foulds_distance(*pruned),
        treecompare.euclidean_distance(*pruned),
    )


def leaves(text):
    return set(Tree(text).get_leaf_names())


class TestAgainstReferences:
    @pytest.mark.parametrize(
        ("rooted", "unary", "root_degree", "n_taxa"),
        [(False, 0.0, 3, 12), (False, 0.15, 2, 12), (True, 0.0, 2, 12), (True, 0.15, 3, 12), (False, 0.1, 2, 140)],
        ids=["unrooted", "unrooted-unary-degree-2-root", "rooted", "rooted-unary", "over-three-words-of-taxa"],
    )
    def test_pairwise_is_dendropy_pair_by_pair(self, rooted, unary, root_degree, n_taxa):
        texts = gene_trees(11 + root_degree, 14 if n_taxa < 64 else 8, n_taxa, unary, root_degree)
        ts = TreeSet.from_newick(texts, rooted=rooted, taxa="any")
        fewest = 3 if rooted else 4
        metrics = ("rf", "rf_norm", "wrf", "kf") if rooted else METRICS
        with warnings.catch_warnings(record=True):
            got = {metric: ts.distances(metric, prune="pairwise") for metric in metrics}
        checked_short = False
        for i, j in itertools.combinations(range(len(texts)), 2):
            taxa = sorted(leaves(texts[i]) & leaves(texts[j]))
            if len(taxa) < fewest:
                assert all(math.isnan(got[metric][i, j]) for metric in metrics)
                checked_short = True
                continue
            a, b = (pruned_splits(text, taxa, rooted) for text in (texts[i], texts[j]))
            for metric in metrics:
                assert got[metric][i, j] == pytest.approx(oracle(metric, a, b, len(taxa)), abs=1e-9), (metric, i, j)
            rf, wrf, kf = dendropy_pair(texts[i], texts[j], taxa, rooted)
            assert (got["rf"][i, j], got["wrf"][i, j], got["kf"][i, j]) == pytest.approx((rf, wrf, kf), abs=1e-9)
        assert checked_short

    def test_pairwise_rf_is_ete_robinson_foulds(self):
        texts = gene_trees(5, 16, 15)
        with warnings.catch_warnings(record=True):
            got = TreeSet.from_newick(texts, taxa="any").distances("rf", prune="pairwise")
        trees = [Tree(text) for text in texts]
        for i, j in itertools.combinations(range(len(texts)), 2):
            if len(leaves(texts[i]) & leaves(texts[j])) >= 4:
                assert got[i, j] == trees[i].robinson_foulds(trees[j], unrooted_trees=True)[0], (i, j)

    @pytest.mark.parametrize("rooted", [False, True])
    def test_common_is_dendropy_pruned_to_the_common_taxa(self, rooted):
        rng = random.Random(3)
        names = [f"t{i}" for i in range(14)]
        texts = [newick(grow(rng, names[:6] + rng.sample(names[6:], rng.randint(0, 8)), unary=0.1)) for _ in range(9)]
        ts = TreeSet.from_newick(texts, rooted=rooted, taxa="any")
        taxa = ts.common_taxa()
        assert taxa == names[:6] == sorted(set.intersection(*map(leaves, texts)))
        for metric in ("rf", "wrf", "kf"):
            got = ts.distances(metric, prune="common")
            three_rows = 3 * len(texts) * got.itemsize / 2**20
            chunks = ts.distances_chunked(metric, prune="common", upper=True, working_memory=three_rows)
            for k, block in enumerate(chunks):  # each valid until the next is made
                assert np.array_equal(block, got[3 * k : 3 * k + 3, 3 * k :]), (metric, k)
            for i, j in itertools.combinations(range(len(texts)), 2):
                expected = dendropy_pair(texts[i], texts[j], taxa, rooted)[("rf", "wrf", "kf").index(metric)]
                assert got[i, j] == pytest.approx(expected, abs=1e-9)
        splits, _ = ts.pruned().split_frequencies()
        sides = {frozenset(np.array(taxa)[row]) for row in splits}
        assert sides == {s for t in texts for s in pruned_splits(t, taxa, rooted) if 2 <= len(s) < len(taxa)}


class TestModes:
    def test_differing_taxa_need_a_mode(self):
        texts = ["((A,B),(C,D));", "((A,B),(C,(D,E)));"]
        with pytest.raises(ValueError, match="Tree 1 has a different leaf set"):
            TreeSet.from_newick(texts)
        ts = TreeSet.from_newick(texts, taxa="any")
        for call in (lambda: ts.distances("rf"), ts.mean_distances, ts.split_frequencies, ts.topologies):
            with pytest.raises(ValueError, match="tree_2 has E that tree_1 does not; compare them with prune="):
                call()
        with pytest.raises(ValueError, match="prune must be None or one of 'common', 'pairwise', not 'all'"):
            ts.distances("rf", prune="all")
        with pytest.raises(ValueError, match=r"the trees share only 3 taxa \(A, B, C\).* need at least 4"):
            TreeSet.from_newick(["((A,B),(C,D));", "((A,B),(C,E));"], taxa="any").distances("rf", prune="common")

    def test_a_set_of_one_leaf_set_is_the_usual_set(self):
        rng = random.Random(8)
        names = [f"t{i}" for i in range(9)]
        texts = [newick(grow(rng, names, unary=0.1)) for _ in range(12)]
        same, mixed = TreeSet.from_newick(texts), TreeSet.from_newick(texts, taxa="any")
        assert not mixed.taxa_differ and mixed.leaf_names == same.leaf_names
        assert np.array_equal(mixed.distances("rf"), same.distances("rf"))
        assert np.allclose(mixed.distances("kf"), same.distances("kf"), rtol=1e-12)
        assert np.array_equal(mixed.split_frequencies()[0][np.lexsort(mixed.split_frequencies()[0].T)],
                              same.split_frequencies()[0][np.lexsort(same.split_frequencies()[0].T)])
        pairwise = mixed.distances("rf", prune="pairwise")
        assert pairwise.dtype == np.float64 and np.array_equal(pairwise, same.distances("rf"))

    def test_pairs_sharing_too_few_taxa_are_nan_in_one_warning(self):
        ts = TreeSet.from_newick(["((A,B),(C,D));", "((A,B),(C,E));", "((A,B),C);"], taxa="any")
        with pytest.warns(PairsWithoutDistance, match="3 of 3 pairs of trees share fewer than 4 taxa") as caught:
            got = ts.distances("kf", prune="pairwise")
        assert len(caught) == 1 and caught[0].message.pairs == 3
        assert np.array_equal(np.isnan(got), [[False, True, True], [True, False, True], [True, True, True]])
        # unordered pairs of two trees, each once, whatever cells of the matrix hold them
        ts = TreeSet.from_newick(["((A,B),(C,D));", "((A,B),(C,E));", "((A,C),(B,D));"], taxa="any")
        for rows, cols, said in [(None, None, "2 of 3"), ([0, 1], [1, 0, 2], "2 of 3"), ([0, 0], [1, 1], "1 of 1"),
                                 ([2], [0, 1], "1 of 2"), ([1, 2], [1, 2], "1 of 1")]:
            with pytest.warns(PairsWithoutDistance, match=f"^{said} pairs"):
                ts.distances("rf", rows=rows, cols=cols, prune="pairwise")
        rooted = TreeSet.from_newick(["((A,B),C);", "((A,C),B);"], rooted=True, taxa="any")
        assert np.array_equal(rooted.distances("rf", prune="pairwise"), [[0, 2], [2, 0]])

    def test_blocks_are_cells_of_the_whole_matrix(self):
        ts = TreeSet.from_newick(gene_trees(9, 30, 40, unary=0.1), taxa="any")
        with warnings.catch_warnings(record=True):
            for metric in METRICS:
                whole = ts.distances(metric, prune="pairwise")
                assert np.array_equal(whole, whole.T, equal_nan=True)
                rows, cols = [29, 3, 3, 17], [5, 29, 0, 3, 17, 11]
                block = ts.distances(metric, rows=rows, cols=cols, prune="pairwise")
                assert np.array_equal(block, whole[np.ix_(rows, cols)], equal_nan=True)

    def test_against_is_the_joined_set(self):
        genes = gene_trees(4, 12, 10, core=4)
        species = ["(((t0,t1),(t2,t3)),((t4,(t5,t6)),(t7,(t8,t9))));", "((t0,t5),(t1,(t2,(t3,t4))),(t6,(t7,(t8,t9))));"]
        joined = TreeSet.from_newick(genes + species, taxa="any")
        gene_set, species_set = TreeSet.from_newick(genes, taxa="any"), TreeSet.from_newick(species)
        with warnings.catch_warnings(record=True):
            for metric in METRICS:
                expected = joined.distances(metric, rows=range(12), cols=[12, 13], prune="pairwise")
                got = gene_set.against(species_set, metric, prune="pairwise")
                assert np.array_equal(got, expected, equal_nan=True)
        common = gene_set.against(species_set, "rf", prune="common")
        assert common.dtype == np.uint32
        assert np.array_equal(common, joined.distances("rf", rows=range(12), cols=[12, 13], prune="common"))

    @pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="needs more than one CPU")
    def test_one_cpu_and_all_give_identical_results(self):
        # the thread pool sizes itself from the CPUs allowed when the module first runs: pin before importing
        script = textwrap.dedent(f"""
            import hashlib, os, sys, warnings
            sys.path.insert(0, {os.path.dirname(__file__)!r})
            if sys.argv[1] == "pin":
                os.sched_setaffinity(0, {{min(os.sched_getaffinity(0))}})
            from cladomatic_tools import TreeSet
            from test_taxa import gene_trees
            warnings.simplefilter("ignore")
            ts = TreeSet.from_newick(gene_trees(3, 60, 90, unary=0.1, root_degree=2), taxa="any")
            for metric in {METRICS!r}:
                print(metric, hashlib.sha256(ts.distances(metric, prune="pairwise").tobytes()).hexdigest())
            print("cpus", len(os.sched_getaffinity(0)))
        """)
        runs = [
            subprocess.run([sys.executable, "-c", script, pin], capture_output=True, text=True, check=True).stdout
            for pin in ("pin", "all")
        ]
        assert runs[0].endswith("cpus 1\n") and not runs[1].endswith("cpus 1\n")
        assert runs[0].splitlines()[:-1] == runs[1].splitlines()[:-1]

    def test_pickles_keep_each_trees_taxa(self):
        ts = TreeSet.from_newick(gene_trees(2, 10, 12), taxa="any")
        back = pickle.loads(pickle.dumps(ts))
        assert [back.tree_taxa(i) for i in range(10)] == [ts.tree_taxa(i) for i in range(10)]
        with warnings.catch_warnings(record=True):
            assert np.array_equal(back.distances("wrf", prune="pairwise"), ts.distances("wrf", prune="pairwise"),
                                  equal_nan=True)


def table(text, delimiter="\t"):
    """(column names, values) of a written matrix, one column per reference tree."""
    rows = [line.split(delimiter) for line in text.splitlines()]
    return rows[0][1:], np.array([[float(value) for value in row[1:]] for row in rows[1:]])


class TestCommand:
    GENES = (
        "((A:1,B:2):1,(C:1,(D:1,E:1):2):3);",
        "((A:1,B:1):1,(C:2,D:1):1);",
        "((A:1,X:1):1,(B:1,(C:1,D:1):1):1);",
        "((A:1,B:1):1,C:1);",
    )

    @pytest.fixture
    def files(self, tmp_path):
        genes, species = tmp_path / "genes.nwk", tmp_path / "species.nwk"
        genes.write_text("\n".join(self.GENES) + "\n")
        species.write_text("((A:1,B:1):1,((C:1,X:1):1,(D:1,E:1):1):1);\n")
        return genes, species

    def test_pairwise_against_a_species_tree(self, files, tmp_path):
        genes, species = files
        one_line_error(run("rf", genes), 2, "genes.nwk:2: tree 2 lacks E that tree 1 of")
        out = tmp_path / "kf.tsv"
        result = run("kf", genes, "--against", species, "--prune", "pairwise", "--output", out, "--quiet")
        assert result.returncode == 0, result.stderr
        assert result.stderr == f"cladomatic: warning: 1 of {len(self.GENES)} pairs of trees shares fewer than 4 " \
            "taxa: their distances are written as nan\n"
        names, values = table((tmp_path / "kf.tsv").read_text())
        ts = TreeSet.from_newick(list(self.GENES), taxa="any")
        with warnings.catch_warnings(record=True):
            expected = ts.against(TreeSet.from_newick([species.read_text()]), "kf", prune="pairwise")
        assert names == ["tree_1"] and np.array_equal(values, expected, equal_nan=True)

    def test_pairwise_bands_count_what_the_tiled_run_counts(self, tmp_path, capsys, monkeypatch):
        from cladomatic_tools.cli.main import main
        from cladomatic_tools.io import writers

        genes = tmp_path / "genes.nwk"
        genes.write_text("\n".join(self.GENES * 3) + "\n")
        monkeypatch.setattr(writers, "BAND_BYTES", 2 * 12 * 8)  # six bands, each pair once
        ts = TreeSet.from_newick(list(self.GENES * 3), taxa="any")
        with warnings.catch_warnings(record=True):
            expected = ts.distances("kf", prune="pairwise")
        said = set()
        for name in ("kf.npy", "kf.tsv", "kf.zarr"):
            assert main(["kf", str(genes), "--prune", "pairwise", "--output", str(tmp_path / name), "--quiet"]) == 0
            said.add(capsys.readouterr().err)
            if name.endswith("npy"):
                assert np.load(tmp_path / name).tobytes() == expected.tobytes()
            elif name.endswith("tsv"):
                assert np.array_equal(table((tmp_path / name).read_text())[1], expected, equal_nan=True)
        nan, pairs = np.count_nonzero(np.isnan(np.triu(expected, 1))), len(expected) * (len(expected) - 1) // 2
        assert said == {f"cladomatic: warning: {nan} of {pairs} pairs of trees share fewer than 4 taxa: their "
                        "distances are written as nan\n"}

    def test_common_says_what_it_drops(self, files, tmp_path):
        genes, species = files
        one_line_error(run("rf", genes, "--prune", "common"), 2, "the trees share only 3 taxa (A, B, C)")
        genes.write_text("\n".join(self.GENES[:3]) + "\n")
        result = run("wrf", genes, "--between", species, "--prune", "common", "--format", "csv", "--quiet")
        assert result.returncode == 0, result.stderr
        assert result.stderr == "cladomatic: warning: --prune common drops 2 of 6 taxa, those not in every tree: " \
            "E, X\n"
        # tree 3: removing X merges A's edge with the root's other edge (1 + 1 + 1); C, D and E's edges likewise
        assert table(result.stdout, ",")[1].tolist() == [[5.0], [1.0], [5.0]]
        out = tmp_path / "splits.npz"
        assert run("splits", genes, "--prune", "common", "--output", out).returncode == 0
        with np.load(out) as arrays:
            assert list(arrays["leaf_names"]) == ["A", "B", "C", "D"] and arrays["presence"].all()

    @pytest.mark.parametrize(("first", "then"), [("common", "pairwise"), ("pairwise", "common")])
    def test_a_store_resumes_only_under_its_own_mode(self, files, tmp_path, first, then):
        genes, store = files[0], tmp_path / "rf.zarr"
        genes.write_text("\n".join(self.GENES[:3]) + "\n")
        assert run("rf", genes, "--prune", first, "--output", store).returncode == 0
        assert run("rf", genes, "--prune", first, "--output", store, "--resume").returncode == 0
        refused = run("rf", genes, "--prune", then, "--output", store, "--resume")
        assert refused.returncode == 2 and refused.stderr.splitlines()[-1] == (
            f"cladomatic: error: cannot resume {store}: it holds another matrix (prune '{first}' instead of '{then}')"
        )

    @pytest.mark.parametrize("command", [["consensus"], ["consensus", "--greedy"], ["mcc"], ["topologies"]])
    def test_summaries_under_common_are_those_of_trees_pruned_by_hand(self, files, tmp_path, command):
        genes, by_hand = files[0], tmp_path / "pruned.nwk"
        genes.write_text("\n".join(self.GENES[:3]) + "\n")
        pruned = []
        for text in self.GENES[:3]:
            tree = dendropy.Tree.get(data=text, schema="newick")
            tree.prune_taxa_with_labels(["E", "X"])
            pruned.append(tree.as_string(schema="newick", suppress_rooting=True))
        by_hand.write_text("".join(pruned))
        result = run(*command, genes, "--prune", "common", "--quiet")
        assert result.returncode == 0, result.stderr
        assert result.stderr == "cladomatic: warning: --prune common drops 2 of 6 taxa, those not in every tree: " \
            "E, X\n"
        assert result.stdout == run(*command, by_hand).stdout

    def test_space_names_a_pair_without_a_distance(self, files, tmp_path):
        one_line_error(run("space", files[0], "--prune", "pairwise", "--output-dir", tmp_path, "--quiet"), 2,
                       "tree_1 and tree_4 share 3 taxa, fewer than the 4")
