"""Have independent runs sampled the same trees? Split frequencies per run and their spread.

The diagnostics follow the definitions of MrBayes, so that the figures agree with the ones it prints to the
digit:

- the frequency of a split in a run is the share of the run's trees after the burn-in that hold it;
- its SDSF is the standard deviation of those frequencies over the runs, with the n - 1 denominator;
- the ASDSF is the mean SDSF, and the maximum SDSF the largest, over the splits whose frequency reaches the
  minimum partition frequency in at least one run (every run must reach it for a split to be left out);
- a burn-in given as a share drops the first floor(share x trees) trees of every run (see `selection`).

Everything here works on the per-run split counts of a tree set; no distance matrix is built.
"""

from collections.abc import Callable
from dataclasses import dataclass
from fractions import Fraction

import numpy as np

from cladomatic_tools.defaults import DEFAULT_MIN_FREQ, TRACE_POINTS, check_min_freq
from cladomatic_tools.selection import DEFAULT_BURNIN, Burnin, parse_burnin


@dataclass(frozen=True, slots=True)
class Diagnostic:
    asdsf: float  # NaN when no split reaches the minimum frequency
    max_sdsf: float
    splits_used: int


def frequencies(counts: np.ndarray, trees: np.ndarray) -> np.ndarray:
    """counts [runs, splits] of trees holding each split, trees [runs] > 0: frequencies [runs, splits]."""
    trees = np.asarray(trees, dtype=np.float64)
    if np.any(trees <= 0):
        raise ValueError("every run needs at least one tree after the burn-in")
    return np.asarray(counts, dtype=np.float64) / trees[:, None]


def sdsf(freqs: np.ndarray) -> np.ndarray:
    """The standard deviation of each split's frequency over the runs (n - 1 denominator)."""
    if freqs.shape[0] < 2:
        raise ValueError("split-frequency deviations need at least two runs")
    return freqs.std(axis=0, ddof=1)


def included(freqs: np.ndarray, min_freq: float) -> np.ndarray:
    """The splits that take part in the ASDSF: frequency at least `min_freq` in at least one run."""
    # a small tolerance, so that 20 of 200 trees counts as 0.10 whatever the rounding of the division
    return np.asarray((freqs >= min_freq - 1e-12).any(axis=0))


def diagnostic(freqs: np.ndarray, min_freq: float = DEFAULT_MIN_FREQ) -> Diagnostic:
    deviations = sdsf(freqs)[included(freqs, min_freq)]
    if deviations.size == 0:
        return Diagnostic(float("nan"), float("nan"), 0)
    return Diagnostic(float(deviations.mean()), float(deviations.max()), int(deviations.size))


def trace_ends(run_trees: np.ndarray, points: int = TRACE_POINTS) -> np.ndarray:
    """[points, runs]: the number of leading trees of every run at each point of the trace, the last point being
    the whole run. For 201 samples and 20 points this gives 11, 21, ..., 201: the sample counts at which MrBayes
    prints its diagnostic when it runs for 20 diagnostic intervals."""
    run_trees = np.asarray(run_trees, dtype=np.int64)
    steps = np.arange(1, points + 1, dtype=np.int64)[:, None]
    # exact integer ceil(k * n / points)
    return -((-steps * run_trees[None, :]) // points)


def trace_firsts(ends: np.ndarray, burnin: Burnin) -> np.ndarray:
    """The first tree [points, runs] each point of a trace uses: the burn-in rule applied to its leading trees."""
    return np.vectorize(burnin.dropped, otypes=[np.int64])(ends) if ends.size else ends.copy()


def segment_groups(groups: np.ndarray, positions: np.ndarray, cuts: list[np.ndarray]) -> tuple[np.ndarray, list[int]]:
    """Each tree's segment: the runs cut at the given positions (cuts[r] sorted, unique, for run r).

    Returns a per-tree segment index (run r's segments are numbered after those of runs 0..r-1) and, per run,
    the index of its first segment. Counting splits per segment once, then summing segments, gives the counts of
    any window whose ends are among the cuts, however many windows there are."""
    offsets = []
    seg = np.empty(len(groups), dtype=np.int32)
    base = 0
    for run, run_cuts in enumerate(cuts):
        mine = groups == run
        # segment k of the run holds the trees at positions in [cuts[k-1], cuts[k])
        seg[mine] = base + np.searchsorted(run_cuts, positions[mine], side="right")
        offsets.append(base)
        base += len(run_cuts) + 1
    return seg, offsets


def window_counts(
    segment_counts: np.ndarray, cuts: list[np.ndarray], offsets: list[int], first: np.ndarray, end: np.ndarray
) -> np.ndarray:
    """Split counts [runs, splits] of the trees at positions [first[r], end[r]) of each run r."""
    runs = len(cuts)
    out = np.zeros((runs, segment_counts.shape[1]), dtype=np.int64)
    for run in range(runs):
        # segments 1..len(cuts) lie between consecutive cuts; segment index k+1 starts at cuts[k]
        lo = int(np.searchsorted(cuts[run], first[run])) + 1
        hi = int(np.searchsorted(cuts[run], end[run])) + 1
        out[run] = segment_counts[offsets[run] + lo : offsets[run] + hi].sum(axis=0)
    return out


def named_sides(splits: np.ndarray, rooted: bool) -> np.ndarray:
    """The side of each split [splits, leaves] that names it best: the clade when rooted, else the smaller side
    (either side names a bipartition)."""
    if rooted:
        return splits
    return np.where((splits.sum(axis=1) * 2 > splits.shape[1])[:, None], ~splits, splits)


def mean_rf(counts: np.ndarray, trees: np.ndarray) -> np.ndarray:
    """Mean Robinson-Foulds distance [runs, runs] within (diagonal, over distinct pairs) and between runs, from
    split counts alone: RF(t, u) = |t| + |u| - 2 |t & u| summed over pairs is a sum over splits."""
    counts = np.asarray(counts, dtype=np.float64)
    trees = np.asarray(trees, dtype=np.float64)
    held = counts.sum(axis=1)  # split memberships of all trees of a run
    shared = counts @ counts.T  # [r, s]: ordered pairs (t in r, u in s) sharing a split, summed over splits
    between = trees[None, :] * held[:, None] + trees[:, None] * held[None, :] - 2.0 * shared
    out = between / np.outer(trees, trees)
    pairs = trees * (trees - 1.0)
    # within a run: the diagonal of `between` also counts each tree against itself, which adds nothing
    with np.errstate(invalid="ignore", divide="ignore"):
        within = np.where(pairs > 0, np.diag(between) / np.where(pairs > 0, pairs, 1.0), np.nan)
    out[np.diag_indices_from(out)] = within
    return out


def ordinals(groups: np.ndarray, positions: np.ndarray, runs: int) -> np.ndarray:
    """Each tree's 0-based rank within its run, in file order (positions may have gaps after thinning)."""
    order = np.lexsort((positions, groups))
    starts = np.zeros(runs + 1, dtype=np.int64)
    np.cumsum(np.bincount(groups, minlength=runs), out=starts[1:])
    ranks = np.empty(len(groups), dtype=np.int64)
    ranks[order] = np.arange(len(groups), dtype=np.int64) - starts[groups[order]]
    return ranks


@dataclass(frozen=True, slots=True)
class Report:
    run_names: list[str]
    splits: np.ndarray  # bool [splits, leaves]: the canonical side of every non-trivial split
    freqs: np.ndarray  # [runs, splits] after the burn-in
    sd: np.ndarray  # [splits]
    used: np.ndarray  # bool [splits]: taken into the ASDSF
    trees: np.ndarray  # [runs] trees after the burn-in
    burned: np.ndarray  # [runs] trees dropped
    final: Diagnostic
    trace_ends: np.ndarray  # [points, runs] leading trees of each run at each point
    trace: np.ndarray  # [points, 2]: ASDSF and maximum SDSF at each point (NaN where none is defined)
    mean_rf: np.ndarray  # [runs, runs]


def converge(
    tree_set,  # a TreeSet whose groups are the runs
    burnin: Burnin,
    min_freq: float = DEFAULT_MIN_FREQ,
    points: int = TRACE_POINTS,
    at: np.ndarray | None = None,
    *,
    every: int = 1,
) -> Report:
    """The diagnostics of the runs (the tree set's groups). The trace has `points` points evenly along the
    chains, or one point per entry of `at`: numbers of leading trees taken from every run. With `every` above
    1, each window keeps every `every`-th tree from its first one after the burn-in, as a reading does."""
    check_min_freq(min_freq)
    if isinstance(every, bool) or not isinstance(every, int) or every < 1:
        raise ValueError(f"every must be a whole number of at least 1, not {every!r}")
    runs = len(tree_set.group_names)
    if runs < 2:
        raise ValueError(f"convergence needs at least two runs, found {runs}")
    groups = np.asarray(tree_set.groups, dtype=np.int64)
    run_trees = np.bincount(groups, minlength=runs)
    if np.any(run_trees == 0):
        empty = tree_set.group_names[int(np.argmin(run_trees))]
        raise ValueError(f"run {empty} has no trees")
    ranks = ordinals(groups, np.asarray(tree_set.positions, dtype=np.int64), runs)
    if at is None:
        ends = trace_ends(run_trees, points)
    else:
        ends = np.repeat(np.asarray(at, dtype=np.int64)[:, None], runs, axis=1)
        if np.any(ends < 1) or np.any(ends > run_trees[None, :]):
            raise ValueError("every trace point must take between 1 tree and the whole of every run")
    points = len(ends)
    firsts = trace_firsts(ends, burnin)
    burned = np.array([burnin.dropped(int(n)) for n in run_trees], dtype=np.int64)
    if np.any(burned >= run_trees):
        run = int(np.argmax(burned >= run_trees))
        raise ValueError(
            f"a burn-in of {burnin} leaves no trees of run {tree_set.group_names[run]} ({run_trees[run]} trees)"
        )
    if every == 1:
        splits, counts_between = _segment_counter(tree_set, groups, ranks, firsts, ends, burned, run_trees)
    else:
        splits, counts_between = _thinned_counter(tree_set, groups, ranks, every)

    counts = counts_between(burned, run_trees)
    # a split seen only in the burn-in is no split of the sample: every table, count and plot leaves it out
    present = counts.sum(axis=0) > 0
    splits, counts = np.asarray(splits)[present], counts[:, present]
    kept = -((burned - run_trees) // every)  # ceil((run_trees - burned) / every)
    freqs = frequencies(counts, kept)
    final = diagnostic(freqs, min_freq)
    trace = np.full((points, 2), np.nan)
    for k in range(points):
        width = -((firsts[k] - ends[k]) // every)
        if np.all(width > 0):
            point = diagnostic(frequencies(counts_between(firsts[k], ends[k]), width), min_freq)
            trace[k] = (point.asdsf, point.max_sdsf)
    return Report(
        run_names=list(tree_set.group_names),
        splits=np.asarray(splits, dtype=bool),
        freqs=freqs,
        sd=sdsf(freqs),
        used=included(freqs, min_freq),
        trees=kept,
        burned=burned,
        final=final,
        trace_ends=ends,
        trace=trace,
        mean_rf=mean_rf(counts, kept),
    )


Window = Callable[[np.ndarray, np.ndarray], np.ndarray]


def _segment_counter(
    tree_set,
    groups: np.ndarray,
    ranks: np.ndarray,
    firsts: np.ndarray,
    ends: np.ndarray,
    burned: np.ndarray,
    run_trees: np.ndarray,
) -> tuple[np.ndarray, Window]:
    """(splits, the split counts of any window among the trace's), from one pass over the trees: every window
    ends at cuts of the runs, so counts per segment between cuts add up to any of them."""
    runs = len(run_trees)
    cuts = [np.unique(np.concatenate([firsts[:, r], ends[:, r], [burned[r], run_trees[r]]])) for r in range(runs)]
    seg, offsets = segment_groups(groups, ranks, cuts)
    splits, seg_counts = tree_set.split_counts(groups=seg)
    # segments no tree falls into are absent from the counts when they are the last ones
    total_segments = int(offsets[-1]) + len(cuts[-1]) + 1
    if seg_counts.shape[0] < total_segments:
        seg_counts = np.vstack(
            [seg_counts, np.zeros((total_segments - seg_counts.shape[0], seg_counts.shape[1]), np.int64)]
        )
    return splits, lambda first, end: window_counts(seg_counts, cuts, offsets, first, end)


def _thinned_counter(tree_set, groups: np.ndarray, ranks: np.ndarray, every: int) -> tuple[np.ndarray, Window]:
    """(splits, the split counts of a window thinned from its own first tree): which trees a window keeps
    depends on where it starts, so each window is a pass of its own."""
    runs = len(tree_set.group_names)
    splits, _ = tree_set.split_counts(groups=np.zeros(len(groups), dtype=np.int32))

    def counts_between(first: np.ndarray, end: np.ndarray) -> np.ndarray:
        offset = ranks - first[groups]
        kept = (offset >= 0) & (ranks < end[groups]) & (offset % every == 0)
        # the trees left out go to one group past the runs
        _, counts = tree_set.split_counts(groups=np.where(kept, groups, runs).astype(np.int32))
        out = np.zeros((runs, counts.shape[1]), dtype=np.int64)
        out[: min(runs, counts.shape[0])] = counts[:runs]
        return out

    return splits, counts_between


def asdsf(
    tree_set, burnin: str | int | Fraction | float | None = None, min_freq: float = DEFAULT_MIN_FREQ, points: int = 1
) -> np.ndarray:
    """[points, 2]: the ASDSF and the maximum SDSF of the tree set's groups (runs) at `points` points along the
    chains; the last row is the whole sample after the burn-in. Without a `burnin`, MrBayes's default applies
    unless the set was read with a burn-in of its own (`TreeSet.burnin`), which is not dropped twice."""
    if points < 1:
        raise ValueError(f"need at least one point, got {points}")
    if burnin is None:
        burnin = DEFAULT_BURNIN if tree_set.burnin is None else 0
    return converge(tree_set, parse_burnin(burnin), min_freq, points).trace
