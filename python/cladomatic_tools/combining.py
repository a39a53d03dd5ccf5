"""Several runs written as one: their trees as one NEXUS file with one TRANSLATE table, or their parameter logs
(MrBayes `.p`, BEAST `.log`) as one table.

Runs are what `selection` says (a Newick file, one TREES block of a NEXUS file, one table), and each keeps what
burn-in and thinning keep of it, or with `resample` S the states after its burn-in that are multiples of S; S must
be a multiple of every run's sampling step, the gap between its first two states, so that the kept states are
spaced evenly. A state is the number that ends a tree's name (`STATE_1000`, `gen.1000`) or a table's first column.

Taxa are matched by name: each run's TRANSLATE keys are rewritten to the keys of the one table written, whatever
each run numbered them, and a tree whose taxa differ from the first tree's is refused, naming them. Everything
else of a tree (node comments, branch lengths, inner labels, the TREE command's own comments before its '=',
`tree STATE_0 [&lnP=-3.5] = ...`) is written as it was read, but for the comments dropped by `strip` (all of
them but the rooting marks [&R] and [&U]). A tree is named by its run and original name (`run2.STATE_1000`;
`run1.` with one run too, since a file read as a stream may hold another run after its first), or with
`renumber` by consecutive states `STATE_0`, `STATE_1`, ...
A table's columns are matched by name (a column missing from a run is an error naming it), its values written as
read, and its first column renumbered the same way with `renumber`.

Both read their inputs as streams, a tree or a row at a time: memory does not grow with the runs, but a burn-in
given as a share of each run counts the run first, which an input read only once (standard input) cannot give.
"""

import re
from collections.abc import Callable, Generator, Iterable, Iterator, Sequence
from contextlib import closing
from dataclasses import dataclass
from itertools import chain, islice
from typing import IO

from cladomatic_tools.io.parameter_tables import open_text
from cladomatic_tools.io.reader import STDIN, InputError, TreeRecord, display_name, read_trees
from cladomatic_tools.io.sources import differing, taxa
from cladomatic_tools.selection import Selection, parse_burnin  # noqa: F401 (the examples')
from cladomatic_tools.summaries import newick_name, nexus_head

# A node comment; or a leaf: its '(' or ',', what lies between (blanks, comments) and its label, which the reader
# gives unquoted or in the engine's double quotes; or any other double-quoted label.
_PIECE = re.compile(
    r'(?P<comment>\[[^\]]*\]?)|(?P<before>[(,])(?P<gap>(?:\s|\[[^\]]*\])*)(?P<leaf>"[^"]*"|[^\s()\[\]",:;]+)'
    r'|(?P<quoted>"[^"]*")'
)
_ROOTING_MARK = re.compile(r"\[&[RrUu]\]")
_STATE = re.compile(r"(\d+)$")


@dataclass(slots=True)
class RunRecord:
    """What was taken from one run: its input (and which of those given), its TREES block (0 for a Newick file or
    a table), how many trees or samples it holds, the position of the first after the burn-in, how many were
    written."""

    source: int
    path: str
    block: int
    first: int = 0
    found: int = 0
    kept: int = 0
    step: int | None = None  # the gap between its first two states, once seen

    def label(self) -> str:
        return display_name(self.path) + (f" (TREES block {self.block + 1})" if self.block else "")


@dataclass(frozen=True, slots=True)
class Choice:
    """What each run keeps: `selection`'s burn-in, then every `selection.every`-th tree, or with `resample` the
    states that are multiples of it."""

    selection: Selection
    resample: int | None = None
    renumber: bool = False

    def __post_init__(self) -> None:
        if self.resample is not None:
            if isinstance(self.resample, bool) or not isinstance(self.resample, int) or self.resample < 1:
                raise ValueError(f"resample must be a whole number of states of at least 1, not {self.resample!r}")
            if self.selection.every != 1:
                raise ValueError("thinning (every) and resampling are alternatives: give one of them")


class _Runs:
    """The runs met in order, which of their trees or samples are kept, and the states written."""

    def __init__(self, choice: Choice, lengths: dict[tuple[int, int], int]):
        self.choice = choice
        self.records: list[RunRecord] = []
        self._lengths = lengths
        self._index: dict[tuple[int, int], int] = {}
        self._first = 0
        self._last_state: int | None = None
        self.written = 0

    def keeps(self, source: int, path: str, block: int, position: int, state: int | None, where: str) -> bool:
        """Whether the tree or sample at `position` of its run is kept; checks the run's sampling step."""
        key = (source, block)
        number = self._index.get(key)
        if number is None:
            number = self._index[key] = len(self.records)
            self._first = self.choice.selection.first(self._lengths.get(key))
            self.records.append(RunRecord(source, path, block, self._first))
            self._last_state = None
        run = self.records[number]
        run.found += 1
        if state is not None and self._last_state is not None and run.step is None:
            run.step = state - self._last_state
            self._check_step(run, where)
        self._last_state = state
        if position < self._first:
            return False
        resample = self.choice.resample
        if resample is None:
            kept = (position - self._first) % self.choice.selection.every == 0
        else:
            if state is None:
                raise InputError(f"{where}: resampling needs states, and this name ends in no number")
            kept = state % resample == 0
        run.kept += kept
        return kept

    def _check_step(self, run: RunRecord, where: str) -> None:
        step = run.step
        assert step is not None
        if step <= 0:
            raise InputError(f"{where}: the states of {run.label()} do not increase")
        resample = self.choice.resample
        if resample is not None and resample % step:
            raise InputError(
                f"cannot resample every {resample} states: {run.label()} is sampled every {step} states, "
                f"which does not divide {resample}"
            )

    def written_state(self, state: str) -> str:
        """The state the next item kept is written with: its own, or with `renumber` the count of those before."""
        written = str(self.written) if self.choice.renumber else state
        self.written += 1
        return written


def is_table(path: str) -> bool:
    """Whether an input is a parameter log rather than a tree file.

    Parameters
    ----------
    path : str
        The input; standard input ('-') is taken for trees.

    Returns
    -------
    bool
        True when its first line that is no comment ('[...]', '#...') holds a tab and opens neither a tree nor a
        NEXUS file.

    Raises
    ------
    InputError
        When the file cannot be read.

    Examples
    --------
    >>> is_table("tests/data/mrbayes/cynmix.run1.p.gz"), is_table("tests/data/mrbayes/cynmix.run1.t.gz")
    (True, False)
    """
    if path == STDIN:
        return False
    with closing(_lines(path)) as lines:
        for _, line in lines:
            text = line.strip()
            if text.lower().startswith("#nexus") or text.startswith("("):
                return False
            if text.startswith("[") and "]" in text:
                text = text[text.index("]") + 1 :].strip()
                if text.startswith("("):
                    return False
                continue
            if text and not text.startswith("#"):
                return "\t" in text
    return False


def state_of(name: str | None) -> int | None:
    """The state a tree's name ends in.

    Parameters
    ----------
    name : str or None
        A NEXUS tree name (None for a Newick tree).

    Returns
    -------
    int or None
        The number that ends the name, None when it ends in none.

    Examples
    --------
    >>> state_of("STATE_1000"), state_of("gen.50"), state_of("con_50_majrule"), state_of(None)
    (1000, 50, None, None)
    """
    if name is None:
        return None
    found = _STATE.search(name)
    return int(found.group(1)) if found else None


def _trial(paths: Sequence[str], choice: Choice, lengths: dict, first_two: Callable[[str], Iterable[tuple]]) -> None:
    """Raises the faults that resampling finds in the first states of each input before anything is written, so
    that standard output gets no partial file; `first_two` gives (block, position, state, where) of the first two
    items of an input that can be read twice."""
    if choice.resample is None:
        return
    runs = _Runs(choice, lengths)
    for source, path in enumerate(paths):
        if path != STDIN:
            for block, position, state, where in first_two(path):
                runs.keeps(source, path, block, position, state, where)


def _run_lengths(paths: Sequence[str], choice: Choice, count: Callable[[str], Iterable[int]]) -> dict:
    """Per (input, block), its number of trees or samples, when the burn-in needs them; `count` gives the block
    of each item of an input."""
    lengths: dict[tuple[int, int], int] = {}
    if not choice.selection.needs_length:
        return lengths
    for source, path in enumerate(paths):
        if path == STDIN:
            raise InputError(
                "a burn-in given as a share needs each run's length, which standard input cannot give before it is "
                "read: give a number of trees, or a file"
            )
        for block in count(path):
            lengths[(source, block)] = lengths.get((source, block), 0) + 1
    return lengths


def combine_trees(
    paths: Sequence[str], choice: Choice, out: IO[str], *, strip: bool = False, comments: Sequence[str] = ()
) -> list[RunRecord]:
    """Writes the kept trees of several runs as one NEXUS file with one TRANSLATE table.

    Parameters
    ----------
    paths : sequence of str
        Newick or NEXUS tree files, gzip-compressed or not; '-' for standard input.
    choice : Choice
        What each run keeps (see the module's docstring).
    out : text file
        Where the file is written, as the trees are read.
    strip : bool, default False
        Drop the trees' comments but their rooting marks.
    comments : sequence of str, default ()
        Whole '[...]' lines written after '#NEXUS' (the provenance).

    Returns
    -------
    list of RunRecord
        Per run, in order, what it held and what was written.

    Raises
    ------
    InputError
        On a fault of an input (its taxa, its states when resampling, a label no TRANSLATE table knows), or when
        no tree is kept; what was written by then is incomplete.

    Examples
    --------
    >>> import io
    >>> out = io.StringIO()
    >>> runs = combine_trees(["tests/data/combine/run1.trees.gz"], Choice(Selection(every=25)), out)
    >>> [line.split()[1] for line in out.getvalue().splitlines() if line.startswith("tree")]
    ['run1.STATE_0', 'run1.STATE_100000', 'run1.STATE_200000']
    >>> runs[0].found, runs[0].kept
    (51, 3)
    """
    lengths = _run_lengths(paths, choice, lambda path: (record.block for record in read_trees(path)))
    streams: list[Iterator[TreeRecord]] = [read_trees(path) for path in paths]
    first = next(streams[0], None)
    if first is None:
        raise InputError(f"{display_name(paths[0])}: no trees found")
    streams[0] = chain([first], streams[0])
    names, unknown = taxa(first)
    if unknown:
        raise InputError(_unknown(paths[0], first, unknown[0]))
    leaf_names = sorted(names)
    keys = {name: str(number) for number, name in enumerate(leaf_names, 1)}
    reference = f"tree 1 of {display_name(paths[0])}"

    def relabelled(path: str, record: TreeRecord) -> str:
        where = f"{display_name(path)}:{record.line}: tree {record.position + 1}"
        return _relabelled(record, keys, names, strip, where, reference, path)

    def written(runs: _Runs, source: int, path: str, record: TreeRecord) -> str | None:
        where = f"{display_name(path)}:{record.line}"
        if not runs.keeps(source, path, record.block, record.position, state_of(record.name), where):
            return None
        text = relabelled(path, record)
        name = _tree_name(record, runs)
        own = "" if strip or not record.comments else f" {record.comments}"
        return f"tree {name}{own} = {text}\n"

    # The faults of each input's first trees (other taxa, a sampling step resampling cannot follow) are found
    # before anything is written, so that standard output does not get the start of a file that then fails.
    trial = _Runs(choice, lengths)
    for source, path in enumerate(paths):
        if path != STDIN:
            for record in islice(read_trees(path), 2):
                trial.keeps(source, path, record.block, record.position, state_of(record.name), display_name(path))
                relabelled(path, record)
    lines = nexus_head(leaf_names, taxa_block=True)
    lines[1:1] = comments
    out.write("\n".join(lines) + "\n")
    runs = _Runs(choice, lengths)
    for source, (path, trees) in enumerate(zip(paths, streams, strict=True)):
        for record in trees:
            if (line := written(runs, source, path, record)) is not None:
                out.write(line)
    if runs.written == 0:
        raise InputError("the burn-in and thinning keep no tree of any run")
    out.write("end;\n")
    return runs.records


def _tree_name(record: TreeRecord, runs: _Runs) -> str:
    if runs.choice.renumber:
        return f"STATE_{runs.written_state('')}"
    runs.written += 1
    name = record.name if record.name is not None else f"tree_{record.position + 1}"
    return newick_name(f"run{len(runs.records)}.{name}")


def _unknown(path: str, record: TreeRecord, label: str) -> str:
    return (
        f"{display_name(path)}:{record.line}: tree {record.position + 1}: the label '{label}' is neither a key nor a "
        "taxon of its TRANSLATE table"
    )


def _relabelled(
    record: TreeRecord, keys: dict[str, str], names: set[str], strip: bool, where: str, reference: str, path: str
) -> str:
    """The tree's text with each leaf as its key in the combined table and NEXUS quoting for quoted labels."""
    table = record.translate
    seen: list[str] = []

    def piece(found: re.Match[str]) -> str:
        comment = found.group("comment")
        if comment is not None:
            return "" if strip and not _ROOTING_MARK.fullmatch(comment) else comment
        quoted = found.group("quoted")
        if quoted is not None:
            return newick_name(quoted)
        label = found.group("leaf")
        taxon = table.get(label) if table else label
        if taxon is None:
            raise InputError(_unknown(path, record, label))
        seen.append(taxon)
        gap = found.group("gap")
        if strip:
            gap = re.sub(r"\[[^\]]*\]?", "", gap)
        return found.group("before") + gap + keys.get(taxon, newick_name(taxon))

    text = _PIECE.sub(piece, record.text)
    if len(seen) != len(names) or set(seen) != names:
        if len(set(seen)) != len(seen):
            twice = sorted({taxon for taxon in seen if seen.count(taxon) > 1})
            raise InputError(f"{where} holds the taxon {twice[0]} twice")
        raise InputError(differing(where, set(seen), reference, names))
    return text


@dataclass(slots=True)
class _Table:
    """A parameter log's header and its rows, as text."""

    path: str
    header: list[str]
    rows: Iterator[tuple[int, list[str]]]  # (line, fields)


def _table(path: str) -> _Table:
    lines = _lines(path)
    for number, line in lines:
        if not line.strip() or line.lstrip().startswith(("[", "#")):
            continue
        header = [field.strip() for field in line.split("\t")]
        if len(header) < 2:
            raise InputError(f"{path} line {number}: not a table of parameters (no tab-separated columns)")
        if len(set(header)) != len(header):
            twice = next(name for name in header if header.count(name) > 1)
            raise InputError(f"{path} line {number}: the column {twice} is named twice")
        return _Table(path, header, _rows(path, lines, len(header)))
    raise InputError(f"{path}: no parameter samples found")


def _lines(path: str) -> Generator[tuple[int, str]]:
    with open_text(path) as text:
        try:
            for number, line in enumerate(text, start=1):
                yield number, line.rstrip("\r\n")
        except (OSError, EOFError, UnicodeDecodeError) as err:
            raise InputError(f"cannot read {path}: {err}") from None


def _rows(path: str, lines: Iterator[tuple[int, str]], columns: int) -> Iterator[tuple[int, list[str]]]:
    for number, line in lines:
        if not line.strip():
            continue
        fields = line.split("\t")
        if len(fields) != columns:
            raise InputError(
                f"{path} line {number}: {len(fields)} values for {columns} columns (is the file complete?)"
            )
        yield number, fields


def _sample_state(path: str, number: int, column: str, field: str) -> int:
    try:
        return int(field.strip())
    except ValueError:
        try:
            value = float(field)
        except ValueError:
            value = 0.5
        if value != int(value):
            raise InputError(f"{path} line {number}: the first column ({column}) must hold whole states") from None
        return int(value)


def combine_logs(paths: Sequence[str], choice: Choice, out: IO[str]) -> list[RunRecord]:
    """Writes the kept samples of several parameter logs as one tab-separated table.

    Parameters
    ----------
    paths : sequence of str
        MrBayes `.p` or BEAST `.log` files, gzip-compressed or not.
    choice : Choice
        What each run keeps (see the module's docstring).
    out : text file
        Where the table is written: the first log's header, then the kept rows with their values as read.

    Returns
    -------
    list of RunRecord
        Per log, in order, what it held and what was written.

    Raises
    ------
    InputError
        On a fault of a log, when a log lacks a column of the first or has one the first lacks (naming it), or
        when no sample is kept.

    Examples
    --------
    >>> import io
    >>> out = io.StringIO()
    >>> logs = ["tests/data/combine/run1.log.gz", "tests/data/combine/run2.log.gz"]
    >>> runs = combine_logs(logs, Choice(Selection(parse_burnin("50")), renumber=True), out)
    >>> [row.split()[:2] for row in out.getvalue().splitlines()]
    [['state', 'posterior'], ['0', '-4039.031456204965'], ['1', '-4031.573304775025']]
    """
    lengths = _run_lengths(paths, choice, lambda path: (0 for _ in _table(path).rows))
    _trial(paths, choice, lengths, _first_samples)
    runs = _Runs(choice, lengths)
    tables = [_table(path) for path in paths]
    first = tables[0]
    order = [_column_order(table, first) for table in tables]
    out.write("\t".join(first.header) + "\n")
    for source, (table, picked) in enumerate(zip(tables, order, strict=True)):
        for position, (number, fields) in enumerate(table.rows):
            state = _sample_state(table.path, number, table.header[0], fields[0])
            if not runs.keeps(source, table.path, 0, position, state, f"{table.path} line {number}"):
                continue
            out.write("\t".join([runs.written_state(fields[0]), *(fields[k] for k in picked)]) + "\n")
    if runs.written == 0:
        raise InputError("the burn-in and thinning keep no sample of any run")
    return runs.records


def _first_samples(path: str) -> Iterator[tuple[int, int, int, str]]:
    table = _table(path)
    for position, (number, fields) in enumerate(islice(table.rows, 2)):
        yield 0, position, _sample_state(path, number, table.header[0], fields[0]), f"{path} line {number}"


def _column_order(table: _Table, first: _Table) -> list[int]:
    """Where each column of the first log lies in `table`'s rows."""
    at = {name: k for k, name in enumerate(table.header)}
    for name in first.header[1:]:
        if name not in at or at[name] == 0:
            raise InputError(f"{table.path} has no column {name}, which {first.path} has")
    extra = [name for name in table.header[1:] if name not in set(first.header[1:])]
    if extra:
        raise InputError(f"{table.path} has the column {extra[0]}, which {first.path} has not")
    return [at[name] for name in first.header[1:]]
