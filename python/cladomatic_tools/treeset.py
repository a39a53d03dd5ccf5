"""A tree set kept in memory once and asked many questions: any block of a distance matrix, one set against
another, and summaries that need no matrix at all.

The trees are parsed once and every distinct split is interned; each metric lays the set out for its pairwise
kernel on first use and keeps that layout. Heavy work runs in parallel with the interpreter lock released, so
other Python threads keep running, on `threads` threads (the set's, or a call's own; by default as many as the CPUs
the process may use), and Ctrl-C stops it within a fraction of a second: the call raises KeyboardInterrupt, and an
`out` it was writing holds garbage. Results are the same bits whatever the number of threads.

>>> import numpy as np
>>> ts = TreeSet.from_newick(["((A:1,B:1):1,(C:1,D:1):1);", "((A:1,C:1):1,(B:1,D:1):1);"])
>>> ts.distances("rf")
array([[0, 2],
       [2, 0]], dtype=uint32)
>>> ts.distances("wrf", rows=[1], cols=range(2))  # the root's two edges make one split of length 2
array([[4., 0.]])
"""

import hashlib
import itertools
import json
import numbers
import pickle
import warnings
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from fractions import Fraction
from functools import partial
from typing import TYPE_CHECKING

import _cladomatic_engine
import numpy as np

from cladomatic_tools import deprecation
from cladomatic_tools.io import sources
from cladomatic_tools.io.provenance import Provenance
from cladomatic_tools.io.reader import Source
from cladomatic_tools.io.sources import FileTrees, differing, explain, listed, rooting_of
from cladomatic_tools.metrics import METRICS as METRICS
from cladomatic_tools.metrics import SUMMARIES as SUMMARIES
from cladomatic_tools.metrics import metric_info, metric_setting, summary_info
from cladomatic_tools.rooting import Rooting
from cladomatic_tools.selection import Burnin, Selection, parse_burnin

if TYPE_CHECKING:
    from cladomatic_tools import summaries
    from cladomatic_tools.annotation import AnnotatedTree
    from cladomatic_tools.summaries import SummaryTree

# What a set may hold (taxa=) and how trees whose taxa differ are compared (prune=).
TAXA = ("same", "any")
PRUNE = ("common", "pairwise")

# The memory a block of `distances_chunked` may take by default, in MiB: scikit-learn's default working_memory.
WORKING_MEMORY = 1024

# Prunings a set keeps for later calls (each a set of its own): the common taxa, and a few of `against`.
_KEPT_PRUNINGS = 4

# The layout of a pickled set's state. The first (no version) had no checksum.
_STATE_VERSION = 3
# the layout before the provenance was kept, still read
_NO_PROVENANCE = 2

# Rows of a block finished so far, for another thread to poll during `distances` or `against` (progress=):
# value(), total() (the block's rows) and fraction().
Progress = _cladomatic_engine.Progress


class PairsWithoutDistance(UserWarning):
    """Pairs of trees compared with prune="pairwise" that share too few taxa to have a distance (fewer than 4, or
    3 for rooted trees): their cells are nan. `pairs` is how many."""

    def __init__(self, message: str, pairs: int):
        super().__init__(message)
        self.pairs = pairs


class TreeSet:
    """An interned set of trees over one leaf set, or, read with ``taxa="any"``, over every taxon its trees hold.

    Made by `from_files`, `from_newick` or `from_reading`; every call that computes releases the interpreter lock,
    runs on `threads` threads and stops within a fraction of a second at Ctrl-C (KeyboardInterrupt).

    Attributes
    ----------
    tree_names : list of str
        One name per tree.
    leaf_names : list of str
        Every taxon of the set, sorted.
    rooted : bool
        Whether the trees are compared by their clades (rooted) or their bipartitions.
    has_lengths : bool
        Whether the set was read with branch lengths.
    groups : numpy.ndarray
        int32 per tree: its index into `group_names`, one group per file or run.
    group_names : list of str
        The runs (Newick files, or TREES blocks of NEXUS files).
    positions : numpy.ndarray
        int64 per tree: its 0-based position in its run's file before burn-in and thinning.
    burnin : Burnin or None
        The burn-in `from_files` was given, None when it was given none (see `asdsf`).
    provenance : Provenance
        The files read, their size and modification time, and the burn-in and thinning applied to each; pickled
        with the set.
    threads : int or None
        How many threads its calls use, None for as many as the CPUs the process may use; not pickled, so a set
        sent to another process uses that process's CPUs.

    Examples
    --------
    >>> ts = TreeSet.from_newick(["(A,B,(C,D));", "(A,C,(B,D));"])
    >>> ts
    <TreeSet of 2 unrooted trees over 4 leaves>
    >>> len(ts), ts.leaf_names
    (2, ['A', 'B', 'C', 'D'])
    """

    __slots__ = (
        "_engine",
        "_pruned",
        "_readings",
        "burnin",
        "group_names",
        "groups",
        "positions",
        "provenance",
        "threads",
        "tree_names",
    )

    def __init__(
        self,
        engine,
        tree_names: list[str],
        groups: np.ndarray,
        group_names: list[str],
        positions,
        burnin: Burnin | None = None,
        threads: int | None = None,
        provenance: Provenance | None = None,
    ):
        self._engine = engine
        self._pruned: dict[tuple[str, ...], TreeSet] = {}  # the set pruned to those taxa, kept for later calls
        self._readings: Sequence[FileTrees] | None = None  # the files read, for the calls that read them again
        self.tree_names = tree_names
        self.groups = groups
        self.group_names = group_names
        self.positions = positions
        self.burnin = burnin
        self.provenance = Provenance() if provenance is None else provenance
        _thread_count(threads)
        self.threads = threads

    # construction

    @classmethod
    def from_newick(
        cls,
        trees: Iterable[str],
        *,
        names: Sequence[str] | None = None,
        translate: Mapping[str, str] | None = None,
        rooted: bool | None = None,
        lengths: bool = True,
        groups: Sequence[int] | None = None,
        group_names: Sequence[str] | None = None,
        threads: int | None = None,
        taxa: str = "same",
    ) -> TreeSet:
        """Reads Newick strings from any iterable, pulled one chunk at a time while earlier chunks are parsed.

        Parameters
        ----------
        trees : iterable of str
            The Newick strings, one tree each.
        names : sequence of str, optional
            One name per tree (default ``tree_1``, ``tree_2``, ...).
        translate : mapping of str to str, optional
            Labels to leaf names, applied to every tree.
        rooted : bool or None, default None
            None follows the trees' own rooting comments: trees marked [&R] are compared rooted, [&U] unrooted,
            unmarked trees as the marked ones and unrooted when none is. True or False overrides the marks.
        lengths : bool, default True
            False drops branch lengths (wrf, kf and kf2 then refuse).
        groups : sequence of int, optional
            Each tree's group (index into `group_names`); by default one group.
        group_names : sequence of str, optional
            The groups' names.
        threads : int, optional
            The set's `threads`.
        taxa : {"same", "any"}, default "same"
            "same" refuses trees whose leaf sets differ, naming the taxa; "any" keeps them, to be compared with a
            pruning mode (see `distances`).

        Returns
        -------
        TreeSet

        Raises
        ------
        ValueError
            For a malformed tree (its 0-based position in the error's ``tree_index``), marks of both kinds, an [&R]
            after an unmarked first tree of an iterator that is not a list (its trees are read as they come), or names
            or groups that do not match the trees.
        TypeError
            For one string instead of an iterable of them.

        Examples
        --------
        >>> TreeSet.from_newick(["(A,B,(C,D));"] * 3, names=["x", "y", "z"]).tree_names
        ['x', 'y', 'z']
        """
        if isinstance(trees, (str, bytes)):
            raise TypeError(
                "from_newick takes an iterable of Newick strings, not one string: put a single tree in a list"
            )
        translate_table = None if translate is None else dict(translate)
        any_taxa = _any_taxa(taxa)
        rooting = Rooting(rooted)
        items = _marked(trees, rooting) if rooted is None else iter(trees)
        engine = _build(items, translate_table, rooting.rooted, lengths, any_taxa, _thread_count(threads))
        n = engine.n_trees
        tree_names = [f"tree_{i + 1}" for i in range(n)] if names is None else [str(name) for name in names]
        if len(tree_names) != n:
            raise ValueError(f"{len(tree_names)} names for {n} trees")
        group_of = np.zeros(n, dtype=np.int32) if groups is None else np.asarray(groups, dtype=np.int32)
        if group_of.shape != (n,):
            raise ValueError(f"{group_of.size} groups for {n} trees")
        n_groups = int(group_of.max()) + 1 if n else 1
        if group_names is None:
            group_names = ["trees"] if groups is None else [str(g) for g in range(n_groups)]
        group_names = [str(name) for name in group_names]
        if (group_of < 0).any() or n_groups > len(group_names):
            raise ValueError(f"groups must lie in 0..{len(group_names) - 1}, one per group name")
        positions = np.zeros(n, dtype=np.int64)
        seen = np.zeros(len(group_names), dtype=np.int64)
        for i, g in enumerate(group_of.tolist()):
            positions[i] = seen[g]
            seen[g] += 1
        return cls(engine, tree_names, group_of, group_names, positions, threads=threads)

    @classmethod
    def from_files(
        cls,
        paths: Source | Sequence[Source],
        *,
        rooted: bool | None = None,
        lengths: bool = True,
        burnin: int | str | Fraction | float | None = None,
        every: int = 1,
        threads: int | None = None,
        taxa: str = "same",
    ) -> TreeSet:
        """Reads Newick or NEXUS files in one pass, TRANSLATE tables applied and gzip detected.

        Each run is one group: a Newick file, or one TREES block of a NEXUS file (joined MrBayes runs hold several).

        Parameters
        ----------
        paths : path, file object, or sequence of them
            File names, '-' for standard input, or file objects that ``read`` bytes or text.
        rooted : bool or None, default None
            None follows the files' own [&R]/[&U] comments as in `from_newick`; True or False overrides them.
        lengths : bool, default True
            False drops branch lengths.
        burnin : int, str, Fraction or float, optional
            Trees dropped from the start of each run: a count (100 or "100"), a percentage ("25%", below 100%) or a
            share below 1 (0.25, "0.25" or Fraction(1, 4)), floor(share x trees) of each run. The set remembers it
            (`burnin`, 0 included), so that `asdsf` does not drop another.
        every : int, default 1
            Then keep every `every`-th tree; `positions` are the kept trees' places in their runs.
        threads : int, optional
            The set's `threads`.
        taxa : {"same", "any"}, default "same"
            As in `from_newick`.

        Returns
        -------
        TreeSet

        Raises
        ------
        ValueError
            For a fault in a tree, naming its file, line and tree, and the taxa when leaf sets differ (unless
            ``taxa="any"``); for a burn-in that leaves a run without trees.

        Examples
        --------
        >>> ts = TreeSet.from_files("examples/primates.nex", burnin="25%", every=10)
        >>> len(ts), ts.tree_names[:2]
        (9, ['gen.30000', 'gen.40000'])
        """
        one = isinstance(paths, str) or hasattr(paths, "read")
        given: list[Source] = [paths] if one else list(paths)  # type: ignore[list-item, arg-type]
        if not given:
            raise ValueError("no files to read")
        selection = Selection(None if burnin is None else parse_burnin(burnin), int(every))
        readings = [FileTrees(given, selection)]
        return cls.from_reading(readings, rooted=rooted, lengths=lengths, threads=threads, taxa=taxa)

    @classmethod
    def from_reading(
        cls,
        readings: Sequence[FileTrees],
        *,
        rooted: bool | Rooting | None = None,
        lengths: bool = True,
        on_tree: Callable[[str, int], None] | None = None,
        threads: int | None = None,
        taxa: str = "same",
        rooting: Rooting | None = None,
    ) -> TreeSet:
        """The set of the trees the `readings` read, one after another.

        Parameters
        ----------
        readings : sequence of FileTrees
            What to read (`cladomatic_tools.io.sources.FileTrees`: files, their burn-in and thinning).
        rooted : bool, Rooting or None, default None
            As in `from_files`, or the `Rooting` a caller has already settled for them.
        lengths : bool, default True
            False drops branch lengths.
        on_tree : callable, optional
            Called with a file's name and its count of trees read so far.
        threads : int, optional
            The set's `threads`.
        taxa : {"same", "any"}, default "same"
            As in `from_newick`.
        rooting : Rooting, optional
            The former spelling of ``rooted=``, deprecated.

        Returns
        -------
        TreeSet
            Its `burnin` is the first reading's.

        Raises
        ------
        ValueError
            For a fault in a tree, naming its file, line and tree; its ``tree_index`` counts the kept trees of all
            readings.
        """
        any_taxa = _any_taxa(taxa)
        if rooting is not None:
            deprecation.warn("TreeSet.from_reading(rooting=...)", "write rooted=...")
            rooted = rooting
        rooting = rooted if isinstance(rooted, Rooting) else rooting_of(rooted, readings)
        reading = sources.read(readings, rooting, on_tree)
        try:
            engine = _build_from(reading, rooting.rooted, lengths, any_taxa, _thread_count(threads))
        except ValueError as err:
            sources.settle(readings, reading, failed=True)
            located = ValueError(explain(readings, err, rooting.rooted, any_taxa))
            located.tree_index = getattr(err, "tree_index", None)  # type: ignore[attr-defined]
            raise located from None
        sources.settle(readings, reading)
        groups: list[int] = []
        first_run = 0
        for files in readings:
            groups += [first_run + group for group in files.groups()]
            first_run += len(files.runs)
        tree_set = cls(
            engine,
            [name for files in readings for name in files.names],
            np.asarray(groups, dtype=np.int32),
            [run.label() for files in readings for run in files.runs],
            np.asarray([p for files in readings for p in files.positions], dtype=np.int64),
            readings[0].selection.burnin if readings else None,
            threads,
            Provenance(inputs=tuple(entry for files in readings for entry in files.provenance())),
        )
        tree_set._readings = readings
        return tree_set

    # description

    def __len__(self) -> int:
        """The number of trees."""
        return self._engine.n_trees

    @property
    def n_trees(self) -> int:
        """The number of trees: the former spelling of ``len(tree_set)``, deprecated."""
        deprecation.warn("TreeSet.n_trees", "write len(tree_set)")
        return self._engine.n_trees

    @property
    def leaf_names(self) -> list[str]:
        """Every taxon of the set, sorted."""
        return self._engine.leaf_names

    @property
    def rooted(self) -> bool:
        """Whether the trees are compared by their clades (rooted) rather than their bipartitions."""
        return self._engine.rooted

    @property
    def has_lengths(self) -> bool:
        """Whether the set was read with branch lengths."""
        return self._engine.lengths

    def __repr__(self) -> str:
        kind = "rooted" if self.rooted else "unrooted"
        return f"<TreeSet of {len(self)} {kind} trees over {len(self.leaf_names)} leaves>"

    # taxa

    @property
    def taxa_differ(self) -> bool:
        """Whether the trees hold different taxa (a set read with ``taxa="any"``): then only calls with a pruning
        mode compare them.
        """
        return self._engine.differing_taxa

    def tree_taxa(self, tree: int) -> list[str]:
        """The taxa one tree holds.

        Parameters
        ----------
        tree : int
            The tree's index.

        Returns
        -------
        list of str
            Sorted.

        Examples
        --------
        >>> TreeSet.from_newick(["(A,B,(C,D));", "(A,B,C,E);"], taxa="any").tree_taxa(1)
        ['A', 'B', 'C', 'E']
        """
        names = self.leaf_names
        return [names[leaf] for leaf in self._engine.tree_taxa(int(tree))]

    def common_taxa(self) -> list[str]:
        """The taxa every tree holds.

        Returns
        -------
        list of str
            Sorted.

        Examples
        --------
        >>> TreeSet.from_newick(["(A,B,(C,D));", "(A,B,C,E);"], taxa="any").common_taxa()
        ['A', 'B', 'C']
        """
        names = self.leaf_names
        return [names[leaf] for leaf in self._engine.common_taxa()]

    def pruned(self, taxa: Sequence[str] | None = None) -> TreeSet:
        """The trees pruned to some of their taxa: a set of trees that all hold the same taxa.

        Pruning removes the other leaves and merges every node left with one child into its neighbour, a root of
        degree 2 of unrooted trees included: the merged edge's length is the sum of the two. The set keeps the same
        names, groups and positions, and remembers a few prunings for later calls.

        Parameters
        ----------
        taxa : sequence of str, optional
            Names every tree holds; by default the taxa every tree holds.

        Returns
        -------
        TreeSet

        Raises
        ------
        ValueError
            When not every tree holds the taxa, or they are fewer than 4 (3 for rooted trees).

        Examples
        --------
        >>> ts = TreeSet.from_newick(["((A:1,B:1):1,(C:1,(D:1,E:1):2):3);", "(A,B,(C,D));"], taxa="any")
        >>> ts.pruned().distances("wrf", rows=[0], cols=[0])  # E's removal joins D's edge of 1 to the one above
        array([[0.]])
        """
        keep = self.common_taxa() if taxa is None else sorted(set(taxa))
        key = tuple(keep)
        if key == tuple(self.leaf_names) and not self.taxa_differ:
            return self
        found = self._pruned.get(key)
        if found is not None:
            return found
        common = set(self.common_taxa())
        missing = [name for name in keep if name not in common]
        if missing:
            raise ValueError(f"not every tree holds {listed(missing)}: a set is pruned only to taxa all its trees hold")
        fewest = 3 if self.rooted else 4
        if len(keep) < fewest:
            raise ValueError(
                f"the trees share only {len(keep)} {'taxon' if len(keep) == 1 else 'taxa'}"
                f"{f' ({listed(keep)})' if keep else ''}: pruned to common "
                f"taxa, {'rooted' if self.rooted else 'unrooted'} trees need at least {fewest}"
            )
        index = {name: leaf for leaf, name in enumerate(self.leaf_names)}
        engine = self._engine.restricted([index[name] for name in keep])
        pruned = TreeSet(
            engine,
            self.tree_names,
            self.groups,
            self.group_names,
            self.positions,
            self.burnin,
            self.threads,
            self.provenance,
        )
        if len(self._pruned) >= _KEPT_PRUNINGS:
            del self._pruned[next(iter(self._pruned))]
        self._pruned[key] = pruned
        return pruned

    # distances

    def distances(
        self,
        metric: str = "rf",
        *,
        rows=None,
        cols=None,
        out: np.ndarray | None = None,
        threads: int | None = None,
        progress: Progress | None = None,
        prune: str | None = None,
    ) -> np.ndarray:
        """The block of the pairwise matrix with the given rows and columns.

        Metrics: "rf" (uint32) splits in exactly one of the two trees; "rf_norm" (float64) RF divided by the number
        of non-trivial splits of both trees, 0 when neither has any; "wrf" and "kf" (float64) the sum of absolute
        and the root of the sum of squared branch-length differences over all splits, pendant edges included;
        "info_rf" (float64, unrooted only) the sum over splits in exactly one tree of their phylogenetic
        information, -log2[(2a-3)!!(2b-3)!!/(2n-5)!!] bits for a split of a and b leaves. The whole matrix equals the
        `cladomatic` module's matrix bit for bit for rf, wrf and kf.

        Metrics of each pair of leaves (float64): "kc" (rooted only) the Euclidean distance between the vectors
        (1 - lambda) m + lambda M, m the edges from the root to the most recent common ancestor of every pair of
        tips (then 1 per tip) and M the same in branch length (then each tip's pendant length), lambda from 0
        (default) to 1, written "kc(lambda=0.5)"; "path" and "wpath" (unrooted only) the Euclidean distance
        between the vectors of the edges, or the summed branch lengths, on the path between every pair of leaves.

        Generalised RF distances (float64, unrooted only), each over the best one-to-one matching of the two
        trees' splits A|B and C|D of n leaves: "cid", the clustering entropy of both trees' splits (H = MCI of a
        split with itself) less twice the summed mutual clustering information of matched splits, MCI = sum over
        the four intersections X of a side of each of ``(|X|/n) log2(n |X| / (|P| |Q|))``, P and Q the sides X lies in;
        "cid_norm", cid over the entropy of both trees' splits (0 when both have none); "pid", the phylogenetic
        information of both trees' splits (as info_rf weighs them) less twice the summed information shared by
        matched splits, h(S) + h(S') - h(both), 0 for splits no tree can hold (info_rf counts a split missing from
        the other tree whole; pid credits what it shares with the splits close to it); "msid", the same with the
        information of the largest split both agree with, max over the pairings of their sides of the information
        of ``|A n C| | |B n D|`` on those leaves; "msd", the least sum over a matching of ``min(|A xor C|, |A xor D|)``,
        the tree with fewer splits padded with empty splits (``min(|A|, |B|)`` each).

        Quartet metrics (unrooted only, float64 holding exact integers): "quartet" the number of sets of four
        leaves a, b, c, d whose induced topologies differ, each topology being ab|cd when some split of the tree
        has a, b on one side and c, d on the other (likewise ac|bd, ad|bc), else unresolved, which differs from
        every resolved one; "quartet_norm" that number divided by C(n, 4) for n leaves.

        Parameters
        ----------
        metric : str, default "rf"
            A metric of `cladomatic_tools.METRICS`.
        rows, cols : range, slice or sequence of int, optional
            The trees of the block's rows and columns (repeats allowed); None for all.
        out : numpy.ndarray, optional
            A C-contiguous writable array of the metric's dtype and the block's shape (an np.memmap included) to
            write into.
        threads : int, optional
            Overrides the set's for this call.
        progress : Progress, optional
            Counts the block's rows as they are finished.
        prune : {"common", "pairwise"}, optional
            Trees whose taxa differ (a set read with ``taxa="any"``) are compared only with a pruning mode:
            "common" compares every tree pruned to the taxa all trees hold (see `pruned`); "pairwise" compares each
            pair on the taxa its two trees share, every metric as float64, rf_norm over the pair's own non-trivial
            splits and info_rf for the pair's own number of taxa. A pair sharing fewer than 4 taxa (3 rooted) has no
            distance: nan, counted in one `PairsWithoutDistance` warning.

        Returns
        -------
        numpy.ndarray
            Shape (len(rows), len(cols)); `out` when given.

        Raises
        ------
        ValueError
            For an unknown metric, one the set cannot compute (lengths, rooting), taxa that differ without a pruning
            mode (naming them), or an `out` of the wrong type, shape or layout.
        IndexError
            For a tree index out of range.

        Examples
        --------
        >>> ts = TreeSet.from_newick(["(A,B,(C,D));", "(A,C,(B,D));", "(A,D,(B,C));"])
        >>> ts.distances("rf_norm", rows=slice(0, 1))
        array([[0., 1., 1.]])
        """
        if _prune_mode(prune) == "common":
            return self.pruned().distances(metric, rows=rows, cols=cols, out=out, threads=threads, progress=progress)
        dtype = self._check_metric(metric, prune)
        if prune == "pairwise":
            dtype = np.dtype(np.float64)  # every metric, for the nan of pairs sharing too few taxa
        if prune is None:
            self._require_same_taxa()
        n = len(self)
        row_index = _indices(rows, n, "rows")
        col_index = _indices(cols, n, "cols")
        out = _output(out, dtype, (row_index.size, col_index.size))
        if not out.size:
            return out
        chosen = metric_setting(metric)
        if prune is None and chosen.metric.by_tree:
            self._engine.tree_distances(
                chosen.metric.name,
                list(chosen.values),
                row_index,
                col_index,
                out,
                self._threads(threads),
                _progress(progress),
            )
        elif prune is None:
            self._engine.distances(
                chosen.metric.name, row_index, col_index, out, self._threads(threads), _progress(progress)
            )
        else:
            self._engine.pruned_distances(chosen.metric.name, row_index, col_index, out, self._threads(threads))
            _warn_short(*_distinct_pairs(row_index, col_index, out), self.rooted)
        return out

    def against(
        self,
        other: TreeSet,
        metric: str = "rf",
        *,
        rows=None,
        cols=None,
        out: np.ndarray | None = None,
        threads: int | None = None,
        progress: Progress | None = None,
        prune: str | None = None,
    ) -> np.ndarray:
        """Trees of this set against trees of another set.

        Parameters
        ----------
        other : TreeSet
            Same leaf names and rootedness, unless `prune` says how to compare trees whose taxa differ.
        metric : str, default "rf"
            As in `distances`.
        rows : range, slice or sequence of int, optional
            Trees of this set, as in `distances`.
        cols : range, slice or sequence of int, optional
            Trees of `other`.
        out : numpy.ndarray, optional
            As in `distances`.
        threads : int, optional
            As in `distances`.
        progress : Progress, optional
            As in `distances`.
        prune : {"common", "pairwise"}, optional
            "common" prunes both sets to the taxa every tree of either holds; "pairwise" compares each pair on the
            taxa it shares (the gene-trees-against-a-species-tree comparison).

        Returns
        -------
        numpy.ndarray
            By default len(self) x len(other).

        Raises
        ------
        ValueError
            As in `distances`, and for sets of different leaf names or rootedness.
        TypeError
            When `other` is not a TreeSet.

        Examples
        --------
        >>> ref = TreeSet.from_newick(["(A,B,(C,D));"])
        >>> TreeSet.from_newick(["(A,C,(B,D));", "(A,B,(C,D));"]).against(ref)
        array([[2],
               [0]], dtype=uint32)
        """
        if not isinstance(other, TreeSet):
            raise TypeError(f"against() takes a TreeSet, not {type(other).__name__}")
        if _prune_mode(prune) == "common":
            taxa = sorted(set(self.common_taxa()) & set(other.common_taxa()))
            return self.pruned(taxa).against(
                other.pruned(taxa), metric, rows=rows, cols=cols, out=out, threads=threads, progress=progress
            )
        dtype = self._check_metric(metric, prune)
        if prune == "pairwise":
            dtype = np.dtype(np.float64)  # every metric, for the nan of pairs sharing too few taxa
        if metric_info(metric).needs_lengths and not other.has_lengths:
            raise ValueError(f"{metric} needs branch lengths: the other set was read with lengths=False")
        if prune is None:
            self._require_same_taxa()
            other._require_same_taxa()
        row_index = _indices(rows, len(self), "rows")
        col_index = _indices(cols, len(other), "cols")
        out = _output(out, dtype, (row_index.size, col_index.size))
        if out.size and prune == "pairwise":
            if self.rooted != other.rooted:
                raise ValueError("one set was read as rooted trees and the other as unrooted")
            short = self._engine.pruned_against(
                other._engine, metric_info(metric).name, row_index, col_index, out, self._threads(threads)
            )
            _warn_short(short, out.size, self.rooted)
        elif out.size:
            chosen = metric_setting(metric)
            try:
                if chosen.metric.by_tree:
                    if self.rooted != other.rooted:
                        raise ValueError("one set was read as rooted trees and the other as unrooted")
                    self._engine.tree_against(
                        other._engine,
                        chosen.metric.name,
                        list(chosen.values),
                        row_index,
                        col_index,
                        out,
                        self._threads(threads),
                        _progress(progress),
                    )
                else:
                    self._engine.against(
                        other._engine,
                        chosen.metric.name,
                        row_index,
                        col_index,
                        out,
                        self._threads(threads),
                        _progress(progress),
                    )
            except ValueError:
                if self.leaf_names != other.leaf_names:
                    have, want = set(other.leaf_names), set(self.leaf_names)
                    raise ValueError(
                        f"the two sets have different leaf names: {differing('the other set', have, 'this set', want)}"
                    ) from None
                raise
        return out

    def distances_chunked(
        self,
        metric: str = "rf",
        *,
        reduce_func: Callable[[np.ndarray, int], object] | None = None,
        working_memory: float | None = None,
        threads: int | None = None,
        prune: str | None = None,
        out: np.ndarray | None = None,
        upper: bool = False,
    ) -> Iterator:
        """The whole square matrix as blocks of rows, top to bottom, so that it never exists whole.

        Parameters
        ----------
        metric : str, default "rf"
            As in `distances`.
        reduce_func : callable, optional
            ``reduce_func(block, start)``, with `start` the block's first row, turns each block into what is yielded
            (a block of row means, say); without it the block itself is yielded.
        working_memory : float, optional
            MiB a block may take (WORKING_MEMORY, 1024, when None); each block holds at least one row.
        threads : int, optional
            As in `distances`.
        prune : {"common", "pairwise"}, optional
            As in `distances`.
        out : numpy.ndarray, optional
            A C-contiguous writable (len, len) array of the metric's type (an np.memmap included): each block is then
            the rows of `out` it fills, and each pair is computed once, the cells left of a block's diagonal copied
            from the rows filled before (the kernels give both orders of a pair the same bits). Under
            prune="pairwise" every block is computed whole, and its warning counts the pairs each call computes.
        upper : bool, default False
            Without `out`: each block is only its rows' cells from the diagonal rightwards, shape (rows, len - start),
            each pair computed once and nothing kept, for a caller that puts the cells below the diagonal where it
            keeps the matrix. Each block is valid until the next one is made.

        Returns
        -------
        iterator
            The blocks, or what `reduce_func` made of them. The arguments are checked at the call, before the first
            block.

        Raises
        ------
        ValueError
            As in `distances`, and for a working memory that is not a positive number or `upper` with `out`.

        Examples
        --------
        >>> ts = TreeSet.from_newick(["(A,B,(C,D));", "(A,C,(B,D));", "(A,D,(B,C));"])
        >>> [block.sum(axis=1) for block in ts.distances_chunked(working_memory=24 / 2**20)]
        [array([4, 4], dtype=uint64), array([4], dtype=uint64)]
        """
        if _prune_mode(prune) == "common":
            return self.pruned().distances_chunked(
                metric, reduce_func=reduce_func, working_memory=working_memory, threads=threads, out=out, upper=upper
            )
        dtype = self._check_metric(metric, prune)
        if prune == "pairwise":
            dtype = np.dtype(np.float64)  # as `distances` gives it
        else:
            self._require_same_taxa()
        _thread_count(threads)
        n = len(self)
        budget = WORKING_MEMORY if working_memory is None else working_memory
        if isinstance(budget, bool) or not isinstance(budget, numbers.Real) or not 0 < budget < float("inf"):
            raise ValueError(f"working_memory must be a positive number of MiB, got {working_memory!r}")
        rows_per_block = max(1, int(budget * 2**20) // max(1, n * dtype.itemsize))
        if out is not None:
            if upper:
                raise ValueError("upper=True yields the cells from the diagonal on: it takes no out")
            out = _output(out, dtype, (n, n))
        if reduce_func is not None and not callable(reduce_func):
            raise TypeError(f"reduce_func must be callable, not {type(reduce_func).__name__}")
        from_diagonal = upper or (out is not None and prune != "pairwise")

        def blocks() -> Iterator:
            # One scratch for the pairs from each block's diagonal on: fresh memory for every block would be
            # faulted in anew each time, which cost as much as the pairs it saves.
            scratch = np.empty(rows_per_block * n if from_diagonal else 0, dtype=dtype)
            for start in range(0, n, rows_per_block):
                rows = slice(start, min(n, start + rows_per_block))
                if from_diagonal:
                    count = rows.stop - start
                    cells = scratch[: count * (n - start)].reshape(count, n - start)
                    self.distances(metric, rows=rows, cols=slice(start, n), out=cells, threads=threads, prune=prune)
                if upper:
                    block = cells
                elif out is None:
                    block = self.distances(metric, rows=rows, threads=threads, prune=prune)
                elif prune == "pairwise":
                    block = self.distances(metric, rows=rows, out=out[rows], threads=threads, prune=prune)
                else:
                    block = out[rows]
                    block[:, start:] = cells
                    block[:, :start] = out[:start, rows].T
                yield block if reduce_func is None else reduce_func(block, start)

        return blocks()

    # summaries without the matrix

    def mean_distances(self, metric: str = "rf", *, threads: int | None = None, prune: str | None = None) -> np.ndarray:
        """Per tree, its mean distance to the other trees, from split counts and per-split sums (no matrix).

        Parameters
        ----------
        metric : {"rf", "info_rf", "kf2"}, default "rf"
            "kf2" is the mean squared KF distance.
        threads : int, optional
            As in `distances`.
        prune : {"common"}, optional
            Compare the trees pruned to the taxa all of them hold.

        Returns
        -------
        numpy.ndarray
            float64 per tree; zeros for a set of one tree.

        Raises
        ------
        ValueError
            For an unknown metric, one the set cannot compute, or taxa that differ without ``prune="common"``.

        Examples
        --------
        >>> TreeSet.from_newick(["(A,B,(C,D));", "(A,B,(C,D));", "(A,C,(B,D));"]).mean_distances()
        array([1., 1., 2.])
        """
        if prune is not None:
            return self._working_set(prune, "mean_distances").mean_distances(metric, threads=threads)
        summary = summary_info(metric)
        self._require_same_taxa()
        if summary.unrooted_only:
            self._refuse_rooted(metric)
        if summary.needs_lengths and not self.has_lengths:
            raise ValueError(f"{metric} needs branch lengths: the set was read with lengths=False")
        sums = np.zeros(len(self), dtype=np.float64)
        self._engine.sums(metric, sums, self._threads(threads))
        return sums / (len(self) - 1) if len(self) > 1 else sums

    def medoid(self, metric: str = "rf", *, threads: int | None = None, prune: str | None = None) -> int:
        """The tree with the least mean distance to the others (the first on ties).

        Parameters
        ----------
        metric : {"rf", "info_rf", "kf2"}, default "rf"
            As in `mean_distances`.
        threads : int, optional
            As in `distances`.
        prune : {"common"}, optional
            As in `mean_distances`.

        Returns
        -------
        int
            The tree's index.

        Examples
        --------
        >>> TreeSet.from_newick(["(A,C,(B,D));", "(A,B,(C,D));", "(A,B,(C,D));"]).medoid()
        1
        """
        working = self._working_set(prune, "medoid")
        return int(np.argmin(working.mean_distances(metric, threads=threads)))

    @deprecation.options_by_keyword("groups")
    def split_frequencies(
        self,
        *,
        groups: Sequence[int] | np.ndarray | None = None,
        threads: int | None = None,
        prune: str | None = None,
    ) -> tuple[np.ndarray, np.ndarray]:
        """Every split, and per group the share of its trees that hold it.

        Parameters
        ----------
        groups : sequence of int, optional
            As in `split_counts`.
        threads : int, optional
            As in `distances`.
        prune : {"common"}, optional
            As in `split_counts`.

        Returns
        -------
        splits : numpy.ndarray
            As in `split_counts`.
        frequencies : numpy.ndarray
            float64, shape (groups, n_splits); nan for a group without trees.

        Examples
        --------
        >>> splits, frequencies = TreeSet.from_newick(["(A,B,(C,D));", "(A,C,(B,D));"]).split_frequencies()
        >>> frequencies
        array([[0.5, 0.5]])
        """
        working = self._working_set(prune, "split_frequencies")
        by, n_groups = working._grouping(groups)
        splits, counts = working._split_counts(by, n_groups, threads)
        trees = np.bincount(by, minlength=n_groups).astype(np.float64)
        with np.errstate(invalid="ignore"):  # a group without trees: 0 / 0 is its nan
            return splits, counts / trees[:, None]

    @deprecation.options_by_keyword("groups")
    def split_counts(
        self,
        *,
        groups: Sequence[int] | np.ndarray | None = None,
        threads: int | None = None,
        prune: str | None = None,
    ) -> tuple[np.ndarray, np.ndarray]:
        """Every non-trivial split of the set, and per group the number of its trees that hold it.

        Parameters
        ----------
        groups : sequence of int, optional
            One integer of at least 0 per tree, to count by other groups than the runs (stretches of the runs, say);
            counts then has max(groups) + 1 rows.
        threads : int, optional
            As in `distances`.
        prune : {"common"}, optional
            Count the splits of the trees pruned to the taxa all of them hold (rows over those taxa).

        Returns
        -------
        splits : numpy.ndarray
            bool, one row over `leaf_names` per split: its canonical side (for unrooted trees the side without the
            first leaf).
        counts : numpy.ndarray
            int64, shape (len(group_names), n_splits).

        Raises
        ------
        ValueError
            For groups that are not one integer of at least 0 per tree, or taxa that differ without a mode.

        Examples
        --------
        >>> splits, counts = TreeSet.from_newick(["(A,B,(C,D));"] * 2).split_counts()
        >>> splits.astype(int), counts
        (array([[0, 0, 1, 1]]), array([[2]]))
        """
        working = self._working_set(prune, "split_counts")
        return working._split_counts(*working._grouping(groups), threads)

    def _grouping(self, groups: Sequence[int] | np.ndarray | None) -> tuple[np.ndarray, int]:
        """(the group of every tree as int32, how many groups), checked; by default the set's own groups (runs),
        a run left without trees included."""
        self._require_same_taxa()
        if groups is None:
            return self.groups, len(self.group_names)
        by = np.asarray(groups)
        if by.shape != (len(self),) or (by.size and by.dtype.kind not in "iu"):
            raise ValueError(f"groups must hold one integer per tree ({len(self)}), got shape {by.shape}")
        if by.size and (by.min() < 0 or by.max() > np.iinfo(np.int32).max):
            raise ValueError("groups must lie between 0 and 2**31 - 1")
        return np.ascontiguousarray(by, dtype=np.int32), int(by.max()) + 1 if by.size else 0

    def _split_counts(self, by: np.ndarray, n_groups: int, threads: int | None) -> tuple[np.ndarray, np.ndarray]:
        n_splits = self._engine.n_splits
        splits = np.zeros((n_splits, len(self.leaf_names)), dtype=np.bool_)
        counts = np.zeros((n_groups, n_splits), dtype=np.int64)
        self._engine.split_sides(splits)
        self._engine.group_counts(np.ascontiguousarray(by, dtype=np.int32), counts, self._threads(threads))
        return splits, counts

    @deprecation.options_by_keyword("lengths")
    def splits_by_tree(
        self, *, lengths: bool = False, threads: int | None = None, prune: str | None = None
    ) -> tuple[np.ndarray, np.ndarray]:
        """Every split of the set, pendant edges included, and which trees hold it: the arrays of the
        ``cladomatic splits`` command.

        Parameters
        ----------
        lengths : bool, default False
            Give each split's branch length in each tree instead of whether the tree holds it.
        threads : int, optional
            As in `distances`.
        prune : {"common"}, optional
            The splits of the trees pruned to the taxa all of them hold.

        Returns
        -------
        sides : numpy.ndarray
            bool, one row over `leaf_names` per split (rooted: the clade; unrooted: the side without the first leaf, a
            pendant edge its own leaf).
        per_tree : numpy.ndarray
            bool [trees, splits], or with `lengths` float64 [trees, splits] (0.0 where a tree lacks the split).

        Raises
        ------
        ValueError
            For lengths from a set read without them, or taxa that differ without a mode.

        Examples
        --------
        >>> sides, held = TreeSet.from_newick(["(A,B,(C,D));", "(A,C,(B,D));"]).splits_by_tree()
        >>> sides.shape, held.sum(axis=1)
        ((6, 4), array([5, 5]))
        """
        if prune is not None:
            return self._working_set(prune, "splits_by_tree").splits_by_tree(lengths=lengths, threads=threads)
        self._require_same_taxa()
        if lengths and not self.has_lengths:
            raise ValueError("branch lengths need a set read with lengths=True")
        n_splits, per_tree, sides = self._engine.exports(lengths, self._threads(threads))
        if lengths:
            held = np.frombuffer(per_tree, dtype="<f8").reshape(len(self), n_splits)
        else:
            held = np.frombuffer(per_tree, dtype=np.uint8).reshape(len(self), n_splits) != 0
        return bipartition_rows(sides, n_splits, len(self.leaf_names)), held

    @deprecation.options_by_keyword("burnin", "min_freq", "points")
    def asdsf(
        self,
        *,
        burnin: int | str | Fraction | float | None = None,
        min_freq: float = 0.10,
        points: int = 1,
        threads: int | None = None,
        prune: str | None = None,
    ) -> np.ndarray:
        """The average and the maximum standard deviation of split frequencies between the groups (runs), as
        MrBayes defines them, at points along the chains.

        Parameters
        ----------
        burnin : int, str, Fraction or float, optional
            As `from_files` takes it. None drops MrBayes's default of 25% of each run when the set was read without a
            burn-in argument, and nothing when `from_files` was given one (0 included), which has already been dropped.
        min_freq : float, default 0.10
            The frequency a split must reach in at least one run to count, between 0 and 1.
        points : int, default 1
            Points along the chains; the last is the whole sample after the burn-in.
        threads : int, optional
            As in `distances`.
        prune : {"common"}, optional
            Compare the splits of the trees pruned to the taxa all of them hold.

        Returns
        -------
        numpy.ndarray
            [points, 2]: the ASDSF and the maximum SDSF (nan where no split reaches `min_freq`).

        Raises
        ------
        ValueError
            For fewer than two runs, a burn-in that leaves a run without trees, or a `min_freq` outside 0 to 1.

        Examples
        --------
        >>> runs = TreeSet.from_newick(["(A,B,(C,D));", "(A,C,(B,D));"] * 2, groups=[0, 0, 1, 1])
        >>> runs.asdsf(burnin=0)
        array([[0., 0.]])
        """
        from cladomatic_tools import convergence

        return convergence.asdsf(self._working_set(prune, "asdsf", threads), burnin, min_freq, points)

    @deprecation.options_by_keyword("method", kept=1)
    def topological_ess(
        self,
        metric: str = "rf",
        *,
        method: str = "frechet",
        focal: int | Sequence[int] | None = None,
        seed: int = 0,
        details: bool = False,
        threads: int | None = None,
        prune: str | None = None,
    ) -> np.ndarray:
        """The effective sample size of the topologies of each group (run), its trees in their order in the run.

        The definitions are in `cladomatic_tools.ess`.

        Parameters
        ----------
        metric : str, default "rf"
            The tree distance, as in `distances`.
        method : {"frechet", "pseudo"}, default "frechet"
            The Fréchet correlation ESS (lower-bound form), or the median over focal trees of coda's effectiveSize of
            their distance traces.
        focal : int or sequence of int, optional
            For "pseudo": positions within every run, or how many to draw (20 by default).
        seed : int, default 0
            Of ``numpy.random.default_rng``, which draws the focal trees.
        details : bool, default False
            For "pseudo": give [runs, 2], the median and the minimum.
        threads : int, optional
            As in `distances`.
        prune : {"common"}, optional
            Compare the trees pruned to the taxa all of them hold.

        Returns
        -------
        numpy.ndarray
            One value per run, or [runs, 2] with `details`.

        Raises
        ------
        ValueError
            For an unknown method, or focal trees or details with the Fréchet ESS.

        Examples
        --------
        >>> runs = TreeSet.from_files("tests/data/mrbayes/cynmix.run1.t.gz", burnin="25%", lengths=False)
        >>> runs.topological_ess("rf").round(1)
        array([15.5])
        """
        from cladomatic_tools import ess

        working = self._working_set(prune, "topological_ess", threads)
        return ess.topological_ess(working, metric, method, focal, seed, details)

    @deprecation.options_by_keyword("dims", "method", kept=1)
    def principal_coordinates(
        self,
        metric: str = "rf",
        *,
        dims: int = 2,
        method: str = "auto",
        threads: int | None = None,
        prune: str | None = None,
    ) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """Classical multidimensional scaling of the distances.

        Exact up to 1,000 trees and landmark MDS with up to 500 landmarks above.

        Parameters
        ----------
        metric : str, default "rf"
            As in `distances`.
        dims : int, default 2
            The number of axes.
        method : {"auto", "exact", "landmark"}, default "auto"
            Chooses one method whatever the number of trees.
        threads : int, optional
            As in `distances`.
        prune : {"common", "pairwise"}, optional
            As in `distances`.

        Returns
        -------
        coordinates : numpy.ndarray
            [trees, dims].
        eigenvalues : numpy.ndarray
            [dims].
        share : numpy.ndarray
            [dims]: each axis's share of the variation.

        Raises
        ------
        ValueError
            For distances that are not finite, naming the two trees.

        Examples
        --------
        >>> ts = TreeSet.from_newick(["(A,B,(C,D));", "(A,C,(B,D));", "(A,D,(B,C));"])
        >>> points, eigenvalues, share = ts.principal_coordinates(dims=2)
        >>> points.shape, share.round(3)
        ((3, 2), array([0.5, 0.5]))
        """
        from cladomatic_tools import space

        working = self._with_threads(threads)
        result = space.principal_coordinates(working, metric, dims, method, prune=_prune_mode(prune))
        return result.points, result.eigenvalues, result.share

    # summary trees

    @deprecation.options_by_keyword("min_freq", "greedy")
    def consensus(
        self,
        *,
        min_freq: float | str | Fraction = 0.5,
        greedy: bool = False,
        threads: int | None = None,
        prune: str | None = None,
        outgroup: Sequence[str] | None = None,
    ) -> str:
        """The majority-rule (or greedy) consensus as a Newick string.

        Each inner node is labelled with its split's frequency and each branch is as long as its split's mean
        length.

        Parameters
        ----------
        min_freq : float, str or Fraction, default 0.5
            Keep the splits in more than this share of the trees, 0.5 to 1 (not included).
        greedy : bool, default False
            Build the greedy consensus instead: every split in decreasing frequency (ties: the one held by an earlier
            tree first), kept when compatible with those kept before it.
        threads : int, optional
            As in `distances`.
        prune : {"common"}, optional
            Summarise the trees pruned to the taxa all of them hold.
        outgroup : sequence of str, optional
            Taxa of unrooted trees: root the tree on the branch that separates them from the others, each support
            staying on its split (see `rerooting`).

        Returns
        -------
        str

        Raises
        ------
        ValueError
            For a `min_freq` outside its range, taxa that differ without a mode, or an outgroup that is not one
            side of a branch of the tree.

        Examples
        --------
        >>> TreeSet.from_newick(["(A,B,(C,D));", "(A,B,(C,D));", "(A,C,(B,D));"]).consensus()
        '(A,B,(C,D)0.666667);'
        >>> TreeSet.from_newick(["(A,B,(C,D));", "(A,B,(C,D));", "(A,C,(B,D));"]).consensus(outgroup=["C", "D"])
        '[&R] ((A,B)0.666667,(C,D)0.666667)0.666667;'
        """
        from cladomatic_tools import summaries

        working = self._working_set(prune, "consensus")
        return summaries.newick(_rooted(summaries.consensus(working, min_freq, greedy, threads=threads), outgroup))

    def mcc(self, *, threads: int | None = None, progress: Progress | None = None, prune: str | None = None) -> int:
        """The maximum clade credibility tree: the tree whose non-trivial splits have the largest product of
        frequencies (the first of equal ones).

        Parameters
        ----------
        threads : int, optional
            As in `distances`.
        progress : Progress, optional
            Counts the trees scored.
        prune : {"common"}, optional
            Score the trees pruned to the taxa all of them hold.

        Returns
        -------
        int
            The tree's index.

        Examples
        --------
        >>> TreeSet.from_newick(["(A,C,(B,D));", "(A,B,(C,D));", "(A,B,(C,D));"]).mcc()
        1
        """
        working = self._working_set(prune, "mcc")
        return int(working._engine.mcc(working._threads(threads), _progress(progress)))

    def annotate(
        self,
        target: str = "mcc",
        *,
        heights: str = "keep",
        limit: float = 0.0,
        threads: int | None = None,
        progress: Progress | None = None,
    ) -> AnnotatedTree:
        """A target tree annotated from this set's rooted time trees, as BEAST users summarise a run.

        Every node of the target gets, from the trees holding its clade, its posterior; its height and branch
        length (mean, median, 95% HPD and range); and the same for every value the files carry on their nodes
        (`[&rate=...]`), or for a text its most frequent value. The files the set was read from are read once more,
        keeping only the values of the target's clades. See `cladomatic_tools.annotation` for the rules, and
        `annotation.nexus` for the text.

        Parameters
        ----------
        target : str
            "mcc" (the maximum clade credibility tree, `mcc`), "ccd1" or "ccd0" (the MAP tree of that conditional
            clade distribution, `ccd_map`) or the path of a tree file whose first tree is annotated; it must hold
            the set's taxa.
        heights : str
            Where nodes are placed: "keep" (the target's own heights), "mean" or "median" (of the clade's heights
            over the trees holding it) or "ca" (the mean height of the common ancestor of the clade's taxa over
            every tree).
        limit : float
            Nodes of lower posterior carry their posterior alone.
        threads : int, optional
            Overrides the set's `threads` for this call.
        progress : Progress, optional
            Counts the trees scored for the maximum clade credibility target.

        Returns
        -------
        AnnotatedTree
            The plain record of the annotated tree.

        Raises
        ------
        ValueError
            For a set not read by `from_files`, unrooted trees, trees without branch lengths, a target over other
            taxa, a malformed `[&...]` comment (naming its file, line and tree) or files that changed since.

        Examples
        --------
        >>> ts = TreeSet.from_files("tests/data/beast/ucln.trees.gz", burnin=40)
        >>> tree = ts.annotate(heights="median")
        >>> root = tree.annotations[-1]
        >>> root["posterior"], round(root["height_median"], 4) == round(tree.height[-1], 4)
        (1.0, True)
        """
        from cladomatic_tools import annotation

        if self._readings is None:
            raise ValueError("annotate reads the trees' files again: read the set with TreeSet.from_files")
        return annotation.annotate(
            self, self._readings, target, heights=heights, limit=limit, threads=threads, progress=_progress(progress)
        )

    def ccd_map(
        self, kind: str = "ccd1", *, threads: int | None = None, progress: Progress | None = None
    ) -> summaries.CcdTree:
        """The maximum a posteriori tree of a conditional clade distribution of the set's rooted binary trees.

        With n(C) the number of trees holding clade C and n(C1, C2) the number holding C split into C1 and C2,
        CCD1 gives a tree the product over its inner nodes of n(C1, C2) / n(C), over the splits some tree holds.
        CCD0 lets every clade of the set split into any two clades of the set that partition it, held together
        by a tree or not, and gives a tree a probability proportional to the product of its clades' frequencies
        n(C) / N, normalised over every tree of that graph. Both MAP trees are found by dynamic programming over
        the clades, smaller first; of equal scores the split first in the order of its clades' ids (their first
        appearance in the input) wins, whatever the thread count. The CCD0 MAP tree scores at least as high as
        the MCC tree, which its graph holds.

        Parameters
        ----------
        kind : {"ccd1", "ccd0"}
            The distribution whose MAP tree is wanted.
        threads : int, optional
            Overrides the set's `threads` for this call.
        progress : Progress, optional
            Counts the trees passed while the graph is built (once per set).

        Returns
        -------
        summaries.CcdTree
            `newick` (each inner node labelled with its clade's frequency, each branch as long as its clade's
            mean length in the set), `log_probability_ccd1` and `log_probability_ccd0` (natural logs; the MAP
            tree of one distribution may be -inf under CCD1 when it joins clades no tree joins), and
            `log_trees_ccd1`, `log_trees_ccd0`: the natural log of the number of trees each distribution holds.

        Raises
        ------
        ValueError
            For an unrooted set, trees over different taxa, fewer than two taxa, a tree with a node of more than
            two children (named), or another `kind`.

        Examples
        --------
        >>> ts = TreeSet.from_newick(["((A,B),(C,D));", "((A,B),(C,D));", "(((A,B),C),D);"], rooted=True)
        >>> ts.ccd_map("ccd1").newick
        '[&R] ((A,B)1.000000,(C,D)0.666667);'
        """
        from cladomatic_tools import summaries

        return summaries.ccd_tree(self, kind, threads=threads, progress=_progress(progress))

    def ccd_log_probability(
        self, trees: str | Sequence[str], kind: str = "ccd1", *, threads: int | None = None
    ) -> float | list[float]:
        """The natural log probability of a tree (Newick) under the set's CCD1 or CCD0 (see `ccd_map`).

        Parameters
        ----------
        trees : str or sequence of str
            A rooted binary tree over the set's taxa, or a list of them.
        kind : {"ccd1", "ccd0"}
            The distribution.
        threads : int, optional
            Overrides the set's `threads` for this call.

        Returns
        -------
        float or list of float
            One per tree: -inf for a tree with a clade the set never holds, or (CCD1) a split no tree holds.

        Raises
        ------
        ValueError
            For a tree over other taxa or not binary, and as `ccd_map` does.

        Examples
        --------
        >>> ts = TreeSet.from_newick(["((A,B),(C,D));", "(((A,B),C),D);"], rooted=True)
        >>> ts.ccd_log_probability(["((A,B),(C,D));", "((A,C),(B,D));"])
        [-0.6931471805599453, -inf]
        """
        from cladomatic_tools import summaries

        texts = [trees] if isinstance(trees, str) else list(trees)
        others = TreeSet.from_newick(texts, rooted=True, threads=threads)
        summaries.check_same_taxa(self, others)
        out = [
            float(self._engine.ccd_log_probability(others._engine, i, kind, self._threads(threads)))
            for i in range(len(others))
        ]
        return out[0] if isinstance(trees, str) else out

    def support(
        self,
        reference: str | Sequence[str] | TreeSet,
        *,
        threads: int | None = None,
        outgroup: Sequence[str] | None = None,
    ) -> str | list[str]:
        """A reference tree with each of its splits labelled by its frequency in this set.

        Parameters
        ----------
        reference : str, sequence of str, or TreeSet
            Newick text of one tree, several, or a set; same taxa and rooting as this set. Its own labels are
            replaced, its lengths kept.
        threads : int, optional
            As in `distances`.
        outgroup : sequence of str, optional
            As in `consensus`.

        Returns
        -------
        str or list of str
            Newick; a list for several trees or a TreeSet.

        Raises
        ------
        ValueError
            For a reference of other taxa or rooting.

        Examples
        --------
        >>> TreeSet.from_newick(["(A,B,(C,D));", "(A,C,(B,D));"]).support("(A,B,(C,D)0.99);")
        '(A,B,(C,D)0.500000);'
        """
        from cladomatic_tools import summaries

        if isinstance(reference, TreeSet):
            references = reference
        else:
            texts = [reference] if isinstance(reference, str) else list(reference)
            references = TreeSet.from_newick(texts, rooted=self.rooted, threads=threads)
        labelled = summaries.support_trees(self, references, threads=threads)
        written = [summaries.newick(_rooted(tree, outgroup)) for tree in labelled]
        return written[0] if isinstance(reference, str) else written

    def topologies(self, *, threads: int | None = None, prune: str | None = None) -> tuple[np.ndarray, np.ndarray]:
        """Each tree's topology, and how many trees have each.

        Parameters
        ----------
        threads : int, optional
            As in `distances`.
        prune : {"common"}, optional
            Compare the topologies of the trees pruned to the taxa all of them hold.

        Returns
        -------
        ids : numpy.ndarray
            uint32 per tree: the id of its topology, numbered in order of first appearance.
        counts : numpy.ndarray
            int64 per topology.

        Examples
        --------
        >>> TreeSet.from_newick(["(A,B,(C,D));", "(A,C,(B,D));", "(B,A,(D,C));"]).topologies()
        (array([0, 1, 0], dtype=uint32), array([2, 1]))
        """
        if prune is not None:
            return self._working_set(prune, "topologies").topologies(threads=threads)
        self._require_same_taxa()
        ids = np.empty(len(self), dtype=np.uint32)
        self._engine.topology_ids(ids, self._threads(threads))
        return ids, np.bincount(ids).astype(np.int64)

    # pickling: the interned arrays as one bytes object, and a checksum of the whole state

    def __reduce__(self):
        return self._reduced(True)

    def _reduced(self, provenance: bool) -> tuple:
        # the burn-in as it was given: its text reads back as the same Burnin
        burnin = None if self.burnin is None else self.burnin.text
        fields: tuple = (self._engine.save(), self.tree_names, self.groups, self.group_names, self.positions, burnin)
        version = _STATE_VERSION if provenance else _NO_PROVENANCE
        if provenance:
            fields = (*fields, self.provenance.to_json())
        return _restore, (version, _state_digest(version, fields), *fields)

    def _trees_pickled(self) -> bytes:
        """The set pickled without its provenance, in the layout from before it was kept: what identifies its
        trees (a tile store's fingerprint), whatever files, paths or command they came from."""
        return pickle.dumps(_Reduced(self._reduced(False)))

    def _threads(self, threads: int | None) -> int:
        return _thread_count(self.threads if threads is None else threads)

    def _with_threads(self, threads: int | None) -> TreeSet:
        """The set itself, or the same trees with a call's own `threads`, for analyses that make many calls."""
        _thread_count(threads)
        if threads is None or threads == self.threads:
            return self
        return TreeSet(
            self._engine,
            self.tree_names,
            self.groups,
            self.group_names,
            self.positions,
            self.burnin,
            threads,
            self.provenance,
        )

    def _working_set(self, prune: str | None, call: str, threads: int | None = None) -> TreeSet:
        """The trees a call that needs one leaf set works on: these, or pruned to the taxa all of them hold."""
        if _prune_mode(prune) == "pairwise":
            raise ValueError(
                f"{call}() needs every tree over the same taxa: prune='pairwise' compares pairs of trees only; "
                "use prune='common'"
            )
        working = self.pruned() if prune == "common" else self
        return working._with_threads(threads)

    def _require_same_taxa(self) -> None:
        """Refuses a set whose trees hold different taxa, naming the taxa that differ."""
        tree = self._engine.differing_tree
        if tree is None:
            return
        have, want = set(self.tree_taxa(tree)), set(self.tree_taxa(0))
        raise ValueError(
            f"the trees hold different taxa: {differing(self.tree_names[tree], have, self.tree_names[0], want)}; "
            "compare them with prune='common' (every tree pruned to the taxa all hold) or prune='pairwise' (each "
            "pair on the taxa it shares)"
        )

    def _check_metric(self, metric: str, prune: str | None = None) -> np.dtype:
        info = metric_info(metric)
        if info.unrooted_only:
            self._refuse_rooted(metric)
        if info.rooted_only and not self.rooted:
            raise ValueError(
                f"{info.name} is defined for rooted trees only; this set was read as unrooted trees: read it with "
                "rooted=True (or from trees marked [&R])"
            )
        if info.by_tree and prune == "pairwise":
            raise ValueError(
                f"{info.name} has no pairwise pruning: compare the trees pruned to the taxa all of them hold "
                "(prune='common')"
            )
        if info.needs_lengths and not self.has_lengths:
            raise ValueError(f"{metric} needs branch lengths: the set was read with lengths=False")
        return np.dtype(info.dtype)

    def _refuse_rooted(self, metric: str) -> None:
        if self.rooted:
            raise ValueError(
                f"{metric} is defined for unrooted trees only; this set was read as rooted trees (rooted=True, or "
                "trees marked [&R]): read it with rooted=False to compare them unrooted"
            )


class _Reduced:
    """Pickles as the reduction it holds."""

    def __init__(self, reduced: tuple):
        self.reduced = reduced

    def __reduce__(self):
        return self.reduced


def _rooted(tree: SummaryTree, outgroup: Sequence[str] | None) -> SummaryTree:
    from cladomatic_tools.rerooting import reroot

    return tree if outgroup is None else reroot(tree, outgroup)


def _restore(version, digest=None, *fields) -> TreeSet:
    """A pickled set, refused with ValueError unless its checksum matches and every invariant the kernels rely
    on holds: a damaged pickle must never load as another set."""
    if isinstance(version, bytes):  # the first layout began with the engine's bytes
        raise ValueError(
            "Not a saved tree set: it was saved by an older version of cladomatic_tools, without a checksum; "
            "read its trees again."
        )
    if version not in (_STATE_VERSION, _NO_PROVENANCE):
        raise ValueError(f"Not a saved tree set: unknown layout {version!r}.")
    try:
        intact = digest == _state_digest(version, fields)
    except TypeError:
        intact = False
    if not intact:
        raise ValueError("Not a saved tree set: its checksum does not match (the data is damaged).")
    if version == _NO_PROVENANCE:
        fields = (*fields, None)
    if len(fields) != 7:
        raise ValueError("Not a saved tree set: fields missing.")
    data, tree_names, groups, group_names, positions, burnin, record = fields
    if not isinstance(data, bytes):
        raise ValueError("Not a saved tree set: no interned trees.")
    engine = _cladomatic_engine.Engine.load(data)
    n = engine.n_trees
    if not (_strings(tree_names) and _strings(group_names) and group_names):
        raise ValueError("Not a saved tree set: tree or group names that are not lists of str.")
    if len(tree_names) != n or not (_per_tree(groups, np.int32, n) and _per_tree(positions, np.int64, n)):
        raise ValueError("Not a saved tree set: per-tree lists do not match the trees.")
    if groups.min() < 0 or groups.max() >= len(group_names) or positions.min() < 0:
        raise ValueError("Not a saved tree set: a group outside the group names, or a negative position.")
    if burnin is not None and not isinstance(burnin, str):
        raise ValueError("Not a saved tree set: its burn-in is not one.")
    try:
        given = None if burnin is None else parse_burnin(burnin)
    except (TypeError, ValueError):
        raise ValueError("Not a saved tree set: its burn-in is not one.") from None
    try:
        provenance = None if record is None else Provenance.from_dict(json.loads(record))
    except (TypeError, ValueError):
        raise ValueError("Not a saved tree set: its provenance is not a record.") from None
    return TreeSet(engine, tree_names, groups, group_names, positions, given, provenance=provenance)


def _strings(values) -> bool:
    return isinstance(values, list) and all(isinstance(value, str) for value in values)


def _per_tree(values, dtype, n: int) -> bool:
    return isinstance(values, np.ndarray) and values.dtype == dtype and values.shape == (n,)


def _state_digest(version: int, fields: tuple) -> bytes:
    """SHA-256 of the version and every field of a pickled set's state, each field encoded by its type, so that
    a field added later is covered without more code here as long as it is made of the types below."""
    digest = hashlib.sha256()

    def feed(value) -> None:
        if isinstance(value, (list, tuple)):
            digest.update(f"l{len(value)};".encode())
            for item in value:
                feed(item)
            return
        if isinstance(value, np.ndarray):
            tag, data = f"a{value.dtype.str}{value.shape}", np.ascontiguousarray(value).tobytes()
        elif isinstance(value, bytes):
            tag, data = "b", value
        elif isinstance(value, str):
            tag, data = "s", value.encode("utf-8", "surrogatepass")
        elif value is None or isinstance(value, (bool, int, Fraction)):
            tag, data = "r", repr(value).encode()
        else:
            raise TypeError(f"no checksum for a {type(value).__name__} in a saved tree set")
        digest.update(f"{tag}{len(data)};".encode())
        digest.update(data)

    feed((version, *fields))
    return digest.digest()


def bipartition_rows(data: bytes, n_splits: int, n_leaves: int) -> np.ndarray:
    """Splits packed as bits (leaf i at bit i % 8 of byte i // 8 of its row) as bool rows over the leaves."""
    rows = np.frombuffer(data, dtype=np.uint8).reshape(n_splits, (n_leaves + 7) // 8)
    # unpackbits gives exactly 0 or 1, so its bytes are booleans as they are
    return np.unpackbits(rows, axis=1, count=n_leaves, bitorder="little").view(bool)


def _any_taxa(taxa: str) -> bool:
    if taxa not in TAXA:
        raise ValueError(f"taxa must be one of {', '.join(map(repr, TAXA))}, not {taxa!r}")
    return taxa == "any"


def _prune_mode(prune: str | None) -> str | None:
    if prune is not None and prune not in PRUNE:
        raise ValueError(f"prune must be None or one of {', '.join(map(repr, PRUNE))}, not {prune!r}")
    return prune


def _distinct_pairs(row_index: np.ndarray, col_index: np.ndarray, out: np.ndarray) -> tuple[int, int]:
    """The unordered pairs of two different trees among the cells of a block of one set's matrix: those without a
    distance (nan) and all of them. A pair met twice (in both orders, or through repeated indices) counts once, a
    tree against itself never."""
    n = int(max(row_index.max(), col_index.max())) + 1

    def pairs(rows: np.ndarray, cols: np.ndarray) -> int:
        low, high = np.minimum(rows, cols).astype(np.int64), np.maximum(rows, cols).astype(np.int64)
        distinct = low != high
        return int(np.unique(low[distinct] * n + high[distinct]).size)

    at = np.nonzero(np.isnan(out))
    short = pairs(row_index[at[0]], col_index[at[1]])
    if np.array_equal(row_index, col_index) and np.unique(row_index).size == row_index.size:
        return short, row_index.size * (row_index.size - 1) // 2
    if not np.intersect1d(row_index, col_index).size:
        return short, np.unique(row_index).size * np.unique(col_index).size
    grid = np.meshgrid(row_index, col_index, indexing="ij")
    return short, pairs(grid[0].ravel(), grid[1].ravel())


def _warn_short(short: int, pairs: int, rooted: bool) -> None:
    if short:
        fewest = 3 if rooted else 4
        verb = "shares" if short == 1 else "share"
        message = f"{short} of {pairs} pairs of trees {verb} fewer than {fewest} taxa: their distances are nan"
        warnings.warn(PairsWithoutDistance(message, short), stacklevel=3)


def _build(items, translate, rooted: bool, lengths: bool, any_taxa: bool, threads: int):
    """The engine over an iterator of Newick strings or (Newick, translate table or None) pairs."""
    try:
        return _cladomatic_engine.Engine.build(items, translate, bool(rooted), bool(lengths), any_taxa, threads)
    except ValueError as err:
        # every error from reading carries the attribute, None when no one tree is to blame
        err.__dict__.setdefault("tree_index", None)
        raise


def _build_from(reading, rooted: bool, lengths: bool, any_taxa: bool, threads: int):
    """The engine over a native reading of files (see `sources.read`); None when a fault of the input ended
    the reading, which `sources.settle` then raises."""
    try:
        return _cladomatic_engine.Engine.build_from(reading, bool(rooted), bool(lengths), any_taxa, threads)
    except ValueError as err:
        err.__dict__.setdefault("tree_index", None)
        raise


def _marked(trees: Iterable[str], rooting: Rooting) -> Iterator[str]:
    """The trees, their rooting comments shown to `rooting` before the set is built: all of a list's, else
    the first tree's and then each as it comes."""
    mark = _cladomatic_engine.rooting_mark
    if isinstance(trees, (list, tuple)):
        for number, text in enumerate(trees, 1):
            if isinstance(text, str):
                rooting.see(mark(text), partial("tree {}".format, number))
        rooting.settle()
        return iter(trees)
    items = iter(trees)
    head = list(itertools.islice(items, 1))
    if head and isinstance(head[0], str):
        rooting.see(mark(head[0]), partial(str, "tree 1"))
    rooting.settle()

    def checked() -> Iterator[str]:
        for number, text in enumerate(itertools.chain(head, items), 1):
            if isinstance(text, str):
                rooting.see(mark(text), partial("tree {}".format, number))
            yield text

    return checked()


def _thread_count(threads: int | None) -> int:
    """The engine's count of threads: 0 for as many as the CPUs the process may use."""
    if threads is None:
        return 0
    if isinstance(threads, bool) or not isinstance(threads, numbers.Integral) or threads < 1:
        raise ValueError(f"threads must be a whole number of at least 1, got {threads!r}")
    return min(int(threads), 2**32 - 1)


def _progress(progress: Progress | None) -> Progress | None:
    if progress is not None and not isinstance(progress, Progress):
        raise TypeError(f"progress must be a cladomatic_tools.treeset.Progress, not {type(progress).__name__}")
    return progress


def _indices(picked, n: int, what: str) -> np.ndarray:
    """Tree indices as a uint32 array of their own: None for all, a range or slice, or integers in 0..n-1.
    Always a copy, checked after copying: a caller's index array may share memory with `out`, which the
    engine writes while it still reads the indices."""
    if picked is None:
        return np.arange(n, dtype=np.uint32)
    if isinstance(picked, slice):
        return np.ascontiguousarray(np.arange(n, dtype=np.uint32)[picked])
    index = np.array(picked)
    if index.ndim != 1:
        raise ValueError(f"{what} must be one-dimensional, not of shape {index.shape}")
    if index.size == 0:
        return np.zeros(0, dtype=np.uint32)
    if index.dtype.kind not in "iu":
        raise TypeError(f"{what} must hold integers, not {index.dtype}")
    low, high = int(index.min()), int(index.max())
    if low < 0 or high >= n:
        bad = low if low < 0 else high
        raise IndexError(f"{what} index {bad} is out of range for {n} trees")
    return np.ascontiguousarray(index, dtype=np.uint32)


def _output(out, dtype, shape: tuple[int, int]) -> np.ndarray:
    if out is None:
        return np.empty(shape, dtype=dtype)
    if not isinstance(out, np.ndarray):
        raise TypeError(f"out must be a NumPy array, not {type(out).__name__}")
    if out.dtype != dtype:
        raise ValueError(f"out has dtype {out.dtype}; this metric writes {np.dtype(dtype)}")
    if out.shape != shape:
        raise ValueError(f"out has shape {out.shape}; the block is {shape}")
    if not out.flags.c_contiguous:
        raise ValueError("out must be C-contiguous")
    if not out.flags.writeable:
        raise ValueError("out is read-only")
    return out
