"""The one table of tree distances, and apart from it the per-tree summaries that need no matrix.

Every list of metrics in the package (the command's subcommands and their help, `TreeSet`, the Dask tiles, tree
space and its pictures) is a view of `METRICS`, and a name is looked up with `metric_info` (or `summary_info`),
which gives the one message for an unknown name. A metric added here is accepted everywhere; the native engine
must know its name too.
"""

from dataclasses import dataclass
from types import MappingProxyType


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
)

SUMMARIES = _by_name(
    Summary("rf", False, False, "mean Robinson-Foulds distance"),
    Summary("info_rf", False, True, "mean information-based RF distance"),
    Summary("kf2", True, False, "mean squared Kuhner-Felsenstein branch score"),
)


def metric_info(name: str) -> Metric:
    """The metric called `name`; ValueError naming every metric for any other name."""
    found = METRICS.get(name) if isinstance(name, str) else None
    if found is None:
        raise ValueError(f"unknown metric {name!r}; expected one of {', '.join(METRICS)}")
    return found


def summary_info(name: str) -> Summary:
    """The summary called `name`; ValueError naming every summary for any other name."""
    found = SUMMARIES.get(name) if isinstance(name, str) else None
    if found is None:
        raise ValueError(f"unknown summary metric {name!r}; expected one of {', '.join(SUMMARIES)}")
    return found
