"""`cladomatic report`: one self-contained page, its refusals, and the thinning that keeps it small."""

import json
import re
from pathlib import Path

import numpy as np
import pytest
from cladomatic_tools.cli.main import main
from cladomatic_tools.report import figures as report_figures

DATA = Path(__file__).resolve().parents[1] / "data" / "mrbayes"
RUNS = [str(DATA / f"cynmix.run{i}.t.gz") for i in (1, 2)]


def figures(page: str) -> dict:
    data = re.search(r'<script type="application/json" id="report-data">(.*?)</script>', page, re.DOTALL)
    assert data is not None
    return {figure["id"]: figure for figure in json.loads(data[1])["figures"]}


class TestCommand:
    def test_one_file_holds_everything(self, tmp_path, capsys):
        out = tmp_path / "report.html"
        assert main(["report", *RUNS, "--output", str(out)]) == 0
        printed = capsys.readouterr().out
        assert "ASDSF 0.052127, maximum SDSF 0.234141" in printed
        page = out.read_text()
        # nothing is loaded from elsewhere: no script, style or image source, no link to fetch
        assert not re.search(r"<(script|img|link|iframe)[^>]*\s(src|href)=", page)
        assert "default-src 'none'" in page and "plotly.js (basic - minified) v" in page
        found = figures(page)
        assert "parameter-traces" in found  # the .p files beside the .t files were found
        names = found["parameter-traces"]["choices"]["names"]
        assert names[:2] == ["LnL", "LnPr"] and len(found["parameter-traces"]["choices"]["traces"]) == len(names)
        # the figures of `params` for .p files, and the page says whose they are
        assert "ESS, median and 95% HPD as MrBayes&#x27;s (sump) computes them" in page
        assert re.search(r"<td>TL\{all\}</td><td>2\.7015</td>.*?<td>29\.1</td><td>24\.3</td><td>1\.084</td>", page)

    def test_three_runs_get_a_figure_per_pair(self, tmp_path):
        out = tmp_path / "report.html"
        runs = [str(DATA / f"cynmix3.run{i}.t.gz") for i in (1, 2, 3)]
        params = [str(DATA / f"cynmix3.run{i}.p.gz") for i in (1, 2, 3)]
        # several files after one --params, and one after its own
        options = ["--params", *params[:2], "--params", params[2], "--ess", "coda", "--output", str(out)]
        assert main(["report", *runs, *options]) == 0
        assert "as R&#x27;s coda (effectiveSize) computes them" in out.read_text()
        ids = set(figures(out.read_text()))
        assert {"split-frequencies-1-2", "split-frequencies-1-3", "split-frequencies-2-3"} <= ids

    @pytest.mark.parametrize(
        "extra, message",
        [
            (["--output", "{tmp}/report.txt"], "ending in .html"),
            (["--params", str(DATA / "cynmix.run1.p.gz"), "--output", "{tmp}/r.html"], "1 files for 2 runs"),
            (["--params", RUNS[0], "--params", RUNS[1], "--output", "{tmp}/r.html"], "not a table of parameters"),
            (["--burnin", "1000", "--output", "{tmp}/r.html"], "leaves no trees of run"),
            (["--output", "{tmp}/folder.html"], "is a directory"),
        ],
    )
    def test_refusals_leave_the_output_alone(self, tmp_path, capsys, extra, message):
        kept = tmp_path / "r.html"
        kept.write_text("an earlier report")
        (tmp_path / "folder.html").mkdir()
        args = [arg.replace("{tmp}", str(tmp_path)) for arg in extra]
        assert main(["report", *RUNS, *args]) == 2
        assert message in capsys.readouterr().err
        assert kept.read_text() == "an earlier report"

    @pytest.mark.parametrize(
        "samples, said",
        [
            (9, "cut.p holds samples of generations 100 to 400 after the burn-in, and cynmix.run2.t.gz trees of "
                "generations 2500 to 10000: they share none"),
            (190, "warning: {tmp}/cut.p holds 143 samples after the burn-in, generations 2350 to 9450, where "
                  "cynmix.run2.t.gz holds 151 trees, generations 2500 to 10000: its figures are not of the same"),
        ],
    )
    def test_parameters_that_are_not_the_trees_samples_are_named(self, tmp_path, capsys, samples, said):
        import gzip

        lines = gzip.open(DATA / "cynmix.run2.p.gz", "rt").read().splitlines(keepends=True)
        header = sum(not line[:1].isdigit() for line in lines)
        (tmp_path / "cut.p").write_text("".join(lines[: header + samples]))
        params = ["--params", str(DATA / "cynmix.run1.p.gz"), str(tmp_path / "cut.p")]
        code = main(["report", *RUNS, *params, "--output", str(tmp_path / "r.html")])
        assert code == (2 if samples == 9 else 0)
        assert said.replace("{tmp}", str(tmp_path)) in capsys.readouterr().err

    def test_one_run_is_refused(self, tmp_path, capsys):
        assert main(["report", RUNS[0], "--output", str(tmp_path / "r.html")]) == 2
        assert "two or more runs" in capsys.readouterr().err


class TestThinning:
    def test_tree_space_of_many_trees_draws_a_few_thousand_and_says_so(self):
        n = 2 * 10_000
        runs = np.repeat([0, 1], n // 2)
        points = np.random.default_rng(1).normal(size=(n, 2))
        names = [f"t{i}" for i in range(n)]
        figure = report_figures.tree_space(points, runs, ["a", "b"], names, None, np.array([0.3, 0.2]), "MDS")
        markers = [trace for trace in figure["data"] if trace["mode"] == "markers"]
        assert sum(len(trace["x"]) for trace in markers) <= report_figures.PLOT_POINTS
        assert markers[1]["text"][:2] == ["t10000", "t10005"]
        assert "one tree in 5 of each run drawn (20000 trees)" in figure["layout"]["title"]["text"]

    def test_rare_splits_are_binned_and_counted(self):
        rng = np.random.default_rng(2)
        freqs = np.vstack([rng.uniform(0, 0.05, 6000), rng.uniform(0, 0.05, 6000)])
        freqs[:, :10] = 0.9  # ten splits both runs hold
        used = np.zeros(6000, dtype=bool)
        used[:10] = True
        (figure,) = report_figures.split_frequencies(freqs, used, [f"s{i}" for i in range(6000)], ["a", "b"], 0.1)
        shown = figure["data"][1]
        binned = figure["data"][-1]
        assert shown["text"] == [f"s{i}" for i in range(10)]
        assert sum(binned["customdata"]) == 5990 and len(binned["x"]) <= (0.05 / report_figures.SPLIT_BIN + 1) ** 2
        assert "the 5990 below 0.1 in both runs binned" in figure["layout"]["title"]["text"]

    @pytest.mark.parametrize(
        "value, rounded", [(0.123456789, 0.123457), (-98765.4321, -98765.4), (0.0, 0.0), (float("nan"), None)]
    )
    def test_significant_digits(self, value, rounded):
        assert report_figures.significant(np.array([value])) == [rounded]
