"""Argument types and options shared by the command's subcommands."""

import argparse
from collections.abc import Callable

from cladomatic_tools.selection import Burnin, parse_burnin


def whole_number(minimum: int, noun: str = "") -> Callable[[str], int]:
    """An argparse type: a whole number of at least `minimum`, named in its message as a number of `noun`."""
    what = f"a whole number{f' of {noun}' if noun else ''}{f' of at least {minimum}' if minimum > 0 else ''}"

    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            value = minimum - 1
        if value < minimum:
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
