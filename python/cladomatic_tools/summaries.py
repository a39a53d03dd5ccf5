"""Summary trees of a tree set, and their Newick and NEXUS texts.

Each summary is a pass over the set's interned splits: the majority-rule or greedy consensus, the maximum clade
credibility (MCC) tree, a reference tree with each split labelled by its frequency in the set, and the credible
set of topologies. A summary comes back as a `SummaryTree`, a plain record that the writers turn into text.

Conventions, shared by every summary:

- A split's support is the share of the set's trees that hold it; its length in a summary is the mean of its
  lengths over those trees (consensus), or the tree's own length (MCC, reference).
- Rooted sets give rooted trees of clades. An unrooted tree is written with its basal node next to the first leaf
  of `leaf_names` (the first in byte order), which is then the first leaf written; the children of every node are
  written in order of their first leaf.
- Ties are broken by first appearance in the input: of splits of equal count, the one held by an earlier tree
  comes first (greedy consensus); of topologies of equal count, the one sampled first (credible set); of trees of
  equal credibility, the first (MCC). MrBayes orders tied splits its own way, neither by their first or last
  appearance nor by their taxa.
- A rooted tree's root carries the support of its root split: the share of the trees whose root divides the
  taxa as it does (those holding the clades of all its children).
- A split in exactly `min_freq` of the trees is left out of a majority-rule consensus: it must be in more.

>>> from cladomatic_tools.treeset import TreeSet
>>> ts = TreeSet.from_newick(["((A:1,B:1):1,C:1,D:1);", "((A:1,B:1):3,C:1,D:1);", "((A:1,C:1):1,B:1,D:1);"])
>>> newick(consensus(ts))
'(A:1.0,B:1.0,(C:1.0,D:1.0)0.666667:2.0);'
"""

import math
from collections.abc import Sequence
from dataclasses import dataclass
from fractions import Fraction
from typing import TYPE_CHECKING

import numpy as np

if TYPE_CHECKING:
    from cladomatic_tools.treeset import Progress, TreeSet

# Newick punctuation and blanks: a name holding any of them is written single-quoted.
_NEEDS_QUOTES = frozenset("()[]':;,\"\t\n\f\r ")


@dataclass(frozen=True, slots=True)
class Spread:
    """What MrBayes's consensus trees say of each node besides its support, per node (at the root, those of the
    root split for a rooted tree, else unused): the standard deviation of the split's frequency over the runs
    (n - 1 denominator, 0 with one run), and over the m trees holding the split the mean of its lengths, their
    upper median (the value at m // 2 of the sorted lengths) and their 95% interval (floor(0.95 m + 0.5) sorted
    lengths, placed as MrBayes's sumt places them: the engine's split summary spells the rule out), all as MrBayes
    reports them; NaN where no tree holds the split, None for a set without lengths."""

    prob_stddev: np.ndarray
    length_mean: np.ndarray | None
    length_median: np.ndarray | None
    hpd_low: np.ndarray | None
    hpd_high: np.ndarray | None
    heights: Heights | None = None


@dataclass(frozen=True, slots=True)
class Heights:
    """For rooted trees with lengths, per node (the root included) over the trees holding its clade: the mean,
    upper median and 95% interval of its height (the deepest leaf's depth less its own), by the rules of
    `Spread`; NaN where no tree holds it."""

    mean: np.ndarray
    median: np.ndarray
    low: np.ndarray
    high: np.ndarray


@dataclass(frozen=True, slots=True)
class SummaryTree:
    """A tree over the leaves of a set of `trees` trees, nodes in preorder (node 0 is the root; the children of a
    node follow it in order of their first leaf). Per node: `parent` (-1 at the root), `leaf` (its index in
    `leaf_names`, -1 for an inner node), `count` (trees holding the split above it; at the root, with
    `root_split`, the trees whose root splits the taxa as its root does, which is then written there), `length`
    (the branch length written above it; None when the trees have no lengths) and, when asked for, its
    `spread`. `notes` says what was left out of it and why."""

    parent: np.ndarray
    leaf: np.ndarray
    count: np.ndarray
    length: np.ndarray | None
    spread: Spread | None
    leaf_names: list[str]
    trees: int
    rooted: bool
    root_split: bool = False
    notes: tuple[str, ...] = ()


@dataclass(frozen=True, slots=True)
class Topology:
    """One distinct topology of a set: how many trees have it and the first of them."""

    count: int
    first: int


def min_count(trees: int, min_freq: float | str | Fraction) -> int:
    """The fewest trees that hold more than `min_freq` of `trees` trees, computed exactly: a decimal written as
    0.7 means 7/10, not the nearest binary fraction."""
    share = Fraction(str(min_freq)) if isinstance(min_freq, float) else Fraction(min_freq)
    if not Fraction(1, 2) <= share < 1:
        raise ValueError(f"min_freq must be at least 0.5 and less than 1, not {min_freq}")
    return math.floor(share * trees) + 1


def consensus(
    ts: TreeSet,
    min_freq: float | str | Fraction = 0.5,
    greedy: bool = False,
    *,
    spread: bool = False,
    heights: str | None = None,
    threads: int | None = None,
) -> SummaryTree:
    """The majority-rule consensus, or the greedy consensus, as a record.

    Parameters
    ----------
    ts : TreeSet
        The trees summarised.
    min_freq : float, str or Fraction, default 0.5
        Keep the splits in more than this share of the trees (0.5 to 1, not included), computed exactly.
    greedy : bool, default False
        The greedy consensus instead: every split in decreasing frequency, kept when compatible with those kept
        before it.
    spread : bool, default False
        Also give each node's `Spread`, as MrBayes's consensus trees carry it.
    heights : {"median"}, optional
        Rooted trees with lengths: place every node at its clade's median height, as MrBayes places the nodes of
        a clock run's consensus, so the tree is ultrametric. Where some node would then lie above its parent, the
        least frequent clades are left out, a frequency at a time, until none does, as MrBayes does: the tree's
        `notes` say so.
    threads : int, optional
        Overrides the set's for this call (here and in the functions below).

    Returns
    -------
    SummaryTree
        Its lengths are the splits' mean lengths.

    Examples
    --------
    >>> from cladomatic_tools import TreeSet
    >>> tree = consensus(TreeSet.from_newick(["(A,B,(C,D));", "(A,B,(C,D));", "(A,C,(B,D));"]))
    >>> newick(tree), tree.trees
    ('(A,B,(C,D)0.666667);', 3)
    """
    if heights not in (None, "median"):
        raise ValueError(f"heights must be None or 'median', not {heights!r}")
    if heights is not None and not (ts.rooted and ts._engine.any_length):
        raise ValueError("node heights need rooted trees with branch lengths")
    floor = 0 if greedy else min_count(len(ts), min_freq)
    parent, split = ts._engine.consensus(floor, bool(greedy), ts._threads(threads))
    drawn = [_Drawn(parent, split, split[1:], None)]
    tree = _summary_trees(ts, drawn, spread or heights is not None, mean_lengths=True, threads=threads)[0]
    return tree if heights is None else _at_median_heights(tree, spread)


def _at_median_heights(tree: SummaryTree, spread: bool) -> SummaryTree:
    """The tree with its nodes at their median heights: without the clades of the lowest frequencies, as few as
    needed for every node to lie below its parent."""
    assert tree.spread is not None and tree.spread.heights is not None
    median = tree.spread.heights.median
    parent = tree.parent
    inner = [v for v in range(1, len(parent)) if tree.leaf[v] < 0]
    floor = 0  # inner nodes of this many trees or fewer are left out
    for level in [0, *sorted({int(tree.count[v]) for v in inner})]:
        kept = [v for v in range(len(parent)) if v == 0 or tree.leaf[v] >= 0 or tree.count[v] > level]
        above = _kept_parents(parent, kept)
        if all(median[v] <= median[above[v]] for v in kept[1:]):
            floor = level
            break
    kept = [v for v in range(len(parent)) if v == 0 or tree.leaf[v] >= 0 or tree.count[v] > floor]
    above = _kept_parents(parent, kept)
    index = {v: k for k, v in enumerate(kept)}
    at = np.asarray(kept)
    new_parent = np.asarray([-1] + [index[above[v]] for v in kept[1:]], dtype=np.int32)
    length = np.asarray([np.nan] + [median[above[v]] - median[v] for v in kept[1:]])
    notes: tuple[str, ...] = ()
    if floor:
        notes = (
            f"the clades of {floor} trees or fewer ({floor / tree.trees:.2%}) are left out: with them some node's "
            "median height would lie above its parent's",
        )
    kept_spread = None
    if spread:
        given, heights = tree.spread, tree.spread.heights
        assert given.length_mean is not None and given.length_median is not None
        assert given.hpd_low is not None and given.hpd_high is not None
        kept_spread = Spread(
            given.prob_stddev[at],
            given.length_mean[at],
            given.length_median[at],
            given.hpd_low[at],
            given.hpd_high[at],
            Heights(heights.mean[at], heights.median[at], heights.low[at], heights.high[at]),
        )
    return SummaryTree(
        new_parent,
        tree.leaf[at],
        tree.count[at],
        length,
        kept_spread,
        tree.leaf_names,
        tree.trees,
        tree.rooted,
        root_split=tree.root_split,
        notes=notes,
    )


def _kept_parents(parent: np.ndarray, kept: list[int]) -> dict[int, int]:
    """Each kept node's nearest kept ancestor (the root is always kept)."""
    is_kept = set(kept)
    above: dict[int, int] = {}
    for v in kept[1:]:
        u = int(parent[v])
        while u not in is_kept:
            u = int(parent[u])
        above[v] = u
    return above


def mcc_tree(
    ts: TreeSet, *, spread: bool = False, threads: int | None = None, progress: Progress | None = None
) -> SummaryTree:
    """The maximum clade credibility tree (`TreeSet.mcc`) with its own branch lengths.

    Parameters
    ----------
    ts : TreeSet
    spread : bool, default False
        As in `consensus`.
    threads : int, optional
    progress : Progress, optional
        Counts the trees scored, as in `TreeSet.mcc`.

    Returns
    -------
    SummaryTree
    """
    parent, split, lengths = ts._engine.tree_shape(ts.mcc(threads=threads, progress=progress))
    drawn = [_Drawn(parent, split, split[1:], _if_any(ts, lengths))]
    return _summary_trees(ts, drawn, spread, threads=threads)[0]


@dataclass(frozen=True, slots=True)
class CcdTree:
    """The MAP tree of a conditional clade distribution (`TreeSet.ccd_map`): its record and Newick text (each inner
    node labelled with its clade's frequency, each branch as long as its clade's mean length), its natural log
    probability under CCD1 and under CCD0, and the natural log of the number of trees each distribution holds."""

    tree: SummaryTree
    newick: str
    kind: str
    log_probability_ccd1: float
    log_probability_ccd0: float
    log_trees_ccd1: float
    log_trees_ccd0: float


def ccd_tree(
    ts: TreeSet, kind: str = "ccd1", *, threads: int | None = None, progress: Progress | None = None
) -> CcdTree:
    """The MAP tree of the set's CCD1 or CCD0 (see `TreeSet.ccd_map`)."""
    try:
        parent, split, log1, log0, trees1, trees0 = ts._engine.ccd_map(kind, ts._threads(threads), progress)
    except ValueError as err:
        index = getattr(err, "tree_index", None)
        if index is None:
            raise
        raise ValueError(
            f"conditional clade distributions need binary trees: {ts.tree_names[index]} has a node of more than "
            "two children"
        ) from None
    drawn = [_Drawn(parent, split, split[1:], None)]
    # written without its root split's support, as it was before the other rooted summaries carried theirs
    tree = _summary_trees(ts, drawn, False, mean_lengths=True, threads=threads, root_support=False)[0]
    return CcdTree(tree, newick(tree), kind, log1, log0, trees1, trees0)


def support_trees(
    ts: TreeSet, reference: TreeSet, *, spread: bool = False, threads: int | None = None
) -> list[SummaryTree]:
    """Every tree of a reference set, with its own branch lengths, each split counted in `ts`.

    Parameters
    ----------
    ts : TreeSet
        The trees that count the splits.
    reference : TreeSet
        The trees labelled: same taxa and rooting as `ts`.
    spread : bool, default False
        As in `consensus`.
    threads : int, optional

    Returns
    -------
    list of SummaryTree

    Raises
    ------
    ValueError
        For a reference of other taxa or rooting, naming the taxa that differ.
    """
    check_same_taxa(ts, reference)
    ids = ts._engine.ids_in(reference._engine)
    drawn = []
    for index in range(len(reference)):
        parent, split, lengths = reference._engine.tree_shape(index)
        drawn.append(_Drawn(parent, split, ids[split[1:]], _if_any(reference, lengths)))
    return _summary_trees(ts, drawn, spread, threads=threads)


def topology_trees(ts: TreeSet, indices: Sequence[int], *, threads: int | None = None) -> list[SummaryTree]:
    """The topologies of some trees of the set, without lengths.

    Parameters
    ----------
    ts : TreeSet
    indices : sequence of int
        The trees.
    threads : int, optional

    Returns
    -------
    list of SummaryTree
    """
    drawn = []
    for index in indices:
        parent, split, _ = ts._engine.tree_shape(index)
        drawn.append(_Drawn(parent, split, split[1:], None))
    # written without supports, so their roots' are not counted: a pass over the set per topology
    return _summary_trees(ts, drawn, False, threads=threads, root_support=False)


def _if_any(ts: TreeSet, lengths: np.ndarray | None) -> np.ndarray | None:
    """A tree's own lengths, unless the set's trees have none (all read as 0)."""
    return lengths if ts._engine.any_length else None


def check_same_taxa(ts: TreeSet, reference: TreeSet) -> None:
    """Refuses a reference set over other taxa (or of the other rooting), naming the taxa that differ."""
    if ts.rooted != reference.rooted:
        raise ValueError("the reference trees and the trees summarised must be both rooted or both unrooted")
    mine, theirs = set(ts.leaf_names), set(reference.leaf_names)
    if mine == theirs:
        return
    parts = []
    if theirs - mine:
        parts.append(f"has {_some(theirs - mine)} that the trees summarised lack")
    if mine - theirs:
        parts.append(f"lacks {_some(mine - theirs)} that the trees summarised have")
    raise ValueError("the reference " + " and ".join(parts))


def _some(names: set[str]) -> str:
    """A set of taxa in a message: all of a few, else the count and the first three in byte order."""
    first = sorted(names)
    return ", ".join(first) if len(first) <= 3 else f"{len(first)} taxa ({', '.join(first[:3])}, ...)"


def credible_set(ts: TreeSet, mass: float | str | Fraction = 1) -> list[Topology]:
    """The credible set of topologies.

    Every distinct topology in decreasing count (ties: the first sampled first), up to and including the one whose
    cumulative probability first reaches `mass`, computed exactly.

    Parameters
    ----------
    ts : TreeSet
    mass : float, str or Fraction, default 1
        The probability the set must reach, 0 < mass <= 1.

    Returns
    -------
    list of Topology

    Raises
    ------
    ValueError
        For a `mass` outside its range.

    Examples
    --------
    >>> from cladomatic_tools import TreeSet
    >>> credible_set(TreeSet.from_newick(["(A,B,(C,D));", "(A,C,(B,D));", "(A,B,(C,D));"]), 0.5)
    [Topology(count=2, first=0)]
    """
    share = Fraction(str(mass)) if isinstance(mass, float) else Fraction(mass)
    if not 0 < share <= 1:
        raise ValueError(f"mass must be more than 0 and at most 1, not {mass}")
    ids, counts = ts.topologies()
    _, first = np.unique(ids, return_index=True)
    kept: list[Topology] = []
    total = 0
    # topology ids are numbered in order of first appearance, so a stable sort keeps that order on ties
    for group in np.argsort(-counts, kind="stable").tolist():
        kept.append(Topology(int(counts[group]), int(first[group])))
        total += int(counts[group])
        if total >= share * len(ts):
            break
    return kept


@dataclass(frozen=True, slots=True)
class _Drawn:
    """A tree as the engine draws it: `parent` in preorder (uint32, all ones at the root), its own `split` ids
    (which tell leaves from inner nodes), `ids` the ids in the summarised set of the splits of nodes 1.. (the
    set's number of ids where it lacks one), and its own branch `lengths`, if it is written with them."""

    parent: np.ndarray
    split: np.ndarray
    ids: np.ndarray
    lengths: np.ndarray | None


def _summary_trees(
    ts: TreeSet,
    drawn: list[_Drawn],
    spread: bool,
    *,
    mean_lengths: bool = False,
    threads: int | None = None,
    root_support: bool = True,
) -> list[SummaryTree]:
    """The records of the trees, their splits counted (and their spread taken) in `ts` in one pass over it, and
    for rooted trees their root splits in another per tree unless `root_support` is False; `mean_lengths` writes
    the splits' mean lengths in `ts`, when it has any, instead of the trees' own."""
    engine = ts._engine
    groups = np.asarray(ts.groups, dtype=np.int32)
    n_groups = len(ts.group_names)
    every = np.unique(np.concatenate([np.asarray(d.ids, dtype=np.uint32) for d in drawn]))
    wanted = np.ascontiguousarray(every[every < engine.n_ids])
    counts, mean, median, low, high = engine.split_summary(wanted, groups, n_groups, spread, ts._threads(threads))
    counts = counts.reshape(n_groups, -1)
    has_lengths = engine.any_length
    timed = engine.split_heights(wanted, ts._threads(threads)) if spread and has_lengths and ts.rooted else None
    leaf_names = ts.leaf_names
    sizes = np.bincount(groups, minlength=n_groups)
    out = []
    for d in drawn:
        n_nodes = len(d.parent)
        present = np.asarray(d.ids) < engine.n_ids
        at = np.searchsorted(wanted, d.ids[present])
        per_group = np.zeros((n_groups, n_nodes), dtype=np.int64)
        rooted = ts.rooted and root_support
        per_group[:, 0] = _root_counts(ts, d, groups, n_groups, threads) if rooted else sizes
        per_group[:, 1:][:, present] = counts[:, at]
        node_mean = _per_node(mean[at], present, n_nodes)
        lengths = (node_mean if has_lengths else None) if mean_lengths else d.lengths
        leaf = np.full(n_nodes, -1, dtype=np.int32)
        own = np.asarray(d.split[1:], dtype=np.int64)
        leaf[1:] = np.where(own < len(leaf_names), own, -1)
        details = None
        if spread:
            heights = None
            if timed is not None:
                heights = Heights(*(_per_node(values[at], present, n_nodes, root=values[-1]) for values in timed))
            details = Spread(
                _stddev(per_group, sizes),
                node_mean if has_lengths else None,
                _per_node(median[at], present, n_nodes) if has_lengths else None,
                _per_node(low[at], present, n_nodes) if has_lengths else None,
                _per_node(high[at], present, n_nodes) if has_lengths else None,
                heights,
            )
        out.append(
            SummaryTree(
                parent=np.asarray(d.parent, dtype=np.uint32).view(np.int32),
                leaf=leaf,
                count=per_group.sum(axis=0),
                length=None if lengths is None else np.asarray(lengths, dtype=np.float64),
                spread=details,
                leaf_names=leaf_names,
                trees=len(ts),
                rooted=ts.rooted,
                root_split=rooted,
            )
        )
    return out


def _per_node(values: np.ndarray, present: np.ndarray, n_nodes: int, root: float = np.nan) -> np.ndarray:
    """Values of the splits present, placed at their nodes (1..); `root` at the root, NaN where a split is
    absent."""
    out = np.full(n_nodes, np.nan)
    out[0] = root
    out[1:][present] = values
    return out


def _stddev(counts: np.ndarray, sizes: np.ndarray) -> np.ndarray:
    """Per node, the standard deviation of its split's frequency over the groups that hold trees (n - 1
    denominator), 0 with one such group."""
    used = sizes > 0
    out = np.zeros(counts.shape[1])
    if used.sum() >= 2:
        out = (counts[used] / sizes[used, None]).std(axis=0, ddof=1)
    return out


def _root_counts(ts: TreeSet, d: _Drawn, groups: np.ndarray, n_groups: int, threads: int | None) -> np.ndarray:
    """Per group, the trees whose root splits the taxa as the drawn tree's root does: those holding every clade
    of its root's children."""
    engine = ts._engine
    parent = np.asarray(d.parent, dtype=np.uint32).view(np.int32)
    inner = (parent[1:] == 0) & (np.asarray(d.split[1:], dtype=np.int64) >= len(ts.leaf_names))
    clades = np.unique(np.asarray(d.ids, dtype=np.uint32)[inner])
    if len(clades) and clades[-1] >= engine.n_ids:
        return np.zeros(n_groups, dtype=np.int64)
    if not len(clades):
        return np.bincount(groups, minlength=n_groups)
    n = len(ts)
    held, *_ = engine.split_summary(
        np.ascontiguousarray(clades), np.arange(n, dtype=np.int32), n, False, ts._threads(threads)
    )
    every = np.asarray(held).reshape(n, -1).all(axis=1)
    return np.bincount(groups[every], minlength=n_groups)


# writers


def newick_name(name: str) -> str:
    """A taxon name as Newick writes it: blanks as underscores, single-quoted when it holds punctuation. Names
    arrive as the engine spells them (double-quoted when they hold punctuation)."""
    if len(name) >= 2 and name[0] == name[-1] == '"':
        name = name[1:-1]
    name = name.replace(" ", "_")
    if not _NEEDS_QUOTES.isdisjoint(name):
        return "'" + name.replace("'", "''") + "'"
    return name


def support_label(count: int, trees: int, percent: bool) -> str:
    """A split's support as a proportion with 6 decimals, or with `percent` a whole percentage rounded half up."""
    if percent:
        return str((200 * count + trees) // (2 * trees))
    return f"{count / trees:.6f}"


def newick(tree: SummaryTree, *, percent: bool = False, labels: bool = True, names: Sequence[str] | None = None) -> str:
    """A summary tree as one Newick line.

    Parameters
    ----------
    tree : SummaryTree
    percent : bool, default False
        Supports as whole percentages rounded half up instead of proportions with 6 decimals.
    labels : bool, default True
        Supports as inner node labels.
    names : sequence of str, optional
        The leaf names as written (Newick names of `leaf_names` by default; NEXUS translate keys), for a caller
        that writes many trees.

    Returns
    -------
    str
        Branch lengths when the tree has them, and "[&R]" before a rooted tree.
    """
    leaf_text = [newick_name(name) for name in tree.leaf_names] if names is None else names
    counts = tree.count.tolist()
    text = [
        leaf_text[leaf] if leaf >= 0 else support_label(count, tree.trees, percent) if labels else ""
        for leaf, count in zip(tree.leaf.tolist(), counts)
    ]
    # a rooted tree's root stands for the split between its children, whose support it carries
    text[0] = support_label(counts[0], tree.trees, percent) if tree.root_split and labels else ""
    return ("[&R] " if tree.rooted else "") + _write(tree, text, _lengths(tree)) + ";"


def _lengths(tree: SummaryTree) -> list[str]:
    """Per node, its branch length as written after it (nothing at the root, or without lengths)."""
    if tree.length is None:
        return [""] * len(tree.parent)
    return [""] + [f":{length!r}" for length in tree.length[1:].tolist()]


def _write(tree: SummaryTree, node_text: list[str], edge_text: list[str]) -> str:
    """Newick text of the tree without its closing ';': `node_text[v]` is written for a leaf in its place and
    after an inner node's ')', `edge_text[v]` after that. Iterative, so that deep trees need no recursion."""
    parent = tree.parent.tolist()
    leaf = tree.leaf.tolist()
    pieces: list[str] = []
    open_nodes: list[int] = []
    has_child = [False] * len(parent)
    for v, p in enumerate(parent):
        while open_nodes and open_nodes[-1] != p:
            u = open_nodes.pop()
            pieces += (")", node_text[u], edge_text[u])
        if p >= 0:
            if has_child[p]:
                pieces.append(",")
            has_child[p] = True
        if leaf[v] >= 0:
            pieces += (node_text[v], edge_text[v])
        else:
            pieces.append("(")
            open_nodes.append(v)
    while open_nodes:
        u = open_nodes.pop()
        pieces += (")", node_text[u], edge_text[u])
    return "".join(pieces)


def _e8(value: float) -> str:
    return f"{value:.8e}"


def nexus(named: Sequence[tuple[str, SummaryTree]], comments: Sequence[str] = ()) -> str:
    """A NEXUS file of summary trees, all over one set of leaves.

    A TAXA block, then a TREES block with a TRANSLATE table, whose trees carry FigTree annotations as MrBayes's
    .con.tre files do when they have their spread: prob and prob_stddev after each node, length_mean, length_median
    and length_95%HPD after its length.

    Parameters
    ----------
    named : sequence of (str, SummaryTree)
        Each tree with its name.
    comments : sequence of str, optional
        Whole '[...]' lines written before the TAXA block (the provenance).

    Returns
    -------
    str
    """
    leaf_names = named[0][1].leaf_names
    keys = [str(i + 1) for i in range(len(leaf_names))]
    lines = nexus_head(leaf_names, taxa_block=True)
    lines[1:1] = comments
    for name, tree in named:
        text = _write(tree, _node_annotations(tree, keys), _length_annotations(tree))
        lines.append(f"   tree {newick_name(name)} = [&{'R' if tree.rooted else 'U'}] {text};")
    lines.append("end;")
    return "\n".join(lines) + "\n"


def _leaf_keys(tree: SummaryTree, keys: list[str]) -> list[str]:
    """Per node, a leaf's TRANSLATE key, nothing for an inner node."""
    return [keys[leaf] if leaf >= 0 else "" for leaf in tree.leaf.tolist()]


def _node_annotations(tree: SummaryTree, keys: list[str]) -> list[str]:
    """Per node, its key and its prob and prob_stddev comment (at the root only for its root split, none without
    the spread)."""
    text = _leaf_keys(tree, keys)
    if tree.spread is None:
        return text
    stddev = tree.spread.prob_stddev.tolist()
    heights = tree.spread.heights
    for v, count in enumerate(tree.count.tolist()):
        found = [f"prob={_e8(count / tree.trees)}", f"prob_stddev={_e8(stddev[v])}"] if v or tree.root_split else []
        if heights is not None and not math.isnan(heights.mean[v]):
            found += [
                f"height_mean={_e8(heights.mean[v])}",
                f"height_median={_e8(heights.median[v])}",
                f"height_95%HPD={{{_e8(heights.low[v])},{_e8(heights.high[v])}}}",
            ]
        if found:
            text[v] += "[&" + ",".join(found) + "]"
    return text


def _length_annotations(tree: SummaryTree) -> list[str]:
    """Per node, its length and the comment on the lengths of its split, where it has any."""
    text = _lengths(tree)
    spread = tree.spread
    if spread is None or spread.length_mean is None:
        return text
    assert spread.length_median is not None and spread.hpd_low is not None and spread.hpd_high is not None
    for v, (mean, median, low, high) in enumerate(
        zip(spread.length_mean, spread.length_median, spread.hpd_low, spread.hpd_high, strict=True)
    ):
        if v > 0 and not math.isnan(mean):
            text[v] += (
                f"[&length_mean={_e8(mean)},length_median={_e8(median)},length_95%HPD={{{_e8(low)},{_e8(high)}}}]"
            )
    return text


def nexus_head(leaf_names: list[str], *, taxa_block: bool) -> list[str]:
    names = [newick_name(name) for name in leaf_names]
    lines = ["#NEXUS"]
    if taxa_block:
        lines += ["begin taxa;", f"\tdimensions ntax={len(names)};", "\ttaxlabels"]
        lines += [f"\t\t{name}" for name in names] + ["\t\t;", "end;"]
    lines += ["begin trees;", "\ttranslate"]
    lines += [f"\t\t{i + 1}\t{name}{',' if i + 1 < len(names) else ''}" for i, name in enumerate(names)]
    lines.append("\t\t;")
    return lines


def trprobs(topologies: Sequence[tuple[Topology, SummaryTree]], trees: int, comments: Sequence[str] = ()) -> str:
    """The credible set as MrBayes's .trprobs file writes it.

    Each topology (leaves as TRANSLATE keys) with its probability p and the cumulative probability P in a comment,
    and its probability again as the tree's weight.

    Parameters
    ----------
    topologies : sequence of (Topology, SummaryTree)
    trees : int
        The number of trees the probabilities are shares of.
    comments : sequence of str, optional
        As in `nexus`.

    Returns
    -------
    str

    Raises
    ------
    ValueError
        For no topologies.
    """
    if not topologies:
        raise ValueError("no topologies to write")
    leaf_names = topologies[0][1].leaf_names
    keys = [str(i + 1) for i in range(len(leaf_names))]
    lines = [
        "#NEXUS",
        "[The distinct topologies of the trees, by decreasing probability: p is each one's probability, P the",
        "cumulative probability of it and those above it.]",
        *comments,
        "",
    ]
    lines += nexus_head(leaf_names, taxa_block=False)[1:]
    total = 0
    for rank, (topology, tree) in enumerate(topologies, 1):
        total += topology.count
        p, cumulative = topology.count / trees, total / trees
        text = _write(tree, _leaf_keys(tree, keys), [""] * len(tree.parent))
        rooting = "[&R] " if tree.rooted else "[&U] "
        lines.append(f"   tree tree_{rank} [p = {p:.3f}, P = {cumulative:.3f}] = {rooting}[&W {p:.6f}] {text};")
    lines.append("end;")
    return "\n".join(lines) + "\n"


def topology_rows(topologies: Sequence[tuple[Topology, SummaryTree]], trees: int) -> str:
    """The credible set as TSV: rank, count, probability, cumulative probability and the topology in Newick.

    Parameters
    ----------
    topologies : sequence of (Topology, SummaryTree)
    trees : int
        The number of trees the probabilities are shares of.

    Returns
    -------
    str
    """
    lines = ["rank\tcount\tprobability\tcumulative\tnewick"]
    names = [newick_name(name) for name in topologies[0][1].leaf_names] if topologies else []
    total = 0
    for rank, (topology, tree) in enumerate(topologies, 1):
        total += topology.count
        text = newick(tree, labels=False, names=names)
        lines.append(f"{rank}\t{topology.count}\t{topology.count / trees:.6f}\t{total / trees:.6f}\t{text}")
    return "\n".join(lines) + "\n"
