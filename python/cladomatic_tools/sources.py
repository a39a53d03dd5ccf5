"""The trees of several files taken as one stream: runs, burn-in, thinning, names and translate tables.

`FileTrees.records` reads the files once, handing on each selected tree as it passes; names, runs and table
indices grow as it goes. A run whose burn-in is a share of its length is held until it ends, since only then is
its first kept tree known. Standard input, which can be read only once, keeps its selected trees for messages.
`scan` reads that stream to its end without keeping the texts, and `texts` reads the files again for a caller
that needs every name before the first tree.

A run is what burn-in and thinning apply to: a Newick file, or one TREES block of a NEXUS file (files of
several MrBayes runs joined end to end hold one block per run).
"""

import math
import re
from collections.abc import Callable, Generator, Iterator, Sequence
from dataclasses import dataclass
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


@dataclass(slots=True)
class Run:
    """One run, filled in while it is read: `found` and, for a burn-in share, `first` are final once it ends."""

    source: int  # which of the paths given holds it
    path: str
    block: int  # its TREES block in the file (0 in a Newick file)
    first: int  # position of its first kept tree
    every: int
    found: int = 0  # trees in the run
    kept: int = 0  # trees kept so far
    blocks_in_file: bool = False  # whether the file holds several runs, which then need telling apart

    def keeps(self, position: int) -> bool:
        return self.first <= position and (position - self.first) % self.every == 0

    def position(self, kept: int) -> int:
        """The position in the run of its `kept`-th selected tree (both counted from 0)."""
        return self.first + kept * self.every

    def label(self) -> str:
        return display_name(self.path) + (f" (run {self.block + 1})" if self.blocks_in_file else "")


class FileTrees:
    """The selected trees of `paths`, read once through `records`."""

    def __init__(self, paths: list[str], selection: Selection):
        if paths.count(STDIN) > 1:
            raise InputError("standard input ('-') can be read only once")
        self.paths = list(paths)
        self.selection = selection
        self.runs: list[Run] = []
        self.positions: list[int] = []  # per kept tree, its position in its run
        self.translate_maps: list[dict[str, str]] = [{}]  # entry 0 is the empty table of trees read without one
        self.map_indices: list[int] = []
        self.held: dict[int, list[TreeRecord]] = {}  # selected trees of standard input by run
        self._bare_names: list[str] = []
        self._table: dict[str, str] | None = None

    @property
    def names(self) -> list[str]:
        """One distinct row label per kept tree, saying its file and run whenever more than one is read."""
        return _distinct(_prefixed(self.paths, self.runs, self._bare_names))

    def groups(self) -> list[int]:
        """Per kept tree, the index of its run."""
        return [number for number, run in enumerate(self.runs) for _ in range(run.kept)]

    def records(self, on_tree: Callable[[str, int], None] | None = None) -> Iterator[TreeRecord]:
        """The selected trees, file after file; `on_tree` sees each file's count of trees read so far."""
        share = self.selection.burnin_share is not None
        for source, path in enumerate(self.paths):
            file_runs: list[Run] = []
            pending: list[TreeRecord] = []  # the run being read, until its burn-in share is known
            for found, record in enumerate(read_trees(path), 1):
                if on_tree is not None:
                    on_tree(display_name(path), found)
                if not file_runs or record.block != file_runs[-1].block:
                    if file_runs:
                        yield from self._close(file_runs[-1], pending)
                    file_runs.append(self._open(source, path, record.block, file_runs))
                run = file_runs[-1]
                run.found = record.position + 1
                if share:
                    pending.append(record)
                elif run.keeps(record.position):
                    yield self._keep(run, record)
            if not file_runs:
                raise InputError(f"{display_name(path)}: no trees found")
            yield from self._close(file_runs[-1], pending)

    def _open(self, source: int, path: str, block: int, file_runs: list[Run]) -> Run:
        run = Run(source, path, block, self.selection.burnin, self.selection.every)
        if file_runs:
            for earlier in file_runs:
                earlier.blocks_in_file = True
            run.blocks_in_file = True
        self.runs.append(run)
        return run

    def _close(self, run: Run, pending: list[TreeRecord]) -> Iterator[TreeRecord]:
        if self.selection.burnin_share is not None:
            run.first = self.selection.first(run.found)
            for record in pending:
                if run.keeps(record.position):
                    yield self._keep(run, record)
            pending.clear()
        if run.kept == 0:
            raise InputError(f"{run.label()}: {self.selection.describe()} leaves none of its {run.found} trees")

    def _keep(self, run: Run, record: TreeRecord) -> TreeRecord:
        run.kept += 1
        self._bare_names.append(record.name if record.name is not None else f"tree_{record.position + 1}")
        self.positions.append(record.position)
        self.map_indices.append(self._map_index(record.translate))
        if run.path == STDIN:
            self.held.setdefault(len(self.runs) - 1, []).append(record)
        return record

    def _map_index(self, table: dict[str, str] | None) -> int:
        if table is None:
            return 0
        if table is not self._table:
            self._table = table
            if table != self.translate_maps[-1]:
                self.translate_maps.append(table)
        return len(self.translate_maps) - 1


def scan(paths: list[str], selection: Selection, on_tree: Callable[[str, int], None] | None = None) -> FileTrees:
    """Reads every file once to name and count its selected trees and to collect their translate tables."""
    tree_set = FileTrees(paths, selection)
    for _ in tree_set.records(on_tree):
        pass
    if len(tree_set.positions) < 2:
        raise InputError(f"need at least 2 trees to compare, found {len(tree_set.positions)}")
    return tree_set


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
        if record.position < run.found and run.keeps(record.position):
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


def locate(readings: Sequence[FileTrees], index: int) -> Location | None:
    """Where the `index`-th tree handed to the engine (counted from 0 over all files of all readings) is."""
    for tree_set in readings:
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
