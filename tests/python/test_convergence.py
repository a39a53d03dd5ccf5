"""Convergence diagnostics against the figures MrBayes printed for the same runs, and their pieces."""

import pickle
import re
import subprocess
import sys
from fractions import Fraction
from pathlib import Path

import numpy as np
import pytest
from cladomatic_tools import convergence
from cladomatic_tools.cli.main import main
from cladomatic_tools.selection import parse_burnin

DATA = Path(__file__).resolve().parents[1] / "data" / "mrbayes"
# cynclock's trees are marked [&R]: its figures need the clades of rooted trees, which nothing here asks for
RUNS = {"cynmix": 2, "cynmix3": 3, "cynclock": 2}


def run_files(name):
    return [str(DATA / f"{name}.run{i}.t.gz") for i in range(1, RUNS[name] + 1)]


def sumt_figures(name):
    """(burn-in fraction, minimum frequency, ASDSF, max SDSF) of every sumt call in the MrBayes log."""
    text = (DATA / f"{name}.mb.txt").read_text()
    found = re.findall(
        r"discarding the first (\d+) % of sampled trees.*?frequency >= ([\d.]+) in at least one run:\s*"
        r"Average standard deviation of split frequencies = ([\d.]+)\s*"
        r"Maximum standard deviation of split frequencies = ([\d.]+)",
        text,
        re.DOTALL,
    )
    assert len(found) == 3
    return [(f"{b}%", float(m), a, x) for b, m, a, x in found]


def mcmc_trace(name):
    """(generation, ASDSF) MrBayes wrote while it ran: the last column of its .mcmc table."""
    rows = [line.split("\t") for line in (DATA / f"{name}.mcmc").read_text().splitlines() if line[:1].isdigit()]
    return [(int(row[0]), row[-1]) for row in rows]


@pytest.fixture(scope="module")
def tree_sets():
    from cladomatic_tools.treeset import TreeSet

    return {name: TreeSet.from_files(run_files(name), lengths=False) for name in RUNS}


class TestAgainstMrBayes:
    @pytest.mark.parametrize("name", RUNS)
    def test_sumt_figures(self, name, tmp_path, capsys):
        for burnin, min_freq, average, maximum in sumt_figures(name):
            assert (
                main(
                    [
                        "converge",
                        *run_files(name),
                        "--burnin",
                        burnin,
                        "--min-freq",
                        str(min_freq),
                        "--output-dir",
                        str(tmp_path),
                    ]
                )
                == 0
            )
            printed = capsys.readouterr().out
            # the splits counted and listed are those of the trees after the burn-in, no others
            listed = (tmp_path / "split_frequencies.tsv").read_text().splitlines()[1:]
            assert re.search(rf"\(\d+ of {len(listed)} splits\)", printed)
            assert all(any(float(f) > 0 for f in row.split("\t")[1 : 1 + RUNS[name]]) for row in listed)
            assert f"Average standard deviation of split frequencies = {average}\n" in printed
            assert f"Maximum standard deviation of split frequencies = {maximum}\n" in printed

    def test_command_trace_is_the_one_printed_during_the_run(self, tmp_path, capsys):
        # 201 samples in 20 diagnostic intervals: the command's 20 points fall where MrBayes's did
        assert main(["converge", *run_files("cynmix"), "--output-dir", str(tmp_path)]) == 0
        rows = [line.split("\t") for line in (tmp_path / "asdsf_trace.tsv").read_text().splitlines()]
        header, rows = rows[0], rows[1:]
        got = [(int(row[header.index("generation")]), row[header.index("asdsf")]) for row in rows]
        assert got == mcmc_trace("cynmix")

    def test_trace_at_mrbayes_points_with_three_runs(self, tree_sets):
        expected = mcmc_trace("cynmix3")
        at = np.array([generation // 50 + 1 for generation, _ in expected])
        report = convergence.converge(tree_sets["cynmix3"], parse_burnin("25%"), at=at)
        assert [f"{value:.6f}" for value in report.trace[:, 0]] == [value for _, value in expected]


class TestPieces:
    def test_mean_rf_from_counts_equals_the_distances(self, tree_sets):
        tree_set = tree_sets["cynmix3"]
        report = convergence.converge(tree_set, parse_burnin(100))
        groups = np.asarray(tree_set.groups)
        keep = np.asarray(tree_set.positions) >= 100
        rf = tree_set.distances("rf").astype(np.float64)
        for r in range(3):
            for s in range(3):
                block = rf[np.ix_(keep & (groups == r), keep & (groups == s))]
                want = block.sum() / (block.size - block.shape[0]) if r == s else block.mean()
                assert report.mean_rf[r, s] == pytest.approx(want, rel=1e-12)

    def test_frequencies_of_the_whole_runs_equal_the_engine_counts(self, tree_sets):
        tree_set = tree_sets["cynmix"]
        report = convergence.converge(tree_set, parse_burnin(0))
        _, counts = tree_set.split_counts()
        np.testing.assert_array_equal(report.freqs, counts / 201)
        assert report.burned.tolist() == [0, 0]

    @pytest.mark.parametrize(
        "given, trees, dropped",
        [
            ("25%", 201, 50),
            ("0.25", 201, 50),
            (0.25, 201, 50),
            (Fraction(1, 4), 201, 50),
            ("50%", 121, 60),
            ("10", 201, 10),
            (10, 201, 10),
            ("300", 201, 201),
            ("0", 5, 0),
            ("0%", 5, 0),
            ("0.0", 5, 0),
            # exact decimals: a float would make the first 25% and the second 0
            ("24.99999999999999999%", 120, 29),
            ("0.00001%", 120, 0),
            ("0.00001%", 10_000_000, 1),
            ("99.9%", 1000, 999),
            (".5", 7, 3),
        ],
    )
    def test_burnin(self, given, trees, dropped):
        burnin = parse_burnin(given)
        assert burnin.dropped(trees) == dropped
        assert str(given) in str(burnin)  # messages quote what was given

    @pytest.mark.parametrize("text", ["100%", "-1", "1.5", "1.0", "abc", "", "25%%", "1/4", "nan", "-0.1"])
    def test_bad_burnin(self, text):
        with pytest.raises(ValueError, match=re.escape(f"got '{text}'")):
            parse_burnin(text)

    def test_splits_below_the_threshold_everywhere_are_left_out(self):
        freqs = np.array([[1.0, 0.05, 0.5, 0.09], [1.0, 0.0, 0.1, 0.02]])
        result = convergence.diagnostic(freqs, 0.10)
        assert result.splits_used == 2
        assert result.asdsf == pytest.approx(np.mean([0.0, 0.4 / np.sqrt(2)]))
        assert np.isnan(convergence.diagnostic(freqs[:, 3:], 0.10).asdsf)

    def test_trace_ends(self):
        assert convergence.trace_ends(np.array([201]), 20)[:, 0].tolist() == list(range(11, 202, 10))
        ends = convergence.trace_ends(np.array([7, 100]), 3)
        assert ends.tolist() == [[3, 34], [5, 67], [7, 100]]


class TestTreeSetMethods:
    def test_asdsf_method_gives_the_sumt_figures(self, tree_sets):
        for burnin, min_freq, average, maximum in sumt_figures("cynmix3"):
            row = tree_sets["cynmix3"].asdsf(burnin=burnin, min_freq=min_freq)
            assert row.shape == (1, 2) and [f"{v:.6f}" for v in row[0]] == [average, maximum]

    def test_the_splits_are_those_of_the_trees_after_the_burnin(self, tree_sets):
        from cladomatic_tools.treeset import TreeSet

        for every in (1, 3):
            report = convergence.converge(tree_sets["cynmix3"], parse_burnin("25%"), every=every)
            kept, _ = TreeSet.from_files(run_files("cynmix3"), lengths=False, burnin="25%", every=every).split_counts()
            assert {row.tobytes() for row in report.splits} == {row.tobytes() for row in kept.astype(bool)}

    def test_a_burnin_read_with_the_set_is_not_dropped_again(self, tree_sets):
        from cladomatic_tools.treeset import TreeSet

        burnin, _, average, maximum = sumt_figures("cynmix3")[0]
        files = run_files("cynmix3")
        burned = TreeSet.from_files(files, lengths=False, burnin=burnin)
        for tree_set in (tree_sets["cynmix3"], burned, pickle.loads(pickle.dumps(burned))):
            assert [f"{v:.6f}" for v in tree_set.asdsf()[0]] == [average, maximum]
        # a burn-in of 0 given to the set is a burn-in too: asdsf() then takes every tree
        whole = TreeSet.from_files(files, lengths=False, burnin=0)
        assert whole.burnin is not None and tree_sets["cynmix3"].burnin is None
        np.testing.assert_array_equal(whole.asdsf(), tree_sets["cynmix3"].asdsf(burnin="0%"))

    @pytest.mark.parametrize("min_freq", [2, -0.1, float("nan")])
    def test_a_minimum_frequency_outside_0_to_1_is_refused(self, tree_sets, min_freq):
        with pytest.raises(ValueError, match="between 0 and 1"):
            tree_sets["cynmix"].asdsf(min_freq=min_freq)

    def test_asdsf_trace_ends_with_the_whole_sample(self, tree_sets):
        trace = tree_sets["cynmix"].asdsf(points=20)
        assert trace.shape == (20, 2)
        np.testing.assert_array_equal(trace[-1], tree_sets["cynmix"].asdsf()[0])

    def test_counts_by_other_groups(self, tree_sets):
        tree_set = tree_sets["cynmix"]
        halves = (np.asarray(tree_set.positions) >= 100).astype(np.int64) + 2 * np.asarray(tree_set.groups)
        _, by_half = tree_set.split_counts(groups=halves)
        _, by_run = tree_set.split_counts()
        assert by_half.shape == (4, by_run.shape[1])
        np.testing.assert_array_equal(by_half[0::2] + by_half[1::2], by_run)

    @pytest.mark.parametrize("groups", [np.zeros(3, np.int64), -np.ones(402, np.int64), np.zeros(402) + 0.5])
    def test_bad_groups(self, tree_sets, groups):
        with pytest.raises(ValueError, match="groups"):
            tree_sets["cynmix"].split_counts(groups=groups)


class TestCommandFailures:
    def test_one_run_is_refused(self, tmp_path, capsys):
        assert main(["converge", run_files("cynmix")[0], "--output-dir", str(tmp_path)]) == 2
        assert "two or more runs" in capsys.readouterr().err

    @pytest.mark.parametrize(
        "burnin, message",
        [("300", "a burn-in of 300 trees leaves no trees of run "), ("120%", "below 100%"), ("1.5", "got '1.5'")],
    )
    def test_burnin_that_leaves_nothing(self, tmp_path, capsys, burnin, message):
        try:
            code = main(["converge", *run_files("cynmix"), "--burnin", burnin, "--output-dir", str(tmp_path)])
        except SystemExit as exited:  # argument errors end in the parser
            code = exited.code
        assert code == 2 and message in capsys.readouterr().err

    @pytest.mark.parametrize("command", ["converge", "space"])
    def test_a_tree_of_other_taxa_is_named_by_file_line_tree_and_taxa(self, tmp_path, capsys, command):
        run1 = tmp_path / "run1.nwk"
        run1.write_text("((A,B),(C,D));\n" * 3)
        run2 = tmp_path / "run2.nwk"
        run2.write_text("((A,B),(C,D));\n\n((A,B),(C,E));\n")
        assert main([command, str(run1), str(run2), "--output-dir", str(tmp_path / "out")]) == 2
        assert capsys.readouterr().err == (
            f"cladomatic: error: {run2}:3: tree 2 lacks D and has E that tree 1 of {run1} does not\n"
        )

    def test_runs_of_different_lengths_are_compared_with_a_warning(self, tmp_path, capsys):
        mixed = [run_files("cynmix")[0], run_files("cynmix3")[0]]
        assert main(["converge", *mixed, "--burnin", "50%", "--output-dir", str(tmp_path)]) == 0
        captured = capsys.readouterr()
        assert "different numbers of trees: 201, 121" in captured.err
        assert "cynmix.run1.t.gz 101 (dropped 100), cynmix3.run1.t.gz 61 (dropped 60)" in captured.out

    @pytest.mark.parametrize("subcommand", ["converge", "space"])
    def test_without_numpy_the_command_says_what_needs_it(self, subcommand):
        code = (
            "import sys; sys.modules['numpy'] = None\n"
            "from cladomatic_tools.cli.main import main\n"
            f"sys.exit(main([{subcommand!r}, 'a.t', 'b.t']))"
        )
        result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60, check=False)
        assert result.returncode == 1
        assert result.stderr == f"cladomatic: error: {subcommand} needs NumPy, which cannot be imported here\n"

    def test_output_that_is_a_file(self, tmp_path, capsys):
        blocker = tmp_path / "file"
        blocker.write_text("")
        assert main(["converge", *run_files("cynmix"), "--output-dir", str(blocker)]) == 2
        assert "output directory" in capsys.readouterr().err
