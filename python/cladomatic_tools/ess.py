"""How many independent trees is a chain worth? Two effective sample sizes of tree topologies, per run.

A chain is one run's trees in their order in the run. Both estimators work on distances between its trees, in any
metric of the tree set; neither needs more than one band of rows of the distance matrix at a time.

Fréchet correlation ESS (Magee, Karcher, Matsen and Minin, Bayesian Analysis 19(2), 2024), lower-bound form. For a
chain of n trees with D the squared distances: for each lag t = 1 ... n-6, with m = n-t,

- v1(t) is the sum of D over the pairs of trees t ... n-1 (the chain without its first t trees) over 2 C(m, 2),
- v2(t) the same over trees 0 ... m-1 (the chain without its last t trees),
- j(t) the mean of D[s, s+t] over s = 0 ... m-1,
- rho(t) = (v1 + v2 - j) / 2 / sqrt(v1 v2), or 1 when v1 or v2 is 0.

The pair sums P_k = rho(2k-1) + rho(2k), k = 1, 2, ..., are formed until the first negative one (which is kept)
or until the lags run out (an unpaired last lag is not used), then made non-increasing (P_k = min(P_k-1, P_k)).
tau = 1 + 2 x the sum of every P_k but the last one computed when P_1 > 0, else 1, and the ESS is n / tau. The
last P_k is dropped even when the lags ran out rather than at a negative one: that is how the published code
reads, and keeping it lets the figures be compared with it. A chain whose distances are all 0 has ESS 1; a chain
of 7 trees or fewer has no lag pair, so tau = 1. Every v1, v2 and j is a suffix, prefix or diagonal sum of D,
gathered here in one pass over bands of rows of the upper triangle: O(n^2) time and O(n) memory beyond a band.

Pseudo-ESS (Lanfear, Hua and Warren, Genome Biology and Evolution, 2016): for each focal tree, the trace of every
tree's distance to it along the chain, and that trace's ESS as R's coda::effectiveSize computes it: n var(x) / S(0),
where S(0) is the spectral density at frequency 0 of an autoregressive model fitted by Yule-Walker with the order
chosen by AIC, as stats::ar(x, aic=TRUE) fits it (order at most min(n-1, floor(10 log10 n))):
S(0) = sigma^2 / (1 - sum of the coefficients)^2, sigma^2 the innovation variance times n / (n - order - 1). As in
coda, a trace whose residuals about a straight line through it have a standard deviation of sqrt(machine
epsilon) or less (a constant trace among them) has ESS 0. The run's figure is the median over its focal trees.
"""

import math
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np

from cladomatic_tools.defaults import DEFAULT_ESS_FOCAL

METHODS = ("frechet", "pseudo")
# Cells of squared distances per band: 16 MiB of float64. A band's rows are fixed by the chain's length alone,
# so the sums are added in the same order whatever the machine.
BAND_CELLS = 1 << 21
# coda calls a trace flat when all.equal(sd(residuals), 0) holds: an absolute difference of sqrt(epsilon)
_FLAT = math.sqrt(np.finfo(np.float64).eps)


@dataclass(frozen=True, slots=True)
class RunEss:
    """Both estimators for one run; the pseudo-ESS as the median and the minimum over its focal trees."""

    trees: int
    frechet: float
    pseudo_median: float
    pseudo_min: float


def chains(tree_set, skip: Sequence[int] | np.ndarray | None = None) -> list[np.ndarray]:
    """Per group (run) of the set, the indices of its trees in their order in the run, without the first
    skip[r] trees of run r when `skip` is given."""
    groups = np.asarray(tree_set.groups, dtype=np.int64)
    order = np.lexsort((np.asarray(tree_set.positions), groups))
    runs = len(tree_set.group_names)
    bounds = np.concatenate([[0], np.cumsum(np.bincount(groups, minlength=runs))])
    return [order[bounds[r] + (skip[r] if skip is not None else 0) : bounds[r + 1]] for r in range(runs)]


Focal = int | Sequence[int] | None


def topological_ess(tree_set, metric: str, method: str, focal: Focal, seed: int, details: bool) -> np.ndarray:
    """One ESS per run of the set; see the module's notes for both definitions. With method="pseudo", `focal`
    is the focal trees' positions within every run, or how many to draw in each (DEFAULT_ESS_FOCAL when None) with
    numpy.random.default_rng(seed); `details=True` gives [runs, 2]: the median and the minimum."""
    if method not in METHODS:
        raise ValueError(f"unknown ESS method {method!r}; expected one of {', '.join(METHODS)}")
    runs = chains(tree_set)
    if method == "frechet":
        if focal is not None or details:
            raise ValueError("focal trees and details belong to the pseudo-ESS (method='pseudo')")
        return np.array([frechet_ess(tree_set, chain, metric) for chain in runs])
    rng = np.random.default_rng(seed)
    values = [pseudo_ess(tree_set, chain, metric, focal_positions(len(chain), focal, rng)) for chain in runs]
    summary = np.array([_median_and_min(v) for v in values]).reshape(len(runs), 2)
    return summary if details else summary[:, 0]


def run_table(tree_set, runs: list[np.ndarray], metric: str, focal: int | None, seed: int) -> list[RunEss]:
    """Both estimators for each chain in `runs` (as `chains` gives them)."""
    rng = np.random.default_rng(seed)
    table = []
    for chain in runs:
        median, least = _median_and_min(pseudo_ess(tree_set, chain, metric, focal_positions(len(chain), focal, rng)))
        table.append(RunEss(len(chain), frechet_ess(tree_set, chain, metric), median, least))
    return table


# Fréchet correlation ESS


@dataclass(frozen=True, slots=True)
class LagSums:
    """Sums of squared distances along one chain of n trees, all exact for an integer metric.

    upper[i]: over j > i of D[i, j]; lower[j]: over i < j of D[i, j]; diagonal[t]: over s of D[s, s+t]."""

    upper: np.ndarray
    lower: np.ndarray
    diagonal: np.ndarray


def frechet_ess(tree_set, chain: np.ndarray, metric: str = "rf") -> float:
    """The Fréchet correlation ESS of the trees `chain` (indices into the set, in chain order)."""
    n = len(chain)
    if n == 0:
        return 0.0
    return frechet_from_sums(lag_sums(tree_set, chain, metric))


def lag_sums(tree_set, chain: np.ndarray, metric: str) -> LagSums:
    """The chain's sums over bands of rows of its upper triangle, one band of distances held at a time."""
    n = len(chain)
    chain = np.asarray(chain)
    # an empty block checks the metric and names its type
    cell_type = tree_set.distances(metric, rows=[], cols=[]).dtype
    # integer sums stay exact while n^2 squares of the largest RF, 2 x leaves, fit in 63 bits
    exact = cell_type.kind in "iu" and n * n * (2 * len(tree_set.leaf_names)) ** 2 < 2**62
    squares_type = np.int64 if exact else np.float64
    upper = np.zeros(n, dtype=squares_type)
    lower = np.zeros(n, dtype=squares_type)
    diagonal = np.zeros(n, dtype=squares_type)
    height = max(1, min(n, BAND_CELLS // max(n, 1)))
    distances = np.empty(height * n, dtype=cell_type)
    # each row padded by the band's height with zeros, so that a skewed view runs along the diagonals
    squares = np.empty(height * (n + height), dtype=squares_type)
    for first in range(0, n, height):
        rows = min(height, n - first)
        width = n - first
        block = distances[: rows * width].reshape(rows, width)
        tree_set.distances(metric, rows=chain[first : first + rows], cols=chain[first:], out=block)
        band = squares[: rows * (width + rows)].reshape(rows, width + rows)
        np.multiply(block, block, out=band[:, :width], dtype=squares_type)
        band[:, width:] = 0
        # only the pairs i < j: the band's own square on and below its diagonal is left out
        band[:, :rows] = np.triu(band[:, :rows], 1)
        upper[first : first + rows] = band.sum(axis=1)
        lower[first:] += band[:, :width].sum(axis=0)
        skewed = np.lib.stride_tricks.as_strided(
            band, shape=(rows, width), strides=(band.strides[0] + band.strides[1], band.strides[1]), writeable=False
        )
        diagonal[:width] += skewed.sum(axis=0)
    return LagSums(upper, lower, diagonal)


def frechet_from_sums(sums: LagSums) -> float:
    """The ESS from a chain's lag sums."""
    n = len(sums.upper)
    suffix = np.cumsum(sums.upper[::-1])[::-1]  # suffix[t]: pairs within trees t ... n-1
    if suffix[0] == 0:
        return 1.0
    prefix = np.cumsum(sums.lower)  # prefix[m-1]: pairs within trees 0 ... m-1
    lags = np.arange(1, n - 5)  # none below 7 trees, and a pair of them from 8
    m = (n - lags).astype(np.float64)
    pairs = m * (m - 1.0)
    v1 = suffix[lags].astype(np.float64) / pairs
    v2 = prefix[n - lags - 1].astype(np.float64) / pairs
    j = sums.diagonal[lags].astype(np.float64) / m
    with np.errstate(divide="ignore", invalid="ignore"):
        rho = np.where((v1 == 0) | (v2 == 0), 1.0, (v1 + v2 - j) / 2.0 / np.sqrt(v1 * v2))
    return n / autocorrelation_time(rho)


def autocorrelation_time(rho: np.ndarray) -> float:
    """tau from the correlations at lags 1, 2, ... (rho[0] is lag 1), by the pair sums of the module's notes."""
    pair_count = len(rho) // 2
    pairs = rho[0 : 2 * pair_count : 2] + rho[1 : 2 * pair_count : 2]
    negative = np.flatnonzero(pairs < 0)
    if negative.size:
        pairs = pairs[: negative[0] + 1]
    if pairs.size == 0 or not pairs[0] > 0:
        return 1.0
    pairs = np.minimum.accumulate(pairs)
    return 1.0 + 2.0 * float(pairs[:-1].sum())


# pseudo-ESS


def focal_positions(trees: int, focal: Focal, rng: np.random.Generator) -> np.ndarray:
    """Positions within a run of `trees` trees: those given, or `focal` (DEFAULT_ESS_FOCAL when None) drawn without
    replacement, every tree when the run holds no more."""
    if focal is None or isinstance(focal, (int, np.integer)):
        wanted = DEFAULT_ESS_FOCAL if focal is None else int(focal)
        if isinstance(focal, bool) or wanted < 1:
            raise ValueError(f"the number of focal trees must be at least 1, not {focal!r}")
        return rng.choice(trees, size=min(wanted, trees), replace=False) if trees else np.zeros(0, dtype=np.int64)
    positions = np.asarray(focal)
    if positions.ndim != 1 or positions.size == 0 or positions.dtype.kind not in "iu":
        raise ValueError("focal must be a count or a non-empty list of integer positions within a run")
    if positions.min() < 0 or positions.max() >= trees:
        bad = int(positions.min() if positions.min() < 0 else positions.max())
        raise IndexError(f"focal position {bad} is outside a run of {trees} trees")
    return positions


def pseudo_ess(tree_set, chain: np.ndarray, metric: str, focal: np.ndarray) -> np.ndarray:
    """The ESS of each focal tree's distance trace (focal: positions within the chain)."""
    chain = np.asarray(chain)
    if not len(chain):
        return np.zeros(0)
    traces = tree_set.distances(metric, rows=chain[focal], cols=chain)
    return np.array([effective_size(trace) for trace in traces.astype(np.float64)])


def effective_size(trace: np.ndarray) -> float:
    """coda::effectiveSize of one trace: n var(x) / S(0), 0 where S(0) is 0."""
    x = np.asarray(trace, dtype=np.float64)
    spectrum = spectrum_at_zero(x)
    return 0.0 if spectrum == 0 else x.size * float(x.var(ddof=1)) / spectrum


def spectrum_at_zero(x: np.ndarray) -> float:
    """coda::spectrum0.ar: the spectral density at 0 of the AR model stats::ar(x, aic=TRUE) fits; 0 for a trace
    that a straight line fits to within sqrt(epsilon), a trace of fewer than 2 values included."""
    n = x.size
    if n < 2:
        return 0.0
    time = np.arange(1, n + 1, dtype=np.float64)
    time -= time.mean()
    centred = x - x.mean()
    residuals = centred - (time @ centred) / (time @ time) * time
    if not residuals.std(ddof=1) > _FLAT:
        return 0.0
    order_max = min(n - 1, math.floor(10 * math.log10(n)))
    centred -= centred.mean()
    autocovariance = np.array([centred[: n - lag] @ centred[lag:] for lag in range(order_max + 1)]) / n
    coefficients, variances = yule_walker(autocovariance)
    with np.errstate(divide="ignore", invalid="ignore"):
        aic = n * np.log(variances) + 2.0 * np.arange(order_max + 1)
    order = int(np.argmin(np.where(np.isnan(aic), np.inf, aic)))
    innovation = variances[order] * n / (n - (order + 1))
    return float(innovation / (1.0 - coefficients[order].sum()) ** 2)


def yule_walker(autocovariance: np.ndarray) -> tuple[list[np.ndarray], np.ndarray]:
    """The Durbin-Levinson recursion over autocovariances c(0) ... c(p): per order k = 0 ... p, the AR
    coefficients and the innovation variance of the Yule-Walker fit of that order."""
    p = len(autocovariance) - 1
    coefficients = [np.zeros(0)]
    variances = np.empty(p + 1)
    variances[0] = autocovariance[0]
    phi = np.zeros(0)
    for k in range(1, p + 1):
        # the k-th partial autocorrelation, from the fit of order k - 1
        reflection = (autocovariance[k] - phi @ autocovariance[k - 1 : 0 : -1]) / variances[k - 1]
        phi = np.append(phi - reflection * phi[::-1], reflection)
        coefficients.append(phi)
        variances[k] = variances[k - 1] * (1.0 - reflection * reflection)
    return coefficients, variances


def _median_and_min(values: np.ndarray) -> tuple[float, float]:
    return (float(np.median(values)), float(values.min())) if values.size else (0.0, 0.0)
