"""`cladomatic combine`: the combined file holds exactly the trees (or samples) the runs give with the same
burn-in and thinning, whatever each run's numbering, with its comments as written."""

import gzip
import re
from pathlib import Path

import numpy as np
import pytest
from cladomatic_tools.cli.main import main
from cladomatic_tools.treeset import TreeSet

DATA = Path(__file__).resolve().parents[1] / "data" / "mrbayes"
CYNMIX = [str(DATA / f"cynmix.run{i}.t.gz") for i in (1, 2)]
LOGS = [str(DATA / f"cynmix.run{i}.p.gz") for i in (1, 2)]


def frequencies(ts):
    splits, counts = ts.split_counts(groups=np.zeros(len(ts), dtype=np.int64))
    names = ts.leaf_names
    return {frozenset(n for n, bit in zip(names, row) if bit): c for row, c in zip(splits, counts[0])}


def combined(tmp_path, files, *flags, name="out.nex"):
    out = tmp_path / name
    assert main(["combine", *map(str, files), *flags, "--output", str(out)]) == 0
    return out


def nexus(path, translate, trees, states):
    """A BEAST-like run: `translate` as (key, taxon), trees with keys, named STATE_<state>."""
    table = ",\n".join(f"\t\t{key} {taxon}" for key, taxon in translate)
    lines = [f"\ttree STATE_{state} [&lnP=-1.5] = [&R] {tree}" for tree, state in zip(trees, states)]
    path.write_text("#NEXUS\nbegin trees;\n\ttranslate\n" + table + "\n\t\t;\n" + "\n".join(lines) + "\nend;\n")
    return path


@pytest.mark.parametrize(("burnin", "every"), [("25%", 10), ("30", 7), ("0.1", 1)])
def test_same_trees_as_reading_the_runs(tmp_path, burnin, every):
    out = combined(tmp_path, CYNMIX, "--burnin", burnin, "--every", str(every))
    direct = TreeSet.from_files(CYNMIX, burnin=burnin, every=every)
    read = TreeSet.from_files([str(out)])
    assert len(read) == len(direct)
    assert read.leaf_names == direct.leaf_names
    assert frequencies(read) == frequencies(direct)
    np.testing.assert_array_equal(read.distances("rf"), direct.distances("rf"))
    np.testing.assert_array_equal(read.distances("kf"), direct.distances("kf"))


def test_taxa_matched_by_name_and_comments_kept(tmp_path):
    first = nexus(
        tmp_path / "a.trees",
        [(1, "Ape"), (2, "Bat"), (3, "'Cow x'"), (4, "Dog")],
        ["((1[&rate=0.5,set={a,b}]:1,2:1)[&height_95%HPD={0.1,0.2}]:1,(3:1,4:1):1);", "((1:1,3:1):1,(2:1,4:1):1);"],
        [0, 100],
    )
    # the same taxa under other keys, a comment between '(' and a leaf, a full name in place of a key
    second = nexus(
        tmp_path / "b.trees",
        [(7, "Dog"), (8, "'Cow x'"), (9, "Bat"), (5, "Ape")],
        ["((5:1,9:1):1,([&x=(1,2)]8:1,Dog:1):1);", "((5:1,8:1):1,(9:1,7:1):1);"],
        [0, 100],
    )
    out = combined(tmp_path, [first, second])
    text = out.read_text()
    assert "\t\t3\tCow_x" in text and "'" not in text
    kept = "[&R] ((1[&rate=0.5,set={a,b}]:1,2:1)[&height_95%HPD={0.1,0.2}]:1,(3:1,4:1):1);"
    assert f"tree run1.STATE_0 [&lnP=-1.5] = {kept}" in text
    assert "tree run2.STATE_0 [&lnP=-1.5] = [&R] ((1:1,2:1):1,([&x=(1,2)]3:1,4:1):1);" in text
    assert "tree run2.STATE_100 [&lnP=-1.5] = [&R] ((1:1,3:1):1,(2:1,4:1):1);" in text
    direct = TreeSet.from_files([str(first), str(second)])
    np.testing.assert_array_equal(TreeSet.from_files([str(out)]).distances("rf"), direct.distances("rf"))
    stripped = combined(tmp_path, [first, second], "--strip", "--renumber", name="s.nex").read_text()
    assert "tree STATE_0 = [&R] ((1:1,2:1):1,(3:1,4:1):1);" in stripped
    assert "tree STATE_2 = [&R] ((1:1,2:1):1,(3:1,4:1):1);" in stripped


def test_burnin_resample_and_renumber_by_their_definitions(tmp_path):
    tree = "((1:1,2:1):1,(3:1,4:1):1);"
    taxa = [(1, "A"), (2, "B"), (3, "C"), (4, "D")]
    run = nexus(tmp_path / "a.trees", taxa, [tree] * 10, range(0, 1000, 100))
    other = nexus(tmp_path / "b.trees", taxa, [tree] * 5, range(0, 1000, 200))

    # the two runs joined end to end in one file, as MrBayes's files of several runs are
    joined = tmp_path / "joined.trees"
    joined.write_text(run.read_text() + other.read_text())

    def names(*flags, inputs=(run, other)):
        text = combined(tmp_path, inputs, *flags, name="n.nex").read_text()
        return [line.split()[1] for line in text.splitlines() if line.startswith("tree ")]

    # a burn-in counts trees of each run, never states
    expected = [f"run{r}.STATE_{s}" for r, s in ((1, 300), (1, 600), (1, 900), (2, 600))]
    assert names("--burnin", "3", "--every", "3") == expected
    assert names("--burnin", "3", "--every", "3", inputs=[joined]) == expected
    # floor(30% of 10) and floor(30% of 5), each run's own length counted first
    assert names("--burnin", "30%", "--every", "3", inputs=[joined]) == [
        *expected[:3],
        "run2.STATE_200",
        "run2.STATE_800",
    ]
    assert names("--burnin", "2", "--resample", "400") == [
        f"run{r}.STATE_{s}" for r, s in ((1, 400), (1, 800), (2, 400), (2, 800))
    ]
    assert names("--resample", "400", "--renumber") == [f"STATE_{k}" for k in range(6)]


@pytest.mark.parametrize(
    ("flags", "message"),
    [
        (["--resample", "300"], "b.trees is sampled every 200 states, which does not divide 300"),
        (["--every", "2", "--resample", "400"], "--every and --resample are alternatives"),
        (["--burnin", "10"], "keep no tree"),
    ],
)
def test_refused(tmp_path, capsys, flags, message):
    tree = "((1:1,2:1):1,(3:1,4:1):1);"
    taxa = [(1, "A"), (2, "B"), (3, "C"), (4, "D")]
    run = nexus(tmp_path / "a.trees", taxa, [tree] * 4, range(0, 400, 100))
    other = nexus(tmp_path / "b.trees", taxa, [tree] * 4, range(0, 800, 200))
    out = tmp_path / "out.nex"
    assert main(["combine", str(run), str(other), *flags, "--output", str(out)]) == 2
    assert message in capsys.readouterr().err
    assert not out.exists()


def test_refused_inputs(tmp_path, capsys):
    taxa = [(1, "A"), (2, "B"), (3, "C"), (4, "D")]
    run = nexus(tmp_path / "a.trees", taxa, ["((1,2),(3,4));"], [0])
    fewer = nexus(tmp_path / "b.trees", taxa[:3] + [(4, "E")], ["((1,2),(3,4));"], [0])
    out = tmp_path / "out.nex"
    for inputs, message in [
        ([run, fewer], "lacks D and has E that tree 1 of"),
        ([run, LOGS[0]], "holds trees and"),
    ]:
        assert main(["combine", *map(str, inputs), "--output", str(out)]) == 2
        assert message in capsys.readouterr().err
    assert not out.exists()
    # found before the first run is written to standard output, however many trees a burn-in drops
    assert main(["combine", str(run), str(fewer), "--burnin", "5"]) == 2
    assert capsys.readouterr().out == ""


def test_logs_matched_by_column_name(tmp_path, capsys):
    lines = gzip.open(LOGS[1], "rt").read().splitlines()
    header = lines[1].split("\t")
    # the second run with its columns in another order
    moved = [0, *range(len(header) - 1, 0, -1)]
    shuffled = tmp_path / "run2.p"
    shuffled.write_text(
        lines[0] + "\n" + "\n".join("\t".join(line.split("\t")[k] for k in moved) for line in lines[1:]) + "\n"
    )
    out = combined(tmp_path, [LOGS[0], shuffled], "--burnin", "25%", "--every", "5", name="out.p")
    expected = combined(tmp_path, LOGS, "--burnin", "25%", "--every", "5", name="expected.p")
    assert out.read_text() == expected.read_text()
    rows = out.read_text().splitlines()
    first = gzip.open(LOGS[0], "rt").read().splitlines()
    assert rows[0] == first[1] and rows[1] == first[2 + 50]
    assert len(rows) == 1 + 2 * len(range(50, 201, 5))
    renumbered = combined(tmp_path, LOGS, "--renumber", "--every", "2", name="r.p").read_text().splitlines()
    assert [row.split("\t")[0] for row in renumbered[1:4]] == ["0", "1", "2"]
    shuffled.write_text(lines[0] + "\n" + "\n".join(line.rsplit("\t", 1)[0] for line in lines[1:]) + "\n")
    assert main(["combine", LOGS[0], str(shuffled), "--output", str(tmp_path / "x.p")]) == 2
    assert f"has no column {header[-1]}" in capsys.readouterr().err


REFS = Path(__file__).resolve().parents[1] / "data" / "combine"
BEAST = [REFS / "run1.trees.gz", REFS / "run2.trees.gz"]


def tree_lines(text):
    return [line.split(" = ", 1)[1] for line in text.splitlines() if line.lower().startswith("tree ")]


def node_comments(text):
    return [sorted(re.findall(r"\[[^\]]*\]", tree)) for tree in tree_lines(text)]


@pytest.mark.parametrize(
    ("reference", "inputs", "flags"),
    [
        # its burn-in of 40000 states drops the 10 trees before state 40000 of each run
        ("burnin.trees.gz", BEAST, ["--burnin", "10"]),
        ("strip.trees.gz", BEAST, ["--strip"]),
        # the second run with its TRANSLATE keys given to other taxa
        ("permuted.combined.trees.gz", [BEAST[0], REFS / "permuted.trees.gz"], []),
    ],
)
def test_as_logcombiner_where_it_is_right(tmp_path, reference, inputs, flags):
    ours = combined(tmp_path, inputs, *flags)
    mine, theirs = TreeSet.from_files([str(ours)]), TreeSet.from_files([str(REFS / reference)])
    assert len(mine) == len(theirs)
    assert not mine.against(theirs, "rf").diagonal().any()
    # it writes lengths with 13 significant digits
    np.testing.assert_allclose(mine.against(theirs, "kf").diagonal(), 0, atol=1e-9)
    # the same node comments; it moves them before the colon
    assert node_comments(ours.read_text()) == node_comments(gzip.open(REFS / reference, "rt").read())


def test_trees_written_as_read(tmp_path):
    def after_names(text):
        return [line.split(" ", 2)[2] for line in text.splitlines() if line.lower().startswith("tree ")]

    text = combined(tmp_path, BEAST, name="a.nex").read_text()
    # the trees' own comments ([&lnP=...,posterior=...]) too
    assert after_names(text) == [tree for path in BEAST for tree in after_names(gzip.open(path, "rt").read())]
    written = tree_lines(text)
    # whatever the keys of the second run's table
    assert tree_lines(combined(tmp_path, [BEAST[0], REFS / "permuted.trees.gz"], name="b.nex").read_text()) == written


def test_resampling_keeps_each_runs_own_multiples(tmp_path):
    # LogCombiner counts its resampling over the runs joined end to end, so that it keeps states 4000, 12000, ...
    # of the second run: every state kept here is a multiple of 8000 in its own run
    text = combined(tmp_path, BEAST, "--resample", "8000").read_text()
    names = [line.split()[1] for line in text.splitlines() if line.startswith("tree ")]
    assert names == [f"run{r}.STATE_{s}" for r in (1, 2) for s in range(0, 200001, 8000)]
    direct = TreeSet.from_files([str(path) for path in BEAST], every=2)
    np.testing.assert_array_equal(
        TreeSet.from_files([str(tmp_path / "out.nex")]).distances("kf"), direct.distances("kf")
    )


def test_logs_as_logcombiner(tmp_path):
    logs = [REFS / "run1.log.gz", REFS / "run2.log.gz"]
    ours = combined(tmp_path, logs, "--burnin", "10", name="out.log").read_text().splitlines()
    theirs = gzip.open(REFS / "burnin.log.gz", "rt").read().splitlines()
    assert ours[0] == theirs[0]
    # the same values as written; LogCombiner numbers the states its own way
    assert [row.split("\t")[1:] for row in ours[1:]] == [row.split("\t")[1:] for row in theirs[1:]]
