"""The trees of several files taken as one stream: runs, burn-in, thinning, names and translate tables, and
where a tree of that stream is, for messages.

`FileTrees.records` reads the files once, handing on each selected tree as it passes; names, runs and table
indices grow as it goes. A run whose burn-in is a share of its length is held until it ends, since only then is
its first kept tree known. Inputs that can be read only once (standard input, named pipes) keep their selected
trees for messages. `scan` reads that stream to its end without keeping the texts, and `texts` reads the files
again for a caller that needs every name before the first tree.

A run is what burn-in and thinning apply to (see `selection`): a Newick file, or one TREES block of a NEXUS file
(files of several MrBayes runs joined end to end hold one block per run).

Every reader of trees says a fault in a tree the same way, through `explain`: its file, line and tree, and the
taxa that differ when two trees' leaf sets do.
"""

import itertools
import os
import re
import stat
from collections.abc import Callable, Generator, Iterator, Sequence
from contextlib import closing
from dataclasses import dataclass
from functools import partial

from cladomatic_tools.reader import STDIN, InputError, TreeRecord, display_name, read_trees
from cladomatic_tools.rooting import PYTHON_OPTIONS, Rooting
from cladomatic_tools.selection import Selection


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
        self.held: dict[int, list[TreeRecord]] = {}  # selected trees of inputs read only once, by run
        self.once: set[int] = set()  # which of the paths can be read only once (their trees are held)
        self._ahead: dict[int, Iterator[TreeRecord]] = {}  # such inputs whose first tree was looked at
        self._bare_names: list[str] = []
        self._table: dict[str, str] | None = None

    @property
    def names(self) -> list[str]:
        """One distinct row label per kept tree, saying its file and run whenever more than one is read."""
        return _distinct(_prefixed(self.paths, self.runs, self._bare_names))

    def groups(self) -> list[int]:
        """Per kept tree, the index of its run."""
        return [number for number, run in enumerate(self.runs) for _ in range(run.kept)]

    def peek(self, rooting: Rooting) -> None:
        """Shows `rooting` the first tree of every file, without using up an input that can be read only once."""
        for source, path in enumerate(self.paths):
            if _read_once(path):
                self.once.add(source)
                trees = read_trees(path)
                first = next(trees, None)
                self._ahead[source] = trees if first is None else itertools.chain([first], trees)
            else:
                with closing(read_trees(path)) as trees:
                    first = next(trees, None)
            if first is not None:
                rooting.see(first.text, partial(str, Location(Run(source, path, first.block, 0, 1), first)))

    def records(
        self, on_tree: Callable[[str, int], None] | None = None, rooting: Rooting | None = None
    ) -> Iterator[TreeRecord]:
        """The selected trees, file after file; `on_tree` sees each file's count of trees read so far and
        `rooting` each selected tree."""
        share = self.selection.needs_length
        for source, path in enumerate(self.paths):
            if _read_once(path):
                self.once.add(source)
            file_runs: list[Run] = []
            pending: list[TreeRecord] = []  # the run being read, until its burn-in share is known
            ahead = self._ahead.pop(source, None)
            for found, record in enumerate(read_trees(path) if ahead is None else ahead, 1):
                if on_tree is not None:
                    on_tree(display_name(path), found)
                if not file_runs or record.block != file_runs[-1].block:
                    if file_runs:
                        yield from self._close(file_runs[-1], pending, rooting)
                    file_runs.append(self._open(source, path, record.block, file_runs))
                run = file_runs[-1]
                run.found = record.position + 1
                if share:
                    pending.append(record)
                elif run.keeps(record.position):
                    yield self._keep(run, record, rooting)
            if not file_runs:
                raise InputError(f"{display_name(path)}: no trees found")
            yield from self._close(file_runs[-1], pending, rooting)

    def _open(self, source: int, path: str, block: int, file_runs: list[Run]) -> Run:
        run = Run(source, path, block, self.selection.first(None), self.selection.every)
        if file_runs:
            for earlier in file_runs:
                earlier.blocks_in_file = True
            run.blocks_in_file = True
        self.runs.append(run)
        return run

    def _close(self, run: Run, pending: list[TreeRecord], rooting: Rooting | None) -> Iterator[TreeRecord]:
        if self.selection.needs_length:
            run.first = self.selection.first(run.found)
            for record in pending:
                if run.keeps(record.position):
                    yield self._keep(run, record, rooting)
            pending.clear()
        if run.kept == 0:
            raise InputError(
                f"{run.label()}: a burn-in of {self.selection.burnin} leaves none of its {run.found} trees"
            )

    def _keep(self, run: Run, record: TreeRecord, rooting: Rooting | None) -> TreeRecord:
        if rooting is not None:
            rooting.see(record.text, lambda: str(Location(run, record)))
        run.kept += 1
        self._bare_names.append(record.name if record.name is not None else f"tree_{record.position + 1}")
        self.positions.append(record.position)
        self.map_indices.append(self._map_index(record.translate))
        if run.source in self.once:
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


def _read_once(path: str) -> bool:
    """Whether reading the input uses it up: standard input, a pipe, a terminal."""
    if path == STDIN:
        return True
    try:
        return not stat.S_ISREG(os.stat(path).st_mode)
    except OSError:
        return False  # opening it says why


def rooting_of(
    chosen: bool | None, readings: Sequence[FileTrees], options: tuple[str, str] = PYTHON_OPTIONS
) -> Rooting:
    """The rooting of the trees of `readings` compared together: `chosen`, else what the first tree of every
    input is marked (see `rooting`); `options` are the caller's words for choosing."""
    rooting = Rooting(chosen, options)
    if chosen is None:
        for files in readings:
            files.peek(rooting)
    return rooting.settle()


def scan(
    tree_set: FileTrees, on_tree: Callable[[str, int], None] | None = None, rooting: Rooting | None = None
) -> FileTrees:
    """Reads every file once to name and count its selected trees and to collect their translate tables."""
    for _ in tree_set.records(on_tree, rooting):
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
    if source in tree_set.once:
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


def explain(readings: Sequence[FileTrees], err: ValueError, rooted: bool, any_taxa: bool = False) -> str:
    """The engine's message about one tree (the module's or the tree set's), said with the file, line and tree
    it came from; when two trees' leaf sets differ (and the set does not take trees of any taxa), the taxa that
    differ. Every reader of tree files reports through here."""
    message = str(err)
    index = getattr(err, "tree_index", None)
    if not isinstance(index, int):
        return message
    where = locate(readings, index)
    if where is None:
        return message
    if not any_taxa and index > 0 and _well_formed(where.record, rooted) and (first := locate(readings, 0)):
        difference = _difference(where, first)
        if difference is not None:
            return difference
    if where.record.translate:
        _, unknown = taxa(where.record)
        if unknown:
            return f"{where}: the label '{unknown[0]}' is neither a key nor a taxon of its TRANSLATE table"
    for prefix, joint in ((f"Failed to parse newick at index {index}: ", ": "), (f"Tree {index} ", " ")):
        if message.startswith(prefix):
            return f"{where}{joint}{message[len(prefix) :]}"
    return f"{where}: {message}"


def _well_formed(record: TreeRecord, rooted: bool) -> bool:
    """Whether the engine reads the tree on its own (so a fault it reported lies between it and another)."""
    import _cladomatic_engine

    try:
        _cladomatic_engine.Engine.build(iter([(record.text, record.translate)]), None, rooted, False, False)
    except ValueError:
        return False
    return True


def _difference(where: Location, first: Location) -> str | None:
    have, unknown_here = taxa(where.record)
    want, unknown_there = taxa(first.record)
    if have == want or unknown_here or unknown_there:
        return None
    return differing(str(where), have, f"{first.label} of {first.run.label()}", want)


def differing(subject: str, have: set[str], reference: str, want: set[str]) -> str:
    """How two leaf sets differ, said of the first: 'SUBJECT lacks A and has B that REFERENCE does not'."""
    lacks = sorted(want - have)
    extra = sorted(have - want)
    if lacks and extra:
        return f"{subject} lacks {listed(lacks)} and has {listed(extra)} that {reference} does not"
    if lacks:
        return f"{subject} lacks {listed(lacks)} that {reference} has"
    return f"{subject} has {listed(extra)} that {reference} does not"


def listed(names: list[str], shown: int = 5) -> str:
    """Names joined with commas, the first `shown` of them and how many more."""
    if len(names) <= shown:
        return ", ".join(names)
    return ", ".join(names[:shown]) + f" and {len(names) - shown} more"
