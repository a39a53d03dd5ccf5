"""The trees of several files taken as one stream: burn-in, thinning, names and translate tables.

The engine needs every tree name and translate-table index before it reads the first tree, so the files are
read twice: `scan` names and counts the selected trees, then `texts` streams them to the engine. Nothing per
tree is kept beyond its name and table index; a tree is found again from its position when a message needs it.
"""

import re
from collections.abc import Callable, Generator
from dataclasses import dataclass

from cladomatic_tools.reader import InputError, TreeRecord, read_trees


@dataclass(frozen=True, slots=True)
class Selection:
    """Which trees of each file are used: skip the first `burnin`, then keep every `every`-th."""

    burnin: int = 0
    every: int = 1

    def keeps(self, position: int) -> bool:
        return position >= self.burnin and (position - self.burnin) % self.every == 0

    def position(self, kept: int) -> int:
        """The position in its file of the file's `kept`-th selected tree (both counted from 0)."""
        return self.burnin + kept * self.every


@dataclass(frozen=True, slots=True)
class FileSpan:
    path: str
    found: int  # trees in the file when it was scanned
    kept: int  # trees of it that the selection keeps


@dataclass(frozen=True, slots=True)
class FileTrees:
    spans: list[FileSpan]
    selection: Selection
    names: list[str]
    translate_maps: list[dict[str, str]]  # entry 0 is the empty table of trees read without one
    map_indices: list[int]


def tree_name(record: TreeRecord, position: int, prefix: str) -> str:
    return prefix + (record.name if record.name is not None else f"tree_{position + 1}")


def scan(
    paths: list[str], selection: Selection, on_tree: Callable[[str, int], None] | None = None
) -> FileTrees:
    """Reads every file once to name and count its selected trees and to collect their translate tables."""
    spans: list[FileSpan] = []
    names: list[str] = []
    maps: list[dict[str, str]] = [{}]
    map_indices: list[int] = []
    prefix_files = len(paths) > 1
    for path in paths:
        prefix = f"{path}:" if prefix_files else ""
        found = kept = 0
        table: dict[str, str] | None = None
        for record in read_trees(path):
            if selection.keeps(found):
                names.append(tree_name(record, found, prefix))
                if record.translate is None:
                    map_indices.append(0)
                else:
                    if record.translate is not table:
                        table = record.translate
                        if table != maps[-1]:
                            maps.append(table)
                    map_indices.append(len(maps) - 1)
                kept += 1
            found += 1
            if on_tree is not None:
                on_tree(path, found)
        if found == 0:
            raise InputError(f"{path}: no trees found")
        if kept == 0:
            raise InputError(f"{path}: a burn-in of {selection.burnin} trees leaves none of its {found} trees")
        spans.append(FileSpan(path, found, kept))
    if len(names) < 2:
        raise InputError(f"need at least 2 trees to compare, found {len(names)}")
    return FileTrees(spans, selection, names, maps, map_indices)


def texts(tree_set: FileTrees, on_tree: Callable[[], None] | None = None) -> Generator[str]:
    """The Newick texts of the selected trees, file after file, read as the engine asks for them."""
    for span in tree_set.spans:
        kept = 0
        for position, record in enumerate(read_trees(span.path)):
            # a file still being written may have grown since it was scanned: its new trees are not named
            if position == span.found:
                break
            if tree_set.selection.keeps(position):
                kept += 1
                if on_tree is not None:
                    on_tree()
                yield record.text
        if kept != span.kept:
            raise InputError(f"{span.path}: the file changed while it was being read")


@dataclass(frozen=True, slots=True)
class Location:
    path: str
    line: int
    label: str  # "tree K" with K counted from 1 in its file, and its NEXUS name when it has one

    def __str__(self) -> str:
        return f"{self.path}:{self.line}: {self.label}"


def locate(tree_set: FileTrees, index: int) -> Location | None:
    """Where the `index`-th tree handed to the engine (counted from 0 over all files) is."""
    for span in tree_set.spans:
        if index < span.kept:
            wanted = tree_set.selection.position(index)
            for position, record in enumerate(read_trees(span.path)):
                if position == wanted:
                    label = f"tree {position + 1}" + (f" ({record.name})" if record.name is not None else "")
                    return Location(span.path, record.line, label)
            return None
        index -= span.kept
    return None


_PARSE_FAILURE = re.compile(r"Failed to parse newick at index (\d+): (.*)", re.DOTALL)
_TREE_FAILURE = re.compile(r"Tree (\d+) (.*)", re.DOTALL)


def explain(tree_set: FileTrees, message: str) -> str:
    """The engine's message with its tree index (counted over all files) replaced by the file, line and tree."""
    if parse_failure := _PARSE_FAILURE.fullmatch(message):
        where = locate(tree_set, int(parse_failure[1]))
        if where is not None:
            return f"{where}: {parse_failure[2]}"
    elif tree_failure := _TREE_FAILURE.fullmatch(message):
        index = int(tree_failure[1])
        where = locate(tree_set, index)
        first = locate(tree_set, 0)
        if where is not None and first is not None:
            rest = tree_failure[2].replace("than tree 0.", f"than {first.label} of {first.path}.")
            # the engine also calls a label missing from the tree's TRANSLATE table an unnamed leaf
            if rest.startswith("has an unnamed leaf.") and tree_set.map_indices[index] != 0:
                rest += " Every leaf label must be a key of the TRANSLATE table."
            return f"{where} {rest}"
    return message
