"""Random trees written as Newick text, with their splits computed from the
structure itself: an oracle that shares nothing with the module's reader."""

import math
import random


class Node:
    def __init__(self, children=(), name=None, length=0.0):
        self.children = list(children)
        self.name = name
        self.length = length

    def newick(self):
        if self.name is not None:
            text = self.name
        else:
            text = "(" + ",".join(child.newick() for child in self.children) + ")"
        return f"{text}:{self.length!r}"


def random_tree(rng, names, multifurcation=0.25):
    """A root of degree 3 (so no edge is split by the root) over shuffled leaves."""
    items = [Node(name=name, length=round(rng.uniform(0.0, 2.0), 4)) for name in names]
    rng.shuffle(items)
    while len(items) > 3:
        k = 3 if rng.random() < multifurcation and len(items) > 5 else 2
        picked = [items.pop(rng.randrange(len(items))) for _ in range(k)]
        items.append(Node(picked, length=round(rng.uniform(0.0, 2.0), 4)))
    return Node(items, length=None)


def newick(root):
    return "(" + ",".join(child.newick() for child in root.children) + ");"


def splits(root, rooted):
    """Split (frozenset of leaf names) -> branch length, pendant edges included."""
    found = {}
    every = frozenset(_collect(root, found))
    first = min(every, key=lambda name: name.encode())
    if rooted:
        return found
    # The canonical side lacks the first leaf; a pendant edge stays its leaf.
    return {(every - side if first in side and len(side) > 1 else side): length for side, length in found.items()}


def _collect(node, found):
    if node.name is not None:
        leaves = frozenset([node.name])
    else:
        leaves = frozenset().union(*(_collect(child, found) for child in node.children))
    if node.length is not None:
        found[leaves] = node.length
    return leaves


def rf(a, b):
    return len(a.keys() ^ b.keys())


def wrf(a, b):
    return sum(abs(a.get(s, 0.0) - b.get(s, 0.0)) for s in a.keys() | b.keys())


def kf(a, b):
    return math.sqrt(sum((a.get(s, 0.0) - b.get(s, 0.0)) ** 2 for s in a.keys() | b.keys()))


def forest(seed, n_trees, n_leaves):
    rng = random.Random(seed)
    names = [f"t{i}" for i in range(n_leaves)]
    return [random_tree(rng, names) for _ in range(n_trees)]


def grow(rng, names, root_degree=3, multifurcation=0.25, unary=0.0, length=None):
    """A tree of any root degree (1 makes a single-child root), with
    multifurcations and, at rate `unary`, single-child nodes below the root's
    children. `length(rng)` draws branch lengths."""
    length = length or (lambda r: round(r.uniform(0.0, 2.0), 4))
    items = [Node(name=name, length=length(rng)) for name in names]
    rng.shuffle(items)

    def take():
        item = items.pop(rng.randrange(len(items)))
        return Node([item], length=length(rng)) if rng.random() < unary else item

    while len(items) > root_degree:
        k = 3 if rng.random() < multifurcation and len(items) > root_degree + 2 else 2
        picked = [take() for _ in range(k)]
        items.append(Node(picked, length=length(rng)))
    return Node(items, length=None)


def edge_splits(root, rooted):
    """Split -> branch length over every edge, the edges that a tree's shape
    makes one split summed: a chain of single-child nodes and, unrooted, the
    two halves of an edge cut by a root of degree 2 (when one half lies above
    a single leaf, that leaf's pendant edge). Unrooted sides lack the first
    leaf in byte order; the whole leaf set is no split."""
    edges = []
    every = frozenset(_edges(root, edges))
    first = min(every, key=lambda name: name.encode())
    found = {}
    for side, length in edges:
        if not rooted:
            rest = every - side
            if len(rest) == 1 or (len(side) > 1 and first in side):
                side = rest
        if side and side != every:
            found[side] = found.get(side, 0.0) + length
    return found


def _edges(root, edges):
    # Iterative, so very deep trees do not hit the recursion limit.
    leaves = {}
    stack = [(root, False)]
    while stack:
        node, done = stack.pop()
        if node.name is not None:
            leaves[id(node)] = frozenset([node.name])
        elif not done:
            stack.append((node, True))
            stack.extend((child, False) for child in node.children)
            continue
        else:
            leaves[id(node)] = frozenset().union(*(leaves[id(child)] for child in node.children))
        if node.length is not None:
            edges.append((leaves[id(node)], node.length))
    return leaves[id(root)]


def pooled_forest(seed, n_trees, n_leaves, repeats, length=None):
    """Trees drawn from a pool of shapes, each shape repeated the given number
    of times, the rest random, in shuffled order: their splits are held by
    chosen numbers of trees around the dense threshold. Each copy of a shape
    draws its own branch lengths."""
    rng = random.Random(seed)
    length = length or (lambda r: round(r.uniform(0.0, 2.0), 4))
    names = [f"t{i}" for i in range(n_leaves)]

    def copy(node):
        children = [copy(child) for child in node.children]
        return Node(children, node.name, None if node.length is None else length(rng))

    trees = [copy(shape) for count in repeats for shape in [grow(rng, names)] for _ in range(count)]
    trees += [grow(rng, names, length=length) for _ in range(n_trees - len(trees))]
    rng.shuffle(trees)
    return trees


def information(side, n):
    """Phylogenetic information of a split of a and n - a leaves, from the double factorials."""

    def double_factorial(k):
        return math.prod(range(k, 0, -2)) if k > 0 else 1

    a, b = len(side), n - len(side)
    return -math.log2(double_factorial(2 * a - 3) * double_factorial(2 * b - 3) / double_factorial(2 * n - 5))


def oracle(metric, a, b, n_leaves):
    """The metric from split dictionaries (pendant edges included)."""
    inner_a = {s for s in a if len(s) > 1}
    inner_b = {s for s in b if len(s) > 1}
    if metric == "rf":
        return rf(a, b)
    if metric == "rf_norm":
        total = len(inner_a) + len(inner_b)
        return rf(a, b) / total if total else 0.0
    if metric == "info_rf":
        return sum(information(s, n_leaves) for s in inner_a ^ inner_b)
    return {"wrf": wrf, "kf": kf}[metric](a, b)


def gene_trees(seed, n_trees, n_taxa, unary=0.0, root_degree=3, core=0):
    """Trees over random subsets of n_taxa taxa, each holding the first `core`: one holding every taxon, one
    holding 4 and the rest 3 to all, every third with the taxa of the one before (compared by split ids)."""
    rng = random.Random(seed)
    names = [f"t{i}" for i in range(n_taxa)]
    sets = [names, names[:4]]
    while len(sets) < n_trees:
        k = rng.randint(3, n_taxa)
        sets.append(sets[-1] if len(sets) % 3 == 2 else names[:core] + rng.sample(names[core:], max(k - core, 0)))
    return [
        newick(grow(rng, taxa, root_degree=min(root_degree, len(taxa)), unary=unary, multifurcation=0.2))
        for taxa in sets
    ]
