"""The `cladomatic` command: argument parsing, the two kinds of run, and exit statuses.

Exit status 0 on success, 2 for bad arguments or input (one line on standard error, never a traceback),
1 when the extension module is missing, 130 after Ctrl-C.
"""

import argparse
import os
import sys
from typing import NoReturn

from cladomatic_tools import engine, output
from cladomatic_tools.progress import Status
from cladomatic_tools.reader import InputError
from cladomatic_tools.sources import FileTrees, Selection, scan

PROG = "cladomatic"

_METRIC_HELP = {
    "rf": "Robinson-Foulds distances: the number of splits found in only one of two trees",
    "wrf": "weighted Robinson-Foulds distances: the summed differences of branch lengths, split by split",
    "kf": "Kuhner-Felsenstein branch scores: the root of the summed squared differences of branch lengths",
}


class _Parser(argparse.ArgumentParser):
    """Reports a usage mistake as one line rather than the usage text and the message."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")


def _count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if value < 0:
        raise argparse.ArgumentTypeError(f"expected a whole number of trees, got '{text}'")
    return value


def _step(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a whole number of at least 1, got '{text}'")
    return value


def _add_input_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "files",
        nargs="+",
        metavar="FILE",
        help="Newick or NEXUS tree files, gzip-compressed or not; the trees of all files are compared together",
    )
    parser.add_argument(
        "--rooted", action="store_true", help="compare clades of rooted trees (default: bipartitions of unrooted trees)"
    )
    parser.add_argument("--burnin", type=_count, default=0, metavar="N", help="skip the first N trees of each file")
    parser.add_argument("--every", type=_step, default=1, metavar="K", help="then keep every K-th tree of each file")
    parser.add_argument("--quiet", action="store_true", help="no progress bar on standard error")


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        description="All pairwise tree distances, and every split of a tree collection, from Newick or NEXUS files.",
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for metric in engine.METRICS:
        what = _METRIC_HELP[metric]
        command = commands.add_parser(
            metric, help=f"write the matrix of {what}", description=f"Write the matrix of {what}."
        )
        _add_input_arguments(command)
        command.add_argument("--output", metavar="PATH", help="write to PATH instead of standard output")
        command.add_argument(
            "--format", choices=output.FORMATS, help="output format (default: from the suffix of --output, else tsv)"
        )
        command.set_defaults(run=_run_distances, metric=metric)
    command = commands.add_parser(
        "splits",
        help="write every split and which trees hold it to a .npz file",
        description="Write the distance matrix, every split (as a boolean leaf matrix), which trees hold it or "
        "its branch length in every tree, and the leaf and tree names to one .npz file.",
    )
    _add_input_arguments(command)
    command.add_argument("--output", metavar="PATH", required=True, help="the .npz file to write")
    command.add_argument(
        "--metric",
        choices=engine.METRICS,
        default="rf",
        help="rf stores which trees hold each split (presence); wrf and kf store branch lengths (default: rf)",
    )
    command.set_defaults(run=_run_splits)
    return parser


def _tree_set(args: argparse.Namespace, status: Status) -> FileTrees:
    tree_set = scan(args.files, Selection(args.burnin, args.every), status.scanning if status.enabled else None)
    status.clear()
    return tree_set


def _run_distances(args: argparse.Namespace, status: Status) -> None:
    fmt = output.format_for(args.output, args.format)
    if args.output is None and fmt == "npy":
        raise InputError("npy output needs --output")
    if args.output is not None:
        output.check_writable(args.output)
    matrix = engine.distances(args.metric, _tree_set(args, status), args.rooted, status)
    output.write_matrix(matrix, args.output, fmt)


def _run_splits(args: argparse.Namespace, status: Status) -> None:
    output.check_writable(args.output)
    arrays = engine.splits(args.metric, _tree_set(args, status), args.rooted, status)
    output.write_npz(args.output, arrays)


def main(argv: list[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    status = Status(sys.stderr, enabled=not args.quiet and sys.stderr.isatty())
    try:
        args.run(args, status)
    except InputError as err:
        return _fail(status, f"error: {err}", 2)
    except engine.EngineMissing as err:
        return _fail(status, f"error: {err}", 1)
    except KeyboardInterrupt:
        return _fail(status, "interrupted", 130)
    except BrokenPipeError:
        # the reader of standard output went away; flushing at exit would only fail again
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    return 0


def _fail(status: Status, message: str, code: int) -> int:
    status.clear()
    print(f"{PROG}: {message}", file=sys.stderr)
    return code
