"""Random binary trees with branch lengths, for the benchmarks.

Trees are drawn the way a posterior sample looks: a few base topologies, each
tree a copy of one of them after a few random NNI and SPR moves and with its
branch lengths jittered, so that most splits are shared between trees and a
few are new in each.  Everything is seeded, so a run can be repeated exactly.
"""

import random

# Branch lengths are picked from a fixed table of formatted values, so that
# writing a tree costs no float formatting.  A base length index lies below
# _BASE; jitter adds an offset up to 2 * _SPREAD, read from a fixed random
# table at a random start, so that jittering a tree is one slice.
_BASE = 1024
_SPREAD = 40
_LENGTHS = [f"{0.001 + 0.5 * (k / (_BASE + 2 * _SPREAD)) ** 2:.6f}" for k in range(_BASE + 2 * _SPREAD)]
_OFFSETS = [random.Random(0).randrange(2 * _SPREAD + 1) for _ in range(1 << 16)]


class Tree:
    """Rooted binary tree: leaves 0..n-1, internal nodes n..2n-2.

    children[v] is [a, b] for an internal node and None for a leaf; parent[v]
    is -1 at the root; length[v] + jitter_offsets[v] indexes _LENGTHS for the edge
    above v.
    """

    __slots__ = ("children", "jitter_offsets", "length", "n", "parent", "root")

    def __init__(self, n, children, parent, length, root):
        self.n = n
        self.children = children
        self.parent = parent
        self.length = length
        self.jitter_offsets = [_SPREAD] * len(length)
        self.root = root

    @classmethod
    def random(cls, n, rng):
        """Random topology by attaching leaves one by one to random edges."""
        size = 2 * n - 1
        children = [None] * size
        parent = [-1] * size
        length = [rng.randrange(_BASE) for _ in range(size)]
        tree = cls(n, children, parent, length, 0)
        nxt = n
        for leaf in range(1, n):
            w = rng.randrange(leaf) if leaf == 1 else rng.choice(_attached(tree, leaf, nxt))
            tree._insert_above(w, leaf, nxt)
            nxt += 1
        return tree

    def copy(self):
        return Tree(self.n, [c if c is None else c[:] for c in self.children], self.parent[:],
                    self.length[:], self.root)

    def _insert_above(self, w, v, p):
        """Makes the unused internal node p the parent of w and v, on w's edge."""
        g = self.parent[w]
        self.children[p] = [w, v]
        self.parent[w] = p
        self.parent[v] = p
        self.parent[p] = g
        if g == -1:
            self.root = p
        else:
            kids = self.children[g]
            kids[kids.index(w)] = p

    def nni(self, rng):
        """Swaps a child of a random internal non-root node with its sibling."""
        candidates = [v for v in range(self.n, 2 * self.n - 1) if v != self.root]
        v = rng.choice(candidates)
        p = self.parent[v]
        pk = self.children[p]
        s = pk[1] if pk[0] == v else pk[0]
        vk = self.children[v]
        i = rng.randrange(2)
        c = vk[i]
        vk[i] = s
        pk[pk.index(s)] = c
        self.parent[s] = v
        self.parent[c] = p

    def spr(self, rng):
        """Prunes a random subtree and regrafts it on a random edge outside it."""
        size = 2 * self.n - 1
        while True:
            v = rng.randrange(size)
            if v != self.root:
                break
        p = self.parent[v]
        s = self._sibling(v)
        g = self.parent[p]
        # Prune: s takes p's place.
        self.parent[s] = g
        if g == -1:
            self.root = s
        else:
            gk = self.children[g]
            gk[gk.index(p)] = s
        self.children[p] = None
        self.parent[p] = -1
        while True:
            w = rng.randrange(size)
            if w == p or (self.children[w] is None and w >= self.n) or self._inside(w, v):
                continue
            break
        self._insert_above(w, v, p)

    def _sibling(self, v):
        p = self.parent[v]
        if p == -1:
            return None
        pk = self.children[p]
        return pk[1] if pk[0] == v else pk[0]

    def _inside(self, w, v):
        """True when w lies in the subtree of v (v included)."""
        while w != -1:
            if w == v:
                return True
            w = self.parent[w]
        return False

    def jitter(self, rng):
        start = rng.randrange(len(_OFFSETS) - len(self.length))
        self.jitter_offsets = _OFFSETS[start : start + len(self.length)]

    def newick(self, names):
        out = []
        push = out.append
        children = self.children
        length = self.length
        offsets = self.jitter_offsets
        stack = [self.root]
        # Iterative post-order writer: a negative entry closes node ~entry.
        while stack:
            v = stack.pop()
            if v == ",":
                push(",")
                continue
            if v < 0:
                push("):")
                push(_LENGTHS[length[~v] + offsets[~v]])
                continue
            kids = children[v]
            if kids is None:
                push(names[v])
                push(":")
                push(_LENGTHS[length[v] + offsets[v]])
                continue
            push("(")
            stack.append(~v)
            stack.append(kids[1])
            stack.append(",")
            stack.append(kids[0])
        text = "".join(out)
        # The root carries no length.
        return text[: text.rindex(":")] + ";"


def _attached(tree, leaf, nxt):
    """Nodes already in the tree (each one names the edge above it)."""
    return list(range(leaf)) + list(range(tree.n, nxt))


def bipartitions(tree):
    """The tree's non-trivial bipartitions, each as the leaf bit set without leaf 0."""
    n = tree.n
    full = (1 << n) - 1
    below = [0] * len(tree.children)
    order = []
    stack = [tree.root]
    while stack:
        v = stack.pop()
        order.append(v)
        if tree.children[v] is not None:
            stack.extend(tree.children[v])
    out = set()
    for v in reversed(order):
        kids = tree.children[v]
        mask = 1 << v if kids is None else below[kids[0]] | below[kids[1]]
        below[v] = mask
        size = mask.bit_count()
        if 2 <= size <= n - 2:
            out.add(mask ^ full if mask & 1 else mask)
    return out


def leaf_names(n):
    return [f"taxon_{i:04d}" for i in range(n)]


class Sampler:
    """Perturbed copies of a few base topologies over the same n leaves."""

    def __init__(self, n_leaves=100, n_bases=4, max_moves=4, seed=1):
        self.rng = random.Random(seed)
        self.names = leaf_names(n_leaves)
        self.bases = [Tree.random(n_leaves, self.rng) for _ in range(n_bases)]
        self.max_moves = max_moves

    def tree(self):
        return self.topology().newick(self.names)

    def topology(self):
        """The next tree, unwritten; draws what tree() draws."""
        rng = self.rng
        tree = rng.choice(self.bases).copy()
        for _ in range(rng.randint(min(1, self.max_moves), self.max_moves)):
            if rng.random() < 0.5:
                tree.nni(rng)
            else:
                tree.spr(rng)
        tree.jitter(rng)
        return tree


def newick_stream(count, **options):
    """Yields `count` trees, generated one at a time."""
    sampler = Sampler(**options)
    for _ in range(count):
        yield sampler.tree()
