"""`cladomatic report`: the convergence diagnostics of MCMC runs as one self-contained HTML page.

The page lays out what the other diagnostics compute: `converge`'s split frequencies, ASDSF and its trace,
`space`'s principal coordinates, the tree set's topological ESS, and each parameter's ESS and PSRF from the
runs' parameter files. Nothing here computes a diagnostic of its own.
"""

import argparse
import os
import sys
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

from cladomatic_tools.cli import distances
from cladomatic_tools.cli.arguments import add_debug, add_output, add_quiet
from cladomatic_tools.cli.diagnostics import _num, _wrapped, add_run_arguments, input_label
from cladomatic_tools.cli.parameters import add_ess
from cladomatic_tools.defaults import DEFAULT_ESS_FOCAL, PARAMETER_ESTIMATORS
from cladomatic_tools.io import provenance
from cladomatic_tools.io.reader import InputError
from cladomatic_tools.io.sources import FileTrees
from cladomatic_tools.io.writers import check_writable, require_numpy
from cladomatic_tools.selection import Selection

if TYPE_CHECKING:
    import numpy as np

    from cladomatic_tools.convergence import Report
    from cladomatic_tools.parameters import ParameterSummary
    from cladomatic_tools.report.page import Section, Table
    from cladomatic_tools.selection import Burnin
    from cladomatic_tools.treeset import TreeSet

DEFAULT_OUTPUT = "report.html"

REPORT_HELP = """\
One HTML file that holds the convergence diagnostics of two or more MCMC runs and everything needed to show
them (styles, the plotting library, the data; it makes no network request and opens from disk or as an e-mail
attachment): a summary table (trees kept and dropped, distinct topologies, the ASDSF and maximum SDSF as
`converge` computes them, the topological ESS of each run, and the table of `params` for the parameters: each
one's mean, median and 95% HPD over the runs, its ESS in each run by the estimator --ess names, and its PSRF, as
MrBayes's sump prints it), and interactive plots: the split frequencies of each pair of runs, the
ASDSF trace, the tree space of `space` (RF distances) with each chain's path, the topology trace (each tree's RF
distance to the medoid tree along each chain) and the parameter traces. Plots of more than a few thousand points
show every k-th point, or bin the least frequent splits, and say so.

Parameter files: one per run after --params (or each after its own --params), in the runs' order (MrBayes .p or
BEAST .log files); without it, a MrBayes .p file beside each run's .t file is used when every run has one. Their
burn-in and --every are those of the trees, counted in samples."""


def register(commands) -> None:
    """Adds the subcommand to the `cladomatic` command's subparsers."""
    command = commands.add_parser(
        "report",
        help="one self-contained HTML page of the convergence diagnostics, with interactive plots",
        description=_wrapped(REPORT_HELP),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    add_run_arguments(command)
    command.add_argument(
        "--params",
        action="extend",
        nargs="+",
        metavar="FILE",
        help="the runs' parameter samples (MrBayes .p, BEAST .log), one file per run in the runs' order: all after "
        "one --params, or each after its own",
    )
    add_ess(command)
    add_output(command, f"the HTML file (default: {DEFAULT_OUTPUT})", default=DEFAULT_OUTPUT)
    add_quiet(command)
    add_debug(command, argparse.SUPPRESS)
    command.set_defaults(run=run_report)


def run_report(args: argparse.Namespace, status, warn: Callable[[str], None]) -> None:
    require_numpy("report")
    from cladomatic_tools.io import writers

    burnin = args.burnin
    parameter_files = _parameter_files(args.files, args.params)
    if not args.output.lower().endswith((".html", ".htm")):
        raise InputError(f"the report is one HTML file: give --output a name ending in .html, not {args.output}")
    check_writable(args.output, [*args.files, *parameter_files])
    text, summary = build(
        args.files,
        burnin,
        parameter_files,
        args.min_freq,
        args.rooted,
        status,
        warn,
        args.ess_focal,
        args.seed,
        every=args.every,
        threads=args.threads,
        estimator=args.ess,
    )
    with writers._replaced(args.output) as (file, _):
        file.write(text.encode("utf-8"))
    sys.stdout.write(f"{summary}\nwritten to {args.output} ({len(text.encode('utf-8')) / 1e6:.1f} MB)\n")


def _parameter_files(runs: list[str], given: list[str] | None) -> list[str]:
    from cladomatic_tools.io.parameter_tables import beside

    if given is not None:
        return given
    found = [beside(run) for run in runs]
    return [path for path in found if path is not None] if all(found) else []


def build(
    runs: list[str],
    burnin: Burnin,
    parameter_files: list[str],
    min_freq: float,
    rooted: bool | None,
    status,
    warn: Callable[[str], None] | None = None,
    ess_focal: int = DEFAULT_ESS_FOCAL,
    seed: int = 0,
    *,
    every: int = 1,
    threads: int | None = None,
    estimator: str | None = None,
) -> tuple[str, str]:
    """The page, and a line of its key figures for standard output."""
    import numpy as np

    from cladomatic_tools import convergence, space
    from cladomatic_tools.cli.diagnostics import generations
    from cladomatic_tools.report import figures, page

    # read whole: the trace applies the burn-in rule to the leading trees of every run at each of its points
    whole = distances.read_set([FileTrees(runs, Selection())], "rf", rooted, status, warn, threads=threads)
    labels = [os.path.basename(name) for name in whole.group_names]
    if len(labels) < 2:
        raise InputError("report needs two or more runs: give one file per run, or one file with a TREES block per run")
    if parameter_files and len(parameter_files) != len(labels):
        raise InputError(f"--params names {len(parameter_files)} files for {len(labels)} runs: give one per run")
    try:
        result = convergence.converge(whole, burnin, min_freq, every=every)
    except ValueError as err:
        raise InputError(str(err)) from None
    kept = distances.read_set(
        [FileTrees(runs, Selection(burnin, every))], "rf", rooted, status, warn, threads=threads, say_kept=True
    )
    try:
        coordinates = space.principal_coordinates(kept, "rf", 2)
    except ValueError as err:
        raise InputError(str(err)) from None
    focal = kept.medoid("rf")
    to_focal = kept.distances("rf", cols=[focal])[:, 0]
    gens = generations(kept.tree_names)
    groups = np.asarray(kept.groups)
    x = gens if gens is not None else np.asarray(kept.positions)
    x_title = "generation" if gens is not None else "tree in its run"

    split_names = _split_names(result, whole.leaf_names, whole.rooted)
    whole_gens = generations(whole.tree_names)
    trace_x = result.trace_ends[:, 0] if whole_gens is None else _trace_generations(whole, result, whole_gens)
    how = "classical MDS" if coordinates.method == "exact" else f"landmark MDS, {coordinates.landmarks} landmarks"
    sections = [
        page.Section(
            "Summary",
            tables=[
                _run_table(result, kept, labels, topological_ess(kept, ess_focal, seed)),
                _split_table(result, min_freq),
            ],
        ),
        page.Section(
            "Split frequencies",
            text="Each split's share of the trees of one run against another; hover names its taxa.",
            figures=figures.split_frequencies(result.freqs, result.used, split_names, labels, min_freq),
        ),
        page.Section(
            "ASDSF along the chains",
            figures=[figures.asdsf_trace(trace_x, result.trace, x_title, min_freq)],
        ),
        page.Section(
            "Tree space",
            text="Principal coordinates of the RF distances of the trees after the burn-in; each line follows one "
            "chain. Hover names the tree; drag to zoom, double-click to zoom out.",
            figures=[
                figures.tree_space(
                    coordinates.points, groups, labels, kept.tree_names, gens, coordinates.share, how
                )
            ],
        ),
        page.Section(
            "Topology trace",
            figures=[figures.topology_trace(to_focal, groups, x, x_title, labels, kept.tree_names[focal])],
        ),
    ]
    if parameter_files:
        tree_generations = [None if gens is None else gens[groups == r] for r in range(len(labels))]
        trees_kept = np.bincount(groups, minlength=len(labels))
        sections += _parameter_sections(
            parameter_files, labels, burnin, every, estimator, threads, (tree_generations, trees_kept), warn
        )
        provenance.notice([provenance.input_file(path, burnin.text, every) for path in parameter_files])
    sections.append(consensus_section(kept))
    title = f"Convergence of {input_label(runs)}"
    inputs = f"{len(labels)} runs: {', '.join(labels)}; burn-in {burnin}; minimum split frequency {min_freq:g}"
    summary = (
        f"ASDSF {_num(result.final.asdsf)}, maximum SDSF {_num(result.final.max_sdsf)}"
        f" ({result.final.splits_used} of {result.splits.shape[0]} splits)"
    )
    record = provenance.current()
    return page.page(title, inputs, sections, None if record is None else record.to_dict()), summary


def _split_names(result: Report, leaves: list[str], rooted: bool) -> list[str]:
    from cladomatic_tools.convergence import named_sides

    sides = named_sides(result.splits, rooted)
    return [" ".join(leaves[j] for j in row.nonzero()[0]) for row in sides]


def _trace_generations(whole: TreeSet, result: Report, gens: np.ndarray) -> np.ndarray:
    """The generation of the last tree of the first run at each point of the trace."""
    import numpy as np

    first_run = np.flatnonzero(np.asarray(whole.groups) == 0)
    first_run = first_run[np.argsort(np.asarray(whole.positions)[first_run], kind="stable")]
    return gens[first_run[result.trace_ends[:, 0] - 1]]


def _run_table(result: Report, kept: TreeSet, labels: list[str], ess: list[np.ndarray]) -> Table:
    import numpy as np

    from cladomatic_tools.report.page import Table

    topologies, _ = kept.topologies()
    groups = np.asarray(kept.groups)
    header = ["run", "trees kept", "dropped", "distinct topologies", "Fréchet ESS", "pseudo-ESS (median)"]
    header.append("pseudo-ESS (min.)")
    rows = []
    for r, label in enumerate(labels):
        row = [label, str(result.trees[r]), str(result.burned[r]), str(np.unique(topologies[groups == r]).size)]
        rows.append(row + [f"{column[r]:.1f}" for column in ess])
    rows.append(
        ["all runs", str(result.trees.sum()), str(result.burned.sum()), str(np.unique(topologies).size)]
        + [""] * len(ess)
    )
    return Table(header, rows)


def _split_table(result: Report, min_freq: float) -> Table:
    from cladomatic_tools.report.page import Table

    return Table(
        ["split frequencies", "value"],
        [
            ["splits in the ASDSF", f"{result.final.splits_used} of {result.splits.shape[0]}"],
            ["minimum frequency in at least one run", f"{min_freq:.2f}"],
            ["maximum SDSF", _num(result.final.max_sdsf)],
            ["ASDSF", _num(result.final.asdsf)],
        ],
        ids=["", "", "max-sdsf", "asdsf"],
    )


def topological_ess(kept: TreeSet, focal: int, seed: int) -> list[np.ndarray]:
    """Per run: the Fréchet ESS, and the median and the minimum pseudo-ESS (`TreeSet.topological_ess`)."""
    spread = kept.topological_ess(method="pseudo", focal=focal, seed=seed, details=True)
    return [kept.topological_ess(method="frechet"), spread[:, 0], spread[:, 1]]


def consensus_section(kept: TreeSet) -> Section:
    """The majority-rule consensus of the trees after the burn-in, drawn with its supports."""
    from cladomatic_tools import summaries
    from cladomatic_tools.report import figures
    from cladomatic_tools.report.page import Section

    tree = summaries.consensus(kept)
    return Section(
        "Consensus tree",
        text=f"As cladomatic consensus writes it: {summaries.newick(tree)}",
        figures=[figures.consensus_tree(tree)],
    )


def _parameter_sections(
    files: list[str],
    labels: list[str],
    burnin: Burnin,
    every: int,
    estimator: str | None,
    threads: int | None,
    trees: tuple[list[Any], Any],
    warn: Callable[[str], None] | None,
) -> list[Section]:
    """The parameters' table and traces; `trees` holds the generations of each run's kept trees (None where the
    tree names give none) and their counts, which the kept samples are checked against."""
    from cladomatic_tools import parameters
    from cladomatic_tools.report import figures
    from cladomatic_tools.report.page import Section, Table

    try:
        summary: ParameterSummary = parameters.summarise_files(
            files, burnin=burnin, every=every, estimator=estimator, threads=threads
        )
    except ValueError as err:
        raise InputError(str(err)) from None
    for r, label in enumerate(labels):
        _check_samples_match_trees(files[r], summary.generations[r], label, trees[0][r], int(trees[1][r]), warn)
    several = len(labels) > 1
    header = ["parameter", "mean", "median", "95% HPD", *[f"ESS {label}" for label in labels]]
    header += ["PSRF"] if several else []
    rows = []
    for name in summary.names:
        pooled = summary.row(name)
        row = [name, _figure(pooled.mean), _figure(pooled.median)]
        row.append(f"{_figure(pooled.hpd_lower)} to {_figure(pooled.hpd_upper)}")
        row += [_ess(summary.row(name, path).ess) for path in summary.runs]
        rows.append(row + ([_psrf(pooled.psrf)] if several else []))
    samples = ", ".join(f"{labels[r]} {summary.kept[r]} (dropped {summary.burned[r]})" for r in range(len(labels)))
    figure = figures.parameter_traces(summary.names, labels, summary.generations, summary.samples)
    return [
        Section(
            "Parameters",
            text=f"Samples after the burn-in: {samples}. ESS, median and 95% HPD as "
            f"{PARAMETER_ESTIMATORS[summary.estimator]} computes them, as in the table of cladomatic params;"
            " mean and HPD over the runs' samples together; PSRF as MrBayes's sump prints it.",
            tables=[Table(header, rows)],
            figures=[figure],
        )
    ]


def _check_samples_match_trees(
    path: str, samples: Any, run: str, tree_generations: Any, trees: int, warn: Callable[[str], None] | None
) -> None:
    """Says when a run's kept parameter samples are not those of its kept trees (a file cut short, or of another
    run), naming both; refuses when they share no generation, as the two would then describe different chains."""
    import numpy as np

    if tree_generations is not None and len(samples) and len(tree_generations):
        if not len(np.intersect1d(samples, tree_generations)):
            raise InputError(
                f"{path} holds samples of generations {samples[0]} to {samples[-1]} after the burn-in, and {run} "
                f"trees of generations {tree_generations[0]} to {tree_generations[-1]}: they share none (is it the "
                "parameter file of that run?)"
            )
        if np.array_equal(samples, tree_generations):
            return
    elif len(samples) == trees:
        return
    if warn is not None:
        span = "" if not len(samples) else f", generations {samples[0]} to {samples[-1]}"
        of_trees = "" if tree_generations is None else f", generations {tree_generations[0]} to {tree_generations[-1]}"
        warn(
            f"{path} holds {len(samples)} samples after the burn-in{span}, where {run} holds {trees} trees"
            f"{of_trees}: its figures are not of the same samples"
        )


def _figure(value: float) -> str:
    return f"{value:.6g}"


def _ess(value: float) -> str:
    return "NA" if value != value else f"{value:.1f}"


def _psrf(value: float | None) -> str:
    return "NA" if value is None or value != value else f"{value:.3f}"
