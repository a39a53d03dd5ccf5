"""Parameter files and their table: each figure against what R's coda, MrBayes's sump and BEAST's loganalyser
printed for the same samples, the command's table, and its refusals."""

import gzip
import math
import re
import shutil
import subprocess
from pathlib import Path

import numpy as np
import pytest
from cladomatic_tools import parameters
from cladomatic_tools.cli.main import main
from cladomatic_tools.io.parameter_tables import beside, read_table
from cladomatic_tools.io.reader import InputError
from cladomatic_tools.selection import parse_burnin

DATA = Path(__file__).resolve().parents[1] / "data" / "mrbayes"
REFERENCES = Path(__file__).resolve().parents[1] / "data" / "params"
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
        summary = parameters.summarise(tables(name), burnin=parse_burnin("25%"))
        ours = {p: f"{summary.row(p).psrf:.3f}" for p in summary.names}
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
        ("Gen\tLnL\n1e19\t1\n", "whole generation numbers below 2^63"),
        # past the first block of rows converted at once
        ("Gen\tLnL\n" + "0\t1\n" * 5000 + "1\tx\n", "line 5002: expected a number in column LnL, got 'x'"),
        ("Gen\tLnL\n" + "0\t1\n" * 4200 + "1\tnan\n", "line 4202: column LnL holds nan"),
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
        parameters.summarise([table, read_table(str(other))], burnin=0)


def printed_equal(text: str, value: float | None, decimals: int | None = None) -> bool:
    """Whether `value` rounds to `text` as printed: to its own digits, or to `decimals` after the point of its
    mantissa (loganalyser drops trailing zeros)."""
    if text in ("NA", "NaN"):
        return value is not None and math.isnan(value)
    mantissa, _, exponent = text.lower().partition("e")
    places = decimals if decimals is not None else len(mantissa.partition(".")[2])
    return value is not None and abs(float(text) - value) <= 0.5 * 10.0 ** (int(exponent or 0) - places) * (1 + 1e-9)


# sump's .pstat files: name, runs, the burn-in as --burnin takes it
PSTATS = [
    (f"{name}.b{label}.pstat", name, runs, burnin)
    for name, runs in RUNS.items()
    for label, burnin in (("25", "25%"), ("50", "0.5"), ("s7", 7))
] + [("walk.b0.pstat", "walk", 2, 0)]


@pytest.mark.parametrize("reference, name, runs, burnin", PSTATS)
def test_table_has_the_digits_sump_printed(reference, name, runs, burnin):
    """Every figure of every parameter sump summarised: the walk's ESS is cut off at lag 2000, and the HPD
    interval of several parameters is not the narrowest."""
    folder = REFERENCES if name == "walk" else DATA
    summary = parameters.summarise_files(
        [str(folder / f"{name}.run{i}.p.gz") for i in range(1, runs + 1)], burnin=burnin
    )
    assert summary.estimator == "mrbayes"
    lines = [line.split("\t") for line in (REFERENCES / reference).read_text().splitlines()]
    assert lines[0] == ["Parameter", "Mean", "Variance", "Lower", "Upper", "Median", "minESS", "avgESS", "PSRF"]
    for fields in lines[1:]:
        row = summary.row(fields[0])
        ours = [row.mean, row.sd**2, row.hpd_lower, row.hpd_upper, row.median, row.min_ess, row.avg_ess, row.psrf]
        assert [printed_equal(t, v) for t, v in zip(fields[1:], ours)] == [True] * 8, (fields, ours)


@pytest.mark.parametrize("reference", sorted(path.name for path in REFERENCES.glob("*.b*.txt")))
def test_table_has_the_digits_loganalyser_printed(reference):
    """Mean, standard deviation (its 'stdErr' column), median, 95% HPD and ESS of every column of one BEAST run
    (BEAST 1's and 2's, and the walk), loganalyser's burn-in of S states being S / step samples; it prints 0 for
    the median and HPD of a constant column, where ours are the constant."""
    lines = (REFERENCES / reference).read_text().splitlines()
    state = int(re.search(r"burnIn\s+<= (\d+)", lines[0])[1])
    run = re.sub(r"\.b\d+\.txt$", "", reference)
    if run.startswith("beast."):
        log = REFERENCES.parent / "beast" / f"{run[6:]}.log"
    else:
        log = REFERENCES / (run + (".log.gz" if run.startswith("strict") else ".p.gz"))
    table = read_table(str(log))
    step = int(table.generations[1] - table.generations[0])
    summary = parameters.summarise([table], burnin=state // step, estimator="tracer")
    assert lines[1].split("\t")[:7] == ["statistic", "mean", "stdErr", "median", "hpdLower", "hpdUpper", "ESS"]
    for line in lines[2:]:
        if not line.strip():
            continue
        fields = line.split("\t")
        row = summary.row(fields[0], table.path)
        ours = [row.mean, row.sd, row.median, row.hpd_lower, row.hpd_upper, row.ess]
        if fields[6] == "NaN":
            ours[2:5] = [0.0, 0.0, 0.0]
        assert [printed_equal(t, v, 4) for t, v in zip(fields[1:7], ours)] == [True] * 6, (fields, ours)


def test_table_has_the_digits_coda_printed():
    """Mean, median, sd, HPDinterval and effectiveSize per run and pooled, printed with 10 significant digits."""
    files = [str(DATA / f"cynmix.run{i}.p.gz") for i in (1, 2)]
    summary = parameters.summarise_files(files, estimator="coda")
    lines = [line.split("\t") for line in (REFERENCES / "cynmix.coda.tsv").read_text().splitlines()]
    assert lines[0] == ["parameter", "run", "mean", "median", "sd", "lower", "upper", "ess"]
    for fields in lines[1:]:
        row = summary.row(fields[0], "all" if fields[1] == "all" else files[int(fields[1]) - 1])
        ours = [row.mean, row.median, row.sd, row.hpd_lower, row.hpd_upper, row.ess]
        assert ours == pytest.approx([float(v) for v in fields[2:]], rel=6e-10), fields


class TestCommand:
    def test_table_shape_and_every_thread_count(self, tmp_path, capsys):
        files = [str(DATA / f"cynmix3.run{i}.p.gz") for i in (1, 2, 3)]
        outputs = []
        for threads in ("1", "2"):
            out = tmp_path / f"t{threads}.tsv"
            assert main(["params", *files, "--every", "2", "--threads", threads, "--output", str(out)]) == 0
            outputs.append(out.read_text())
        assert outputs[0] == outputs[1]
        assert "burn-in 25%: " in capsys.readouterr().err
        rows = [line.split("\t") for line in outputs[0].splitlines()]
        names = read_table(files[0]).names
        assert len(rows) == 1 + 4 * len(names) and {len(row) for row in rows} == {12}
        assert [row[1] for row in rows[1:5]] == [*files, "all"] and rows[1][0] == rows[4][0] == "LnL"
        # 121 samples, 30 dropped, every second of the 91 kept: per run and pooled
        assert [row[2] for row in rows[1:5]] == ["46", "46", "46", "138"]
        assert all(cell == "" for row in rows[1:4] for cell in row[9:])
        assert all(cell not in ("", "NA") for cell in rows[4][9:])

    def test_one_run_has_no_psrf_and_log_files_get_tracers_figures(self, capsys):
        assert main(["params", str(REFERENCES / "strict.run1.log.gz"), "--burnin", "0", "--quiet"]) == 0
        captured = capsys.readouterr()
        assert captured.err == ""
        rows = {(row[0], row[1]): row for row in (line.split("\t") for line in captured.out.splitlines())}
        # loganalyser: kappa ESS 60.1789, clock.rate constant
        assert rows["kappa", "all"][8] == "60.17895" and rows["kappa", "all"][11] == ""
        assert rows["clock.rate", "all"][3:9] == ["1", "1", "0", "1", "1", "NA"]

    @pytest.mark.parametrize(
        "files, extra, message",
        [
            (["short.p"], [], "short.p line 4: 2 values for 3 columns (is the file complete?)"),
            (["few.p"], ["--burnin", "1"], "a burn-in of 1 leaves 1 of the 2 samples of {tmp}/few.p: at least 2 are"),
            (["few.p", "few.p"], [], None),
            (["good.p", "other.p"], [], "{tmp}/other.p and {tmp}/good.p hold different parameters"),
            (["good.p", "good.log"], [], "BEAST logs and MrBayes .p files together: choose the ESS with --ess"),
            (["missing.p"], [], "cannot open {tmp}/missing.p"),
            (["good.p"], ["--ess", "stan"], "argument --ess: invalid choice: 'stan'"),
        ],
    )
    def test_bad_input_is_one_line_and_writes_nothing(self, tmp_path, capsys, files, extra, message):
        good = "[ID: 1]\nGen\tLnL\tTL\n" + "".join(f"{g * 10}\t-{g}.5\t1.{g}\n" for g in range(8))
        (tmp_path / "good.p").write_text(good)
        (tmp_path / "good.log").write_text(good.replace("[ID: 1]", "# BEAST").replace("Gen", "state"))
        (tmp_path / "short.p").write_text("Gen\tLnL\tTL\n0\t-1\t1\n10\t-2\t1.5\n20\t-3\n")
        (tmp_path / "few.p").write_text("Gen\tLnL\n0\t-1\n10\t-2\n")
        (tmp_path / "other.p").write_text(good.replace("TL", "kappa"))
        out = tmp_path / "table.tsv"
        try:
            code = main(["params", *[str(tmp_path / f) for f in files], *extra, "--output", str(out)])
        except SystemExit as stop:
            code = stop.code
        err = capsys.readouterr().err
        if message is None:  # two samples a run are enough
            assert code == 0 and out.exists()
            return
        assert code == 2 and not out.exists()
        assert message.format(tmp=tmp_path) in err and err.count("\n") == 1


@pytest.mark.parametrize(
    "options, message",
    [
        ({"estimator": "stan"}, "unknown ESS estimator 'stan'; expected one of coda, tracer, mrbayes"),
        ({"threads": 0}, "threads must be a whole number of at least 1, got 0"),
        ({"every": True}, "every must be a whole number of at least 1"),
        ({"burnin": "100%"}, "expected a burn-in"),
    ],
)
def test_summarise_refuses_bad_options(options, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        parameters.summarise(tables("cynmix"), **options)


def test_old_spelling_still_works():
    with pytest.warns(DeprecationWarning, match="write burnin=..."):
        old = parameters.summarise(tables("cynmix"), parse_burnin("25%"))
    new = parameters.summarise(tables("cynmix"), burnin="25%")
    assert old.ess.shape == (2, len(new.names)) and np.array_equal(old.ess, new.ess)
    assert old.ess[1, new.names.index("TL{all}")] == new.row("TL{all}", new.runs[1]).ess
    assert np.array_equal(old.psrf, [new.row(name).psrf for name in new.names])
