"""The generalised RF distances (cid, cid_norm, pid, msid, msd) against a plain reference of each definition, its
matching solved by SciPy's linear_sum_assignment over every split of both trees: random trees with
multifurcations up to 30 leaves, and trees sharing most of their splits, where the kernels match shared splits to
themselves before solving. Then the same bits for every thread count and block, and the properties."""

import math
import random

import numpy as np
import pytest
from cladomatic_tools.treeset import TreeSet
from scipy.optimize import linear_sum_assignment  # type: ignore[import-untyped]
from trees import Node, edge_splits, grow, newick

METRICS = ("cid", "cid_norm", "pid", "msid", "msd")


# the plain reference, apart from the kernels


def log2_double_factorial(k):
    """log2 k!! for odd k, (-1)!! = 1."""
    return sum(math.log2(i) for i in range(3, k + 1, 2))


def information(a, b):
    """The phylogenetic information of a split of a and b leaves on a + b leaves; 0 with an empty side."""
    if a == 0 or b == 0:
        return 0.0
    return log2_double_factorial(2 * (a + b) - 5) - log2_double_factorial(2 * a - 3) - log2_double_factorial(2 * b - 3)


def clustering(side, other, leaves):
    n = len(leaves)
    total = 0.0
    for p in (side, leaves - side):
        for q in (other, leaves - other):
            x = len(p & q)
            if x:
                total += x / n * math.log2(n * x / (len(p) * len(q)))
    return total


def shared_phylogenetic(side, other, leaves):
    """h(S) + h(S') - h(S and S'), from the number of binary trees holding both: a tree on the inner side, one on
    the outer, and an unrooted tree on the leaves between plus the two edges that lead to them."""
    n = len(leaves)
    for inner in (side, leaves - side):
        for outer in (other, leaves - other):
            if inner <= outer or outer <= inner:
                small, large = sorted((inner, outer), key=len)
                both = (
                    log2_double_factorial(2 * len(small) - 3)
                    + log2_double_factorial(2 * (n - len(large)) - 3)
                    + log2_double_factorial(2 * (len(large) - len(small) + 2) - 5)
                )
                joint = log2_double_factorial(2 * n - 5) - both
                return information(len(side), n - len(side)) + information(len(other), n - len(other)) - joint
    return 0.0


def matching_split_information(side, other, leaves):
    rest, others = leaves - side, leaves - other
    return max(
        information(len(side & other), len(rest & others)), information(len(side & others), len(rest & other))
    )


def matching_cost(side, other, leaves):
    apart = len(side ^ other)
    return min(apart, len(leaves) - apart)


def nontrivial(root):
    sides = [side for side in edge_splits(root, rooted=False) if len(side) >= 2]
    leaves = frozenset().union(*edge_splits(root, rooted=False))
    return [side for side in sides if len(leaves) - len(side) >= 2], leaves


def reference(metric, one, two):
    splits1, leaves = nontrivial(one)
    splits2, _ = nontrivial(two)
    if metric == "msd":
        m = max(len(splits1), len(splits2))
        padded1 = splits1 + [frozenset()] * (m - len(splits1))
        padded2 = splits2 + [frozenset()] * (m - len(splits2))
        if not m:
            return 0.0
        cost = np.array([[matching_cost(s, t, leaves) for t in padded2] for s in padded1])
        rows, cols = linear_sum_assignment(cost)
        return float(cost[rows, cols].sum())
    score = {"cid": clustering, "cid_norm": clustering, "pid": shared_phylogenetic, "msid": matching_split_information}
    pair = score[metric]
    own = sum(pair(s, s, leaves) for s in splits1) + sum(pair(t, t, leaves) for t in splits2)
    if not splits1 or not splits2:
        return own if metric != "cid_norm" or own == 0 else 1.0
    similarity = np.array([[pair(s, t, leaves) for t in splits2] for s in splits1])
    rows, cols = linear_sum_assignment(similarity, maximize=True)
    distance = own - 2 * similarity[rows, cols].sum()
    if metric == "cid_norm":
        return distance / own if own else 0.0
    return distance


def reference_matrix(metric, roots):
    return np.array([[reference(metric, a, b) for b in roots] for a in roots])


# trees


def random_roots(seed, n_trees, n_leaves):
    rng = random.Random(seed)
    names = [f"t{i}" for i in range(n_leaves)]
    return [grow(rng, names, multifurcation=0.3) for _ in range(n_trees)]


def copy(node):
    if node.name is not None:
        return Node(name=node.name, length=node.length)
    return Node([copy(child) for child in node.children], length=node.length)


def nearby(root, rng, collapse=0.15, regroup=0.3):
    """A tree sharing most of `root`'s splits, as trees of one posterior do: some inner edges collapsed, and some
    nodes' children regrouped in pairs, which makes splits `root` lacks."""

    def visit(node, top):
        if node.name is not None:
            return [copy(node)]
        children = [grandchild for child in node.children for grandchild in visit(child, False)]
        while len(children) > 3 and rng.random() < regroup:
            a, b = rng.sample(range(len(children)), 2)
            pair = [children[a], children[b]]
            children = [c for k, c in enumerate(children) if k not in (a, b)] + [Node(pair, length=0.5)]
        if top or rng.random() >= collapse:
            return [Node(children, length=None if top else node.length)]
        return children

    return visit(root, True)[0]


def posterior_roots(seed, n_trees, n_leaves):
    rng = random.Random(seed)
    base = random_roots(seed, 1, n_leaves)[0]
    return [nearby(base, rng) for _ in range(n_trees)]


def tree_set(roots):
    return TreeSet.from_newick([newick(root) for root in roots])


CASES = {
    "random, 6 leaves": lambda: random_roots(1, 8, 6),
    "random, 11 leaves": lambda: random_roots(2, 8, 11),
    "random, 30 leaves": lambda: random_roots(3, 6, 30),
    "nearby, 16 leaves": lambda: posterior_roots(4, 10, 16),
    "nearby, 30 leaves": lambda: posterior_roots(5, 8, 30),
}


@pytest.mark.parametrize("case", list(CASES))
@pytest.mark.parametrize("metric", METRICS)
def test_equal_to_the_plain_definition(metric, case):
    roots = CASES[case]()
    found = tree_set(roots).distances(metric)
    np.testing.assert_allclose(found, reference_matrix(metric, roots), rtol=1e-12, atol=1e-12)


def test_worked_values():
    """AB|CD against AC|BD: one split each of entropy 1 bit and information log2 3 bits, sharing neither
    clustering information (every intersection holds one leaf of four) nor phylogenetic information (they cannot
    be in one tree), the largest split both agree with being trivial; two leaves move either way."""
    trees = TreeSet.from_newick(["((A,B),(C,D));", "((A,C),(B,D));", "(A,B,C,D);"])
    want = {
        "cid": [2.0, 1.0],
        "cid_norm": [1.0, 1.0],
        "pid": [2 * math.log2(3), math.log2(3)],
        "msid": [2 * math.log2(3), math.log2(3)],
        "msd": [2.0, 2.0],
    }
    for metric, (differing, against_star) in want.items():
        matrix = trees.distances(metric)
        assert matrix[0, 1] == pytest.approx(differing, rel=1e-15), metric
        assert matrix[0, 2] == pytest.approx(against_star, rel=1e-15), metric
        assert not matrix.diagonal().any()


@pytest.mark.parametrize("metric", METRICS)
def test_same_bits_for_every_thread_count_and_block(metric):
    roots = posterior_roots(6, 24, 20) + random_roots(7, 12, 20)
    trees = tree_set(roots)
    whole = trees.distances(metric, threads=1)
    for threads in (2, 5):
        assert trees.distances(metric, threads=threads).tobytes() == whole.tobytes()
    rng = np.random.default_rng(8)
    for _ in range(3):
        rows, cols = rng.integers(0, len(trees), 9), rng.integers(0, len(trees), 17)
        assert trees.distances(metric, rows=rows, cols=cols).tobytes() == whole[np.ix_(rows, cols)].tobytes()
    other = tree_set(roots[::-1])
    np.testing.assert_allclose(trees.against(other, metric), whole[:, ::-1], rtol=1e-13, atol=1e-13)


@pytest.mark.parametrize("metric", METRICS)
def test_properties(metric):
    roots = posterior_roots(9, 14, 12) + random_roots(10, 8, 12)
    texts = [newick(root) for root in roots]
    matrix = TreeSet.from_newick(texts + texts[:2]).distances(metric)
    assert np.array_equal(matrix, matrix.T) and (matrix >= 0).all()
    assert not matrix.diagonal().any() and not matrix[:2, len(roots) :].diagonal().any()
    if metric == "msd":  # a metric (Bogdanowicz and Giaro)
        a, b, c = np.meshgrid(*[np.arange(len(roots))] * 3, indexing="ij")
        assert (matrix[a, c] <= matrix[a, b] + matrix[b, c]).all()
    if metric == "cid_norm":
        assert (matrix <= 1 + 1e-15).all()
    # the leaves renamed (sorted otherwise) and the trees written otherwise give the same distances
    renamed = [text.replace("t", "z").replace("z1", "a1") for text in texts]
    rng = random.Random(11)

    def shuffled(node):
        if node.name is not None:
            return Node(name=node.name, length=node.length)
        children = [shuffled(child) for child in node.children]
        rng.shuffle(children)
        return Node(children, length=node.length)

    for other in (renamed, [newick(shuffled(root)) for root in roots]):
        found = TreeSet.from_newick(other).distances(metric)
        np.testing.assert_allclose(found, matrix[: len(roots), : len(roots)], rtol=1e-12, atol=1e-12)


def test_rooted_trees_are_refused_by_name():
    rooted = TreeSet.from_newick(["((A,B),(C,D));", "((A,C),(B,D));"], rooted=True)
    for metric in METRICS:
        with pytest.raises(ValueError, match=f"{metric} is defined for unrooted trees only"):
            rooted.distances(metric)


def test_a_shared_split_left_unmatched_to_itself():
    """T = {AB, ABD} and T' = {AB, ABC} of eight leaves: ABC and ABD cannot be in one tree, and each shares more
    than half of AB's phylogenetic information, so the best matching pairs AB with ABC and ABD with AB, for pid
    and msid alike; matching AB to itself would overstate the distance."""
    texts = ["(((A,B),D),C,E,F,G,H);", "(((A,B),C),D,E,F,G,H);"]
    trees = TreeSet.from_newick(texts)
    roots = [tree_roots_of(text) for text in texts]
    for metric in ("pid", "msid"):
        best = reference(metric, *roots)
        self_matched = reference_self_matched(metric, *roots)
        assert best < self_matched
        assert trees.distances(metric)[0, 1] == pytest.approx(best, rel=1e-12)


def tree_roots_of(text):
    """The Node tree of a Newick text of names and parentheses only."""
    stack = [[]]
    name = ""
    for char in text.rstrip(";"):
        if char == "(":
            stack.append([])
        elif char in ",)":
            if name:
                stack[-1].append(Node(name=name, length=1.0))
                name = ""
            if char == ")":
                children = stack.pop()
                stack[-1].append(Node(children, length=1.0))
        else:
            name += char
    return Node(stack[0][0].children, length=None)


def reference_self_matched(metric, one, two):
    """The distance with every shared split matched to itself first."""
    splits1, leaves = nontrivial(one)
    splits2, _ = nontrivial(two)
    pair = {"pid": shared_phylogenetic, "msid": matching_split_information}[metric]
    shared = set(splits1) & set(splits2)
    rest1, rest2 = [s for s in splits1 if s not in shared], [t for t in splits2 if t not in shared]
    own = sum(pair(s, s, leaves) for s in rest1) + sum(pair(t, t, leaves) for t in rest2)
    similarity = np.array([[pair(s, t, leaves) for t in rest2] for s in rest1]).reshape(len(rest1), len(rest2))
    rows, cols = linear_sum_assignment(similarity, maximize=True)
    return own - 2 * similarity[rows, cols].sum()
