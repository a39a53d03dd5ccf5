"""The command on the tree-set engine: new metrics, one set against another, matrices written a band of rows at
a time, and the check that a matrix held whole fits in memory."""

import csv
import gzip
import io
import os
import re
import subprocess
import threading

import cladomatic
import numpy as np
import pytest
from cladomatic_tools import TreeSet
from cladomatic_tools.cli import main
from cladomatic_tools.io import writers as output
from cladomatic_tools.io.reader import InputError
from cladomatic_tools.metrics import METRICS
from conftest import NEWICK, NEXUS, TREES, command, direct, full_matrix, one_line_error, read_table, run


def read_rectangle(text):
    rows = list(csv.reader(io.StringIO(text), delimiter="\t"))
    return rows[0][1:], [row[0] for row in rows[1:]], np.array([[float(v) for v in row[1:]] for row in rows[1:]])


def write(path, trees):
    path.write_text("\n".join(trees) + "\n")
    return path


def combined(metric, trees):
    """The whole matrix of `trees` in one set: the module's for rf/wrf/kf, the engine's for the others."""
    if metric in ("rf", "wrf", "kf"):
        return full_matrix(metric, trees, rooted=False)
    return TreeSet.from_newick(trees).distances(metric)


class TestSetAgainstSet:
    @pytest.mark.parametrize("metric", ["rf", "rf_norm", "wrf", "kf", "info_rf"])
    def test_against_a_reference_file_is_that_block_of_the_joint_matrix(self, tmp_path, metric):
        rows = write(tmp_path / "sample.nwk", TREES[:50])
        reference = write(tmp_path / "ref.nwk", TREES[100:103])
        result = run(metric, rows, "--against", reference, "--burnin", 10, "--every", 2)
        assert result.returncode == 0, result.stderr
        columns, names, matrix = read_rectangle(result.stdout)
        assert columns == ["tree_1", "tree_2", "tree_3"] and names[0] == "tree_11" and names[-1] == "tree_49"
        joint = combined(metric, TREES[10:50:2] + TREES[100:103])
        assert matrix.shape == (20, 3)
        np.testing.assert_array_equal(matrix, joint[:20, 20:])

    def test_between_two_groups_applies_burnin_and_thinning_to_both(self, tmp_path):
        first = [write(tmp_path / f"a{i}.nwk", TREES[i * 30 : i * 30 + 30]) for i in range(2)]
        second = tmp_path / "b.nex.gz"
        second.write_bytes(gzip.compress(NEXUS.read_bytes()))
        out = tmp_path / "kf.npz"
        result = run("kf", *first, "--between", second, "--burnin", "20%", "--output", out)
        assert result.returncode == 0, result.stderr
        stored = np.load(out)
        row_trees = TREES[6:30] + TREES[36:60]
        col_trees = TREES[24:]
        assert list(stored["tree_names"])[:2] == [f"{first[0]}:tree_7", f"{first[0]}:tree_8"]
        assert stored["column_names"][0] == "gen.24000"
        joint = direct(cladomatic, "kf", row_trees + col_trees)
        np.testing.assert_array_equal(stored["distances"], joint[: len(row_trees), len(row_trees) :])

    def test_sets_over_other_taxa_are_refused_naming_them(self, tmp_path):
        reference = write(tmp_path / "ref.nwk", [TREES[0].replace("Homo_sapiens", "Homo_erectus")])
        one_line_error(
            run("rf", NEWICK, "--against", reference),
            2,
            f"{reference}:1: tree 1 lacks Homo_sapiens and has Homo_erectus that tree 1 of {NEWICK} does not\n",
        )

    @pytest.mark.parametrize(
        "args, text",
        [
            (["info_rf", NEWICK, "--rooted"], "info_rf is defined for unrooted trees only"),
            (["rf", "-", "--against", "-"], "standard input ('-') can be read only once"),
            (["rf", NEWICK, "--against", NEWICK, "--between", NEWICK], "not allowed with argument --against"),
        ],
    )
    def test_refusals(self, args, text):
        one_line_error(run(*args), 2, text)

    def test_against_selects_rows_and_columns_of_the_engine(self):
        rows, cols = TreeSet.from_newick(TREES[:40]), TreeSet.from_newick(TREES[40:60])
        whole = rows.against(cols, "wrf")
        picked = rows.against(cols, "wrf", rows=[5, 3, 5], cols=range(2, 9))
        np.testing.assert_array_equal(picked, whole[[5, 3, 5]][:, 2:9])
        with pytest.raises(IndexError, match="cols index 20"):
            rows.against(cols, rows=[0], cols=[20])


def test_one_burnin_rule_on_every_path(tmp_path, capsys):
    # 24.99999999999999999% of 120 trees is a hair under 30: every path drops 29 and keeps 91, where a float
    # (which rounds the share to a quarter) would keep 90
    zarr = pytest.importorskip("zarr")
    burnin = ["--burnin", "24.99999999999999999%", "--quiet"]
    kept = {"TreeSet": len(TreeSet.from_files([str(NEWICK)], burnin=burnin[1]))}
    for command_name in ("rf", "splits"):
        out = tmp_path / f"{command_name}.npz"
        assert main.main([command_name, str(NEWICK), *burnin, "--output", str(out)]) == 0
        kept[command_name] = len(np.load(out)["tree_names"])
    assert main.main(["space", str(NEWICK), *burnin, "--output-dir", str(tmp_path / "space")]) == 0
    kept["space"] = len((tmp_path / "space" / "coordinates.tsv").read_text().splitlines()) - 1
    assert main.main(["converge", str(NEWICK), str(NEXUS), *burnin, "--output-dir", str(tmp_path / "conv")]) == 0
    assert "primates.nwk 91 (dropped 29), primates.nex 91 (dropped 29)" in capsys.readouterr().out
    assert main.main(["rf", str(NEWICK), *burnin, "--output", str(tmp_path / "rf.zarr")]) == 0
    kept["tiled"] = zarr.open_group(tmp_path / "rf.zarr", mode="r")["distances"].shape[0]
    assert kept == dict.fromkeys(kept, 91)



def test_every_command_says_what_its_burnin_kept(tmp_path, capsys):
    converge = ["converge", str(NEXUS), "--output-dir", str(tmp_path)]
    thinned = f"burn-in 10 trees, then one tree in 3: {NEWICK} 37 of 120 trees kept (10 dropped)"
    splits = ["splits", "--every", "50", "--output", str(tmp_path / "splits.npz")]
    cases = [
        *(([name, "--burnin", "10", "--every", "3", *(["--rooted"] if info.rooted_only else [])], thinned)
          for name, info in METRICS.items()),
        *(([name, "--burnin", "10", "--every", "3"], thinned) for name in ("annotate", "combine")),
        # the reference is taken whole, whatever the sample's burn-in
        (["rf", "--burnin", "10", "--against", str(NEXUS)], f"burn-in 10 trees: {NEWICK} 110 of 120 trees kept (10 "
                                                             f"dropped); burn-in none: {NEXUS} 120 of 120 trees kept "
                                                             "(0 dropped)"),
        *((path, f"burn-in none, then one tree in 50: {NEWICK} 3 of 120 trees kept (0 dropped)")
          for path in (splits, [*splits, "--threads", "1"])),
        (["consensus"], f"burn-in none: {NEWICK} 120 of 120 trees kept (0 dropped)"),
        (["mcc", "--burnin", "10%", "--every", "2"], f"burn-in 10%, then one tree in 2: {NEWICK} 54 of 120 trees kept "
                                                     "(12 dropped)"),
        (converge, "burn-in 25%: primates.nwk 90 of 120 trees kept (30 dropped), primates.nex 90 of 120 trees kept "
                   "(30 dropped)"),
    ]
    for args, said in cases:
        assert main.main([args[0], str(NEWICK), *args[1:]]) == 0
        assert f"cladomatic: {said}\n" in capsys.readouterr().err
        assert main.main([args[0], str(NEWICK), *args[1:], "--quiet"]) == 0
        assert "burn-in" not in capsys.readouterr().err
    for command_name, default in (("consensus", "none"), ("topologies", "none"), ("converge", "25%")):
        with pytest.raises(SystemExit):
            main.main([command_name, "--help"])
        assert f"Burn-in: {default} unless --burnin says otherwise." in " ".join(capsys.readouterr().out.split())

def test_counts_beyond_64_bits_are_input_mistakes_on_every_path(tmp_path, capsys):
    huge = str(2**64)
    for args in (["rf"], ["rf", "--output", str(tmp_path / "rf.zarr")], ["consensus"], ["converge", str(NEWICK)]):
        assert main.main([args[0], str(NEWICK), *args[1:], "--burnin", huge]) == 2
        assert f"a burn-in of {huge} trees leaves no" in capsys.readouterr().err
    with pytest.raises(SystemExit, match="2"):
        main.main(["rf", str(NEWICK), "--every", huge])
    assert f"from 1 to {2**64 - 1}, got '{huge}'" in capsys.readouterr().err
    with pytest.raises(InputError, match="leaves none of its 120 trees"):
        TreeSet.from_files([str(NEWICK)], burnin=10**23)
    with pytest.raises(ValueError, match="every must be a whole number from 1 to"):
        TreeSet.from_files([str(NEWICK)], every=10**23)

ROOTED = "[&R]((A,B),(C,D));\n[&r](A,(B,(C,D)));\n"  # rooted, their clades differ in two; unrooted, no split


class TestRooting:
    @pytest.fixture
    def files(self, tmp_path):
        texts = {
            "rooted.t": ROOTED,
            "unrooted.t": ROOTED.replace("[&R]", "[&U]").replace("[&r]", "[&u]"),
            "plain.nwk": ROOTED.replace("[&R]", "").replace("[&r]", ""),
            "ml.nwk": "((A,B),(C,D));\n",
            "posterior.t": "#NEXUS\nbegin trees;\n  tree gen.0 = [&R] (A,(B,(C,D)));\nend;\n",
            "late.nwk": ROOTED.replace("[&R]", ""),
        }
        for name, text in texts.items():
            (tmp_path / name).write_text(text)
        return tmp_path

    def argv(self, files, args, out):
        # the fixture's file names are the only arguments with a dot
        output = "--output-dir" if args[0] in ("converge", "space") else "--output"
        return [str(files / a) if "." in a else a for a in args] + [output, str(files / out)]

    def matrix(self, files, args):
        assert main.main(self.argv(files, args, "out.npz")) == 0
        return np.load(files / "out.npz")["distances"].tolist()

    @pytest.mark.parametrize(
        "args, want",
        [
            (["rf", "rooted.t"], [[0, 2], [2, 0]]),
            (["rf", "rooted.t", "--unrooted"], [[0, 0], [0, 0]]),
            (["rf", "unrooted.t"], [[0, 0], [0, 0]]),
            (["rf", "unrooted.t", "--rooted"], [[0, 2], [2, 0]]),
            (["rf", "plain.nwk"], [[0, 0], [0, 0]]),
            (["rf", "plain.nwk", "rooted.t"], [[0, 2, 0, 2], [2, 0, 2, 0], [0, 2, 0, 2], [2, 0, 2, 0]]),
            # an unmarked maximum-likelihood tree takes the rooting of the posterior it is compared with
            (["rf", "ml.nwk", "--against", "posterior.t"], [[2]]),
            (["rf", "posterior.t", "--between", "ml.nwk"], [[2]]),
            (["splits", "rooted.t"], [[0, 2], [2, 0]]),
        ],
    )
    def test_the_files_marks_decide_unless_an_option_does(self, files, args, want):
        assert self.matrix(files, args) == want

    def test_the_tiled_path_and_standard_input_follow_the_marks(self, files):
        zarr = pytest.importorskip("zarr")
        assert main.main(["rf", str(files / "rooted.t"), "--output", str(files / "rf.zarr"), "--quiet"]) == 0
        assert zarr.open_group(files / "rf.zarr", mode="r")["distances"][:].tolist() == [[0, 2], [2, 0]]
        piped = subprocess.run(command("rf", "-"), input=ROOTED, capture_output=True, text=True, timeout=300)
        assert piped.returncode == 0 and read_table(piped.stdout, "\t")[1].tolist() == [[0, 2], [2, 0]]

    @pytest.mark.parametrize(
        "args, message",
        [
            (
                ["rf", "rooted.t", "unrooted.t"],
                "{unrooted.t}:1: tree 1 is marked [&U] (unrooted) but {rooted.t}:1: tree 1 is marked [&R] (rooted): "
                "give --rooted or --unrooted to say how to compare them",
            ),
            (["converge", "unrooted.t", "posterior.t"], "{posterior.t}:3: tree 1 (gen.0) is marked [&R] (rooted) but"),
            (
                ["rf", "late.nwk"],
                "{late.nwk}:2: tree 2 is marked [&R] (rooted) but the first tree of every input is unmarked, so the "
                "trees before it were read unrooted: give --rooted or --unrooted",
            ),
            (
                ["info_rf", "posterior.t", "ml.nwk"],
                "info_rf is defined for unrooted trees only, and {posterior.t}:3: tree 1 (gen.0) is marked [&R] "
                "(rooted): give --unrooted to compare the trees unrooted",
            ),
            (["space", "rooted.t", "--metric", "info_rf"], "give --unrooted to compare the trees unrooted"),
            (["rf", "rooted.t", "--rooted", "--unrooted"], "argument --unrooted: not allowed with argument --rooted"),
        ],
    )
    def test_refusals(self, files, capsys, args, message):
        try:
            code = main.main(self.argv(files, args, "out"))
        except SystemExit as exited:  # argument errors end in the parser
            code = exited.code
        err = capsys.readouterr().err
        assert code == 2 and err.count("\n") == 1
        assert re.sub(r"\{([^}]+)\}", lambda name: str(files / name[1]), message) in err, err


class TestBands:
    @pytest.fixture
    def narrow(self, monkeypatch):
        """Bands of a few rows each, so that every output goes through many of them and a short last one."""
        monkeypatch.setattr(output, "BAND_BYTES", 7 * len(TREES) * 8)

    @pytest.mark.parametrize("metric", ["rf", "kf"])
    @pytest.mark.parametrize("suffix", ["npy", "npz", "tsv.gz", "csv"])
    def test_every_format_holds_the_matrix_made_in_one_piece(self, tmp_path, narrow, metric, suffix):
        out = tmp_path / f"m.{suffix}"
        assert main.main([metric, str(NEWICK), "--output", str(out), "--quiet"]) == 0
        if suffix == "npy":
            matrix = np.load(out)
        elif suffix == "npz":
            matrix = np.load(out)["distances"]
        else:
            text = gzip.decompress(out.read_bytes()).decode() if suffix.endswith("gz") else out.read_text()
            matrix = read_table(text, "\t" if suffix.startswith("tsv") else ",")[1]
        np.testing.assert_array_equal(matrix, direct(cladomatic, metric, TREES))

    def test_a_npy_to_a_pipe_is_written_in_order(self, tmp_path):
        # a pipe cannot be mapped: the bands are written one after another
        fifo = tmp_path / "matrix.npy"
        os.mkfifo(fifo)
        received = []
        reader = threading.Thread(target=lambda: received.append(fifo.read_bytes()))
        reader.start()
        done = subprocess.run(command("wrf", NEWICK, "--output", fifo), capture_output=True, timeout=300)
        reader.join(timeout=60)
        assert done.returncode == 0, done.stderr
        npy = tmp_path / "piped.npy"
        npy.write_bytes(received[0])
        np.testing.assert_array_equal(np.load(npy), direct(cladomatic, "wrf", TREES))

    def test_an_against_matrix_in_bands(self, tmp_path, narrow):
        reference = write(tmp_path / "ref.nwk", TREES[:3])
        out = tmp_path / "a.npy"
        assert main.main(["rf", str(NEWICK), "--against", str(reference), "--output", str(out)]) == 0
        np.testing.assert_array_equal(np.load(out), direct(cladomatic, "rf", TREES)[:, :3])


class TestMemoryCheck:
    @pytest.fixture
    def little_memory(self, tmp_path, monkeypatch):
        meminfo = tmp_path / "meminfo"
        meminfo.write_text("MemTotal:       16384 kB\nMemFree:         2048 kB\nMemAvailable:      50 kB\n")
        monkeypatch.setattr(output, "MEMINFO", str(meminfo))

    def test_a_matrix_held_whole_is_refused_before_it_is_built(self, tmp_path, little_memory, capsys):
        out = tmp_path / "rf.npz"
        assert main.main(["wrf", str(NEWICK), "--output", str(out), "--quiet"]) == 1
        assert capsys.readouterr().err == (
            "cladomatic: error: the 120 x 120 matrix would take 115.2 kB of memory and 51.2 kB is available: "
            "write it to a .npy file (--output NAME.npy), which is filled band by band\n"
        )
        assert not out.exists()
        assert main.main(["splits", str(NEWICK), "--output", str(out)]) == 1
        assert "the 120 x 120 matrix would take 57.6 kB" in capsys.readouterr().err

    def test_band_written_output_needs_no_such_room(self, tmp_path, little_memory):
        assert main.main(["rf", str(NEWICK), "--output", str(tmp_path / "rf.npy")]) == 0
        assert main.main(["rf", str(NEWICK), "--output", str(tmp_path / "rf.tsv")]) == 0

    def test_without_meminfo_nothing_is_refused(self, tmp_path, monkeypatch):
        monkeypatch.setattr(output, "MEMINFO", str(tmp_path / "none"))
        assert output.available_memory() is None
        assert main.main(["rf", str(NEWICK), "--output", str(tmp_path / "rf.npz")]) == 0


class TestRunsAsGroups:
    def test_each_run_of_joined_files_is_a_group_with_its_own_burnin(self, tmp_path):
        joined = tmp_path / "both.t"
        joined.write_text(NEXUS.read_text() + NEXUS.read_text().replace("gen.", "g."))
        ts = TreeSet.from_files([str(joined), str(NEWICK)], burnin="50%", every=3)
        assert ts.group_names == [f"{joined} (run 1)", f"{joined} (run 2)", str(NEWICK)]
        kept = list(range(60, 120, 3))
        assert ts.positions.tolist() == kept * 3 and np.bincount(ts.groups).tolist() == [20] * 3
        assert ts.tree_names[20] == f"{joined}:run2:g.60000" and ts.tree_names[40] == f"{NEWICK}:tree_61"
        np.testing.assert_array_equal(ts.distances("rf"), np.tile(direct(cladomatic, "rf", TREES[60::3]), (3, 3)))


class TestOnePass:
    def test_a_named_pipe_is_read_once_with_a_burnin_share_and_a_reference_from_standard_input(self, tmp_path):
        fifo = tmp_path / "trees.fifo"
        os.mkfifo(fifo)
        writer = threading.Thread(target=lambda: fifo.write_text("\n".join(TREES) + "\n"))
        writer.start()
        done = subprocess.run(
            command("wrf", fifo, "--burnin", "25%", "--against", "-"),
            input=TREES[0] + "\n",
            capture_output=True,
            text=True,
            timeout=300,
        )
        writer.join(timeout=60)
        assert done.returncode == 0, done.stderr
        columns, names, matrix = read_rectangle(done.stdout)
        assert columns == ["tree_1"] and names[0] == "tree_31" and len(names) == 90
        np.testing.assert_array_equal(matrix, direct(cladomatic, "wrf", TREES[30:] + TREES[:1])[:90, 90:])
