"""How well MCMC runs sampled their parameters: each parameter's effective sample size per run, and, with two
runs or more, its potential scale reduction factor.

- The ESS is R's `coda::effectiveSize` of one run's samples after the burn-in: n var(x) / S(0), where S(0) is
  the spectral density at frequency zero of an autoregressive model fitted by Yule-Walker with the order chosen
  by AIC (`ar(x, aic=TRUE)`, orders up to min(n - 1, floor(10 log10 n))); 0 when the samples are constant or
  lie on a straight line, as coda gives.
- The PSRF is the one MrBayes's `sump` prints, which follows Gelman and Rubin without the degrees-of-freedom
  correction: with m runs of n_j samples, n their mean, S_j the sum of squared deviations of run j from its
  mean and B the variance of the runs' means (m - 1 denominator), PSRF = sqrt((n - 1)/n + (m + 1)/m B/W).
  MrBayes's W is not the mean within-run variance: its sums of squares accumulate from run to run, so that
  W = (1/m) sum_j (S_1 + ... + S_j)/(n_j - 1). The figure here is MrBayes's, so that it equals what `sump`
  prints; for two runs W weighs the first run's variance twice.
"""

import math
from dataclasses import dataclass

import numpy as np

from cladomatic_tools.ess import effective_size
from cladomatic_tools.io.parameter_tables import ParameterTable
from cladomatic_tools.selection import Burnin


@dataclass(frozen=True, slots=True)
class ParameterSummary:
    names: list[str]
    kept: np.ndarray  # [runs] samples after the burn-in
    burned: np.ndarray  # [runs] samples dropped
    ess: np.ndarray  # [runs, parameters]
    psrf: np.ndarray | None  # [parameters]; None for one run


def psrf(chains: list[np.ndarray]) -> float:
    """MrBayes's potential scale reduction factor of one parameter over two or more runs (see the module's
    docstring); NaN where the runs do not vary within, where MrBayes prints NA."""
    m = len(chains)
    counts = np.array([len(chain) for chain in chains], dtype=np.float64)
    squares = np.array([np.sum((chain - chain.mean()) ** 2) for chain in chains])
    within = np.sum(np.cumsum(squares) / (counts - 1.0)) / m
    between = np.var([chain.mean() for chain in chains], ddof=1)
    if not within > 0.0:
        return math.nan
    weight = counts.sum() / m
    return math.sqrt((weight - 1.0) / weight + (m + 1.0) / m * between / within)


def summarise(tables: list[ParameterTable], burnin: Burnin) -> ParameterSummary:
    """The ESS of every parameter in every run and, with two runs or more, their PSRF; each run's first samples
    dropped by the same burn-in rule as its trees. Raises ValueError when the runs' columns differ."""
    names = tables[0].names
    for table in tables[1:]:
        if table.names != names:
            raise ValueError(f"{table.path} and {tables[0].path} hold different parameters")
    burned = np.array([burnin.dropped(len(table.generations)) for table in tables], dtype=np.int64)
    kept = np.array([len(table.generations) for table in tables], dtype=np.int64) - burned
    if np.any(kept < 2):
        run = int(np.argmax(kept < 2))
        raise ValueError(f"a burn-in of {burnin} leaves fewer than 2 samples of {tables[run].path}")
    samples = [table.values[first:] for table, first in zip(tables, burned)]
    ess = np.array([[effective_size(run[:, k]) for k in range(len(names))] for run in samples])
    reduction = None
    if len(tables) > 1:
        reduction = np.array([psrf([run[:, k] for run in samples]) for k in range(len(names))])
    return ParameterSummary(names, kept, burned, ess, reduction)
