"""`cladomatic converge` and `cladomatic space`: convergence diagnostics and tree-space pictures.

Both read their trees into one TreeSet and write TSV files and PNG pictures into an output directory.
"""

import argparse
import itertools
import math
import os
import re
import sys
import textwrap
from collections.abc import Callable
from typing import TYPE_CHECKING

from cladomatic_tools import defaults
from cladomatic_tools.cli import distances
from cladomatic_tools.cli.arguments import (
    RUNS_HELP,
    add_debug,
    add_files,
    add_output_dir,
    add_prune,
    add_quiet,
    add_rooting,
    add_selection,
    add_threads,
    whole_number,
)
from cladomatic_tools.io.reader import EnvironmentFailure, InputError
from cladomatic_tools.io.sources import FileTrees
from cladomatic_tools.io.writers import require_numpy, write_files
from cladomatic_tools.metrics import METRICS, canonical_metric, metric_info
from cladomatic_tools.selection import DEFAULT_BURNIN, Selection

if TYPE_CHECKING:
    import numpy as np

# NEXUS tree names of MCMC samples end in the generation: "gen.5000", "run2.gen.5000"
_GENERATION = re.compile(r"(?:^|[.:_\s])gen\.?(\d+)$")

CONVERGE_HELP = f"""\
Split frequencies of two or more runs of an MCMC sampler (one file per run, or one file with a TREES block per
run) and how far the runs disagree, with the definitions MrBayes uses so that the figures match the ones it
prints: a split's frequency in a run is the share of the run's trees after the burn-in that hold it; its SDSF
is the standard deviation of its frequencies over the runs (n - 1 denominator); the ASDSF is the mean SDSF, and
the maximum SDSF the largest, over the splits whose frequency reaches --min-freq in at least one run. A burn-in
given as a percentage or a share drops floor(share x trees) trees from the start of every run.

Writes to --output-dir: split_frequencies.tsv (every split as the taxa on its smaller side, or in its clade when
rooted, its frequency in
each run, their mean and SD, and whether it counts towards the ASDSF), split_frequencies.png (run against run),
asdsf_trace.tsv and .png (ASDSF and maximum SDSF at {defaults.TRACE_POINTS} points along the chains, each
point using the leading trees of every run with the same burn-in rule applied to them, as MrBayes computes it
while it runs), and run_distances.tsv (mean Robinson-Foulds distance between the trees of each pair of runs,
and within each run over distinct pairs). The summary goes to standard output.

The effective sample size of each run's topologies after the burn-in, from Robinson-Foulds distances, goes to
ess.tsv and the summary by two estimators: the Fréchet correlation ESS (Magee et al. 2024, lower-bound form) and the
pseudo-ESS (Lanfear et al. 2016): the median and the minimum, over --ess-focal focal trees drawn from the run with
--seed, of the ESS that R's coda::effectiveSize gives the trace of every tree's distance to the focal tree."""

SPACE_HELP = f"""\
Classical multidimensional scaling (principal coordinates) of the trees: the eigenvectors of the double-centred
matrix of squared distances, scaled by the square roots of their eigenvalues. Up to {defaults.EXACT_LIMIT} trees
the whole matrix is decomposed. Above that, landmark MDS with up to {defaults.LANDMARKS} landmark trees: half spread
evenly over the sample, the rest chosen one by one as the tree farthest from all landmarks so far (fewer when
every tree already coincides with one). Each landmark stands for the trees nearest to it; the landmarks are
scaled exactly with those weights and every tree is placed from its distances to them, so only that many rows
of distances are computed and no trees x trees matrix is built. The result is exact when the sample holds no
more distinct trees than there are landmarks. --method chooses either method. An axis's
share of the variation is its eigenvalue over the trace of the double-centred matrix (of the landmarks').

Writes to --output-dir: coordinates.tsv (tree, run, position in its file, generation when the tree names carry it,
one column per axis), axes.tsv (eigenvalue and share of each axis) and tree_space.png (the first two axes, one
colour per run, each run's path through its sample drawn faintly)."""


def _wrapped(text: str) -> str:
    """Help paragraphs refilled, so that the figures substituted into them do not leave ragged lines."""
    return "\n\n".join(
        textwrap.fill(" ".join(part.split()), 110, break_on_hyphens=False) for part in text.split("\n\n")
    )


def _metric_text(text: str) -> str:
    """--metric's value: a metric of the table, with its parameters, as its canonical text."""
    try:
        return canonical_metric(text)
    except ValueError as err:
        raise argparse.ArgumentTypeError(str(err)) from None


def register(commands) -> None:
    """Adds the two subcommands to the `cladomatic` command's subparsers."""
    command = commands.add_parser(
        "converge",
        help="split frequencies, ASDSF and its trace for two or more runs, with pictures",
        description=_wrapped(CONVERGE_HELP),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    add_run_arguments(command)
    _add_output_arguments(command)
    command.set_defaults(run=run_converge)

    command = commands.add_parser(
        "space",
        help="principal coordinates of the trees (classical MDS), as TSV and a picture",
        description=_wrapped(SPACE_HELP),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    add_files(command, RUNS_HELP)
    command.add_argument(
        "--metric",
        type=_metric_text,
        default="rf",
        metavar="METRIC",
        help=f"the tree distance: one of {', '.join(METRICS)}, with parameters as in 'kc(lambda=0.5)' (default: rf)",
    )
    command.add_argument("--dims", type=_dims, default=2, metavar="K", help="number of axes (default: 2)")
    command.add_argument(
        "--method",
        choices=("auto", "exact", "landmark"),
        default="auto",
        help=f"exact MDS, landmark MDS, or exact up to {defaults.EXACT_LIMIT} trees (default: auto)",
    )
    add_selection(command)
    add_prune(command)
    add_rooting(command)
    add_threads(command)
    _add_output_arguments(command)
    command.set_defaults(run=run_space)


def add_run_arguments(command: argparse.ArgumentParser) -> None:
    """The runs and the options that choose what of them is compared, as converge and report take them."""
    add_files(command, RUNS_HELP)
    add_selection(command, DEFAULT_BURNIN)
    command.add_argument(
        "--min-freq",
        type=_fraction,
        default=defaults.DEFAULT_MIN_FREQ,
        metavar="F",
        help="the frequency a split must reach in at least one run to count towards the ASDSF"
        f" (default: {defaults.DEFAULT_MIN_FREQ:.2f})",
    )
    command.add_argument(
        "--ess-focal",
        type=whole_number(1, "focal trees"),
        default=defaults.DEFAULT_ESS_FOCAL,
        metavar="N",
        help=f"focal trees per run of the pseudo-ESS (default: {defaults.DEFAULT_ESS_FOCAL})",
    )
    command.add_argument(
        "--seed", type=whole_number(0), default=0, metavar="S", help="seed of the focal trees' draw (default: 0)"
    )
    add_rooting(command)
    add_threads(command)


def _add_output_arguments(command: argparse.ArgumentParser) -> None:
    add_output_dir(command, "folder for the files", formerly_output=True)
    add_quiet(command)
    add_debug(command, argparse.SUPPRESS)


def _fraction(text: str) -> float:
    try:
        return defaults.check_min_freq(float(text), text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a frequency between 0 and 1, got '{text}'") from None


_dims = whole_number(1, "axes")


def _output_dir(path: str) -> str:
    if os.path.exists(path) and not os.path.isdir(path):
        raise InputError(f"the output directory {path} is a file")
    try:
        os.makedirs(path, exist_ok=True)
    except OSError as err:
        raise EnvironmentFailure(f"cannot create the output directory {path}: {err.strerror or err}") from None
    if not os.access(path, os.W_OK):
        raise EnvironmentFailure(f"cannot write to the output directory {path}")
    return path


def input_label(paths: list[str]) -> str:
    names = [os.path.basename(p) if p != "-" else "standard input" for p in paths]
    return ", ".join(names) if len(names) <= 3 else f"{names[0]} and {len(names) - 1} more files"


def generations(tree_names: list[str]) -> np.ndarray | None:
    """The MCMC generation of every tree when every tree name ends in one, else None."""
    import numpy as np

    values = np.empty(len(tree_names), dtype=np.int64)
    for i, name in enumerate(tree_names):
        found = _GENERATION.search(name)
        if found is None:
            return None
        values[i] = int(found[1])
    return values


def _tsv(header: list[str], rows) -> bytes:
    return "".join("\t".join(row) + "\n" for row in itertools.chain([header], rows)).encode("utf-8")


def _num(value: float) -> str:
    # NaN where no split reached the minimum frequency, or a point of the trace lies inside the burn-in
    return "NA" if math.isnan(value) else f"{value:.6f}"


def run_converge(args: argparse.Namespace, status, warn: Callable[[str], None]) -> None:
    require_numpy("converge")
    import numpy as np

    from cladomatic_tools import convergence, ess, plots

    burnin = args.burnin
    out = _output_dir(args.output_dir)
    # read whole: the trace applies the burn-in rule to the leading trees of every run at each of its points
    tree_set = distances.read_set(
        [FileTrees(args.files, Selection())], "rf", args.rooted, status, warn, threads=args.threads
    )
    if len(tree_set.group_names) < 2:
        raise InputError(
            "converge needs two or more runs: give one file per run, or one file with a TREES block per run"
        )
    sizes = np.bincount(np.asarray(tree_set.groups), minlength=len(tree_set.group_names))
    if sizes.min() != sizes.max():
        # MrBayes's runs always have equal lengths; unequal ones usually mean a run was cut short
        warn("the runs hold different numbers of trees: " + ", ".join(str(n) for n in sizes))
    try:
        report = convergence.converge(tree_set, burnin, args.min_freq, every=args.every)
    except ValueError as err:
        raise InputError(str(err)) from None
    runs = report.run_names
    labels = [os.path.basename(name) for name in runs]
    leaves = tree_set.leaf_names
    thinned = f", then one tree in {args.every}" if args.every > 1 else ""
    status.note(
        f"burn-in {burnin}{thinned}: "
        + ", ".join(
            f"{label} {report.trees[r]} of {sizes[r]} trees kept ({report.burned[r]} dropped)"
            for r, label in enumerate(labels)
        )
    )

    order = np.lexsort((-report.sd, -report.freqs.mean(axis=0)))
    sides = convergence.named_sides(report.splits, tree_set.rooted)
    files: dict[str, bytes] = {}
    files["split_frequencies.tsv"] = _tsv(
        ["split", *[f"freq_{label}" for label in labels], "mean", "sd", "in_asdsf"],
        (
            [
                ",".join(leaves[j] for j in np.flatnonzero(sides[i])),
                *[f"{f:.6f}" for f in report.freqs[:, i]],
                f"{report.freqs[:, i].mean():.6f}",
                f"{report.sd[i]:.6f}",
                "yes" if report.used[i] else "no",
            ]
            for i in order
        ),
    )

    names = tree_set.tree_names
    gens = generations(names)
    first_run = np.flatnonzero(np.asarray(tree_set.groups) == 0)
    first_run = first_run[np.argsort(np.asarray(tree_set.positions)[first_run], kind="stable")]
    trace_gen = gens[first_run[report.trace_ends[:, 0] - 1]] if gens is not None else None
    header = ["point", *[f"trees_{label}" for label in labels]]
    header += ["generation"] if trace_gen is not None else []
    files["asdsf_trace.tsv"] = _tsv(
        header + ["asdsf", "max_sdsf"],
        (
            [
                str(k + 1),
                *[str(v) for v in report.trace_ends[k]],
                *([str(trace_gen[k])] if trace_gen is not None else []),
                _num(report.trace[k, 0]),
                _num(report.trace[k, 1]),
            ]
            for k in range(len(report.trace))
        ),
    )
    files["run_distances.tsv"] = _tsv(
        ["run", *labels],
        ([labels[r], *[_num(v) for v in report.mean_rf[r]]] for r in range(len(runs))),
    )

    chains = [chain[:: args.every] for chain in ess.chains(tree_set, skip=report.burned)]
    ess_rows = ess.run_table(tree_set, chains, "rf", args.ess_focal, args.seed)
    files["ess.tsv"] = _tsv(
        ["run", "trees", "frechet_ess", "pseudo_ess_median", "pseudo_ess_min"],
        (
            [labels[r], str(row.trees), _num(row.frechet), _num(row.pseudo_median), _num(row.pseudo_min)]
            for r, row in enumerate(ess_rows)
        ),
    )

    source = input_label(args.files)
    files["split_frequencies.png"] = plots.split_frequencies(
        report.freqs,
        report.used,
        labels,
        f"Split frequencies, {source}\n(burn-in {burnin}, ASDSF {_num(report.final.asdsf)})",
    )
    x = trace_gen if trace_gen is not None else report.trace_ends[:, 0]
    files["asdsf_trace.png"] = plots.asdsf_trace(
        x,
        report.trace,
        args.min_freq,
        "generation" if trace_gen is not None else f"trees sampled ({labels[0]})",
        f"ASDSF along the chains, {source}\n(burn-in {burnin} at every point)",
    )
    write_files(out, files)

    lines = [
        f"runs: {len(runs)}; trees per run after a burn-in of {burnin}: "
        + ", ".join(f"{labels[r]} {report.trees[r]} (dropped {report.burned[r]})" for r in range(len(runs)))
    ]
    lines.append(
        f"Summary statistics for partitions with frequency >= {args.min_freq:.2f} in at least one run "
        f"({report.final.splits_used} of {report.splits.shape[0]} splits):"
    )
    lines.append(f"    Average standard deviation of split frequencies = {_num(report.final.asdsf)}")
    lines.append(f"    Maximum standard deviation of split frequencies = {_num(report.final.max_sdsf)}")
    within = np.diag(report.mean_rf)
    between = report.mean_rf[np.triu_indices(len(runs), 1)]
    lines.append(
        f"mean RF distance within runs: {', '.join(_num(v) for v in within)}; "
        f"between runs: {', '.join(_num(v) for v in between)}"
    )
    lines.append(
        "topological ESS (RF): "
        + "; ".join(
            f"{labels[r]} Frechet {row.frechet:.1f}, pseudo median {row.pseudo_median:.1f} (min {row.pseudo_min:.1f})"
            for r, row in enumerate(ess_rows)
        )
    )
    lines.append(f"written to {out}: split_frequencies.tsv/.png, asdsf_trace.tsv/.png, run_distances.tsv, ess.tsv")
    sys.stdout.write("\n".join(lines) + "\n")


def run_space(args: argparse.Namespace, status, warn: Callable[[str], None]) -> None:
    require_numpy("space")
    import numpy as np

    from cladomatic_tools import plots, space

    out = _output_dir(args.output_dir)
    reading = FileTrees(args.files, Selection(args.burnin, args.every))
    tree_set = distances.read_set(
        [reading], args.metric, args.rooted, status, warn, threads=args.threads, prune=args.prune, say_kept=True
    )
    try:
        pairwise = "pairwise" if args.prune == "pairwise" else None
        result = space.principal_coordinates(tree_set, args.metric, args.dims, args.method, prune=pairwise)
    except ValueError as err:
        raise InputError(str(err)) from None

    names = tree_set.tree_names
    groups = np.asarray(tree_set.groups)
    positions = np.asarray(tree_set.positions)
    gens = generations(names)
    runs = [os.path.basename(name) for name in tree_set.group_names]
    axes = [f"PCo{k + 1}" for k in range(args.dims)]
    files: dict[str, bytes] = {}
    files["coordinates.tsv"] = _tsv(
        ["tree", "run", "position", *(["generation"] if gens is not None else []), *axes],
        (
            [
                names[i],
                runs[groups[i]],
                str(positions[i]),
                *([str(gens[i])] if gens is not None else []),
                *[f"{v:.6g}" for v in result.points[i]],
            ]
            for i in range(len(names))
        ),
    )
    files["axes.tsv"] = _tsv(
        ["axis", "eigenvalue", "share"],
        ([axes[k], f"{result.eigenvalues[k]:.6g}", f"{result.share[k]:.6f}"] for k in range(args.dims)),
    )
    # the path of a run follows its trees in file order
    order = np.lexsort((positions, groups))
    how = "classical MDS" if result.method == "exact" else f"landmark MDS, {result.landmarks} landmarks"
    files["tree_space.png"] = plots.tree_space(
        result.points[order],
        groups[order],
        runs,
        result.share,
        f"Tree space of {input_label(args.files)}\n({metric_info(args.metric).title}, {how}, {len(names):,} trees)",
    )
    write_files(out, files)
    shares = ", ".join(f"{axes[k]} {result.share[k] * 100:.1f}%" for k in range(args.dims))
    sys.stdout.write(
        f"{len(names)} trees, {how}; share of the variation: {shares}\n"
        f"written to {out}: coordinates.tsv, axes.tsv, tree_space.png\n"
    )
