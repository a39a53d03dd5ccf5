"""`cladomatic combine`: several runs' trees as one NEXUS file, or their parameter logs as one table."""

import argparse
from collections.abc import Callable

from cladomatic_tools.cli.arguments import (
    add_debug,
    add_files,
    add_output,
    add_quiet,
    add_selection,
    whole_number,
)
from cladomatic_tools.io import provenance, writers
from cladomatic_tools.io.reader import STDIN, InputError
from cladomatic_tools.io.sources import runs_kept
from cladomatic_tools.selection import Selection

_FILES_HELP = (
    "the runs: tree files (Newick or NEXUS, gzip-compressed or not, '-' for standard input) or parameter logs "
    "(MrBayes .p, BEAST .log), all of one kind"
)


def register(commands) -> None:
    """Adds `combine` to the `cladomatic` command's subparsers."""
    command = commands.add_parser(
        "combine",
        help="write the trees (or parameter logs) of several runs as one file",
        description="Write the trees of several runs as one NEXUS file with one TRANSLATE table (taxa matched by "
        "name whatever each run's numbering), each tree named by its run and original name and its node comments "
        "kept as written; or the samples of several parameter logs as one table, columns matched by name. Each "
        "run keeps what the burn-in and thinning (or resampling) keep of it. Inputs are read as streams.",
    )
    add_files(command, _FILES_HELP)
    add_selection(command)
    command.add_argument(
        "--resample",
        type=whole_number(1, "states"),
        metavar="S",
        help="instead of --every: keep the states (after the burn-in) that are multiples of S, which must be a "
        "multiple of every run's sampling step",
    )
    command.add_argument(
        "--renumber",
        action="store_true",
        help="name the trees (number the samples) by consecutive states 0, 1, 2, ... instead of by run and "
        "original state",
    )
    command.add_argument(
        "--strip", action="store_true", help="drop the trees' comments but their rooting marks [&R] and [&U]"
    )
    add_output(
        command,
        "write to FILE instead of standard output (NEXUS for trees, a tab-separated table for logs; "
        "gzip-compressed for a name ending in .gz)",
    )
    add_quiet(command)
    add_debug(command, argparse.SUPPRESS)
    command.set_defaults(run=_run)


def _run(args: argparse.Namespace, status, warn: Callable[[str], None]) -> None:
    from cladomatic_tools import combining

    if args.files.count(STDIN) > 1:
        raise InputError("standard input ('-') can be read only once")
    if args.resample is not None and args.every != 1:
        raise InputError("--every and --resample are alternatives: give one of them")
    if args.output is not None:
        writers.check_writable(args.output, args.files)
    tables = [combining.is_table(path) for path in args.files]
    if any(tables) and not all(tables):
        trees = args.files[tables.index(False)]
        log = args.files[tables.index(True)]
        raise InputError(f"{trees} holds trees and {log} a parameter log: combine runs of one kind")
    if all(tables) and args.strip:
        raise InputError("--strip applies to tree files; parameter logs hold no comments")
    choice = combining.Choice(Selection(args.burnin, args.every), args.resample, args.renumber)
    burnin = None if args.burnin is None else args.burnin.text

    def inputs(runs: list[combining.RunRecord]) -> list[provenance.InputFile]:
        return [
            provenance.input_file(
                path,
                burnin,
                args.every,
                [provenance.RunTaken(r.block + 1, r.found, r.first, r.kept) for r in runs if r.source == source],
                args.resample,
            )
            for source, path in enumerate(args.files)
        ]

    with writers.streamed_text(args.output) as out:
        if all(tables):
            runs = combining.combine_logs(args.files, choice, out)
        else:
            # written before the runs are read: what each run held is in the trees' names
            record = provenance.Provenance(command=_command()).adding(inputs([]))
            runs = combining.combine_trees(args.files, choice, out, strip=args.strip, comments=record.nexus_comments())
    resampled = None if args.resample is None else f"the states that are multiples of {args.resample}"
    status.note(runs_kept(choice.selection, runs, "samples" if all(tables) else "trees", resampled))
    provenance.notice(inputs(runs))


def _command() -> tuple[str, ...] | None:
    record = provenance.current()
    return None if record is None else record.command
