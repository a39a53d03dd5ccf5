"""One convention for every call and flag: the options each TreeSet call and each subcommand takes, the old
spellings that still work, and what the new options change (nothing but speed, for threads)."""

import argparse
import re
import warnings
from pathlib import Path

import numpy as np
import pytest
from cladomatic_tools import convergence
from cladomatic_tools.cli.main import _parser, main
from cladomatic_tools.selection import parse_burnin
from cladomatic_tools.treeset import TreeSet

ROOT = Path(__file__).resolve().parents[2]
RUNS = [str(ROOT / "tests" / "data" / "mrbayes" / f"cynmix.run{i}.t.gz") for i in (1, 2)]
MIXED = [
    "((A:1,B:1):1,(C:1,(D:1,E:1):2):3);",
    "((A:1,C:1):1,(B:1,D:1):1);",
    "((A:2,B:1):1,(C:1,D:1):1,E:1);",
    "((A:1,D:1):1,(B:1,C:1):1,F:2);",
    "((A:1,B:1):2,(C:1,D:1):1);",
    "((A:1,C:1):1,(B:1,D:3):1);",
]
# subcommands that only copy what they read take no --threads
NOT_COMPUTING: set[str] = {"combine"}


@pytest.fixture(scope="module")
def runs():
    return TreeSet.from_files(RUNS, burnin=40, every=2)


def subcommands():
    parser = _parser()
    (choices,) = [action for action in parser._actions if isinstance(action, argparse._SubParsersAction)]
    return choices.choices


class TestFlags:
    def test_every_subcommand_follows_the_flag_convention(self):
        for name, command in subcommands().items():
            flags = {flag: action for action in command._actions for flag in action.option_strings}
            positional = [action for action in command._actions if not action.option_strings]
            assert [action.metavar for action in positional if action.dest == "files"] == ["FILE"], name
            if name not in NOT_COMPUTING:
                assert "--threads" in flags, name
            if "--burnin" in flags:
                assert "--every" in flags, name
            for flag in ("--quiet", "--debug"):
                assert flag in flags, (name, flag)
            if "--output" in flags and flags["--output"].help != argparse.SUPPRESS:
                assert flags["--output"].metavar == "FILE", name
            if "--output-dir" in flags:
                assert flags["--output-dir"].metavar == "DIR", name
            shared = {flag: flags[flag].help for flag in ("--threads", "--quiet", "--every") if flag in flags}
            reference = {"--threads": "threads of this process", "--quiet": "no progress", "--every": "then keep"}
            for flag, text in shared.items():
                assert text.startswith(reference[flag]), (name, flag)

    @pytest.mark.parametrize("command", ["converge", "space"])
    def test_a_folder_given_as_output_still_works_with_a_warning(self, tmp_path, capsys, command):
        assert main([command, *RUNS, "--burnin", "50%", "--output", str(tmp_path / "old")]) == 0
        assert main([command, *RUNS, "--burnin", "50%", "--output-dir", str(tmp_path / "new")]) == 0
        err = capsys.readouterr().err
        assert f"'{command} --output DIR' is deprecated: give the folder as --output-dir DIR" in err
        old = sorted(path.name for path in (tmp_path / "old").iterdir())
        assert old == sorted(path.name for path in (tmp_path / "new").iterdir())
        for name in old:
            if name.endswith(".tsv"):
                assert (tmp_path / "old" / name).read_bytes() == (tmp_path / "new" / name).read_bytes()

    def test_converge_thins_each_run_after_its_burn_in(self, tmp_path, capsys):
        assert main(["converge", *RUNS, "--burnin", "40", "--every", "2", "--output-dir", str(tmp_path)]) == 0
        thinned = TreeSet.from_files(RUNS, burnin=40, every=2, lengths=False)
        figures = capsys.readouterr().out
        (final,) = convergence.converge(thinned, parse_burnin("0"), points=1).trace
        assert f"split frequencies = {final[0]:.6f}" in figures and "(dropped 40)" in figures
        assert f"run1.t.gz {len(thinned) // 2} (dropped 40)" in figures

    @pytest.mark.parametrize("command", ["converge", "space", "consensus", "splits"])
    def test_threads_change_no_byte(self, tmp_path, command):
        outputs = []
        for threads in ("1", "3"):
            out = tmp_path / threads
            to_folder = command in ("converge", "space")
            file = out.with_suffix(".npz" if command == "splits" else ".nwk")
            target = ["--output-dir", str(out)] if to_folder else ["--output", str(file)]
            assert main([command, *RUNS, "--burnin", "25%", "--every", "3", "--threads", threads, *target]) == 0
            files = sorted(out.iterdir()) if to_folder else [file]
            outputs.append([_without_provenance(f.read_bytes()) for f in files if not f.name.endswith(".png")])
        assert outputs[0] and outputs[0] == outputs[1]

    @pytest.mark.parametrize("metric, rooting", [("rf", []), ("kf", []), ("wrf", ["--rooted"])])
    def test_splits_by_the_module_and_by_the_engine_are_the_same_file(self, tmp_path, metric, rooting):
        arrays = []
        for path, threads in (("module", []), ("engine", ["--threads", "2"])):
            out = tmp_path / f"{path}.npz"
            assert main(["splits", *RUNS, "--metric", metric, *rooting, *threads, "--output", str(out), "--quiet"]) == 0
            arrays.append(np.load(out))
        assert list(arrays[0]) == list(arrays[1])
        for name in arrays[0]:
            assert arrays[0][name].dtype == arrays[1][name].dtype, name
            np.testing.assert_array_equal(arrays[0][name], arrays[1][name], err_msg=name)


def _without_provenance(output: bytes) -> bytes:
    """A NEXUS output less the comment lines that record its command line, which names the thread count."""
    return b"\n".join(line for line in output.split(b"\n") if not line.startswith(b"["))


class TestCalls:
    def test_old_spellings_warn_naming_the_new_one_and_give_the_same(self, runs, tmp_path):
        from cladomatic_tools.io.sources import FileTrees
        from cladomatic_tools.rooting import Rooting
        from cladomatic_tools.selection import Selection

        groups = np.arange(len(runs)) % 3
        cases = [
            (lambda: runs.asdsf(0, 0.2, 2), lambda: runs.asdsf(burnin=0, min_freq=0.2, points=2), "burnin=..."),
            (lambda: runs.split_counts(groups), lambda: runs.split_counts(groups=groups), "groups=..."),
            (lambda: runs.split_frequencies(groups), lambda: runs.split_frequencies(groups=groups), "groups=..."),
            (lambda: runs.splits_by_tree(True), lambda: runs.splits_by_tree(lengths=True), "lengths=..."),
            (lambda: runs.topological_ess("rf", "frechet"), lambda: runs.topological_ess("rf"), "method=..."),
            (lambda: runs.principal_coordinates("rf", 3), lambda: runs.principal_coordinates(dims=3), "dims=..."),
            (lambda: runs.consensus(0.6, True), lambda: runs.consensus(min_freq=0.6, greedy=True), "greedy=..."),
            (lambda: runs.n_trees, lambda: len(runs), "len(tree_set)"),
            (
                lambda: len(TreeSet.from_reading([FileTrees(RUNS, Selection())], rooting=Rooting(True))),
                lambda: len(TreeSet.from_reading([FileTrees(RUNS, Selection())], rooted=True)),
                "rooted=...",
            ),
        ]
        for old, new, named in cases:
            with pytest.warns(DeprecationWarning, match=re.escape(named)) as caught:
                got = old()
            assert caught[0].filename == __file__, named  # the warning points at the caller
            with warnings.catch_warnings():
                warnings.simplefilter("error", DeprecationWarning)
                want = new()
            for a, b in zip(*(value if isinstance(value, tuple) else (value,) for value in (got, want))):
                np.testing.assert_array_equal(a, b)

    def test_an_option_by_position_and_by_name_at_once_is_refused(self, runs):
        with pytest.raises(TypeError, match="multiple values for argument 'burnin'"):
            runs.asdsf(0, burnin=0)

    def test_threads_and_prune_mean_the_same_in_every_call(self):
        mixed = TreeSet.from_newick(MIXED, taxa="any", groups=[0, 0, 0, 1, 1, 1])
        common = mixed.pruned()
        calls = {
            "mean_distances": lambda ts, **o: ts.mean_distances(**o),
            "medoid": lambda ts, **o: ts.medoid(**o),
            "split_counts": lambda ts, **o: ts.split_counts(**o),
            "split_frequencies": lambda ts, **o: ts.split_frequencies(**o),
            "splits_by_tree": lambda ts, **o: ts.splits_by_tree(lengths=True, **o),
            "topologies": lambda ts, **o: ts.topologies(**o),
            "consensus": lambda ts, **o: ts.consensus(**o),
            "mcc": lambda ts, **o: ts.mcc(**o),
            "asdsf": lambda ts, **o: ts.asdsf(burnin=0, **o),
            "topological_ess": lambda ts, **o: ts.topological_ess(**o),
        }
        for name, call in calls.items():
            want = call(common)
            for threads in (1, 2):
                got = call(mixed, prune="common", threads=threads)
                for a, b in zip(*(value if isinstance(value, tuple) else (value,) for value in (got, want))):
                    np.testing.assert_array_equal(a, b, err_msg=name)
            with pytest.raises(ValueError, match=rf"{name}\(\) needs every tree over the same taxa.*'common'"):
                call(mixed, prune="pairwise")
            with pytest.raises(ValueError, match="threads must be a whole number"):
                call(common, threads=0)

    def test_the_public_names_come_from_the_package(self):
        import cladomatic_tools
        import cladomatic_tools.treeset

        for name in cladomatic_tools.__all__:
            assert getattr(cladomatic_tools, name) is not None
        assert cladomatic_tools.Progress is cladomatic_tools.treeset.Progress
        with pytest.raises(AttributeError):
            _ = cladomatic_tools.NoSuchName
