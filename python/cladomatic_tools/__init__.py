"""The companion package of the cladomatic module.

`TreeSet` keeps an interned tree set alive and answers many questions about it: any block of a distance matrix,
one set against another, sums and split counts without the matrix. The `cladomatic` command (rf, wrf, kf, splits
and more) reads Newick or NEXUS files, optionally gzip-compressed, as a stream.
"""

__version__ = "0.1.0"
__all__ = ["TreeSet"]


def __getattr__(name: str):
    # Imported on first use: TreeSet needs NumPy and the engine module, the command does not.
    if name == "TreeSet":
        from cladomatic_tools.treeset import TreeSet

        return TreeSet
    raise AttributeError(f"module 'cladomatic_tools' has no attribute {name!r}")
