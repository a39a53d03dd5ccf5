"""The `cladomatic` command: argument parsing, the two kinds of run, and exit statuses.

Every failure is one line on standard error (a traceback too only with --debug) and one of these statuses:
2 for bad arguments or input, 1 for the environment (a full disk, a missing permission, NumPy or the extension
module, too little memory), 70 for an internal error (a bug), 128 + the signal's number after a signal that
ends the run (130 after Ctrl-C, 143 after SIGTERM, 129 after SIGHUP).
"""

import argparse
import os
import signal
import sys
import traceback
import warnings
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import NoReturn

from cladomatic_tools import __version__
from cladomatic_tools.cli import combine, diagnostics, distances, tiled
from cladomatic_tools.cli import parameters as parameters_command
from cladomatic_tools.cli import report as report_command
from cladomatic_tools.cli import summaries as summaries_command
from cladomatic_tools.cli.arguments import (
    add_debug,
    add_input_arguments,
    add_output,
    add_provenance,
    add_prune,
    add_threads,
)
from cladomatic_tools.cli.progress import RowCounter, Status
from cladomatic_tools.cli.stopping import signal_number, stopped_by_signals
from cladomatic_tools.io import output_lock, provenance, writers
from cladomatic_tools.io.reader import STDIN, EnvironmentFailure, InputError, UnfinishedTree
from cladomatic_tools.io.sources import FileTrees
from cladomatic_tools.metrics import METRICS, canonical_metric
from cladomatic_tools.selection import Selection

PROG = "cladomatic"


class _Parser(argparse.ArgumentParser):
    """Reports a usage mistake as one line rather than the usage text and the message."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        description="All pairwise tree distances, and every split of a tree collection, from Newick or NEXUS files.",
        epilog="Exit status: 0 done, 2 bad arguments or input, 1 a fault of the environment (disk full, permission, "
        "memory, NumPy or the extension module missing), 70 internal error, 128 + N after signal N (130 Ctrl-C, "
        "143 SIGTERM, 129 SIGHUP).",
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    add_debug(parser, False)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for metric, info in METRICS.items():
        what = info.help
        command = commands.add_parser(
            metric, help=f"write the matrix of {what}", description=f"Write the matrix of {what}."
        )
        add_input_arguments(command)
        add_output(
            command,
            "write to FILE instead of standard output; a name ending in .gz is gzip-compressed text; a .npy "
            "file is filled band by band, so its matrix may be larger than memory",
        )
        command.add_argument(
            "--format",
            choices=writers.FORMATS,
            help="output format (default: from the suffix of --output, else tsv); npz holds the matrix as "
            "'distances', the row names as 'tree_names' and, with --against or --between, the column names as "
            "'column_names'",
        )
        other = command.add_mutually_exclusive_group()
        other.add_argument(
            "--against",
            metavar="REFERENCE",
            help="compare every tree of the FILEs with every tree of REFERENCE (a maximum-likelihood tree, a "
            "consensus, a species tree; read whole, without burn-in or thinning): one row per tree, one column "
            "per reference tree",
        )
        other.add_argument(
            "--between",
            nargs="+",
            metavar="FILE2",
            help="compare the trees of the FILEs (the first group) with the trees of the FILE2s (the second group), "
            "burn-in and thinning applied to both: one row per tree of the first group, one column per tree of "
            f"the second. Give the FILEs first: '{PROG} {metric} run1.t --between run2.t'",
        )
        add_threads(command, ". The workers of --scheduler use their own")
        for parameter in info.params:
            command.add_argument(
                f"--{parameter.name}",
                type=float,
                default=parameter.default,
                metavar="X",
                dest=f"parameter_{parameter.name}",
                help=parameter.help,
            )
        if info.by_tree:
            add_prune(command, ("common",))
        else:
            add_prune(command)
        tiled.add_arguments(command)
        command.set_defaults(run=_run_distances, metric=metric)
    command = commands.add_parser(
        "splits",
        help="write every split and which trees hold it to a .npz file",
        description="Write the distance matrix, every split (as a boolean leaf matrix), which trees hold it or "
        "its branch length in every tree, and the leaf and tree names to one .npz file.",
    )
    add_input_arguments(command)
    add_output(command, "the .npz file to write", required=True)
    command.add_argument(
        "--metric",
        choices=distances.SPLIT_METRICS,
        default="rf",
        help="rf stores which trees hold each split (presence); wrf and kf store branch lengths (default: rf)",
    )
    add_threads(command)
    add_prune(command, ("common",))
    command.set_defaults(run=_run_splits)
    diagnostics.register(commands)
    report_command.register(commands)
    parameters_command.register(commands)
    summaries_command.register(commands)
    combine.register(commands)
    for command in commands.choices.values():
        add_provenance(command)
    return parser


def _metric_text(args: argparse.Namespace) -> str:
    """The canonical text of the subcommand's metric with the values of its parameter options."""
    info = METRICS[args.metric]
    if not info.params:
        return info.name
    values = ", ".join(f"{p.name}={getattr(args, f'parameter_{p.name}')!r}" for p in info.params)
    try:
        return canonical_metric(f"{info.name}({values})")
    except ValueError as err:
        raise InputError(str(err)) from None


def _run_distances(args: argparse.Namespace, status: Status, warn: Callable[[str], None]) -> None:
    args.metric = _metric_text(args)
    # a tiled run's output is checked by its own rules, below
    target = None if tiled.wanted(args) else writers.target_for(args.output, args.format)
    writers.require_numpy(f"the {args.metric} command")
    second = [args.against] if args.against is not None else args.between or []
    inputs = [*args.files, *second]
    if inputs.count(STDIN) > 1:
        raise InputError("standard input ('-') can be read only once")
    if target is None:
        tiled_output = tiled.target_for(args, inputs)
    elif target.path is not None:
        writers.check_writable(target.path, inputs)
    # reference trees are taken whole; a second sample gets the first one's burn-in and thinning
    selection = Selection(args.burnin, args.every)
    readings = [FileTrees(args.files, selection)]
    if second:
        readings.append(FileTrees(second, selection if args.between else Selection()))
    trees = distances.read_set(
        readings, args.metric, args.rooted, status, warn, threads=args.threads, prune=args.prune, say_kept=True
    )
    n = len(readings[0].positions)
    if not second and n < 2:
        raise InputError(f"need at least 2 trees to compare, found {n}")
    rows = range(n)
    cols = range(n, len(trees)) if second else rows
    short = distances.ShortPairs() if args.prune == "pairwise" else None
    if target is None:
        tiled.run(args, tiled_output, trees, rows, cols, short)
    else:
        counter = RowCounter(n * (n - 1) // 2 if not second else n * len(cols), n)
        with status.watching(counter, n):
            writers.write_matrix(distances.bands(args.metric, trees, rows, cols, counter, short), target)
    if short is not None:
        # a square block is the whole set's matrix, each pair of two trees in it twice
        pairs = len(rows) * (len(rows) - 1) // 2 if rows == cols else len(rows) * len(cols)
        short.warn(warn, trees.rooted, pairs)


def _run_splits(args: argparse.Namespace, status: Status, warn: Callable[[str], None]) -> None:
    writers.splits_target(args.output)
    writers.require_numpy("splits")
    writers.check_writable(args.output, args.files)
    reading = FileTrees(args.files, Selection(args.burnin, args.every))
    arrays = distances.splits(args.metric, reading, args.rooted, status, warn, threads=args.threads, prune=args.prune)
    writers.write_npz(args.output, arrays)


@contextmanager
def unfinished_said(warn: Callable[[str], None]) -> Iterator[None]:
    """Says each file whose unfinished last tree the reading left out as one warning of the command, once however
    often a command reads the file."""
    said: set[str] = set()
    with warnings.catch_warnings():
        warnings.simplefilter("always", UnfinishedTree)
        shown = warnings.showwarning

        def show(message, category, filename, lineno, file=None, line=None):
            if not issubclass(category, UnfinishedTree):
                shown(message, category, filename, lineno, file, line)
            elif str(message) not in said:
                said.add(str(message))
                warn(str(message))

        warnings.showwarning = show
        yield


def main(argv: list[str] | None = None) -> int:
    given = sys.argv[1:] if argv is None else list(argv)
    args = _parser().parse_args(given)
    status = Status(sys.stderr, enabled=not args.quiet and sys.stderr.isatty(), quiet=args.quiet)

    def warn(message: str) -> None:
        status.clear()
        print(f"{PROG}: warning: {message}", file=sys.stderr)

    try:
        with (
            stopped_by_signals(),
            output_lock.held(_outputs(args)),
            provenance.recording([PROG, *given]),
            unfinished_said(warn),
        ):
            if args.provenance is not None:
                _check_provenance(args)
            args.run(args, status, warn)
            record = provenance.current()
            if args.provenance is not None and record is not None:
                writers.write_text(args.provenance, record.to_json())
    except BaseException as err:
        if isinstance(err, SystemExit):
            raise
        code, message = _failure(err)
        status.clear()
        if args.debug:
            traceback.print_exc()
        if message is not None:
            print(f"{PROG}: {message}", file=sys.stderr)
        if isinstance(err, OSError):
            # standard output failed; flushing it at exit would only fail again
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        if isinstance(err, tiled.Abandoned | tiled.ClusterFailure):
            sys.stderr.flush()
            os._exit(code)
        return code
    return 0


def _outputs(args: argparse.Namespace) -> list[str]:
    """The files and folders the run writes (standard output aside), each once."""
    paths = [getattr(args, name, None) for name in ("output", "output_dir", "provenance")]
    return list({os.path.abspath(path): path for path in paths if path}.values())


def _check_provenance(args: argparse.Namespace) -> None:
    """Before any work: the record goes to a file of its own, which can be written and is no input."""
    outputs = [getattr(args, name, None) for name in ("output", "output_dir")]
    if any(out is not None and os.path.abspath(out) == os.path.abspath(args.provenance) for out in outputs):
        raise InputError(f"--provenance {args.provenance} is also the output: give it a file of its own")
    inputs = [*getattr(args, "files", []), *getattr(args, "runs", [])]
    writers.check_writable(args.provenance, [path for path in inputs if isinstance(path, str)])


def _failure(err: BaseException) -> tuple[int, str | None]:
    """The exit status and message of a failed run."""
    if isinstance(err, InputError):
        return 2, f"error: {err}"
    if isinstance(err, EnvironmentFailure):
        return 1, f"error: {err}"
    if isinstance(err, MemoryError):
        return 1, "error: out of memory"
    if isinstance(err, BrokenPipeError):
        return 1, None  # the reader of standard output went away
    if isinstance(err, OSError):
        return 1, f"error: cannot write standard output: {err.strerror or err}"
    if isinstance(err, KeyboardInterrupt):
        signum = signal_number(err)
        return 128 + signum, "interrupted" if signum == signal.SIGINT else f"stopped by {signal.Signals(signum).name}"
    if isinstance(err, Exception):
        return 70, f"internal error: {type(err).__name__}: {err}"
    return 70, f"internal error: {err}"  # the module's internal-failure type lies outside Exception
