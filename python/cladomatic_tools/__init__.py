"""Command-line tool around the cladomatic extension module.

`cladomatic rf|wrf|kf FILE...` writes a pairwise distance matrix; `cladomatic splits FILE...` writes the split
exports to one .npz file. Input files are Newick or NEXUS, optionally gzip-compressed, read as a stream.
"""

__version__ = "0.1.0"
