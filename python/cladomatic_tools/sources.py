"""The trees of several files taken as one stream: runs, burn-in, thinning, names and translate tables.

The engine needs every tree name and translate-table index before it reads the first tree, so the files are
read twice: `scan` names and counts the selected trees, then `texts` streams them to the engine. Nothing per
tree is kept beyond its name and table index (standard input, which can be read only once, keeps the texts of
its selected trees); a tree is found again from its position when a message needs it.

A run is what burn-in and thinning apply to: a Newick file, or one TREES block of a NEXUS file (files of
several MrBayes runs joined end to end hold one block per run).
"""

import math
import re
from collections.abc import Callable, Generator, Iterator
from dataclasses import dataclass, field
from fractions import Fraction

from cladomatic_tools.reader import STDIN, InputError, TreeRecord, display_name, read_trees


@dataclass(frozen=True, slots=True)
class Selection:
    """Which trees of each run are used: skip a burn-in (a count, or a share of the run), then keep every
    `every`-th."""

    burnin: int = 0
    every: int = 1
    burnin_share: Fraction | None = None  # when set, it replaces `burnin`

    def first(self, found: int) -> int:
        """The position of the first tree kept in a run of `found` trees."""
        if self.burnin_share is not None:
            return math.floor(found * self.burnin_share)
        return self.burnin

    def describe(self) -> str:
        if self.burnin_share is not None:
            return f"a burn-in of {float(self.burnin_share * 100):g}%"
        return f"a burn-in of {self.burnin} trees"


@dataclass(frozen=True, slots=True)
class Run:
    source: int  # which of the paths given holds it
    path: str
    block: int  # its TREES block in the file (0 in a Newick file)
    blocks_in_file: bool  # whether the file holds several runs, which then need telling apart
    found: int  # trees in the run when it was scanned
    first: int  # position of its first kept tree
    every: int

    @property
    def kept(self) -> int:
        return len(range(self.first, self.found, self.every))

    def keeps(self, position: int) -> bool:
        return self.first <= position < self.found and (position - self.first) % self.every == 0

    def position(self, kept: int) -> int:
        """The position in the run of its `kept`-th selected tree (both counted from 0)."""
        return self.first + kept * self.every

    def label(self) -> str:
        return display_name(self.path) + (f" (run {self.block + 1})" if self.blocks_in_file else "")


@dataclass(frozen=True, slots=True)
class FileTrees:
    paths: list[str]
    runs: list[Run]
    names: list[str]
    translate_maps: list[dict[str, str]]  # entry 0 is the empty table of trees read without one
    map_indices: list[int]
    held: dict[int, list[TreeRecord]] = field(default_factory=dict)  # selected trees of standard input by run

    def runs_of(self, source: int) -> list[Run]:
        return [run for run in self.runs if run.source == source]


@dataclass(slots=True)
class _RunTrees:
    """What the scan keeps of the run being read until its length, and so its burn-in, is known."""

    block: int
    names: list[str | None] = field(default_factory=list)
    tables: list[dict[str, str] | None] = field(default_factory=list)
    records: list[TreeRecord] = field(default_factory=list)  # standard input only


class _Collector:
    def __init__(self, paths: list[str], selection: Selection):
        self.paths = paths
        self.selection = selection
        self.runs: list[Run] = []
        self.bare_names: list[str] = []
        self.maps: list[dict[str, str]] = [{}]
        self.map_indices: list[int] = []
        self.held: dict[int, list[TreeRecord]] = {}
        self._table: dict[str, str] | None = None

    def finish(self, source: int, trees: _RunTrees, several: bool) -> None:
        found = len(trees.names)
        first = self.selection.first(found)
        run = Run(source, self.paths[source], trees.block, several, found, first, self.selection.every)
        if run.kept == 0:
            raise InputError(f"{run.label()}: {self.selection.describe()} leaves none of its {found} trees")
        for kept in range(run.kept):
            position = run.position(kept)
            name = trees.names[position]
            self.bare_names.append(name if name is not None else f"tree_{position + 1}")
            self.map_indices.append(self._map_index(trees.tables[position]))
        if trees.records:
            self.held[len(self.runs)] = [trees.records[run.position(kept)] for kept in range(run.kept)]
        self.runs.append(run)

    def _map_index(self, table: dict[str, str] | None) -> int:
        if table is None:
            return 0
        if table is not self._table:
            self._table = table
            if table != self.maps[-1]:
                self.maps.append(table)
        return len(self.maps) - 1


def scan(paths: list[str], selection: Selection, on_tree: Callable[[str, int], None] | None = None) -> FileTrees:
    """Reads every file once to name and count its selected trees and to collect their translate tables."""
    if paths.count(STDIN) > 1:
        raise InputError("standard input ('-') can be read only once")
    collector = _Collector(paths, selection)
    for source, path in enumerate(paths):
        file_runs: list[_RunTrees] = []
        for found, record in enumerate(read_trees(path), start=1):
            if not file_runs or record.block != file_runs[-1].block:
                file_runs.append(_RunTrees(record.block))
            trees = file_runs[-1]
            trees.names.append(record.name)
            trees.tables.append(record.translate)
            if path == STDIN:
                trees.records.append(record)
            if on_tree is not None:
                on_tree(display_name(path), found)
        if not file_runs:
            raise InputError(f"{display_name(path)}: no trees found")
        for trees in file_runs:
            collector.finish(source, trees, len(file_runs) > 1)
    if len(collector.bare_names) < 2:
        raise InputError(f"need at least 2 trees to compare, found {len(collector.bare_names)}")
    names = _distinct(_prefixed(paths, collector.runs, collector.bare_names))
    return FileTrees(paths, collector.runs, names, collector.maps, collector.map_indices, collector.held)


def _prefixed(paths: list[str], runs: list[Run], bare: list[str]) -> list[str]:
    """Names that say which file and run a tree came from whenever more than one run is compared."""
    if len(runs) == 1:
        return bare
    names: list[str] = []
    for run in runs:
        prefix = (f"{run.path}:" if len(paths) > 1 else "") + (f"run{run.block + 1}:" if run.blocks_in_file else "")
        names.extend(prefix + name for name in bare[len(names) : len(names) + run.kept])
    return names


def _distinct(names: list[str]) -> list[str]:
    """Row labels stay one per tree: a repeated name gets '#2', '#3', ... in order of appearance."""
    taken = set(names)
    if len(taken) == len(names):
        return names
    seen: set[str] = set()
    last: dict[str, int] = {}
    out: list[str] = []
    for name in names:
        if name not in seen:
            seen.add(name)
            out.append(name)
            continue
        number = last.get(name, 1)
        while (label := f"{name}#{(number := number + 1)}") in taken:
            pass
        last[name] = number
        taken.add(label)
        out.append(label)
    return out


def texts(tree_set: FileTrees, on_tree: Callable[[str], None] | None = None) -> Generator[str]:
    """The Newick texts of the selected trees, file after file, read as the engine asks for them; `on_tree`
    sees each text as it goes."""
    for source, path in enumerate(tree_set.paths):
        for record in _selected(tree_set, source, path):
            if on_tree is not None:
                on_tree(record.text)
            yield record.text


def _selected(tree_set: FileTrees, source: int, path: str) -> Iterator[TreeRecord]:
    runs = {run.block: (index, run) for index, run in enumerate(tree_set.runs) if run.source == source}
    if path == STDIN:
        for index, _ in runs.values():
            yield from tree_set.held[index]
        return
    kept = dict.fromkeys(runs, 0)
    for record in read_trees(path):
        # a file still being written may have grown since it was scanned: its new trees are not named
        found = runs.get(record.block)
        if found is None:
            if record.block > max(runs):
                break
            continue
        _, run = found
        if run.keeps(record.position):
            kept[record.block] += 1
            yield record
    if any(kept[block] != run.kept for block, (_, run) in runs.items()):
        raise InputError(f"{display_name(path)}: the file changed while it was being read")


@dataclass(frozen=True, slots=True)
class Location:
    run: Run
    record: TreeRecord

    @property
    def label(self) -> str:
        """'tree K' with K counted from 1 in its run, its run when the file holds several, and its NEXUS name."""
        run = f" of run {self.run.block + 1}" if self.run.blocks_in_file else ""
        name = f" ({self.record.name})" if self.record.name is not None else ""
        return f"tree {self.record.position + 1}{run}{name}"

    def __str__(self) -> str:
        return f"{display_name(self.run.path)}:{self.record.line}: {self.label}"


def locate(tree_set: FileTrees, index: int) -> Location | None:
    """Where the `index`-th tree handed to the engine (counted from 0 over all files) is."""
    for number, run in enumerate(tree_set.runs):
        if index < run.kept:
            if number in tree_set.held:
                return Location(run, tree_set.held[number][index])
            wanted = run.position(index)
            for record in read_trees(run.path):
                if record.block == run.block and record.position == wanted:
                    return Location(run, record)
            return None
        index -= run.kept
    return None


# The engine's leaf labels: text up to Newick punctuation, blanks dropped outside double-quoted stretches.
_TOKEN = re.compile(r'\[[^\]]*\]?|[(),:;\]]|(?:[^()\[\],:;"]|"[^"]*"?)+')
_BLANKS_OUTSIDE_QUOTES = re.compile(r'("[^"]*"?)|[\t\n\f\r ]+')


def leaf_labels(text: str) -> list[str]:
    """The leaf labels of a well-formed tree text, read as the engine reads them."""
    labels: list[str] = []
    after_subtree = False  # a label after ')' or after a leaf's label names no leaf
    for found in _TOKEN.finditer(text):
        token = found.group()
        if token in ("(", ","):
            after_subtree = False
        elif token == ")":
            after_subtree = True
        elif token[0] not in "[:;]":
            label = _BLANKS_OUTSIDE_QUOTES.sub(lambda m: m.group(1) or "", token)
            if label and not after_subtree:
                labels.append(label)
                after_subtree = True
    return labels


def taxa(record: TreeRecord) -> tuple[set[str], list[str]]:
    """The taxon names of a tree's leaves, and the labels its translate table does not know."""
    if not record.translate:
        return set(leaf_labels(record.text)), []
    names: set[str] = set()
    unknown: list[str] = []
    for label in leaf_labels(record.text):
        name = record.translate.get(label)
        if name is None:
            unknown.append(label)
        else:
            names.add(name)
    return names, unknown
