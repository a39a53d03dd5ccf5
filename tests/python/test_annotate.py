import gzip
import subprocess
import sys
from pathlib import Path

import annotated
import pytest
from cladomatic_tools import annotation
from cladomatic_tools.treeset import TreeSet
from conftest import kept_line

DATA = Path(__file__).parent.parent / "data" / "beast"
RUNS = ("ucln", "ancestral", "ucln_location", "relaxed2")
SAMPLE = DATA / "ucln_location.trees.gz"


def run(*args):
    return subprocess.run([sys.executable, "-m", "cladomatic_tools", *map(str, args)], capture_output=True, text=True)


@pytest.fixture(scope="module")
def samples():
    """Per run, its trees after the references' burn-in (40 trees), and all of them: TreeAnnotator 1.10.4 drops
    no burn-in when given -target."""
    return {
        (name, burnin): TreeSet.from_files(str(DATA / f"{name}.trees.gz"), burnin=burnin, rooted=True)
        for name in RUNS
        for burnin in (0, 40)
    }


def written(tmp_path, tree):
    path = tmp_path / "out.tre"
    path.write_text(annotation.nexus(tree))
    return annotated.read(path)


@pytest.mark.parametrize("name", RUNS)
def test_equal_to_treeannotator_value_by_value(samples, tmp_path, name):
    target = {"target": str(DATA / f"{name}.target.tre")}
    for heights in annotation.HEIGHTS:
        for case, options in (("", {}), (".limit", {"limit": 0.5}), (".target", target)):
            ts = samples[name, 0 if case == ".target" else 40]
            ours = written(tmp_path, ts.annotate(heights=heights, **options))
            assert ours == annotated.read(DATA / f"{name}.ta1.{heights}{case}.tre.gz"), (heights, case)


@pytest.mark.parametrize("name", ["relaxed2", "ancestral"])
def test_the_values_both_versions_give(samples, tmp_path, name):
    """The newer version's lengths are differences of heights and its tips' heights differ in the last bits;
    every other value of an inner node is the older version's."""
    for heights in annotation.HEIGHTS:
        ours = written(tmp_path, samples[name, 40].annotate(heights=heights))
        theirs = annotated.read(DATA / f"{name}.ta2.{heights}.tre.gz")
        assert ours.keys() == theirs.keys()
        for clade, (found, _) in theirs.items():
            shared = {key: value for key, value in found.items() if not key.startswith(("length", "CAheight"))}
            if len(clade) > 1:
                assert shared == {key: ours[clade][0][key] for key in shared}, (heights, sorted(clade))


def test_every_value_survives_other_readers(tmp_path):
    dendropy = pytest.importorskip("dendropy")
    ts = TreeSet.from_files(str(SAMPLE), burnin=0)
    tree = annotation.annotate(ts, _readings(SAMPLE), heights="ca")
    assert any(isinstance(value, str) for found in tree.annotations for value in found.values())
    path = tmp_path / "out.tre"
    path.write_text(annotation.nexus(tree))
    clades: list[set[str]] = [set() for _ in tree.parent]
    for node, above in enumerate(tree.parent):
        if tree.leaf[node] >= 0:
            clades[node].add(tree.leaf_names[tree.leaf[node]])
        if above >= 0:
            clades[above] |= clades[node]
    written = {frozenset(clade): (found, length) for clade, found, length in zip(clades, tree.annotations, tree.length)}
    assert annotated.read(path) == {
        clade: (found, None if len(clade) == len(ts.leaf_names) else length)
        for clade, (found, length) in written.items()
    }
    theirs = dendropy.Tree.get(path=str(path), schema="nexus", extract_comment_metadata=True)
    seen = 0
    for node in theirs.postorder_node_iter():
        found, length = written[frozenset(leaf.taxon.label for leaf in node.leaf_iter())]
        if any(isinstance(value, tuple) and len(value) == 1 for value in found.values()):
            continue  # DendroPy reads a set of one quoted value, {"C"}, as running into what follows
        assert {item.name: _parsed(item.value) for item in node.annotations} == found
        seen += len(found)
        if node.parent_node is not None:
            assert node.edge.length == length
    assert seen > 200


def _parsed(value):
    if isinstance(value, list):
        return tuple(_parsed(item) for item in value)
    try:
        return float(value)
    except ValueError:
        return value.strip('"')


def _readings(path):
    from cladomatic_tools.io.sources import FileTrees
    from cladomatic_tools.selection import Selection

    return [FileTrees([str(path)], Selection())]


def test_java_doubles():
    cases = {
        0.0: "0.0",
        1.0: "1.0",
        16.0: "16.0",
        0.001: "0.001",
        0.0009: "9.0E-4",
        8.709705811083603e-4: "8.709705811083603E-4",
        1234567.5: "1234567.5",
        1e7: "1.0E7",
        -2.5e-10: "-2.5E-10",
        123456789.0: "1.23456789E8",
    }
    assert {value: annotation.java_double(value) for value in cases} == cases


def test_bad_input(tmp_path):
    text = gzip.decompress(SAMPLE.read_bytes()).decode()
    broken = tmp_path / "broken.trees"
    lines = text.splitlines(keepends=True)
    at = [k for k, line in enumerate(lines) if line.startswith("tree ")][3]
    lines[at] = lines[at].replace("[&location=", "[&rate=1.0,=", 1)
    broken.write_text("".join(lines))
    done = run("annotate", broken)
    assert done.returncode == 2
    # the trees are read before their node comments, so what the burn-in kept is said first
    assert done.stderr.strip().splitlines() == [
        kept_line(broken, 401, 401).strip(),
        f"cladomatic: error: {broken}:{at + 1}: tree 4 (STATE_15000): malformed node comment "
        + done.stderr.split("malformed node comment ", 1)[1].strip()
    ]
    assert "an attribute has no name" in done.stderr
    # every other reader skips comments as before
    assert run("mcc", broken, "--output", tmp_path / "mcc.nwk").returncode == 0

    unrooted = tmp_path / "unrooted.trees"
    unrooted.write_text(text.replace("[&R]", "[&U]"))
    done = run("annotate", unrooted)
    assert done.returncode == 2 and "rooted" in done.stderr

    other = tmp_path / "other.trees"
    other.write_text((DATA / "ucln_location.target.tre").read_text().replace("D4Thai84", "D4Thai99"))
    out = tmp_path / "out.tre"
    out.write_text("kept")
    done = run("annotate", SAMPLE, "--target", other, "--output", out)
    assert done.returncode == 2 and "D4Thai84" in done.stderr and "D4Thai99" in done.stderr
    assert out.read_text() == "kept"


def test_the_same_whatever_the_thread_count():
    records = [
        TreeSet.from_files(str(SAMPLE), threads=threads).annotate(heights="ca", limit=0.3) for threads in (1, 2)
    ]
    assert records[0] == records[1]


def test_ccd_targets(samples):
    ts = samples["relaxed2", 40]
    for kind in ("ccd1", "ccd0"):
        map_tree = ts.ccd_map(kind).tree
        tree = ts.annotate(kind, heights="mean")
        assert sorted(tree.leaf) == sorted(map_tree.leaf.tolist())
        counts = sorted(int(c) for c, leaf in zip(map_tree.count.tolist(), map_tree.leaf.tolist()) if leaf < 0)
        shares = sorted(found["posterior"] for found, leaf in zip(tree.annotations, tree.leaf) if leaf < 0)
        assert shares == [count / len(ts) for count in counts]


def test_mixed_values_and_a_clade_no_tree_holds(tmp_path):
    text = gzip.decompress(SAMPLE.read_bytes()).decode()
    lines = text.splitlines(keepends=True)
    at = [k for k, line in enumerate(lines) if line.startswith("tree ")][100]
    lines[at] = lines[at].replace('location="C"', "location=3", 1)
    mixed = tmp_path / "mixed.trees"
    mixed.write_text("".join(lines))
    out = tmp_path / "out.tre"
    done = run("annotate", mixed, "--output", out)
    assert done.returncode == 0
    assert done.stderr.count("location is a number in some trees and a text in others") == 1
    assert any("3.0" in found.get("location.set", ()) for found, _ in annotated.read(out).values())

    target = tmp_path / "target.tre"
    # (human, bonobo) is a clade no sampled tree holds
    given, swapped = "(1:0.016704,(2:0.010796,3:0.010796)", "(2:0.016704,(1:0.010796,3:0.010796)"
    target.write_text((DATA / "relaxed2.target.tre").read_text().replace(given, swapped))
    ts = TreeSet.from_files(str(DATA / "relaxed2.trees.gz"), rooted=True)
    tree = ts.annotate(str(target), heights="median")
    names = {tree.leaf_names[leaf]: node for node, leaf in enumerate(tree.leaf) if leaf >= 0}
    (lonely,) = [node for node, found in enumerate(tree.annotations) if found.get("posterior") == 0.0]
    assert tree.annotations[lonely] == {"posterior": 0.0}
    assert {tree.parent[names["human"]], tree.parent[names["bonobo"]]} == {lonely}
