"""The quartet distance: equal to an enumeration of every quartet, the same bits for every thread count and block,
and the properties of a metric, on binary and multifurcating trees."""

import itertools
import random

import numpy as np
import pytest
from cladomatic_tools.treeset import TreeSet
from trees import Node, edge_splits, grow, newick


def topologies(root, names):
    """Per set of four leaves (in combinations' order) 0, 1, 2 for ab|cd, ac|bd, ad|bc, 3 when unresolved: a
    split separates a, b from c, d when a and b lie on one side and c and d on the other."""
    sides = list(edge_splits(root, rooted=False))
    mask = {name: sum(1 << k for k, side in enumerate(sides) if name in side) for name in names}
    found = []
    for a, b, c, d in itertools.combinations(names, 4):
        ma, mb, mc, md = mask[a], mask[b], mask[c], mask[d]
        for topology, (w, x, y, z) in enumerate([(ma, mb, mc, md), (ma, mc, mb, md), (ma, md, mb, mc)]):
            if ~(w ^ x) & ~(y ^ z) & (w ^ y):
                found.append(topology)
                break
        else:
            found.append(3)
    return np.array(found, dtype=np.int8)


def enumerated(roots, names):
    every = [topologies(root, names) for root in roots]
    return np.array([[np.count_nonzero(x != y) for y in every] for x in every], dtype=float)


def collapsed(node, rng, rate):
    """The tree with a share `rate` of its internal edges contracted: nodes of any degree."""
    if node.name is not None:
        return node
    children = []
    for child in (collapsed(child, rng, rate) for child in node.children):
        children.extend(child.children if child.name is None and rng.random() < rate else [child])
    return Node(children, length=node.length)


def random_roots(seed, n_trees, n_leaves, rate):
    rng = random.Random(seed)
    names = [f"t{i}" for i in range(n_leaves)]
    return names, [collapsed(grow(rng, names, multifurcation=0.3), rng, rate) for _ in range(n_trees)]


@pytest.mark.parametrize(
    ("seed", "n_trees", "n_leaves", "rate"),
    [(1, 6, 4, 0.3), (2, 9, 7, 0.3), (3, 8, 16, 0.0), (4, 8, 16, 0.4), (5, 6, 30, 0.0), (6, 6, 30, 0.25)],
)
def test_equal_to_the_enumeration(seed, n_trees, n_leaves, rate):
    names, roots = random_roots(seed, n_trees, n_leaves, rate)
    binary = [root for root in random_roots(seed, 2, n_leaves, 0.0)[1]]
    star = Node([Node(name=name) for name in names])
    roots += [*binary, star, collapsed(roots[0], random.Random(seed), 0.9)]
    trees = TreeSet.from_newick([newick(root) for root in roots])
    expected = enumerated(roots, names)
    assert np.array_equal(trees.distances("quartet"), expected)
    total = n_leaves * (n_leaves - 1) * (n_leaves - 2) * (n_leaves - 3) / 24
    np.testing.assert_allclose(trees.distances("quartet_norm"), expected / total, rtol=1e-15)


def test_worked_values():
    """Five leaves, five quartets, each of them resolved by ((A,B),C,(D,E)): ((A,C),B,(D,E)) resolves ABCD and
    ABCE otherwise, the star none of them, ((A,B),(C,D),E) ACDE and BCDE otherwise; fewer than four leaves, none."""
    trees = TreeSet.from_newick(["((A,B),C,(D,E));", "((A,C),B,(D,E));", "(A,B,C,D,E);", "((A,B),(C,D),E);"])
    assert trees.distances("quartet")[0].tolist() == [0.0, 2.0, 5.0, 2.0]
    assert trees.distances("quartet_norm")[0, 1] == 0.4
    assert TreeSet.from_newick(["(A,B,C);", "(A,C,B);"]).distances("quartet").tolist() == [[0, 0], [0, 0]]


def test_one_interchange_among_many_leaves():
    """Past what enumeration reaches (and past 32-bit sums): four random subtrees A, B, C, D of a, b, c, d leaves
    joined as AB|CD, as AC|BD, and at one node. They differ exactly on the quartets with a leaf in each subtree."""
    rng = random.Random(8)
    sizes = (100, 120, 110, 125)
    parts = [grow(rng, [f"{side}{i}" for i in range(size)], root_degree=2) for side, size in zip("abcd", sizes)]
    a, b, c, d = (newick(part)[:-1] for part in parts)
    trees = TreeSet.from_newick([f"({a},{b},({c},{d}));", f"({a},{c},({b},{d}));", f"({a},{b},{c},{d});"])
    differ = float(np.prod(sizes))
    assert trees.distances("quartet").tolist() == [[0, differ, differ], [differ, 0, differ], [differ, differ, 0]]
    n = sum(sizes)
    assert trees.distances("quartet_norm")[0, 1] == differ / (n * (n - 1) * (n - 2) * (n - 3) / 24)


@pytest.mark.parametrize("rate", [0.0, 0.3])
def test_same_bits_for_every_thread_count_and_block(rate):
    _, roots = random_roots(7, 40, 23, rate)
    texts = [newick(root) for root in roots]
    trees = TreeSet.from_newick(texts)
    whole = trees.distances("quartet", threads=1)
    for threads in (2, 3, 8):
        assert trees.distances("quartet", threads=threads).tobytes() == whole.tobytes()
    rng = np.random.default_rng(3)
    for _ in range(4):
        rows = rng.integers(0, len(trees), 13)
        cols = rng.integers(0, len(trees), 29)
        assert trees.distances("quartet", rows=rows, cols=cols).tobytes() == whole[np.ix_(rows, cols)].tobytes()
    chunked = np.vstack(list(trees.distances_chunked("quartet", working_memory=7 * 40 * 8 / 2**20)))
    assert chunked.tobytes() == whole.tobytes()
    other = TreeSet.from_newick(texts[::-1])
    assert trees.against(other, "quartet").tobytes() == whole[:, ::-1].tobytes()


def shuffled(root, rng):
    if root.name is not None:
        return Node(name=root.name, length=root.length)
    children = [shuffled(child, rng) for child in root.children]
    rng.shuffle(children)
    return Node(children, length=root.length)


def test_properties_of_a_metric():
    _, roots = random_roots(11, 25, 12, 0.3)
    texts = [newick(root) for root in roots]
    matrix = TreeSet.from_newick(texts + texts[:3]).distances("quartet")
    assert np.array_equal(matrix, matrix.T)
    assert not matrix.diagonal().any() and not matrix[:3, 25:].diagonal().any()
    a, b, c = np.meshgrid(*[np.arange(25)] * 3, indexing="ij")
    assert (matrix[a, c] <= matrix[a, b] + matrix[b, c]).all()
    rng = random.Random(5)
    rewritten = [newick(shuffled(root, rng)) for root in roots]
    assert TreeSet.from_newick(rewritten).distances("quartet").tobytes() == matrix[:25, :25].tobytes()
    # renamed leaves sort otherwise, so each tree is hung from another leaf
    renamed = [text.replace("t", "z").replace("z1", "a1") for text in texts]
    assert TreeSet.from_newick(renamed).distances("quartet").tobytes() == matrix[:25, :25].tobytes()


def test_rooted_trees_and_pairwise_pruning_are_refused():
    with pytest.raises(ValueError, match="quartet is defined for unrooted trees only"):
        TreeSet.from_newick(["((A,B),(C,D));"], rooted=True).distances("quartet")
    differing = TreeSet.from_newick(["((A,B),(C,(D,E)));", "((A,C),(B,D));"], taxa="any")
    with pytest.raises(ValueError, match="quartet_norm has no pairwise pruning"):
        differing.distances("quartet_norm", prune="pairwise")
    assert differing.distances("quartet", prune="common")[0, 1] == 1.0
