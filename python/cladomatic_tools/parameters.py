"""How well MCMC runs sampled their parameters: the table of each parameter per run and over all runs (mean,
median, standard deviation, 95% HPD interval, effective sample size and, with two runs or more, the potential
scale reduction factor).

Three programs' figures can be asked for; each estimator brings its program's median and HPD interval too, so
that a row reads as that program prints it. Over n samples x_1 ... x_n after the burn-in, sorted s_1 <= ... <= s_n:

- "coda", as R's coda computes them: the ESS of `effectiveSize`, n var(x) / S(0), where S(0) is the spectral
  density at frequency zero of an autoregressive model fitted by Yule-Walker with the order chosen by AIC
  (`ar(x, aic=TRUE)`, orders up to min(n - 1, floor(10 log10 n))); 0 when the samples are constant or lie on a
  straight line, as coda gives. The median is R's (the mean of the two middle samples when n is even); the HPD
  interval is `HPDinterval`'s: with g = max(1, min(n - 1, round(0.95 n))), the narrowest [s_i, s_i+g], the first
  of equal ones.
- "tracer", as BEAST's loganalyser (and Tracer) print them: with the autocovariances
  c(t) = sum_j (x_j - mean)(x_j+t - mean) / (n - t), the variance sum V starts at c(0) and adds 2 (c(t-1) + c(t))
  at every even lag t = 2, 4, ... for as long as that pair is positive, stopping at the first pair that is not,
  over the lags below min(n - 1, 2000) (the lag 2000 never counts, so a trace still correlated there is cut
  off); the ESS is n c(0) / V, undefined (NA) for a constant trace. The median is the lower middle sample
  s_ceil(n/2) and the HPD interval the narrowest [s_i, s_i+k-1] holding k = floor(0.95 n + 0.5) samples, the
  first of equal ones. (loganalyser prints 0 for the median and both bounds of a constant trace; here they are
  its value.)
- "mrbayes", as MrBayes's sump prints them in its .pstat file: the ESS by exactly Tracer's rule, lag limit
  included; for two runs or more sump prints the least and the mean ESS over the runs (minESS, avgESS). The
  median is the upper middle sample s_floor(n/2)+1. The HPD interval holds k = floor(0.95 n + 0.5) samples, but
  sump measures its candidates unevenly: the first, [s_1, s_k], by its own width, every later one starting at
  s_i (i = 2 ... n - k) by the width s_i+k - s_i of k + 1 samples; the first narrowest by that measure wins and
  [s_i, s_i+k-1] is printed. The interval is therefore not always the narrowest of k samples, and is sump's.

The two programs differ in their burn-in only: sump drops a number of samples (a count, or the share
floor(burninfrac x samples)) as `--burnin` does here; loganalyser's burn-in is a state S (a generation), and it
drops the first floor(S / step) samples, the step being the states between two samples: the samples before S
rounded down to a whole step (-burnin 40100 drops as many samples as 40000 does when a sample is logged every
200 states).

Every estimator gives the same mean (of the samples) and standard deviation (n - 1 denominator). The row over all
runs pools their samples after the burn-in; its ESS is the sum of the runs' (as coda's effectiveSize of an
mcmc.list), and it alone carries the least and the mean of the runs' ESS and the PSRF.

The PSRF is the one MrBayes's `sump` prints, which follows Gelman and Rubin without the degrees-of-freedom
correction: with m runs of n_j samples, n their mean, S_j the sum of squared deviations of run j from its mean and
B the variance of the runs' means (m - 1 denominator), PSRF = sqrt((n - 1)/n + (m + 1)/m B/W). MrBayes's W is not
the mean within-run variance: its sums of squares accumulate from run to run, so that
W = (1/m) sum_j (S_1 + ... + S_j)/(n_j - 1). The figure here is MrBayes's, so that it equals what `sump` prints;
for two runs W weighs the first run's variance twice.
"""

import math
import os
from collections.abc import Callable, Sequence
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from fractions import Fraction

import numpy as np

from cladomatic_tools import deprecation
from cladomatic_tools.defaults import PARAMETER_ESTIMATORS
from cladomatic_tools.ess import effective_size
from cladomatic_tools.io.parameter_tables import ParameterTable, read_table
from cladomatic_tools.selection import DEFAULT_BURNIN, Burnin, parse_burnin

# loganalyser's and sump's autocorrelation stops below this lag whatever the trace
MAX_LAG = 2000
ALL_RUNS = "all"
# a BEAST log; anything else is read as MrBayes writes it
_TRACER_SUFFIXES = (".log", ".log.gz")


@dataclass(frozen=True, slots=True)
class ParameterRow:
    """One parameter in one run (`run` its file) or over all runs (`run` is "all"): figures after the burn-in.
    NaN where a figure is undefined (the ESS of a constant trace); `min_ess`, `avg_ess` and `psrf` belong to the
    row over all runs (None elsewhere), `psrf` to two runs or more."""

    parameter: str
    run: str
    samples: int
    mean: float
    median: float
    sd: float
    hpd_lower: float
    hpd_upper: float
    ess: float
    min_ess: float | None = None
    avg_ess: float | None = None
    psrf: float | None = None


@dataclass(frozen=True, slots=True)
class ParameterSummary:
    """The table of `summarise`: for every parameter (in the files' column order) one row per run, then one over
    all runs. `generations` and `samples` are each run's samples after the burn-in and thinning, as the rows
    were computed from them."""

    estimator: str
    runs: list[str]
    names: list[str]
    burned: np.ndarray  # [runs] samples dropped by the burn-in
    generations: list[np.ndarray]  # [runs] int64 [kept]
    samples: list[np.ndarray]  # [runs] float64 [kept, parameters]
    rows: list[ParameterRow]

    @property
    def kept(self) -> np.ndarray:
        """[runs] the samples of each run that the rows are computed from."""
        return np.array([len(g) for g in self.generations], dtype=np.int64)

    @property
    def ess(self) -> np.ndarray:
        """[runs, parameters] each run's ESS of each parameter, as the rows give it."""
        per_run = [row.ess for row in self.rows if row.run != ALL_RUNS]
        return np.array(per_run, dtype=np.float64).reshape(len(self.names), len(self.runs)).T

    @property
    def psrf(self) -> np.ndarray | None:
        """[parameters] the PSRF of each parameter; None for one run."""
        if len(self.runs) < 2:
            return None
        return np.array([row.psrf for row in self.rows if row.run == ALL_RUNS], dtype=np.float64)

    def row(self, parameter: str, run: str = ALL_RUNS) -> ParameterRow:
        """The row of `parameter` in `run`.

        Parameters
        ----------
        parameter : str
            A column of the files.
        run : str
            A file as it was given, or "all" (the default) for the row over all runs.

        Returns
        -------
        ParameterRow

        Raises
        ------
        KeyError
            When the table has no such row.

        Examples
        --------
        >>> table = summarise_files(["tests/data/params/strict.run1.log.gz"], burnin=0)
        >>> table.row("kappa", "tests/data/params/strict.run1.log.gz").samples
        2001
        """
        for row in self.rows:
            if row.parameter == parameter and row.run == run:
                return row
        raise KeyError(f"no row for {parameter} in {run}")


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


def autocorrelation_ess(trace: np.ndarray) -> float:
    """The ESS of one trace by loganalyser's and sump's rule (see the module's docstring).

    Parameters
    ----------
    trace : array_like of float
        The samples in their order in the run.

    Returns
    -------
    float
        n c(0) / V; NaN for a constant trace or one of fewer than 2 samples.

    Examples
    --------
    >>> autocorrelation_ess([1.0, 2.0, 1.0, 2.0, 1.0, 2.0])
    6.0
    >>> round(autocorrelation_ess([1.0, 1.1, 1.3, 1.6, 2.0, 2.5, 3.1, 3.8]), 4)
    2.613
    """
    x = np.asarray(trace, dtype=np.float64)
    n = x.size
    if n < 2 or x.min() == x.max():
        return math.nan
    centred = x - x.mean()
    first = float(centred @ centred) / n
    total = first
    previous = 0.0
    for lag in range(1, min(n - 1, MAX_LAG)):
        current = float(centred[: n - lag] @ centred[lag:]) / (n - lag)
        if lag % 2 == 0:
            if previous + current > 0:
                total += 2.0 * (previous + current)
            else:
                break
        previous = current
    return n * first / total


def _window(sorted_values: np.ndarray, width: int) -> tuple[float, float]:
    """The narrowest [s_i, s_i+width-1], the first of equal ones."""
    spans = sorted_values[width - 1 :] - sorted_values[: sorted_values.size - width + 1]
    start = int(np.argmin(spans))
    return float(sorted_values[start]), float(sorted_values[start + width - 1])


def _coda_hpd(s: np.ndarray) -> tuple[float, float]:
    # R's round() halves to even, as Python's does
    return _window(s, max(1, min(s.size - 1, round(0.95 * s.size))) + 1)


def _tracer_hpd(s: np.ndarray) -> tuple[float, float]:
    return _window(s, max(1, math.floor(0.95 * s.size + 0.5)))


def _mrbayes_hpd(s: np.ndarray) -> tuple[float, float]:
    width = max(1, math.floor(0.95 * s.size + 0.5))
    start = 0
    # sump's later candidates are measured one sample wider than the first (see the module's docstring)
    later = s[width + 1 :] - s[1 : s.size - width]
    if later.size and later.min() < s[width - 1] - s[0]:
        start = 1 + int(np.argmin(later))
    return float(s[start]), float(s[start + width - 1])


@dataclass(frozen=True, slots=True)
class _Rules:
    ess: Callable[[np.ndarray], float]
    median: Callable[[np.ndarray], float]  # of the sorted samples
    hpd: Callable[[np.ndarray], tuple[float, float]]  # of the sorted samples


_RULES = {
    "coda": _Rules(effective_size, lambda s: float(np.median(s)), _coda_hpd),
    "tracer": _Rules(autocorrelation_ess, lambda s: float(s[(s.size - 1) // 2]), _tracer_hpd),
    "mrbayes": _Rules(autocorrelation_ess, lambda s: float(s[s.size // 2]), _mrbayes_hpd),
}


def default_estimator(paths: Sequence[str]) -> str:
    """The estimator the files' own program would use: "tracer" for BEAST logs (.log, .log.gz), "mrbayes" for
    anything else (.p files).

    Parameters
    ----------
    paths : sequence of str
        The parameter files.

    Returns
    -------
    str

    Raises
    ------
    ValueError
        When the files call for different estimators.

    Examples
    --------
    >>> default_estimator(["run1.p", "run2.p"])
    'mrbayes'
    >>> default_estimator(["run1.log.gz"])
    'tracer'
    """
    chosen = {"tracer" if path.endswith(_TRACER_SUFFIXES) else "mrbayes" for path in paths}
    if len(chosen) > 1:
        raise ValueError("the files are BEAST logs and MrBayes .p files together: choose the ESS with --ess")
    return chosen.pop() if chosen else "mrbayes"


@deprecation.options_by_keyword("burnin")
def summarise(
    tables: Sequence[ParameterTable],
    *,
    burnin: Burnin | str | int | float | Fraction = DEFAULT_BURNIN,
    every: int = 1,
    estimator: str | None = None,
    threads: int | None = None,
) -> ParameterSummary:
    """The table of every parameter per run and over all runs, as the module's docstring defines its figures.

    Parameters
    ----------
    tables : sequence of ParameterTable
        One per run (`io.parameter_tables.read_table`), all with the same parameters.
    burnin : Burnin, str, int, float or Fraction, keyword-only
        Samples dropped from the start of each run, by the rule of the trees' burn-in (`selection`): N, "P%" or a
        share F below 1. Default "25%", as MrBayes's sump.
    every : int, keyword-only
        Then keep every `every`-th sample of each run.
    estimator : {"coda", "tracer", "mrbayes"} or None, keyword-only
        Whose ESS, median and HPD interval; None for the files' own (`default_estimator`).
    threads : int or None, keyword-only
        Threads computing the ESS (None: as many as the CPUs); the table is the same for every count.

    Returns
    -------
    ParameterSummary

    Raises
    ------
    ValueError
        When the runs hold different parameters, the burn-in leaves a run fewer than 2 samples, or the
        estimator, `every` or `threads` is not one this takes.

    Examples
    --------
    >>> from cladomatic_tools.io.parameter_tables import read_table
    >>> runs = [read_table(f"tests/data/mrbayes/cynmix.run{i}.p.gz") for i in (1, 2)]
    >>> table = summarise(runs, burnin="25%")
    >>> row = table.row("TL{all}")
    >>> print(f"{row.mean:.6f} {row.min_ess:.2f} {row.avg_ess:.2f} {row.psrf:.3f}")
    2.701497 24.34 26.73 1.084
    """
    if not tables:
        raise ValueError("no parameter files")
    if estimator is None:
        estimator = default_estimator([table.path for table in tables])
    if estimator not in _RULES:
        raise ValueError(f"unknown ESS estimator {estimator!r}; expected one of {', '.join(PARAMETER_ESTIMATORS)}")
    if isinstance(every, bool) or not isinstance(every, int) or every < 1:
        raise ValueError(f"every must be a whole number of at least 1, not {every!r}")
    if threads is not None and (isinstance(threads, bool) or not isinstance(threads, int) or threads < 1):
        raise ValueError(f"threads must be a whole number of at least 1, got {threads!r}")
    rules = _RULES[estimator]
    rule = burnin if isinstance(burnin, Burnin) else parse_burnin(burnin)
    names = tables[0].names
    for table in tables[1:]:
        if table.names != names:
            raise ValueError(f"{table.path} and {tables[0].path} hold different parameters")
    burned = np.array([rule.dropped(len(table.generations)) for table in tables], dtype=np.int64)
    generations = [table.generations[first::every] for table, first in zip(tables, burned)]
    samples = [np.ascontiguousarray(table.values[first::every]) for table, first in zip(tables, burned)]
    for table, kept in zip(tables, generations):
        if len(kept) < 2:
            raise ValueError(
                f"a burn-in of {rule.text} leaves {len(kept)} of the {len(table.generations)} samples of {table.path}:"
                " at least 2 are needed"
            )
    runs, parameters = len(tables), len(names)
    with ThreadPoolExecutor(max_workers=min(threads or os.cpu_count() or 1, runs * parameters or 1)) as pool:
        ess = np.array(
            list(pool.map(lambda task: rules.ess(samples[task[0]][:, task[1]]), np.ndindex(runs, parameters)))
        ).reshape(runs, parameters)
    rows = []
    for k, name in enumerate(names):
        for r, table in enumerate(tables):
            rows.append(_row(name, table.path, samples[r][:, k], ess[r, k], rules))
        pooled = np.concatenate([run[:, k] for run in samples])
        reduction = psrf([run[:, k] for run in samples]) if runs > 1 else None
        total = float(ess[:, k].sum())
        least, average = float(ess[:, k].min()), float(ess[:, k].mean())
        rows.append(_row(name, ALL_RUNS, pooled, total, rules, least, average, reduction))
    return ParameterSummary(estimator, [table.path for table in tables], names, burned, generations, samples, rows)


def summarise_files(
    paths: Sequence[str],
    *,
    burnin: Burnin | str | int | float | Fraction = DEFAULT_BURNIN,
    every: int = 1,
    estimator: str | None = None,
    threads: int | None = None,
) -> ParameterSummary:
    """`summarise` of the parameter files `paths` (MrBayes .p, BEAST .log, gzip-compressed or not), one per run.

    Parameters
    ----------
    paths : sequence of str
        The files, one per run.
    burnin, every, estimator, threads
        As `summarise` takes them.

    Returns
    -------
    ParameterSummary

    Raises
    ------
    cladomatic_tools.io.reader.InputError
        When a file cannot be read or is not a table of samples (naming the file and line).
    ValueError
        As `summarise` raises it.

    Examples
    --------
    >>> table = summarise_files(["tests/data/params/strict.run1.log.gz"], burnin=0)
    >>> table.estimator, table.kept.tolist()
    ('tracer', [2001])
    >>> print(f"{table.row('kappa').ess:.4f}")
    60.1789
    """
    return summarise(
        [read_table(path) for path in paths], burnin=burnin, every=every, estimator=estimator, threads=threads
    )


def _row(
    name: str,
    run: str,
    values: np.ndarray,
    ess: float,
    rules: _Rules,
    least: float | None = None,
    average: float | None = None,
    reduction: float | None = None,
) -> ParameterRow:
    ordered = np.sort(values)
    lower, upper = rules.hpd(ordered)
    return ParameterRow(
        name,
        run,
        values.size,
        float(values.mean()),
        rules.median(ordered),
        float(values.std(ddof=1)),
        lower,
        upper,
        float(ess),
        least,
        average,
        reduction,
    )
