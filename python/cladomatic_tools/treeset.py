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
import numbers
import warnings
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from fractions import Fraction
from functools import partial

import _cladomatic_engine
import numpy as np

from cladomatic_tools import deprecation
from cladomatic_tools.io import sources
from cladomatic_tools.io.reader import Source
from cladomatic_tools.io.sources import FileTrees, differing, explain, listed, rooting_of
from cladomatic_tools.metrics import METRICS as METRICS
from cladomatic_tools.metrics import SUMMARIES as SUMMARIES
from cladomatic_tools.metrics import metric_info, summary_info
from cladomatic_tools.rooting import Rooting
from cladomatic_tools.selection import Burnin, Selection, parse_burnin

# What a set may hold (taxa=) and how trees whose taxa differ are compared (prune=).
TAXA = ("same", "any")
PRUNE = ("common", "pairwise")

# The memory a block of `distances_chunked` may take by default, in MiB: scikit-learn's default working_memory.
WORKING_MEMORY = 1024

# Prunings a set keeps for later calls (each a set of its own): the common taxa, and a few of `against`.
_KEPT_PRUNINGS = 4

# The layout of a pickled set's state. The first (no version) had no checksum.
_STATE_VERSION = 2

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
    """An interned set of trees over one leaf set, or, read with taxa="any", over every taxon its trees hold.

    Attributes: `tree_names` (list of str), `leaf_names` (sorted list of str: every taxon of the set),
    `rooted`, `has_lengths`, `groups` (int32 per tree: index into `group_names`, one group per file or run),
    `group_names`, `positions` (int64 per tree: its 0-based position in its group's file before burn-in and
    thinning), `burnin` (the burn-in `from_files` was given, None when it was given none: see `asdsf`), `threads`
    (how many threads its calls use, None for as many as the CPUs the process may use; not pickled, so a set sent
    to another process uses that process's CPUs).
    """

    __slots__ = ("_engine", "_pruned", "burnin", "group_names", "groups", "positions", "threads", "tree_names")

    def __init__(
        self,
        engine,
        tree_names: list[str],
        groups: np.ndarray,
        group_names: list[str],
        positions,
        burnin: Burnin | None = None,
        threads: int | None = None,
    ):
        self._engine = engine
        self._pruned: dict[tuple[str, ...], TreeSet] = {}  # the set pruned to those taxa, kept for later calls
        self.tree_names = tree_names
        self.groups = groups
        self.group_names = group_names
        self.positions = positions
        self.burnin = burnin
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

        `rooted=None` follows the trees' own rooting comments: trees marked [&R] are compared rooted, [&U]
        unrooted, unmarked trees as the marked ones and unrooted when none is; marks of both kinds raise
        ValueError, as does an [&R] after an unmarked first tree of an iterator that is not a list (its trees
        are read as they come). True or False overrides the marks. `translate` maps labels to leaf names for
        every tree; `lengths=False` drops branch lengths (wrf, kf and kf2 then refuse); `groups` gives each
        tree's group (index into `group_names`), default one group; `threads` is the set's `threads`. Malformed
        trees raise ValueError with the tree's 0-based position in `tree_index`. `taxa="same"` refuses trees whose
        leaf sets differ, naming the taxa; `taxa="any"` keeps them, to be compared with a pruning mode (see
        `distances`).

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
        """Reads Newick or NEXUS files (TRANSLATE tables applied, gzip detected), '-' for standard input, or
        file objects that `read` bytes or text, in one pass. Each run is one group: a Newick file, or one TREES
        block of a NEXUS file (joined MrBayes runs hold several).

        `burnin` drops the first trees of each run: a count (100 or "100"), a percentage ("25%", below 100%) or
        a share below 1 (0.25, "0.25" or Fraction(1, 4)), floor(share x trees) of each run; then every
        `every`-th tree is kept and `positions` are the kept trees' places in their runs. The set remembers the
        burn-in it was given (`burnin`, 0 included), so that `asdsf()` does not drop another. `rooted=None`
        follows the files' own [&R]/[&U] comments as `from_newick` does (True or False overrides them);
        `threads` is the set's `threads`. A fault in a tree raises ValueError naming its file, line and tree, and
        the taxa when leaf sets differ (unless `taxa="any"`, as in `from_newick`).
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
        """The set of the trees the `readings` read, one after another: `rooted` as in `from_files`, or the
        `Rooting` a caller has already settled for them; `on_tree` sees each file's count of trees read so far.
        A fault in a tree raises ValueError naming its file, line and tree; its `tree_index` counts the kept
        trees of all readings. The set's `burnin` is the first reading's; `taxa` is as in `from_newick`.
        (`rooting=` is the former spelling of `rooted=`.)"""
        any_taxa = _any_taxa(taxa)
        if rooting is not None:
            deprecation.warn("TreeSet.from_reading(rooting=...)", "write rooted=...")
            rooted = rooting
        rooting = rooted if isinstance(rooted, Rooting) else rooting_of(rooted, readings)
        reading = sources.read(readings, rooting, on_tree)
        try:
            engine = _build_from(reading, rooting.rooted, lengths, any_taxa, _thread_count(threads))
        except ValueError as err:
            sources.settle(readings, reading)
            located = ValueError(explain(readings, err, rooting.rooted, any_taxa))
            located.tree_index = getattr(err, "tree_index", None)  # type: ignore[attr-defined]
            raise located from None
        sources.settle(readings, reading)
        groups: list[int] = []
        first_run = 0
        for files in readings:
            groups += [first_run + group for group in files.groups()]
            first_run += len(files.runs)
        return cls(
            engine,
            [name for files in readings for name in files.names],
            np.asarray(groups, dtype=np.int32),
            [run.label() for files in readings for run in files.runs],
            np.asarray([p for files in readings for p in files.positions], dtype=np.int64),
            readings[0].selection.burnin if readings else None,
            threads,
        )

    # description

    def __len__(self) -> int:
        return self._engine.n_trees

    @property
    def n_trees(self) -> int:
        """The number of trees: the former spelling of len(tree_set)."""
        deprecation.warn("TreeSet.n_trees", "write len(tree_set)")
        return self._engine.n_trees

    @property
    def leaf_names(self) -> list[str]:
        return self._engine.leaf_names

    @property
    def rooted(self) -> bool:
        return self._engine.rooted

    @property
    def has_lengths(self) -> bool:
        return self._engine.lengths

    def __repr__(self) -> str:
        kind = "rooted" if self.rooted else "unrooted"
        return f"<TreeSet of {len(self)} {kind} trees over {len(self.leaf_names)} leaves>"

    # taxa

    @property
    def taxa_differ(self) -> bool:
        """Whether the trees hold different taxa (a set read with taxa="any"): then only calls with a pruning
        mode compare them."""
        return self._engine.differing_taxa

    def tree_taxa(self, tree: int) -> list[str]:
        """The taxa tree number `tree` holds, sorted."""
        names = self.leaf_names
        return [names[leaf] for leaf in self._engine.tree_taxa(int(tree))]

    def common_taxa(self) -> list[str]:
        """The taxa every tree holds, sorted."""
        names = self.leaf_names
        return [names[leaf] for leaf in self._engine.common_taxa()]

    def pruned(self, taxa: Sequence[str] | None = None) -> TreeSet:
        """The trees pruned to `taxa` (names every tree holds; by default the taxa every tree holds): a set of
        trees that all hold the same taxa, with the same names, groups and positions. Pruning removes the other
        leaves and merges every node left with one child into its neighbour, a root of degree 2 of unrooted
        trees included: the merged edge's length is the sum of the two. Fewer than 4 taxa (3 for rooted trees)
        raise ValueError.

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
            engine, self.tree_names, self.groups, self.group_names, self.positions, self.burnin, self.threads
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

        Metrics: "rf" (uint32) splits in exactly one of the two trees; "rf_norm" (float64) RF divided by the
        number of non-trivial splits of both trees, 0 when neither has any; "wrf" and "kf" (float64) the sum of
        absolute and the root of the sum of squared branch-length differences over all splits, pendant edges
        included; "info_rf" (float64, unrooted only) the sum over splits in exactly one tree of their
        phylogenetic information, -log2[(2a-3)!!(2b-3)!!/(2n-5)!!] bits for a split of a and b leaves.

        `rows` and `cols` are None (all trees), a range or slice, or integer indices (repeats allowed). The result
        has shape (len(rows), len(cols)) and is written into `out` when given: a C-contiguous writable array of
        the metric's dtype and that shape, an np.memmap included. The whole matrix equals the `cladomatic`
        module's matrix bit for bit for rf, wrf and kf. `threads` overrides the set's for this call; a `Progress`
        given as `progress` counts the block's rows as they are finished.

        Trees whose taxa differ (a set read with taxa="any") are compared only with a pruning mode, else
        ValueError names the taxa: `prune="common"` compares every tree pruned to the taxa all trees hold (see
        `pruned`); `prune="pairwise"` compares each pair on the taxa its two trees share, every metric as float64,
        rf_norm over the pair's own non-trivial splits and info_rf for the pair's own number of taxa. A pair
        sharing fewer than 4 taxa (3 rooted) has no distance: nan, counted in one PairsWithoutDistance warning.

        >>> ts = TreeSet.from_newick(["(A,B,(C,D));", "(A,C,(B,D));", "(A,D,(B,C));"])
        >>> ts.distances("rf_norm", rows=slice(0, 1))
        array([[0., 1., 1.]])
        """
        if _prune_mode(prune) == "common":
            return self.pruned().distances(metric, rows=rows, cols=cols, out=out, threads=threads, progress=progress)
        dtype = self._check_metric(metric)
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
        if prune is None:
            self._engine.distances(metric, row_index, col_index, out, self._threads(threads), _progress(progress))
        else:
            short = self._engine.pruned_distances(metric, row_index, col_index, out, self._threads(threads))
            _warn_short(short, out.size, self.rooted)
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
        """Trees of this set against trees of `other` (same leaf names, same rootedness): by default every
        tree against every tree, a len(self) x len(other) matrix; `rows` picks trees of this set and `cols`
        trees of `other` as in `distances`. Written into `out` when given; `threads` and `progress` as in
        `distances`. With `prune` the taxa may differ, as in `distances`: "common" prunes both sets to the taxa
        every tree of either holds, "pairwise" compares each pair on the taxa it shares (the
        gene-trees-against-a-species-tree comparison).

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
        dtype = self._check_metric(metric)
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
                other._engine, metric, row_index, col_index, out, self._threads(threads)
            )
            _warn_short(short, out.size, self.rooted)
        elif out.size:
            try:
                self._engine.against(
                    other._engine, metric, row_index, col_index, out, self._threads(threads), _progress(progress)
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
        """The whole square matrix as blocks of rows, top to bottom: each block as many rows as fit in
        `working_memory` MiB (WORKING_MEMORY, 1024, when None), at least one. `reduce_func(block, start)`, with
        `start` the block's first row, turns each block into what is yielded (a block of row means, say), so that
        the matrix never exists whole; without it the block itself is yielded. `threads` and `prune` as in
        `distances`; the arguments are checked at the call, before the first block.

        `out`, a C-contiguous writable (len, len) array of the metric's type (an np.memmap included), makes each
        block the rows of `out` it fills, and computes each pair once: the cells left of a block's diagonal are
        copied from the rows of `out` filled before (the kernels give both orders of a pair the same bits). Without
        it each block is computed whole, as `distances` would compute its rows; so is every block under
        prune="pairwise", whose warning counts the pairs that each call computes.

        `upper=True` (without `out`) makes each block only its rows' cells from the diagonal rightwards, shape
        (rows, len - start), so that each pair is computed once and nothing is kept: for a caller that puts the
        cells below the diagonal where it keeps the matrix (a file), the transpose of each block's columns right
        of its own rows. Each block is valid until the next one is made.

        >>> ts = TreeSet.from_newick(["(A,B,(C,D));", "(A,C,(B,D));", "(A,D,(B,C));"])
        >>> [block.sum(axis=1) for block in ts.distances_chunked(working_memory=24 / 2**20)]
        [array([4, 4], dtype=uint64), array([4], dtype=uint64)]
        """
        if _prune_mode(prune) == "common":
            return self.pruned().distances_chunked(
                metric, reduce_func=reduce_func, working_memory=working_memory, threads=threads, out=out, upper=upper
            )
        dtype = self._check_metric(metric)
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
        """Per tree, its mean distance to the other trees, from split counts and per-split sums (no matrix):
        "rf", "info_rf", or "kf2" (mean squared KF distance). Zeros for a set of one tree. `threads` as in
        `distances`; `prune="common"` compares the trees pruned to the taxa all of them hold.

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
        """The tree with the least mean distance to the others (the first on ties); the arguments as in
        `mean_distances`."""
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
        """(splits, frequencies): the splits of `split_counts`, and per group the share of its trees that hold
        each split (float64, shape (groups, n_splits)), nan for a group without trees; the arguments as in
        `split_counts`.

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
        """(splits, counts): every non-trivial split of the set as a bool row over `leaf_names` (its canonical
        side: for unrooted trees the side without the first leaf), and per group the number of its trees that
        hold each split, shape (len(group_names), n_splits). `groups`, one integer of at least 0 per tree,
        counts by other groups instead (stretches of the runs, say); counts then has max(groups) + 1 rows.
        `threads` as in `distances`; `prune="common"` counts the splits of the trees pruned to the taxa all of
        them hold (rows over those taxa).

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
        """(sides, per_tree): every split of the set, pendant edges included, as a bool row over `leaf_names`
        (rooted: the clade; unrooted: the side without the first leaf, a pendant edge its own leaf), and per
        tree which splits it holds (bool, [trees, splits]) or with `lengths` each split's branch length in it
        (float64, 0.0 where it lacks the split): the arrays of the `cladomatic splits` command. `threads` as in
        `distances`; `prune="common"` gives the splits of the trees pruned to the taxa all of them hold."""
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
        """[points, 2]: the average and the maximum standard deviation of split frequencies between the groups
        (runs), as MrBayes defines them, at `points` points along the chains; the last row is the whole sample
        after the burn-in, given as `from_files` takes it. `burnin=None` drops MrBayes's default of 25% of each
        run when the set was read without a burn-in argument, and nothing when `from_files` was given one (0
        included), which has already been dropped. `min_freq` lies between 0 and 1. `threads` as in `distances`;
        `prune="common"` compares the splits of the trees pruned to the taxa all of them hold."""
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
        """The effective sample size of the topologies of each group (run), its trees in their order in the run:
        method "frechet" (the Fréchet correlation ESS, lower-bound form) or "pseudo" (the median over focal trees
        of coda's effectiveSize of their distance traces). `focal`: positions within every run, or how many to
        draw (20 by default) with numpy.random.default_rng(seed); `details=True` (pseudo only) gives [runs, 2],
        the median and the minimum. The definitions are in cladomatic_tools.ess. `threads` as in `distances`;
        `prune="common"` compares the trees pruned to the taxa all of them hold."""
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
        """(coordinates [trees, dims], eigenvalues [dims], share of the variation [dims]): classical MDS of the
        distances, exact up to 1,000 trees and landmark MDS with up to 500 landmarks above ("exact" or "landmark"
        chooses); `threads` and `prune` as in `distances`."""
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
    ) -> str:
        """The majority-rule consensus as a Newick string: the splits in more than `min_freq` (0.5 to 1, not
        included) of the trees, each inner node labelled with its split's frequency and each branch as long as its
        split's mean length. `greedy` builds the greedy consensus instead: every split in decreasing frequency
        (ties: the one held by an earlier tree first), kept when compatible with those kept before it. `threads`
        as in `distances`; `prune="common"` summarises the trees pruned to the taxa all of them hold.

        >>> TreeSet.from_newick(["(A,B,(C,D));", "(A,B,(C,D));", "(A,C,(B,D));"]).consensus()
        '(A,B,(C,D)0.666667);'
        """
        from cladomatic_tools import summaries

        working = self._working_set(prune, "consensus")
        return summaries.newick(summaries.consensus(working, min_freq, greedy, threads=threads))

    def mcc(self, *, threads: int | None = None, progress: Progress | None = None, prune: str | None = None) -> int:
        """The index of the maximum clade credibility tree: the tree whose non-trivial splits have the largest
        product of frequencies (the first of equal ones). `threads` as in `distances`; a `Progress` counts the
        trees scored; `prune="common"` scores the trees pruned to the taxa all of them hold.

        >>> TreeSet.from_newick(["(A,C,(B,D));", "(A,B,(C,D));", "(A,B,(C,D));"]).mcc()
        1
        """
        working = self._working_set(prune, "mcc")
        return int(working._engine.mcc(working._threads(threads), _progress(progress)))

    def support(self, reference: str | Sequence[str] | TreeSet, *, threads: int | None = None) -> str | list[str]:
        """A reference tree (Newick) with each of its splits labelled by its frequency in this set (its own labels
        replaced, its lengths kept); a list of trees or a TreeSet gives a list. Same taxa and rooting required;
        `threads` as in `distances`.

        >>> TreeSet.from_newick(["(A,B,(C,D));", "(A,C,(B,D));"]).support("(A,B,(C,D)0.99);")
        '(A,B,(C,D)0.500000);'
        """
        from cladomatic_tools import summaries

        if isinstance(reference, TreeSet):
            references = reference
        else:
            texts = [reference] if isinstance(reference, str) else list(reference)
            references = TreeSet.from_newick(texts, rooted=self.rooted, threads=threads)
        written = [summaries.newick(tree) for tree in summaries.support_trees(self, references, threads=threads)]
        return written[0] if isinstance(reference, str) else written

    def topologies(self, *, threads: int | None = None, prune: str | None = None) -> tuple[np.ndarray, np.ndarray]:
        """(ids, counts): per tree the id of its topology (uint32, numbered in order of first appearance), and per
        topology the number of trees that have it (int64). `threads` as in `distances`; `prune="common"` compares
        the topologies of the trees pruned to the taxa all of them hold.

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
        # the burn-in as it was given: its text reads back as the same Burnin
        burnin = None if self.burnin is None else self.burnin.text
        fields = (self._engine.save(), self.tree_names, self.groups, self.group_names, self.positions, burnin)
        return _restore, (_STATE_VERSION, _state_digest(_STATE_VERSION, fields), *fields)

    def _threads(self, threads: int | None) -> int:
        return _thread_count(self.threads if threads is None else threads)

    def _with_threads(self, threads: int | None) -> TreeSet:
        """The set itself, or the same trees with a call's own `threads`, for analyses that make many calls."""
        _thread_count(threads)
        if threads is None or threads == self.threads:
            return self
        return TreeSet(
            self._engine, self.tree_names, self.groups, self.group_names, self.positions, self.burnin, threads
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

    def _check_metric(self, metric: str) -> np.dtype:
        info = metric_info(metric)
        if info.unrooted_only:
            self._refuse_rooted(metric)
        if info.needs_lengths and not self.has_lengths:
            raise ValueError(f"{metric} needs branch lengths: the set was read with lengths=False")
        return np.dtype(info.dtype)

    def _refuse_rooted(self, metric: str) -> None:
        if self.rooted:
            raise ValueError(
                f"{metric} is defined for unrooted trees only; this set was read as rooted trees (rooted=True, or "
                "trees marked [&R]): read it with rooted=False to compare them unrooted"
            )


def _restore(version, digest=None, *fields) -> TreeSet:
    """A pickled set, refused with ValueError unless its checksum matches and every invariant the kernels rely
    on holds: a damaged pickle must never load as another set."""
    if isinstance(version, bytes):  # the first layout began with the engine's bytes
        raise ValueError(
            "Not a saved tree set: it was saved by an older version of cladomatic_tools, without a checksum; "
            "read its trees again."
        )
    if version != _STATE_VERSION:
        raise ValueError(f"Not a saved tree set: unknown layout {version!r}.")
    try:
        intact = digest == _state_digest(version, fields)
    except TypeError:
        intact = False
    if not intact:
        raise ValueError("Not a saved tree set: its checksum does not match (the data is damaged).")
    data, tree_names, groups, group_names, positions, burnin = fields
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
    return TreeSet(engine, tree_names, groups, group_names, positions, given)


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
