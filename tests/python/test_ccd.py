"""Conditional clade distributions (TreeSet.ccd_map, TreeSet.ccd_log_probability) against a plain reference
written from their definitions: every tree of the graph enumerated on small sets, the definitions on sampled
trees of larger ones."""

import math
import random
import re
from itertools import product

import pytest
from cladomatic_tools import TreeSet


def random_tree(taxa, rng):
    """A random rooted binary tree as Newick, by random splits from the root down."""
    if len(taxa) == 1:
        return taxa[0]
    shuffled = rng.sample(taxa, len(taxa))
    cut = rng.randint(1, len(taxa) - 1)
    return f"({random_tree(shuffled[:cut], rng)},{random_tree(shuffled[cut:], rng)})"


def sample(n_taxa, n_trees, seed):
    """Trees drawn from a few random topologies, so that clades repeat and recombine."""
    rng = random.Random(seed)
    taxa = [f"t{i}" for i in range(n_taxa)]
    bases = [random_tree(taxa, rng) for _ in range(4)]
    out = []
    for _ in range(n_trees):
        base = rng.choice(bases)
        out.append((base if rng.random() < 0.6 else random_tree(taxa, rng)) + ";")
    return out


def nodes_of(newick):
    """(clade, children) of each inner node (frozensets), and the leaves; labels, lengths and comments ignored."""
    text = re.sub(r":[^,();]*", "", re.sub(r"\[[^\]]*\]", "", newick))
    stack, nodes, leaves, i = [[]], [], set(), 0
    while i < len(text):
        c = text[i]
        if c == "(":
            stack.append([])
            i += 1
        elif c == ")":
            kids = stack.pop()
            assert len(kids) == 2, newick
            nodes.append((kids[0] | kids[1], frozenset(kids)))
            stack[-1].append(kids[0] | kids[1])
            i += 1 + re.match(r"[^,();]*", text[i + 1 :]).end()  # the node's label
        elif c in ",; \t":
            i += 1
        else:
            name = re.match(r"[^,();\s]+", text[i:]).group(0)
            leaves.add(name)
            stack[-1].append(frozenset([name]))
            i += len(name)
    return nodes, frozenset(leaves)


class Reference:
    """CCD1 and CCD0 of a list of Newick trees, from the definitions."""

    def __init__(self, trees):
        self.n = len(trees)
        self.clade_count = {}
        self.split_count = {}
        for text in trees:
            nodes, leaves = nodes_of(text)
            self.leaves = leaves
            for clade, kids in nodes:
                self.clade_count[clade] = self.clade_count.get(clade, 0) + 1
                self.split_count[(clade, kids)] = self.split_count.get((clade, kids), 0) + 1
        for leaf in self.leaves:
            self.clade_count[frozenset([leaf])] = self.n

    def splits(self, clade, kind):
        if kind == "ccd1":
            return [kids for (c, kids) in self.split_count if c == clade]
        out = []
        for part in self.clade_count:
            rest = clade - part
            if part < clade and rest in self.clade_count and min(part) == min(clade):
                out.append(frozenset([part, rest]))
        return out

    def trees(self, clade, kind):
        """Every subtree of the graph below `clade`, as lists of (clade, children)."""
        if len(clade) == 1:
            return [[]]
        out = []
        for kids in self.splits(clade, kind):
            a, b = tuple(kids)
            for left, right in product(self.trees(a, kind), self.trees(b, kind)):
                out.append([(clade, kids), *left, *right])
        return out

    def score(self, nodes, kind):
        """CCD1: the probability; CCD0: the product of clade frequencies (before normalising)."""
        p = 1.0
        for clade, kids in nodes:
            if clade not in self.clade_count or any(k not in self.clade_count for k in kids):
                return 0.0
            if kind == "ccd1":
                p *= self.split_count.get((clade, kids), 0) / self.clade_count[clade]
            else:
                p *= self.clade_count[clade] / self.n
        return p


def as_newick(nodes):
    children = dict(nodes)

    def write(clade):
        if len(clade) == 1:
            return next(iter(clade))
        a, b = sorted(children[clade], key=min)
        return f"({write(a)},{write(b)})"

    return write(max(children, key=len)) + ";"


class TestAgainstEnumeration:
    @pytest.mark.parametrize("n_taxa, n_trees, seed", [(4, 6, 1), (5, 20, 2), (6, 30, 3), (7, 40, 4), (8, 60, 5)])
    def test_every_tree_of_the_graph(self, n_taxa, n_trees, seed):
        trees = sample(n_taxa, n_trees, seed)
        ref = Reference(trees)
        ts = TreeSet.from_newick(trees, rooted=True)
        root = frozenset(ref.leaves)
        for kind in ("ccd1", "ccd0"):
            every = ref.trees(root, kind)
            scores = [ref.score(t, kind) for t in every]
            total = sum(scores)
            probs = [s / total for s in scores] if kind == "ccd0" else scores
            assert math.isclose(sum(probs), 1.0, rel_tol=1e-9)
            got = ts.ccd_log_probability([as_newick(t) for t in every], kind)
            for p, g in zip(probs, got, strict=True):
                assert math.isclose(g, math.log(p), rel_tol=1e-9, abs_tol=1e-12)
            best = ts.ccd_map(kind)
            assert math.isclose(best.log_trees_ccd1 if kind == "ccd1" else best.log_trees_ccd0, math.log(len(every)))
            assert math.isclose(getattr(best, f"log_probability_{kind}"), math.log(max(probs)), rel_tol=1e-9)
            map_nodes, _ = nodes_of(best.newick)
            assert math.isclose(ref.score(map_nodes, kind) / (total if kind == "ccd0" else 1), max(probs))

    def test_trees_outside_the_graph(self):
        trees = ["((A,B),(C,D));", "((A,B),(C,D));", "((A,C),(B,D));", "(((A,B),C),D);"]
        ts = TreeSet.from_newick(trees, rooted=True)
        # a clade never seen; a split CCD1 never saw but CCD0's graph holds ((A,C),B)
        unseen, recombined = "(((A,D),B),C);", "(((A,C),B),D);"
        assert ts.ccd_log_probability([unseen, recombined]) == [-math.inf, -math.inf]
        ccd0 = ts.ccd_log_probability([unseen, recombined], "ccd0")
        assert ccd0[0] == -math.inf
        assert math.isclose(ccd0[1], math.log(0.25 * 0.25 / 0.6875))


class TestSampledTrees:
    # more than 64 taxa: clades of more than one word
    @pytest.mark.parametrize("n_taxa, n_trees, seed", [(20, 300, 11), (70, 120, 13)])
    def test_the_definitions_on_sampled_trees(self, n_taxa, n_trees, seed):
        trees = sample(n_taxa, n_trees, seed)
        ref = Reference(trees)
        ts = TreeSet.from_newick(trees, rooted=True)
        ccd1 = ts.ccd_log_probability(trees, "ccd1")
        ccd0 = ts.ccd_log_probability(trees, "ccd0")
        for text, g1, g0 in zip(trees, ccd1, ccd0, strict=True):
            nodes, _ = nodes_of(text)
            assert math.isclose(g1, math.log(ref.score(nodes, "ccd1")), rel_tol=1e-9)
            # CCD0 up to its normaliser: differences from the first tree are sums of log frequencies
            first, _ = nodes_of(trees[0])
            want = math.log(ref.score(nodes, "ccd0")) - math.log(ref.score(first, "ccd0"))
            assert math.isclose(g0 - ccd0[0], want, rel_tol=1e-9, abs_tol=1e-9)
        best0 = ts.ccd_map("ccd0")
        mcc = trees[ts.mcc()]
        assert best0.log_probability_ccd0 >= ts.ccd_log_probability(mcc, "ccd0") - 1e-12
        assert best0.log_probability_ccd0 >= max(ccd0) - 1e-12
        assert ts.ccd_map("ccd1").log_probability_ccd1 >= max(ccd1) - 1e-12

    def test_the_same_for_every_thread_count(self):
        trees = sample(30, 400, 12)
        results = []
        for threads in (1, 2, 3):
            ts = TreeSet.from_newick(trees, rooted=True, threads=threads)
            results.append([ts.ccd_map(kind) for kind in ("ccd1", "ccd0")])
            results[-1].append(ts.ccd_log_probability(trees[:50], "ccd0"))
        for other in results[1:]:
            for a, b in zip(results[0][:2], other[:2], strict=True):
                assert (a.newick, a.log_probability_ccd1, a.log_probability_ccd0) == (
                    b.newick,
                    b.log_probability_ccd1,
                    b.log_probability_ccd0,
                )
                assert (a.log_trees_ccd1, a.log_trees_ccd0) == (b.log_trees_ccd1, b.log_trees_ccd0)
            assert results[0][2] == other[2]

    def test_mean_lengths_and_supports_in_the_newick(self):
        ts = TreeSet.from_newick(["((A:1,B:1):2,C:3);", "((A:1,B:1):4,C:5);", "((A:1,C:1):1,B:2);"], rooted=True)
        # a leaf's branch is its mean over every tree, a clade's over the trees holding it
        assert ts.ccd_map("ccd1").newick == "[&R] ((A:1.0,B:1.3333333333333333)0.666667:3.0,C:3.0);"


class TestRefused:
    def test_bad_sets_and_trees(self):
        multi = TreeSet.from_newick(["((A,B),(C,D));", "((A,B),C,D);"], rooted=True, names=["one", "two"])
        with pytest.raises(ValueError, match="binary trees: two has a node of more than two children"):
            multi.ccd_map()
        with pytest.raises(ValueError, match="rooted"):
            TreeSet.from_newick(["((A,B),(C,D));"], rooted=False).ccd_map()
        ts = TreeSet.from_newick(["((A,B),(C,D));"], rooted=True)
        with pytest.raises(ValueError, match="kind must be"):
            ts.ccd_map("ccd2")
        with pytest.raises(ValueError, match="not binary"):
            ts.ccd_log_probability("(A,B,(C,D));")
        with pytest.raises(ValueError, match="has E that the trees summarised lack"):
            ts.ccd_log_probability("((A,B),(C,(D,E)));")
