"""Where a result came from: the program's version, the command line, and each input file (its path, size and
modification time) with the burn-in and thinning applied to it and what that kept of each of its runs.

A `Provenance` is a plain record: `TreeSet.provenance` keeps the one of the files it read (and pickles it), the
command's NEXUS outputs carry it as comments (`nexus_comments`), the HTML report and the Zarr stores as
attributes, and `--provenance FILE` writes it as JSON (`to_json`). TSV and .npy outputs stay as they are, since
callers parse them.

The command records what it reads while it runs (`recording`): every reading of tree files reports itself here
when it ends (`notice`), so that each output can say what was read before it was written.
"""

import json
import os
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from contextvars import ContextVar
from dataclasses import asdict, dataclass, field, replace
from datetime import UTC, datetime

from cladomatic_tools import __version__
from cladomatic_tools.io.reader import STDIN

PROGRAM = "cladomatic"


@dataclass(frozen=True, slots=True)
class RunTaken:
    """What one run (a Newick file, a TREES block, a table) held and kept."""

    block: int  # its TREES block in the file, from 1 (1 for a Newick file or a table)
    found: int  # trees (or samples) in it
    first: int  # the position of its first kept tree, from 0: the burn-in dropped this many
    kept: int


@dataclass(frozen=True, slots=True)
class InputFile:
    """One input: `size` in bytes and `modified` (ISO 8601, UTC) when it is a file; how it was selected."""

    path: str
    size: int | None
    modified: str | None
    burnin: str | None  # as it was given; None when none was
    every: int = 1
    resample: int | None = None
    runs: tuple[RunTaken, ...] = ()


@dataclass(frozen=True, slots=True)
class Provenance:
    """The program's version, the command line (None outside the command) and the inputs, in order."""

    version: str = __version__
    command: tuple[str, ...] | None = None
    inputs: tuple[InputFile, ...] = field(default_factory=tuple)

    def to_dict(self) -> dict:
        """The record as plain JSON values.

        Returns
        -------
        dict
            ``program``, ``version``, ``command`` (a list of str, or None) and ``inputs``: per input its
            ``path``, ``size``, ``modified``, ``burnin``, ``every``, ``resample`` and ``runs`` (``block``,
            ``found``, ``first``, ``kept``).

        Examples
        --------
        >>> Provenance(version="1.0").to_dict()
        {'program': 'cladomatic', 'version': '1.0', 'command': None, 'inputs': []}
        """
        record = asdict(self)
        record["command"] = None if self.command is None else list(self.command)
        record["inputs"] = [{**entry, "runs": list(entry["runs"])} for entry in record["inputs"]]
        return {"program": PROGRAM, **record}

    def to_json(self) -> str:
        """The record as indented JSON text ending in a newline (see `to_dict`).

        Returns
        -------
        str

        Examples
        --------
        >>> print(Provenance(version="1.0").to_json(), end="")
        {
          "program": "cladomatic",
          "version": "1.0",
          "command": null,
          "inputs": []
        }
        """
        return json.dumps(self.to_dict(), indent=2, ensure_ascii=False) + "\n"

    @classmethod
    def from_dict(cls, record: dict) -> Provenance:
        """The record `to_dict` made.

        Parameters
        ----------
        record : dict
            As `to_dict` gives it.

        Returns
        -------
        Provenance

        Raises
        ------
        ValueError
            When `record` is not such a record.

        Examples
        --------
        >>> Provenance.from_dict(Provenance(version="1.0").to_dict()) == Provenance(version="1.0")
        True
        """
        try:
            command = record["command"]
            inputs = tuple(
                InputFile(**{**entry, "runs": tuple(RunTaken(**run) for run in entry["runs"])})
                for entry in record["inputs"]
            )
            return cls(str(record["version"]), None if command is None else tuple(command), inputs)
        except (KeyError, TypeError) as err:
            raise ValueError(f"not a provenance record: {err}") from None

    def nexus_comments(self) -> list[str]:
        """The record as NEXUS comment lines, one for the program, the command and each input.

        Returns
        -------
        list of str
            Each line a whole ``[...]`` comment; brackets in paths are written as braces, which a NEXUS
            comment cannot hold.

        Examples
        --------
        >>> Provenance(version="1.0", command=("cladomatic", "mcc", "a.t")).nexus_comments()
        ['[written by cladomatic 1.0]', '[command: cladomatic mcc a.t]']
        """
        lines = [f"written by {PROGRAM} {self.version}"]
        if self.command is not None:
            lines.append("command: " + " ".join(_quoted(word) for word in self.command))
        lines += [_described(entry) for entry in self.inputs]
        return ["[" + line.replace("[", "{").replace("]", "}") + "]" for line in lines]

    def adding(self, inputs: Sequence[InputFile]) -> Provenance:
        """The record with `inputs` after its own."""
        return replace(self, inputs=(*self.inputs, *inputs))


def _quoted(word: str) -> str:
    return word if word and not any(c.isspace() or c in "'\"" for c in word) else "'" + word.replace("'", "'\\''") + "'"


def _described(entry: InputFile) -> str:
    where = [f"{entry.size} bytes"] if entry.size is not None else []
    if entry.modified is not None:
        where.append(f"modified {entry.modified}")
    chosen = [f"burn-in {entry.burnin}" if entry.burnin is not None else "no burn-in"]
    chosen.append(f"resampled every {entry.resample} states" if entry.resample else f"every {entry.every}")
    runs = "; ".join(
        f"run {run.block}: {run.found} found, {run.kept} kept from position {run.first + 1}" for run in entry.runs
    )
    return (
        f"input {entry.path}"
        + (f" ({', '.join(where)})" if where else "")
        + ": "
        + ", ".join(chosen)
        + (f"; {runs}" if runs else "")
    )


def input_file(
    path: str, burnin: str | None, every: int = 1, runs: Sequence[RunTaken] = (), resample: int | None = None
) -> InputFile:
    """An input's record, its size and modification time read from the file system.

    Parameters
    ----------
    path : str
        The input as it was named; '-' for standard input.
    burnin : str or None
        The burn-in as it was given.
    every : int, default 1
        The thinning.
    runs : sequence of RunTaken, default ()
        What each of its runs held and kept.
    resample : int or None, default None
        The resampling step, when resampled.

    Returns
    -------
    InputFile
        Its size and modification time None for standard input or a file that cannot be looked at.

    Examples
    --------
    >>> entry = input_file("tests/data/mrbayes/cynmix.run1.t.gz", "25%")
    >>> entry.size > 0, entry.modified.endswith("+00:00"), entry.burnin
    (True, True, '25%')
    """
    size: int | None = None
    modified: str | None = None
    if path != STDIN:
        try:
            status = os.stat(path)
        except OSError:
            pass
        else:
            size = status.st_size
            modified = datetime.fromtimestamp(status.st_mtime, UTC).isoformat(timespec="seconds")
    return InputFile(path, size, modified, burnin, every, resample, tuple(runs))


# What the running command has read so far; None outside it.
_current: ContextVar[Provenance | None] = ContextVar("provenance", default=None)


@contextmanager
def recording(command: Sequence[str]) -> Iterator[None]:
    """Keeps the record of what a command reads while the block runs.

    Parameters
    ----------
    command : sequence of str
        The command line, the program's name first.

    Examples
    --------
    >>> with recording(["cladomatic", "mcc", "a.t"]):
    ...     notice([InputFile("a.t", None, None, None)])
    ...     [entry.path for entry in current().inputs]
    ['a.t']
    >>> current() is None
    True
    """
    token = _current.set(Provenance(command=tuple(command)))
    try:
        yield
    finally:
        _current.reset(token)


def notice(inputs: Sequence[InputFile]) -> None:
    """Adds inputs read by the running command to its record; nothing outside a command.

    Parameters
    ----------
    inputs : sequence of InputFile
        What was read, in order.
    """
    record = _current.get()
    if record is not None:
        _current.set(record.adding(inputs))


def current() -> Provenance | None:
    """The running command's record so far.

    Returns
    -------
    Provenance or None
        None outside a command (see `recording`).
    """
    return _current.get()
