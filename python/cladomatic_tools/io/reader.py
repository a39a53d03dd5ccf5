"""Tree files as the engine's reader reads them: plain Newick and NEXUS, either of them optionally
gzip-compressed, from a path, standard input ('-') or a Python file object.

The reader itself is native (`_cladomatic_engine.TreeFile`): a file is never held whole, and every tree is cut
out of the stream as it passes, at the first ';' outside '[' comments, double-quoted stretches (which the engine
keeps whole) and single-quoted labels; NEXUS commands around the trees follow NEXUS quoting (single quotes, with
'' for an apostrophe). Taxon names are made to agree however a file spells them: a single-quoted label, an
unquoted label with underscores for blanks and a TRANSLATE name all become the one spelling the engine reads as a
single label, so a Newick file and a NEXUS file of the same taxa compare with each other.

This module holds what the rest of the package needs without the engine: the errors, the limits, the names.
"""

import warnings
from collections.abc import Generator
from dataclasses import dataclass
from typing import Any, BinaryIO, TextIO

# Bytes the reader takes from a file at a time.
CHUNK_BYTES = 1 << 20
# The longest tree text (or NEXUS word) held in memory: longer ones are refused before they are held whole.
MAX_TREE_CHARS = 1 << 30

STDIN = "-"

# What a tree file is given as: a path, '-' for standard input, or a file object that `read`s bytes or text.
Source = str | BinaryIO | TextIO


class InputError(Exception):
    """A fault in the input files or the arguments, reported to the user as one line (exit status 2)."""


class EnvironmentFailure(Exception):
    """A fault of the machine rather than the input: a full disk, a missing permission or library, too little
    memory; reported as one line (exit status 1)."""


class EngineMissing(EnvironmentFailure):
    """An extension module cannot be imported."""


class UnfinishedTree(UserWarning):
    """A file ends inside its last tree, after at least one whole tree (a run still writing it): that tree is
    left out and the trees before it are read. The message names the file and the tree's line; the command says
    it as a warning."""


def warn_unfinished(messages: list[str]) -> None:
    for message in messages:
        warnings.warn(UnfinishedTree(message), stacklevel=4)


@dataclass(frozen=True, slots=True)
class TreeRecord:
    """One tree of a file, ready for the engine."""

    text: str  # the Newick text through its ';' (through the end of the file when a file's only tree lacks it)
    line: int  # the 1-based line on which the tree (in NEXUS, its TREE command) starts
    name: str | None  # the name given by a NEXUS TREE command; None in plain Newick files
    translate: dict[str, str] | None  # label to taxon, one object shared by the trees of its TRANSLATE table
    block: int  # the file's TREES block (run) holding the tree, from 0 over every NEXUS document; 0 in Newick
    position: int  # the tree's position in its block (in Newick, in its file), from 0
    comments: str = ""  # a NEXUS TREE command's own comments before its '=' ([&lnP=...]), as written


def engine_module() -> Any:
    """The native tree-set engine, which also reads files."""
    try:
        import _cladomatic_engine
    except ImportError as err:
        raise EngineMissing(f"cannot import the tree-set engine: {err}") from None
    return _cladomatic_engine


def display_name(source: Source) -> str:
    """How messages name an input."""
    if isinstance(source, str):
        return "standard input" if source == STDIN else source
    name = getattr(source, "name", None)
    return name if isinstance(name, str) else f"<{type(source).__name__}>"


def tree_file(source: Source) -> Any:
    """The native reader of one input, which opens it when it is first read."""
    native = engine_module()
    given: object = 0 if source == STDIN else source
    return native.TreeFile(given, display_name(source), CHUNK_BYTES, MAX_TREE_CHARS)


def record_of(found: tuple[str, int, str | None, dict[str, str] | None, int, int, str]) -> TreeRecord:
    return TreeRecord(*found)


def read_trees(source: Source) -> Generator[TreeRecord]:
    """The trees of one Newick or NEXUS input, gzip-compressed or not, in file order."""
    trees = tree_file(source)
    while True:
        try:
            found = next(trees)
        except StopIteration:
            warn_unfinished([trees.unfinished] if trees.unfinished is not None else [])
            return
        except ValueError as err:
            raise InputError(str(err)) from None
        yield record_of(found)
