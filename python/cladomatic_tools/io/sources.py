"""The trees of several files taken as one stream: runs, burn-in, thinning, names and translate tables, and
where a tree of that stream is, for messages.

The engine reads the files (`_cladomatic_engine.FileReading`), once, keeping each selected tree as it passes and
remembering for each its run, position, line and name; `read` starts such a reading, and `settle` hands what it
found to the `FileTrees` it read. The rules stay here: which trees a run keeps (`selection`, asked at a run's
end when the burn-in is a share of its length), what the files' rooting marks mean (`rooting`), and how a tree
is named. Inputs that can be read only once (standard input, named pipes) are looked at once before reading,
so their first tree is kept for the reading. `scan` reads the files through and keeps the selected texts, for
a caller that needs every name before the first tree.

A run is what burn-in and thinning apply to (see `selection`): a Newick file, or one TREES block of a NEXUS file
(files of several MrBayes runs joined end to end hold one block per run).

Every reader of trees says a fault in a tree the same way, through `explain`: its file, line and tree, and the
taxa that differ when two trees' leaf sets do.
"""

import os
import stat
from collections.abc import Callable, Generator, Sequence
from dataclasses import dataclass
from functools import partial
from typing import Any

from cladomatic_tools.io import provenance
from cladomatic_tools.io.provenance import InputFile, RunTaken, input_file
from cladomatic_tools.io.reader import (
    STDIN,
    InputError,
    Source,
    TreeRecord,
    display_name,
    engine_module,
    record_of,
    tree_file,
    warn_unfinished,
)
from cladomatic_tools.rooting import PYTHON_OPTIONS, Rooting
from cladomatic_tools.selection import Selection


@dataclass(slots=True)
class Run:
    """One run: `found` trees, of which those from position `first` on, every `every`-th, are kept."""

    source: int  # which of the inputs given holds it
    path: str  # that input as it was named
    block: int  # its TREES block in the file (0 in a Newick file)
    first: int  # position of its first kept tree
    every: int
    found: int = 0  # trees in the run
    kept: int = 0  # trees kept
    blocks_in_file: bool = False  # whether the file holds several runs, which then need telling apart

    def position(self, kept: int) -> int:
        """The position in the run of its `kept`-th selected tree (both counted from 0)."""
        return self.first + kept * self.every

    def label(self) -> str:
        return display_name(self.path) + (f" (run {self.block + 1})" if self.blocks_in_file else "")


class FileTrees:
    """The selected trees of `paths` (paths, '-' or file objects), once a reading has settled them."""

    def __init__(self, paths: Sequence[Source], selection: Selection):
        if sum(path == STDIN for path in paths) > 1:
            raise InputError("standard input ('-') can be read only once")
        self.sources = list(paths)
        self.paths = [path if isinstance(path, str) else display_name(path) for path in paths]
        self.selection = selection
        self.runs: list[Run] = []
        self.positions: list[int] = []  # per kept tree, its position in its run
        self.translate_maps: list[dict[str, str]] = [{}]  # entry 0 is the empty table of trees read without one
        self.map_indices: list[int] = []
        self.without_lengths = 0  # kept trees that give no branch length
        self._lines: list[int] = []
        self._tree_names: list[str | None] = []
        self._runs_of: list[int] = []  # per kept tree, its run in `runs`
        self._ahead: dict[int, Any] = {}  # readers of inputs read only once whose first tree was looked at
        self._reading: Any = None
        self._first: int = 0  # the reading's index of this set's first kept tree

    @property
    def names(self) -> list[str]:
        """One distinct row label per kept tree, saying its file and run whenever more than one is read."""
        bare = [
            name if name is not None else f"tree_{position + 1}"
            for name, position in zip(self._tree_names, self.positions, strict=True)
        ]
        return _distinct(_prefixed(self.paths, self.runs, bare))

    def provenance(self) -> list[InputFile]:
        """Per input, its record: the selection applied and what it kept of each of its runs (once settled)."""
        burnin = self.selection.burnin
        return [
            input_file(
                path,
                None if burnin is None else burnin.text,
                self.selection.every,
                [RunTaken(run.block + 1, run.found, run.first, run.kept) for run in self.runs if run.source == source],
            )
            for source, path in enumerate(self.paths)
        ]

    def groups(self) -> list[int]:
        """Per kept tree, the index of its run."""
        return list(self._runs_of)

    def peek(self, rooting: Rooting) -> None:
        """Shows `rooting` the first tree of every input, without using up an input that can be read only once."""
        native = engine_module()
        for source, path in enumerate(self.sources):
            trees = tree_file(path)
            try:
                found = trees.peek()
            except ValueError as err:
                raise InputError(str(err)) from None
            if _read_once(path):
                self._ahead[source] = trees
            if found is not None:
                first = record_of(found)
                where = Location(Run(source, self.paths[source], first.block, 0, 1), first)
                rooting.see(native.rooting_mark(first.text), partial(str, where))

    def inputs(self) -> list[Any]:
        """The readers of the inputs, in order: those `peek` looked at, new ones for the rest."""
        return [self._ahead.pop(source, None) or tree_file(path) for source, path in enumerate(self.sources)]

    def record(self, index: int) -> TreeRecord:
        """The `index`-th kept tree (from 0); its text is "" unless the reading kept it (the first tree, the
        tree the engine failed on, every tree of a scan)."""
        run = self.runs[self._runs_of[index]]
        table = self.map_indices[index]
        text = self._reading.text(self._first + index)
        return TreeRecord(
            text or "",
            self._lines[index],
            self._tree_names[index],
            self.translate_maps[table] if table else None,
            run.block,
            self.positions[index],
        )


def _read_once(path: Source) -> bool:
    """Whether reading the input uses it up: standard input, a pipe, a terminal, a file object."""
    if path == STDIN or not isinstance(path, str):
        return True
    try:
        return not stat.S_ISREG(os.stat(path).st_mode)
    except OSError:
        return False  # opening it says why


_LARGEST_COUNT = 2**64 - 1


def kept_note(readings: Sequence[FileTrees]) -> str:
    """What the burn-in and --every of each reading kept of each of its runs, in one line."""
    return "; ".join(runs_kept(files.selection, files.runs) for files in readings)


def runs_kept(selection: Selection, runs: Sequence[Any], unit: str = "trees", thinned: str | None = None) -> str:
    """What `selection` kept of each of the runs (each with `label()`, `kept`, `found` and `first`), `thinned`
    saying a thinning other than --every's."""
    every = selection.every
    if thinned is None and every > 1:
        thinned = f"one {unit[:-1]} in {every}"
    applied = f"burn-in {selection.burnin or 'none'}" + (f", then {thinned}" if thinned else "")
    kept = ", ".join(f"{run.label()} {run.kept} of {run.found} {unit} kept ({run.first} dropped)" for run in runs)
    return f"{applied}: {kept}"


class _Hooks:
    """What the engine asks while it reads: where a run's kept trees begin when the burn-in is a share of its
    length, the rooting marks, progress."""

    def __init__(
        self, readings: Sequence[FileTrees], rooting: Rooting | None, on_tree: Callable[[str, int], None] | None
    ):
        self._readings = readings
        self._rooting = rooting
        self._on_tree = on_tree

    def first_kept(self, reading: int, found: int) -> int:
        return self._readings[reading].selection.first(found)

    def marked(self, record: tuple[int, str | None, int, int], run: tuple[int, int, int, bool], rooted: bool) -> None:
        assert self._rooting is not None  # the engine reports marks only when asked to follow them
        line, name, block, position = record
        reading, source, _, blocks_in_file = run
        files = self._readings[reading]
        located = Run(source, files.paths[source], block, 0, 1, blocks_in_file=blocks_in_file)
        where = Location(located, TreeRecord("", line, name, None, block, position))
        self._rooting.see(rooted, partial(str, where))

    def progress(self, name: str, trees: int) -> None:
        if self._on_tree is not None:
            self._on_tree(name, trees)


def read(
    readings: Sequence[FileTrees],
    rooting: Rooting | None = None,
    on_tree: Callable[[str, int], None] | None = None,
    hold_texts: bool = False,
) -> Any:
    """A native reading of the trees of `readings`, one after another, for the engine to pull (see
    `Engine.build_from`) or to read through (`read_all`); `rooting` sees every kept tree's mark (when it
    follows them) and `on_tree` each file's count of trees read so far. Once it has ended, `settle` hands its
    trees to the readings."""
    native = engine_module()
    plan = []
    for files in readings:
        selection = files.selection
        # A count no run can reach drops every tree, as the largest count the engine holds does.
        first = None if selection.needs_length else min(selection.first(None), _LARGEST_COUNT)
        plan.append((files.inputs(), first, selection.every, str(selection.burnin or "")))
    follow = rooting is not None and rooting.chosen is None
    seen = (False in rooting.marked, True in rooting.marked) if rooting is not None else (False, False)
    return native.FileReading(plan, _Hooks(readings, rooting, on_tree), follow, seen, hold_texts)


def settle(readings: Sequence[FileTrees], reading: Any, failed: bool = False) -> None:
    """Hands each of `readings` its runs and kept trees from the ended native `reading`; raises InputError when
    a fault of the input ended it, and warns (UnfinishedTree) of each file whose unfinished last tree was left
    out, unless the trees `failed` in the engine."""
    runs = reading.runs
    first_run = 0
    first_tree = 0
    for number, files in enumerate(readings):
        own = [run for run in runs if run[0] == number]
        files.runs = [
            Run(source, files.paths[source], block, first, files.selection.every, found, kept, several)
            for _, source, block, first, found, kept, several in own
        ]
        run_of, files.positions, files._lines, files.map_indices, files._tree_names = reading.kept(number)
        files._runs_of = [run - first_run for run in run_of]
        files.translate_maps = reading.tables(number)
        files.without_lengths = reading.without_lengths(number)
        files._reading = reading
        files._first = first_tree
        first_run += len(own)
        first_tree += len(files.positions)
    if reading.error is not None:
        raise InputError(reading.error)
    provenance.notice([entry for files in readings for entry in files.provenance()])
    if not failed:
        warn_unfinished(reading.unfinished)


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
    """Reads every file once, keeping the selected trees' texts for `texts`."""
    reading = read([tree_set], rooting, on_tree, hold_texts=True)
    reading.read_all()
    settle([tree_set], reading)
    if len(tree_set.positions) < 2:
        raise InputError(f"need at least 2 trees to compare, found {len(tree_set.positions)}")
    return tree_set


def texts(tree_set: FileTrees, on_tree: Callable[[str], None] | None = None) -> Generator[str]:
    """The Newick texts of the trees `scan` kept, in order; `on_tree` sees each text as it goes."""
    for index in range(len(tree_set.positions)):
        text = tree_set.record(index).text
        if on_tree is not None:
            on_tree(text)
        yield text


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
    for files in readings:
        if index < len(files.positions):
            return Location(files.runs[files._runs_of[index]], files.record(index))
        index -= len(files.positions)
    return None


def taxa(record: TreeRecord) -> tuple[set[str], list[str]]:
    """The taxon names of a tree's leaves, and the labels its translate table does not know."""
    labels = engine_module().leaf_labels(record.text)
    if not record.translate:
        return set(labels), []
    names: set[str] = set()
    unknown: list[str] = []
    for label in labels:
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
    try:
        engine_module().Engine.build(iter([(record.text, record.translate)]), None, rooted, False, False)
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
