"""Command-line tool around the cladomatic extension module.

`cladomatic rf|wrf|kf FILE...` writes a pairwise distance matrix; `cladomatic splits FILE...` writes the split
exports to one .npz file. Input files are Newick or NEXUS, optionally gzip-compressed, read as a stream.
"""

__all__ = ["TreeSet"]


def __getattr__(name: str):
    # Imported on first use: TreeSet needs NumPy and the engine module, the command does not.
    if name == "TreeSet":
        from cladomatic_tools.treeset import TreeSet

        return TreeSet
    raise AttributeError(f"module 'cladomatic_tools' has no attribute {name!r}")
