"""Argument types and options shared by the command's subcommands."""

import argparse
import sys
from collections.abc import Callable

from cladomatic_tools.io import reader
from cladomatic_tools.selection import LARGEST_STEP, Burnin, parse_burnin


def whole_number(minimum: int, noun: str = "", maximum: int | None = None) -> Callable[[str], int]:
    """An argparse type: a whole number of at least `minimum` (and at most `maximum`), named in its message as a
    number of `noun`."""
    bounds = f" of at least {minimum}" if minimum > 0 else ""
    if maximum is not None:
        bounds = f" from {minimum} to {maximum}"
    what = f"a whole number{f' of {noun}' if noun else ''}{bounds}"

    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            value = minimum - 1
        if value < minimum or (maximum is not None and value > maximum):
            raise argparse.ArgumentTypeError(f"expected {what}, got '{text}'")
        return value

    return parse


def burnin(text: str) -> Burnin:
    """An argparse type: a burn-in as `selection` reads it."""
    try:
        return parse_burnin(text)
    except ValueError as err:
        raise argparse.ArgumentTypeError(str(err)) from None


BURNIN_HELP = (
    "trees dropped from the start of each run (a Newick file or a TREES block): N trees, P%% of them (below "
    "100%%) or a share F below 1 as MrBayes's burninfrac (0.25 is 25%%), floor(share x trees) of each run"
)


def add_rooting(parser: argparse.ArgumentParser) -> None:
    """--rooted and --unrooted, which override the trees' own [&R]/[&U] comments (`rooted`: True, False or
    None to follow the comments)."""
    choice = parser.add_mutually_exclusive_group()
    choice.add_argument(
        "--rooted",
        action="store_const",
        const=True,
        default=None,
        help="compare clades of rooted trees, whatever the files mark (default: trees marked [&R] are rooted, "
        "[&U] unrooted, unmarked ones as the marked ones they are compared with, else unrooted)",
    )
    choice.add_argument(
        "--unrooted",
        dest="rooted",
        action="store_const",
        const=False,
        help="compare bipartitions of unrooted trees, whatever the files mark",
    )


def add_prune(parser: argparse.ArgumentParser, modes: tuple[str, ...] = ("common", "pairwise")) -> None:
    """--prune MODE, which lets the trees hold different taxa (`prune`: None, or the mode)."""
    described = {
        "common": "'common' prunes every tree (the references of --against and --between included) to the taxa all "
        "of them hold, saying which it drops",
        "pairwise": "'pairwise' compares each pair of trees on the taxa the two share (every metric then float64, "
        "nan for a pair sharing fewer than 4 taxa, 3 rooted)",
    }
    parser.add_argument(
        "--prune",
        choices=modes,
        metavar="MODE",
        help="compare trees whose taxa differ (otherwise an error naming the taxa): "
        + "; ".join(described[mode] for mode in modes),
    )


FILES_HELP = (
    "Newick or NEXUS tree files, gzip-compressed or not, '-' for standard input; the trees of all files are read "
    f"together. One tree (or NEXUS name) may hold at most {reader.MAX_TREE_CHARS:,} characters"
)
RUNS_HELP = FILES_HELP + "; each file (or TREES block of a NEXUS file) is one run"
EVERY_HELP = "then keep every K-th tree of each run (default: 1, every tree)"
THREADS_HELP = (
    "threads of this process (default: as many as the CPUs it may use; more run as that many); the results are "
    "the same for every N"
)
QUIET_HELP = "no progress on standard error"
DEBUG_HELP = "on failure, also print the Python traceback"

_step = whole_number(1, maximum=LARGEST_STEP)


def add_files(parser: argparse.ArgumentParser, help: str = FILES_HELP) -> None:
    """The positional FILE... of every subcommand that reads tree files (`files`)."""
    parser.add_argument("files", nargs="+", metavar="FILE", help=help)


def add_selection(
    parser: argparse.ArgumentParser,
    default: str | None = None,
    *,
    burnin_help: str = BURNIN_HELP,
    every_help: str = EVERY_HELP,
) -> None:
    """--burnin and --every, which always come together (`burnin`, `every`); `default` is the burn-in applied
    when none is given, as a user would write it; the helps are those of trees unless a command selects something
    else (samples)."""
    shown = "none" if default is None else default.replace("%", "%%")
    parser.add_argument(
        "--burnin", type=burnin, default=default, metavar="N|P%|F", help=f"{burnin_help} (default: {shown})"
    )
    parser.add_argument("--every", type=_step, default=1, metavar="K", help=every_help)
    # said right under the usage line: the commands differ in it
    applied = "none" if default is None else default
    parser.description = f"Burn-in: {applied} unless --burnin says otherwise.\n\n{parser.description or ''}".rstrip()


def add_threads(parser: argparse.ArgumentParser, extra: str = "") -> None:
    """--threads N, on every subcommand that computes (`threads`: None for every CPU)."""
    parser.add_argument("--threads", type=whole_number(1), metavar="N", help=THREADS_HELP + extra)


def add_output(
    parser: argparse.ArgumentParser, help: str, *, required: bool = False, default: str | None = None
) -> None:
    """--output FILE: always one file (`output`); without it, standard output where `help` says so."""
    parser.add_argument("--output", metavar="FILE", required=required, default=default, help=help)


def add_output_dir(parser: argparse.ArgumentParser, help: str, *, formerly_output: bool = False) -> None:
    """--output-dir DIR: the folder a subcommand writes its files into (`output_dir`, default the current one).
    `formerly_output` still takes the folder as --output, with a warning, for the subcommands that once did."""
    parser.add_argument("--output-dir", default=".", metavar="DIR", help=f"{help} (default: the current one)")
    if formerly_output:
        parser.add_argument("--output", dest="output_dir", action=_FormerOutputDir, help=argparse.SUPPRESS)


class _FormerOutputDir(argparse.Action):
    """The folder given as --output, as converge and space took it before --output came to name files only."""

    def __call__(self, parser, namespace, values, option_string=None) -> None:
        setattr(namespace, self.dest, values)
        command = parser.prog.split()[-1]
        print(
            f"cladomatic: warning: '{command} --output DIR' is deprecated: give the folder as --output-dir DIR",
            file=sys.stderr,
        )


def add_provenance(parser: argparse.ArgumentParser) -> None:
    """--provenance FILE (`provenance`), which every subcommand takes."""
    parser.add_argument(
        "--provenance",
        metavar="FILE",
        help="also write, as JSON, what the output was made from: the program's version, the command line, and "
        "each input file's path, size and modification time with the burn-in and thinning applied to it and the "
        "trees each of its runs held and kept",
    )


def add_quiet(parser: argparse.ArgumentParser) -> None:
    """--quiet (`quiet`)."""
    parser.add_argument("--quiet", action="store_true", help=QUIET_HELP)


def add_debug(parser: argparse.ArgumentParser, default: object) -> None:
    """--debug (`debug`); subcommands take argparse.SUPPRESS so that the top-level flag is kept."""
    parser.add_argument("--debug", action="store_true", default=default, help=DEBUG_HELP)


def add_input_arguments(parser: argparse.ArgumentParser) -> None:
    """What every subcommand reading tree files takes: FILE..., the rooting, the selection, --quiet, --debug."""
    add_files(parser)
    add_rooting(parser)
    add_selection(parser)
    add_quiet(parser)
    add_debug(parser, argparse.SUPPRESS)
