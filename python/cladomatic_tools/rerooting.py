"""A summary tree of unrooted trees rooted on the branch that separates an outgroup from the other taxa.

What a summary says of a node (its support, the spread of its split, its length) belongs to the branch above
it, that is to a split, and stays with that split whatever the root: when the path from the old basal node to
the outgroup's branch is turned around, each node on it takes the values of the branch it now hangs from, which
was the branch above its former child. The outgroup's branch becomes the root: both of its halves, and the root
itself, carry that split's values, and its length is shared equally between the halves.
"""

from collections.abc import Sequence
from dataclasses import fields, replace

import numpy as np

from cladomatic_tools.summaries import Spread, SummaryTree


def _outgroup_mask(tree: SummaryTree, outgroup: Sequence[str]) -> int:
    """The outgroup's taxa as a bit mask over `tree.leaf_names`; raises ValueError for names the tree lacks, an
    empty outgroup or one of every taxon."""
    index = {name: k for k, name in enumerate(tree.leaf_names)}
    unknown = [name for name in outgroup if name not in index and name.replace(" ", "_") not in index]
    if unknown:
        raise ValueError(f"the outgroup names {', '.join(unknown)}, which the trees do not hold")
    taxa = {index.get(name, index.get(name.replace(" ", "_"))) for name in outgroup}
    if not taxa:
        raise ValueError("the outgroup names no taxon")
    if len(taxa) == len(tree.leaf_names):
        raise ValueError("the outgroup holds every taxon: some must be left for the ingroup")
    return sum(1 << k for k in taxa if k is not None)


def reroot(tree: SummaryTree, outgroup: Sequence[str]) -> SummaryTree:
    """A summary tree of unrooted trees rooted between an outgroup and the other taxa.

    Parameters
    ----------
    tree : SummaryTree
        A consensus, MCC or support tree of unrooted trees.
    outgroup : sequence of str
        Taxa of `tree`; a name may give blanks for its underscores.

    Returns
    -------
    SummaryTree
        Rooted, each value kept on its split (see the module's docstring), the children of every node in order of
        their first leaf.

    Raises
    ------
    ValueError
        When the trees are rooted, the outgroup names a taxon the tree lacks, holds no taxon or every taxon, or is
        not one side of a branch of the tree.

    Examples
    --------
    >>> from cladomatic_tools import summaries
    >>> from cladomatic_tools.treeset import TreeSet
    >>> ts = TreeSet.from_newick(["(A,B,(C,(D,E)));", "(A,B,(C,(D,E)));", "(A,C,(B,(D,E)));"])
    >>> summaries.newick(reroot(summaries.consensus(ts), ["D", "E"]))
    '[&R] (((A,B)0.666667,C)1.000000,(D,E)1.000000)1.000000;'
    """
    if tree.rooted:
        raise ValueError("the trees are rooted, so their splits are clades: an outgroup applies to unrooted trees")
    wanted = _outgroup_mask(tree, outgroup)
    parent = tree.parent.tolist()
    leaf = tree.leaf.tolist()
    n = len(parent)
    below = [1 << leaf[v] if leaf[v] >= 0 else 0 for v in range(n)]
    for v in range(n - 1, 0, -1):
        below[parent[v]] |= below[v]
    every = below[0]
    split = next((v for v in range(1, n) if below[v] in (wanted, every ^ wanted)), None)
    if split is None:
        names = sorted(tree.leaf_names[k] for k in range(len(tree.leaf_names)) if wanted >> k & 1)
        raise ValueError(f"the outgroup {', '.join(names)} is not a clade of the written tree")
    neighbours: list[list[int]] = [[] for _ in range(n)]
    for v in range(1, n):
        neighbours[v].append(parent[v])
        neighbours[parent[v]].append(v)
    # Each new node is an old one (or the new root, -1) and takes the values of an old node's branch. The old
    # basal node keeps two children or more: unrooted trees are drawn with three or more there.
    node: list[int] = [-1]
    source: list[int] = [split]
    new_parent: list[int] = [-1]
    halved: list[bool] = [False]
    stack = [(parent[split], split, 0), (split, parent[split], 0)]
    while stack:
        v, came_from, up = stack.pop()
        at = len(node)
        node.append(v)
        source.append(v if parent[v] == came_from else came_from)
        new_parent.append(up)
        halved.append(up == 0)
        for w in neighbours[v]:
            if w != came_from:
                stack.append((w, v, at))
    return _ordered(tree, node, source, new_parent, halved)


def _ordered(
    tree: SummaryTree, node: list[int], source: list[int], parent: list[int], halved: list[bool]
) -> SummaryTree:
    """The rerooted tree in preorder, children in order of their first leaf."""
    leaf = tree.leaf.tolist()
    n = len(node)
    children: list[list[int]] = [[] for _ in range(n)]
    for v in range(1, n):
        children[parent[v]].append(v)
    first = [leaf[node[v]] if node[v] >= 0 and leaf[node[v]] >= 0 else len(leaf) + 1 for v in range(n)]
    for v in _postorder(children):
        for c in children[v]:
            first[v] = min(first[v], first[c])
    order: list[int] = []
    stack = [0]
    while stack:
        v = stack.pop()
        order.append(v)
        stack.extend(sorted(children[v], key=first.__getitem__, reverse=True))
    where = {v: k for k, v in enumerate(order)}
    picked = np.array([source[v] for v in order])
    half = np.array([0.5 if halved[v] else 1.0 for v in order])

    def take(values: np.ndarray | None) -> np.ndarray | None:
        return None if values is None else np.asarray(values)[picked]

    length = None if tree.length is None else np.asarray(tree.length)[picked] * half
    if length is not None:
        length[0] = np.nan
    spread = tree.spread
    if spread is not None:
        spread = Spread(*(take(getattr(spread, field.name)) for field in fields(Spread)))  # type: ignore[arg-type]
    return replace(
        tree,
        parent=np.array([-1] + [where[parent[v]] for v in order[1:]], dtype=np.int32),
        leaf=np.array([leaf[node[v]] if node[v] >= 0 else -1 for v in order], dtype=np.int32),
        count=np.asarray(tree.count)[picked],
        length=length,
        spread=spread,
        rooted=True,
        root_split=True,
    )


def _postorder(children: list[list[int]]) -> list[int]:
    order: list[int] = []
    stack = [0]
    while stack:
        v = stack.pop()
        order.append(v)
        stack.extend(children[v])
    return order[::-1]
