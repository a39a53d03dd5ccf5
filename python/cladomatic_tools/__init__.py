"""The companion package of the cladomatic module.

`TreeSet` keeps an interned tree set alive and answers many questions about it: any block of a distance matrix,
one set against another, sums and split counts without the matrix, convergence diagnostics and summary trees.
The `cladomatic` command (rf, wrf, kf, splits and more) reads Newick or NEXUS files, optionally gzip-compressed,
as a stream. `cladomatic_tools.dask` computes a matrix tile by tile on a Dask cluster.
"""

from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from cladomatic_tools.io.provenance import Provenance
    from cladomatic_tools.metrics import METRICS
    from cladomatic_tools.summaries import CcdTree, Spread, SummaryTree, Topology
    from cladomatic_tools.treeset import PairsWithoutDistance, Progress, TreeSet

__version__ = "0.1.0"
__all__ = [
    "METRICS",
    "CcdTree",
    "PairsWithoutDistance",
    "Progress",
    "Provenance",
    "Spread",
    "SummaryTree",
    "Topology",
    "TreeSet",
]

# Where each public name lives; imported on first use: TreeSet needs NumPy and the engine module, the command
# does not.
_HOMES = {
    "TreeSet": "cladomatic_tools.treeset",
    "Progress": "cladomatic_tools.treeset",
    "PairsWithoutDistance": "cladomatic_tools.treeset",
    "METRICS": "cladomatic_tools.metrics",
    "SummaryTree": "cladomatic_tools.summaries",
    "Topology": "cladomatic_tools.summaries",
    "Spread": "cladomatic_tools.summaries",
    "CcdTree": "cladomatic_tools.summaries",
    "Provenance": "cladomatic_tools.io.provenance",
}


def __getattr__(name: str) -> Any:
    home = _HOMES.get(name)
    if home is None:
        raise AttributeError(f"module 'cladomatic_tools' has no attribute {name!r}")
    import importlib

    return getattr(importlib.import_module(home), name)


def __dir__() -> list[str]:
    return sorted([*globals(), *__all__])
