"""The one table of tree distances, and apart from it the per-tree summaries that need no matrix.

Every list of metrics in the package (the command's subcommands and their help, `TreeSet`, the Dask tiles, tree
space and its pictures) is a view of `METRICS`, and a name is looked up with `metric_info` (or `summary_info`),
which gives the one message for an unknown name. A metric added here is accepted everywhere; the native engine
must know its name too.

Parameters. A metric may take parameters (Kendall-Colijn's `lambda`), each a number with a default and a range.
Wherever a metric is named (`TreeSet.distances`, `against`, `distances_chunked`, `space`, the Dask tiles and
stores, `cladomatic space --metric`) it may be written with them, `"kc(lambda=0.5)"`; the bare name takes the
defaults. `metric_setting` reads such a text, checks every value and gives the one canonical text of the
computation, `"kc(lambda=0.5)"`, every parameter written (`repr` of its float), so that two texts naming the same
matrix give the same canonical text: a tile store records it in its settings and hashes it into its fingerprint,
so a store made with one lambda is never resumed with another. The command's subcommand of such a metric takes
each parameter as an option (`cladomatic kc --lambda 0.5`) and passes the canonical text on.
"""

import math
import re
from dataclasses import dataclass, replace
from types import MappingProxyType


@dataclass(frozen=True, slots=True)
class Parameter:
    """A number a metric takes, in [low, high]."""

    name: str
    default: float
    low: float
    high: float
    help: str  # one line for the command's option


@dataclass(frozen=True, slots=True)
class Metric:
    name: str
    # NumPy's name for the type of its cells (a name: the command reports a missing NumPy before using it); under
    # prune="pairwise" every metric is float64, for the nan of pairs sharing too few taxa
    dtype: str
    needs_lengths: bool  # reads branch lengths
    unrooted_only: bool  # refused for rooted trees
    title: str  # what it is, for picture titles and messages
    help: str  # one line for the command's help: what its matrix holds
    # Its pairs cost less than keeping the cells below a square matrix's diagonal for the rows below them, so the
    # command's square outputs compute both triangles (bench/README.md, "each pair once")
    cheap_pairs: bool = False
    rooted_only: bool = False  # refused for unrooted trees
    # Computed pair by pair from each tree's own vector or list of splits (the engine's tree_distances and
    # tree_against), not from the split layouts; such a metric has no pairwise pruning (prune="pairwise" is
    # refused, "common" works)
    by_tree: bool = False
    params: tuple[Parameter, ...] = ()
    # The parameter that makes the metric read branch lengths when above 0 (`needs_lengths` is then resolved for
    # the values given, by `metric_setting`)
    lengths_when: str = ""


@dataclass(frozen=True, slots=True)
class MetricSetting:
    """A metric with the values of its parameters, as `metric_setting` reads it."""

    metric: Metric  # with needs_lengths resolved for these values
    values: tuple[float, ...]  # one per parameter of the metric, in its order

    @property
    def text(self) -> str:
        """The canonical text: the name, then every parameter as name=repr(value) in parentheses."""
        if not self.metric.params:
            return self.metric.name
        written = ", ".join(f"{p.name}={v!r}" for p, v in zip(self.metric.params, self.values, strict=True))
        return f"{self.metric.name}({written})"


@dataclass(frozen=True, slots=True)
class Summary:
    """A per-tree summary of a set (`TreeSet.mean_distances`): each tree's mean over the others, computed from
    split counts and per-split sums, without the matrix."""

    name: str
    needs_lengths: bool
    unrooted_only: bool
    title: str


def _by_name(*entries):
    return MappingProxyType({entry.name: entry for entry in entries})


METRICS = _by_name(
    Metric(
        "rf",
        "uint32",
        False,
        False,
        "Robinson-Foulds distance",
        "Robinson-Foulds distances: the number of splits found in only one of two trees",
        cheap_pairs=True,
    ),
    Metric(
        "rf_norm",
        "float64",
        False,
        False,
        "normalised Robinson-Foulds distance",
        "normalised Robinson-Foulds distances: RF divided by the number of non-trivial splits of both trees (0 "
        "when neither has any), between 0 and 1",
        cheap_pairs=True,
    ),
    Metric(
        "wrf",
        "float64",
        True,
        False,
        "weighted Robinson-Foulds distance",
        "weighted Robinson-Foulds distances: the summed differences of branch lengths, split by split",
    ),
    Metric(
        "kf",
        "float64",
        True,
        False,
        "Kuhner-Felsenstein branch score",
        "Kuhner-Felsenstein branch scores: the root of the summed squared differences of branch lengths",
    ),
    Metric(
        "info_rf",
        "float64",
        False,
        True,
        "information-based RF distance",
        "information-weighted Robinson-Foulds distances: the phylogenetic information, in bits, of the splits "
        "found in only one of two trees (unrooted trees only)",
    ),
    Metric(
        "kc",
        "float64",
        False,
        False,
        "Kendall-Colijn distance",
        "Kendall-Colijn distances between rooted trees: the Euclidean distance between the vectors of the depths "
        "of the most recent common ancestors of every pair of tips, in edges (lambda 0) or in branch length "
        "(lambda 1), and of the pendant edges (rooted trees only)",
        rooted_only=True,
        by_tree=True,
        params=(
            Parameter(
                "lambda",
                0.0,
                0.0,
                1.0,
                "weight of branch lengths against topology, in [0, 1] (default 0: topology alone; above 0 the "
                "trees are read with lengths)",
            ),
        ),
        lengths_when="lambda",
    ),
    Metric(
        "path",
        "float64",
        False,
        True,
        "path difference",
        "path differences (Steel and Penny): the Euclidean distance between the vectors of the numbers of edges "
        "on the path between every pair of leaves (unrooted trees only)",
        by_tree=True,
    ),
    Metric(
        "wpath",
        "float64",
        True,
        True,
        "weighted path difference",
        "weighted path differences: the Euclidean distance between the vectors of the path lengths (summed "
        "branch lengths) between every pair of leaves (unrooted trees only)",
        by_tree=True,
    ),
    Metric(
        "cid",
        "float64",
        False,
        True,
        "clustering information distance",
        "clustering information distances (Smith 2020): the clustering entropy of both trees' splits less twice "
        "the mutual clustering information of their best matching, in bits (unrooted trees only)",
        by_tree=True,
    ),
    Metric(
        "cid_norm",
        "float64",
        False,
        True,
        "normalised clustering information distance",
        "normalised clustering information distances: cid divided by the clustering entropy of both trees' "
        "splits (0 when both have none), between 0 and 1 (unrooted trees only)",
        by_tree=True,
    ),
    Metric(
        "pid",
        "float64",
        False,
        True,
        "phylogenetic information distance",
        "phylogenetic information distances (Smith 2020): the phylogenetic information of both trees' splits less "
        "twice the shared phylogenetic information of their best matching, in bits (unrooted trees only)",
        by_tree=True,
    ),
    Metric(
        "msid",
        "float64",
        False,
        True,
        "matching split information distance",
        "matching split information distances (Smith 2020): the phylogenetic information of both trees' splits "
        "less twice the matching split information of their best matching, in bits (unrooted trees only)",
        by_tree=True,
    ),
    Metric(
        "msd",
        "float64",
        False,
        True,
        "matching split distance",
        "matching split distances (Bogdanowicz and Giaro 2012): the least sum over a matching of splits of the "
        "leaves to move to turn one split into its partner, the tree with fewer splits padded with empty splits "
        "(unrooted trees only)",
        by_tree=True,
    ),
    # The quartet distance: exact integer counts, held in float64 (exact below 2^53, which C(n, 4) stays below
    # up to the engine's 20,000 leaves) since the tables and bands write uint32 or float64
    Metric(
        "quartet",
        "float64",
        False,
        True,
        "quartet distance",
        "quartet distances (Estabrook, McMorris and Meacham): the number of sets of four leaves whose induced "
        "topologies differ, an unresolved one differing from every resolved one (unrooted trees only)",
        by_tree=True,
    ),
    Metric(
        "quartet_norm",
        "float64",
        False,
        True,
        "normalised quartet distance",
        "normalised quartet distances: the quartet distance divided by C(n, 4), the number of sets of four of "
        "the n leaves, between 0 and 1 (unrooted trees only)",
        by_tree=True,
    ),
)

SUMMARIES = _by_name(
    Summary("rf", False, False, "mean Robinson-Foulds distance"),
    Summary("info_rf", False, True, "mean information-based RF distance"),
    Summary("kf2", True, False, "mean squared Kuhner-Felsenstein branch score"),
)


_WRITTEN = re.compile(r"\s*([A-Za-z_0-9]+)\s*(?:\((.*)\))?\s*\Z", re.DOTALL)


def metric_setting(text: str) -> MetricSetting:
    """The metric and the values of its parameters that a text names.

    Parameters
    ----------
    text : str
        A metric's name ("kc"), or its name followed by some of its parameters in parentheses
        ("kc(lambda=0.5)"); parameters not given take their defaults, spaces are ignored.

    Returns
    -------
    MetricSetting
        The metric, its `needs_lengths` resolved for these values (kc reads branch lengths only for lambda
        above 0), and one value per parameter in the table's order; `.text` is the canonical text.

    Raises
    ------
    ValueError
        For an unknown name (naming every metric), an unknown parameter, or a value that is no number within
        the parameter's range (naming the parameter and its range).

    Examples
    --------
    >>> metric_setting("kc( lambda = .5 )").text
    'kc(lambda=0.5)'
    >>> metric_setting("kc").values
    (0.0,)
    """
    found = _WRITTEN.match(text) if isinstance(text, str) else None
    metric = METRICS.get(found.group(1)) if found else None
    if metric is None:
        raise ValueError(f"unknown metric {text!r}; expected one of {', '.join(METRICS)}")
    values = {p.name: p.default for p in metric.params}
    given = found.group(2) if found else None
    if given is not None and given.strip():
        for item in given.split(","):
            name, equals, value = item.partition("=")
            name = name.strip()
            if not equals or name not in values:
                takes = f"takes {', '.join(values)}" if values else "takes no parameters"
                raise ValueError(f"{metric.name} {takes}: cannot read {item.strip()!r} in {text!r}")
            values[name] = _value(metric, name, value.strip())
    ordered = tuple(float(values[p.name]) for p in metric.params)
    if metric.lengths_when and values[metric.lengths_when] > 0 and not metric.needs_lengths:
        metric = replace(metric, needs_lengths=True)
    return MetricSetting(metric, ordered)


def _value(metric: Metric, name: str, text: str) -> float:
    parameter = next(p for p in metric.params if p.name == name)
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not parameter.low <= value <= parameter.high:
        raise ValueError(
            f"{metric.name}'s {name} must be a number from {parameter.low:g} to {parameter.high:g}, got {text!r}"
        )
    return value


def metric_info(name: str) -> Metric:
    """The metric a name names.

    Parameters
    ----------
    name : str
        A metric's name, or its name with parameters as `metric_setting` reads it.

    Returns
    -------
    Metric
        The table's record, its need of branch lengths resolved for the parameters given.

    Raises
    ------
    ValueError
        As `metric_setting`, naming every metric for an unknown name.

    Examples
    --------
    >>> metric_info("kc(lambda=1)").needs_lengths
    True
    """
    return metric_setting(name).metric


def canonical_metric(name: str) -> str:
    """The one text of the computation a metric's name and parameters describe.

    Parameters
    ----------
    name : str
        A metric's name, or its name with parameters as `metric_setting` reads it.

    Returns
    -------
    str
        The name alone for a metric without parameters, else the name and every parameter as name=repr(value):
        two texts give the same canonical text exactly when they name the same matrix.

    Raises
    ------
    ValueError
        As `metric_setting`.

    Examples
    --------
    >>> canonical_metric("kc")
    'kc(lambda=0.0)'
    """
    return metric_setting(name).text


def summary_info(name: str) -> Summary:
    """The summary called `name`; ValueError naming every summary for any other name."""
    found = SUMMARIES.get(name) if isinstance(name, str) else None
    if found is None:
        raise ValueError(f"unknown summary metric {name!r}; expected one of {', '.join(SUMMARIES)}")
    return found
