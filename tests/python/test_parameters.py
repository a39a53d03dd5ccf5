"""Parameter files, each parameter's ESS against R's coda and its PSRF against the table MrBayes's sump printed."""

import gzip
import re
import shutil
import subprocess
from pathlib import Path

import numpy as np
import pytest
from cladomatic_tools import parameters
from cladomatic_tools.io.parameter_tables import beside, read_table
from cladomatic_tools.io.reader import InputError
from cladomatic_tools.selection import parse_burnin

DATA = Path(__file__).resolve().parents[1] / "data" / "mrbayes"
RUNS = {"cynmix": 2, "cynmix3": 3}


def tables(name):
    return [read_table(str(DATA / f"{name}.run{i}.p.gz")) for i in range(1, RUNS[name] + 1)]


def sump_psrf(name):
    """Parameter name -> the PSRF sump printed (its last column)."""
    rows = [line.split() for line in (DATA / f"{name}.sump.txt").read_text().splitlines()]
    return {row[0]: row[-1] for row in rows if len(row) > 2 and re.fullmatch(r"[\d.]+|NA", row[-1]) and row[0] != "-"}


class TestAgainstMrBayes:
    @pytest.mark.parametrize("name", RUNS)
    def test_psrf_has_the_digits_sump_printed(self, name):
        printed = sump_psrf(name)
        summary = parameters.summarise(tables(name), parse_burnin("25%"))
        ours = {p: f"{v:.3f}" for p, v in zip(summary.names, summary.psrf)}
        assert printed and {p: ours[p] for p in printed} == printed

    def test_tree_file_finds_its_parameter_file(self, tmp_path):
        assert beside(str(DATA / "cynmix.run1.t.gz")) == str(DATA / "cynmix.run1.p.gz")
        (tmp_path / "x.run1.t").write_text("")
        assert beside(str(tmp_path / "x.run1.t")) is None


@pytest.mark.skipif(shutil.which("Rscript") is None, reason="R is not installed")
def test_ess_equals_coda():
    """Every parameter of the committed runs, and traces coda treats apart: constant, on a line, white noise,
    strongly autocorrelated."""
    rng = np.random.default_rng(7)
    walk = np.cumsum(rng.normal(size=400))
    traces = [t.values[50:, k] for t in tables("cynmix") for k in range(t.values.shape[1])]
    traces += [np.full(100, 2.5), np.arange(50) * 0.5 + 1.0, rng.normal(size=300), walk, walk[:9]]
    script = "library(coda); x <- scan('stdin', quiet=TRUE); cat(sprintf('%.17g', effectiveSize(x)))"
    for trace in traces:
        text = "\n".join(repr(float(v)) for v in trace)
        reference = subprocess.run(["Rscript", "-e", script], input=text, capture_output=True, text=True, check=True)
        expected = float(reference.stdout)
        assert parameters.effective_size(trace) == pytest.approx(expected, rel=1e-9, abs=1e-12)


@pytest.mark.parametrize(
    "text, message",
    [
        ("", "no parameter samples"),
        ("[ID: 1]\nGen\tLnL\n", "no parameter samples"),
        ("Gen LnL\n1 2\n", "not a table of parameters"),
        ("Gen\tLnL\tTL\n0\t-5.5\t1.0\n50\t-5.2\n", "line 3: 2 values for 3 columns"),
        ("Gen\tLnL\n0\t-5.5\n50\tabc\n", "line 3: expected a number in column LnL, got 'abc'"),
        ("Gen\tLnL\n0\tinf\n", "line 2: column LnL holds inf"),
        ("Gen\tLnL\n0.5\t1\n", "whole generation numbers"),
    ],
)
def test_malformed_parameter_files(tmp_path, text, message):
    path = tmp_path / "run.p.gz"
    with gzip.open(path, "wt") as out:
        out.write(text)
    with pytest.raises(InputError, match=re.escape(message)):
        read_table(str(path))


def test_beast_log_and_runs_of_other_parameters(tmp_path):
    log = tmp_path / "run.log"
    log.write_text("# BEAST\n# comment\nstate\tposterior\tclock.rate\n0\t-10\t1.5\n1000\t-9\t1.4\n2000\t-8\t1.6\n")
    table = read_table(str(log))
    assert table.names == ["posterior", "clock.rate"] and table.generations.tolist() == [0, 1000, 2000]
    other = tmp_path / "other.log"
    other.write_text("state\tposterior\n0\t-10\n1000\t-9\n")
    with pytest.raises(ValueError, match="hold different parameters"):
        parameters.summarise([table, read_table(str(other))], parse_burnin(0))
