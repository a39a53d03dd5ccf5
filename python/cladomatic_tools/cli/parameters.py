"""`cladomatic params`: each parameter of MCMC runs per run and over all runs, as one TSV table."""

import argparse
import math
import sys
from collections.abc import Callable
from typing import TYPE_CHECKING

from cladomatic_tools.cli.arguments import add_debug, add_files, add_output, add_quiet, add_selection, add_threads
from cladomatic_tools.cli.diagnostics import _wrapped
from cladomatic_tools.defaults import PARAMETER_ESTIMATORS
from cladomatic_tools.io.reader import InputError
from cladomatic_tools.io.writers import check_writable, require_numpy, write_text
from cladomatic_tools.selection import DEFAULT_BURNIN

if TYPE_CHECKING:
    from cladomatic_tools.parameters import ParameterSummary

COLUMNS = [
    "parameter",
    "run",
    "samples",
    "mean",
    "median",
    "sd",
    "hpd95_lower",
    "hpd95_upper",
    "ess",
    "min_ess",
    "avg_ess",
    "psrf",
]

PARAMS_HELP = """\
The table of every parameter of one or more MCMC runs, one parameter file per run (MrBayes .p, BEAST .log,
gzip-compressed or not): for each parameter one row per run, then one over all runs (run 'all', the runs' samples
pooled), with the samples kept after the burn-in, their mean, median, standard deviation (n - 1), 95% HPD interval
and effective sample size. The row over all runs adds the least and the mean ESS of the runs (sump's minESS and
avgESS; its ess is their sum) and, with two runs or more, the PSRF as MrBayes's sump prints it. NA marks a figure
that is undefined (the ESS of a constant parameter); a cell left empty does not apply to its row.

--ess chooses whose estimator, and with it whose median and HPD interval: coda (R's effectiveSize), tracer
(Tracer's, as BEAST's loganalyser prints it) or mrbayes (sump's, as in its .pstat file); by default MrBayes's
for .p files and Tracer's for .log files. The burn-in counts samples, as sump's does: loganalyser's -burnin S
(a state) drops as many samples as --burnin floor(S / the states between samples)."""


def register(commands) -> None:
    """Adds the subcommand to the `cladomatic` command's subparsers."""
    command = commands.add_parser(
        "params",
        help="the table of each parameter of MCMC runs: mean, median, sd, 95%% HPD, ESS and PSRF",
        description=_wrapped(PARAMS_HELP),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    add_files(command, "parameter files (MrBayes .p, BEAST .log, gzip-compressed or not), one per run")
    add_selection(
        command,
        DEFAULT_BURNIN,
        burnin_help="samples dropped from the start of each run: N samples, P%% of them (below 100%%) or a share F "
        "below 1 as MrBayes's burninfrac, floor(share x samples) of each run",
        every_help="then keep every K-th sample of each run",
    )
    add_ess(command)
    add_threads(command)
    add_output(command, "write the TSV table to FILE instead of standard output")
    add_quiet(command)
    add_debug(command, argparse.SUPPRESS)
    command.set_defaults(run=run_params)


def add_ess(command: argparse.ArgumentParser) -> None:
    """--ess (`ess`: the estimator, or None for the files' own), which `report` takes too."""
    command.add_argument(
        "--ess",
        choices=tuple(PARAMETER_ESTIMATORS),
        help="whose ESS, median and HPD interval the parameters' figures are: "
        + ", ".join(f"{key} {name}" for key, name in PARAMETER_ESTIMATORS.items())
        + " (default: mrbayes for .p files, tracer for .log files)",
    )


def run_params(args: argparse.Namespace, status, warn: Callable[[str], None]) -> None:
    require_numpy("params")
    from cladomatic_tools import parameters

    if args.output is not None:
        check_writable(args.output, args.files)
    try:
        summary = parameters.summarise_files(
            args.files, burnin=args.burnin, every=args.every, estimator=args.ess, threads=args.threads
        )
    except ValueError as err:
        raise InputError(str(err)) from None
    if len(set(summary.kept.tolist())) > 1:
        # MrBayes's runs always have equal lengths; unequal ones usually mean a run was cut short
        warn(
            "the runs hold different numbers of samples after the burn-in: "
            + ", ".join(f"{path} {len(kept)}" for path, kept in zip(summary.runs, summary.generations))
        )
    if not args.quiet:
        status.clear()
        print(
            f"params: burn-in {args.burnin.text}: "
            + ", ".join(
                f"{path} {kept} samples (dropped {dropped})"
                for path, kept, dropped in zip(summary.runs, summary.kept, summary.burned)
            )
            + f"; ESS, median and HPD as {PARAMETER_ESTIMATORS[summary.estimator]}",
            file=sys.stderr,
        )
    text = tsv(summary)
    if args.output is None:
        sys.stdout.write(text)
    else:
        write_text(args.output, text)


def tsv(summary: ParameterSummary) -> str:
    """The table as the command writes it: COLUMNS, then the rows in the summary's order."""
    lines = ["\t".join(COLUMNS)]
    for row in summary.rows:
        figures: list[float | None] = [row.mean, row.median, row.sd, row.hpd_lower, row.hpd_upper, row.ess]
        figures += [row.min_ess, row.avg_ess, row.psrf]
        lines.append("\t".join([row.parameter, row.run, str(row.samples), *map(_cell, figures)]))
    return "\n".join(lines) + "\n"


def _cell(value: float | None) -> str:
    if value is None:
        return ""
    return "NA" if math.isnan(value) else f"{value:.7g}"
