"""`cladomatic consensus`, `mcc`, `support`, `topologies` and `annotate`: summary trees of a sample of trees.

Each reads its trees as the distance commands do (runs, burn-in, thinning, rooting) into one TreeSet, with branch
lengths, and writes one text: Newick (standard output, or a file named .nwk, .newick, .tre, .tree, .treefile or
anything not claimed below), NEXUS with FigTree annotations (.nex, .nexus), and for `topologies` TSV (standard
output, .tsv, .txt) or NEXUS as MrBayes writes its .trprobs files (.nex, .nexus, .trprobs); `annotate` writes
NEXUS whatever the name.
"""

import argparse
import os
import sys
from collections.abc import Callable
from fractions import Fraction
from typing import TYPE_CHECKING, Protocol

from cladomatic_tools.cli import distances
from cladomatic_tools.cli.arguments import add_input_arguments, add_output, add_prune, add_threads
from cladomatic_tools.io import provenance, writers
from cladomatic_tools.io.reader import STDIN, InputError
from cladomatic_tools.io.sources import FileTrees, rooting_of
from cladomatic_tools.rooting import COMMAND_OPTIONS
from cladomatic_tools.selection import Selection

if TYPE_CHECKING:
    from cladomatic_tools.summaries import SummaryTree
    from cladomatic_tools.treeset import TreeSet


class Read(Protocol):
    """Reads the trees of `paths` into one set: with the command's burn-in and thinning, or as `chosen` says."""

    def __call__(self, paths: list[str], chosen: Selection | None = None) -> TreeSet: ...


NEXUS_SUFFIXES = (".nex", ".nexus")
TOPOLOGY_NEXUS_SUFFIXES = (*NEXUS_SUFFIXES, ".trprobs")
TOPOLOGY_TEXT_SUFFIXES = (".tsv", ".txt")
# Names that promise a format these commands do not write.
_OTHER_FORMATS = (".csv", ".npy", ".npz", ".zarr", ".gz", ".bz2", ".xz", ".zst", ".zip", ".7z", ".lz4")
_TREE_OUTPUT_HELP = (
    "write to FILE instead of standard output: NEXUS with FigTree annotations as MrBayes's .con.tre files carry "
    "them (prob, prob_stddev, length_mean, length_median, length_95%%HPD, and for rooted trees with lengths "
    "height_mean, height_median, height_95%%HPD) for a name ending in .nex or .nexus, else Newick"
)
_PERCENT_HELP = "write supports as whole percentages (0-100, rounded half up) instead of proportions with 6 decimals"


def register(commands) -> None:
    """Adds the five subcommands to the `cladomatic` command's subparsers."""

    def add(
        name: str,
        summary: str,
        description: str,
        run: Callable[[argparse.Namespace, Read, Callable[[str], None]], None],
        *,
        reference: bool = False,
    ):
        """A subcommand reading FILEs (after a REFERENCE file, when it takes one) and running `run` on them; one
        without a REFERENCE takes --prune common, which summarises the trees pruned to the taxa all of them hold."""

        def start(args: argparse.Namespace, status, warn: Callable[[str], None]) -> None:
            def read(paths: list[str], chosen: Selection | None = None) -> TreeSet:
                readings = [FileTrees(paths, Selection(args.burnin, args.every) if chosen is None else chosen)]
                return distances.read_set(
                    readings,
                    "",
                    args.rooted,
                    status,
                    warn,
                    lengths=True,
                    threads=args.threads,
                    prune=args.prune,
                    say_kept=True,
                )

            run(args, read, warn)

        command = commands.add_parser(name, help=summary, description=description)
        if reference:
            command.add_argument("reference", metavar="REFERENCE", help="the file of the tree or trees to label")
        add_input_arguments(command)
        add_threads(command)
        if reference:
            command.set_defaults(prune=None)
        else:
            add_prune(command, ("common",))
        command.set_defaults(run=start)
        return command

    command = add(
        "consensus",
        "write the majority-rule (or greedy) consensus tree",
        "The majority-rule consensus tree: the splits found in more than half of the trees (or more than "
        "--min-freq), each inner node labelled with its split's frequency and each branch as long as its split's "
        "mean length over the trees that hold it. Unrooted trees are written with their basal node next to the "
        "first taxon in byte order; rooted ones (--rooted) as trees of clades.",
        _run_consensus,
    )
    floor = command.add_mutually_exclusive_group()
    floor.add_argument(
        "--min-freq",
        type=_min_freq,
        default=Fraction(1, 2),
        metavar="F",
        help="keep the splits found in more than F of the trees, 0.5 <= F < 1 (default: 0.5)",
    )
    floor.add_argument(
        "--greedy",
        action="store_true",
        help="the greedy consensus instead (MrBayes's contype=allcompat): every split in decreasing frequency, "
        "ties in order of first appearance, kept while it is compatible with those kept before it",
    )
    command.add_argument(
        "--heights",
        choices=("median",),
        help="place every node at its clade's median height, as MrBayes's consensus of a clock run does (rooted "
        "trees with lengths; the tree is then ultrametric, and where a node would lie above its parent the least "
        "frequent clades are left out, as few as needed, which standard error says); default: each branch as long "
        "as its split's mean length",
    )
    _add_output_arguments(command)

    mcc = add(
        "mcc",
        "write the maximum clade credibility tree",
        "The maximum clade credibility tree: the sampled tree whose non-trivial splits have the largest product of "
        "frequencies (the first in input order of equal ones), with its own branch lengths and each inner node "
        "labelled with its split's frequency.",
        _run_mcc,
    )
    _add_output_arguments(mcc)

    support = add(
        "support",
        "write a reference tree with each split labelled by its frequency in the trees",
        "The trees of REFERENCE (a maximum-likelihood tree, say; read whole, without burn-in or thinning) with "
        "each of their splits labelled by its frequency in the trees of the FILEs, replacing any labels they had "
        "and keeping their branch lengths: one tree per line.",
        _run_support,
        reference=True,
    )
    _add_output_arguments(support)

    topologies = add(
        "topologies",
        "write the credible set of topologies",
        "The credible set of topologies: every distinct topology in decreasing frequency (ties in order of first "
        "appearance) with its count, probability and cumulative probability, up to and including the one whose "
        "cumulative probability first reaches --mass. TSV (rank, count, probability, cumulative, newick), or "
        "NEXUS as MrBayes's .trprobs files hold it for an output named .nex, .nexus or .trprobs.",
        _run_topologies,
    )
    topologies.add_argument(
        "--mass",
        type=_mass,
        default=Fraction(95, 100),
        metavar="P",
        help="the probability the set must reach, 0 < P <= 1 (default: 0.95)",
    )
    add_output(
        topologies,
        "write to FILE instead of standard output: NEXUS as MrBayes's .trprobs files hold it for a name ending in "
        ".nex, .nexus or .trprobs, else TSV",
    )
    _register_annotate(commands)


def _register_annotate(commands) -> None:
    from cladomatic_tools.annotation import HEIGHTS

    command = commands.add_parser(
        "annotate",
        help="write a target tree annotated with the posterior, heights and node values of rooted time trees",
        description="A target tree (the maximum clade credibility tree, a CCD MAP tree, or the first tree of "
        "TREEFILE) with every "
        "node annotated from the trees holding its clade: posterior; height, height_median, height_95%_HPD, "
        "height_range; length, length_median, length_95%_HPD, length_range; and the same for every number the "
        "trees carry on their nodes ([&rate=...]), or for a text the most frequent value with X.prob, X.set and "
        "X.set.prob. Written as NEXUS. The files are read twice and never held.",
    )
    add_input_arguments(command)
    command.add_argument(
        "--target",
        default="mcc",
        metavar="mcc|ccd1|ccd0|TREEFILE",
        help="the tree to annotate: the maximum clade credibility tree (mcc, the default), the MAP tree of the "
        "trees' CCD1 or CCD0 (rooted binary trees; branches as long as their clades' mean lengths), or the first "
        "tree of TREEFILE",
    )
    command.add_argument(
        "--heights",
        choices=HEIGHTS,
        default="keep",
        help="node heights: the target's own (keep, the default), the mean or median of the clade's heights over "
        "the trees holding it, or ca, the mean height of the common ancestor of its taxa over every tree",
    )
    command.add_argument(
        "--limit",
        type=_posterior,
        default=0.0,
        metavar="P",
        help="annotate only the nodes of posterior at least P; the others carry their posterior alone (default: 0)",
    )
    add_threads(command)
    add_output(command, "write the NEXUS tree to FILE instead of standard output")

    def start(args: argparse.Namespace, status, warn: Callable[[str], None]) -> None:
        from cladomatic_tools import annotation

        _check_inputs(args, args.files + ([] if args.target in annotation.TARGETS else [args.target]))
        if STDIN in args.files:
            raise InputError("annotate reads its files twice, so standard input ('-') cannot be one")
        readings = [FileTrees(args.files, Selection(args.burnin, args.every))]
        rooted = args.rooted
        if rooted is None and False not in rooting_of(None, readings, COMMAND_OPTIONS).marked:
            rooted = True  # time trees are rooted, and BEAST 2 marks none of them [&R]
        trees = distances.read_set(
            readings, "", rooted, status, warn, lengths=True, threads=args.threads, say_kept=True
        )
        try:
            annotated = annotation.annotate(
                trees, readings, args.target, heights=args.heights, limit=args.limit, threads=args.threads
            )
        except ValueError as err:
            raise InputError(str(err)) from None
        for note in annotated.notes:
            warn(note)
        _write(args.output, annotation.nexus(annotated))

    command.set_defaults(run=start)


def _posterior(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got '{text}'") from None
    if not 0 <= value <= 1:
        raise argparse.ArgumentTypeError(f"expected a posterior from 0 to 1, got '{text}'")
    return value


def _add_output_arguments(command: argparse.ArgumentParser) -> None:
    add_output(command, _TREE_OUTPUT_HELP)
    command.add_argument("--percent", action="store_true", help=_PERCENT_HELP)
    command.add_argument(
        "--outgroup",
        type=_taxa,
        metavar="TAXON[,TAXON...]",
        help="write each tree rooted on the branch that separates these taxa from the others (unrooted trees "
        "only; an error when they are not one side of a branch of the tree), every support staying on its split "
        "and the root carrying the support of that branch",
    )


def _taxa(text: str) -> list[str]:
    names = [name.strip() for name in text.split(",")]
    if not all(names):
        raise argparse.ArgumentTypeError(f"expected taxon names separated by commas, got '{text}'")
    return names


def _fraction(text: str) -> Fraction:
    try:
        return Fraction(text.strip())
    except ValueError, ZeroDivisionError:
        raise argparse.ArgumentTypeError(f"expected a number, got '{text}'") from None


def _min_freq(text: str) -> Fraction:
    value = _fraction(text)
    if not Fraction(1, 2) <= value < 1:
        raise argparse.ArgumentTypeError(f"expected a frequency of at least 0.5 and less than 1, got '{text}'")
    return value


def _mass(text: str) -> Fraction:
    value = _fraction(text)
    if not 0 < value <= 1:
        raise argparse.ArgumentTypeError(f"expected a probability above 0 and at most 1, got '{text}'")
    return value


def _suffix(path: str) -> str:
    return os.path.splitext(os.path.basename(path).lower())[1]


def tree_format(path: str | None, percent: bool) -> str:
    """'newick' or 'nexus', from the output's name; a name promising another format is refused, and so is
    --percent with NEXUS output, whose annotations carry proportions."""
    if path is None:
        return "newick"
    suffix = _suffix(path)
    if suffix in _OTHER_FORMATS or suffix in (".tsv", ".trprobs"):
        raise InputError(f"cannot write {path}: a tree is written as Newick or, for a name ending in .nex, NEXUS")
    if suffix in NEXUS_SUFFIXES:
        if percent:
            raise InputError("--percent applies to Newick labels; NEXUS annotations carry proportions")
        return "nexus"
    return "newick"


def topology_format(path: str | None) -> str:
    """'tsv' or 'nexus', from the output's name."""
    if path is None:
        return "tsv"
    suffix = _suffix(path)
    if suffix in TOPOLOGY_NEXUS_SUFFIXES:
        return "nexus"
    if suffix in TOPOLOGY_TEXT_SUFFIXES or suffix == "":
        return "tsv"
    raise InputError(f"cannot write {path}: the topologies are written as TSV (.tsv, .txt) or NEXUS (.nex, .trprobs)")


def _check_inputs(args: argparse.Namespace, inputs: list[str]) -> None:
    """Before any work: standard input read once, an output that can be written and is no input."""
    if inputs.count(STDIN) > 1:
        raise InputError("standard input ('-') can be read only once")
    if args.output is not None:
        writers.check_writable(args.output, inputs)


def _write(path: str | None, text: str) -> None:
    if path is None:
        sys.stdout.write(text)
        sys.stdout.flush()
    else:
        writers.write_text(path, text)


def _write_trees(args: argparse.Namespace, fmt: str, named: list[tuple[str, SummaryTree]]) -> None:
    from cladomatic_tools import summaries
    from cladomatic_tools.rerooting import reroot

    if args.outgroup is not None:
        try:
            named = [(name, reroot(tree, args.outgroup)) for name, tree in named]
        except ValueError as err:
            raise InputError(str(err)) from None

    if fmt == "nexus":
        _write(args.output, summaries.nexus(named, _comments()))
    else:
        _write(args.output, "".join(summaries.newick(tree, percent=args.percent) + "\n" for _, tree in named))


def _comments() -> list[str]:
    """The provenance of what the command read, as NEXUS comment lines."""
    record = provenance.current()
    return [] if record is None else record.nexus_comments()


def _tree_output(args: argparse.Namespace, inputs: list[str]) -> str:
    """The tree format of the output, every check of it made before any tree is read."""
    fmt = tree_format(args.output, args.percent)
    _check_inputs(args, inputs)
    writers.require_numpy(args.command)
    return fmt


def _run_consensus(args: argparse.Namespace, read: Read, warn: Callable[[str], None]) -> None:
    from cladomatic_tools import summaries

    fmt = _tree_output(args, args.files)
    try:
        tree = summaries.consensus(
            read(args.files), args.min_freq, args.greedy, spread=fmt == "nexus", heights=args.heights
        )
    except ValueError as err:
        raise InputError(str(err)) from None
    for note in tree.notes:
        warn(note)
    name = "con_all_compat" if args.greedy else f"con_{float(args.min_freq * 100):g}_majrule"
    _write_trees(args, fmt, [(name, tree)])


def _run_mcc(args: argparse.Namespace, read: Read, _warn: Callable[[str], None]) -> None:
    from cladomatic_tools import summaries

    fmt = _tree_output(args, args.files)
    trees = read(args.files)
    tree = summaries.mcc_tree(trees, spread=fmt == "nexus")
    _write_trees(args, fmt, [(trees.tree_names[trees.mcc()], tree)])


def _run_support(args: argparse.Namespace, read: Read, _warn: Callable[[str], None]) -> None:
    from cladomatic_tools import summaries

    fmt = _tree_output(args, [args.reference, *args.files])
    # reference trees are taken whole
    references = read([args.reference], Selection())
    trees = read(args.files)
    try:
        labelled = summaries.support_trees(trees, references, spread=fmt == "nexus")
    except ValueError as err:
        raise InputError(f"{args.reference}: {err}") from None
    _write_trees(args, fmt, list(zip(references.tree_names, labelled)))


def _run_topologies(args: argparse.Namespace, read: Read, _warn: Callable[[str], None]) -> None:
    from cladomatic_tools import summaries

    fmt = topology_format(args.output)
    _check_inputs(args, args.files)
    writers.require_numpy(args.command)
    trees = read(args.files)
    kept = summaries.credible_set(trees, args.mass)
    chosen = list(zip(kept, summaries.topology_trees(trees, [topology.first for topology in kept])))
    if fmt == "nexus":
        _write(args.output, summaries.trprobs(chosen, len(trees), _comments()))
    else:
        _write(args.output, summaries.topology_rows(chosen, len(trees)))
