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
