import gzip
import subprocess
import sys
from pathlib import Path

import annotated
import pytest
from cladomatic_tools import annotation
from cladomatic_tools.treeset import TreeSet

DATA = Path(__file__).parent.parent / "data" / "timetrees"
SAMPLE = DATA / "uc.trees.gz"


def run(*args, cwd=None):
    return subprocess.run(
        [sys.executable, "-m", "cladomatic_tools", *map(str, args)], capture_output=True, text=True, cwd=cwd
    )


def comparable(clades):
    """Annotations with each discrete set as value -> share, which the writers may list in any order."""
    out = {}
    for clade, (found, length) in clades.items():
        found = dict(found)
        for name in [name for name in found if name.endswith(".set")]:
            values, shares = found.pop(name), found.pop(name + ".prob")
            found[name] = dict(zip(values, shares))
        out[clade] = (found, length)
    return out


@pytest.mark.parametrize(
    ("reference", "options"),
    [
        ("uc.keep.tre.gz", ["--heights", "keep"]),
        ("uc.mean.tre.gz", ["--heights", "mean"]),
        ("uc.median.tre.gz", ["--heights", "median"]),
        ("uc.ca.tre.gz", ["--heights", "ca"]),
        ("uc.median.limit0.5.tre.gz", ["--heights", "median", "--limit", "0.5"]),
        ("uc.mean.target.tre.gz", ["--heights", "mean", "--target", DATA / "target.trees"]),
    ],
)
def test_equal_to_the_reference_summaries_value_by_value(tmp_path, reference, options):
    out = tmp_path / "out.tre"
    done = run("annotate", SAMPLE, *options, "--output", out)
    assert done.returncode == 0, done.stderr
    assert comparable(annotated.read(out)) == comparable(annotated.read(DATA / reference))


def test_every_value_survives_other_readers(tmp_path):
    dendropy = pytest.importorskip("dendropy")
    ts = TreeSet.from_files(str(SAMPLE), burnin=0)
    tree = annotation.annotate(ts, _readings(SAMPLE), heights="ca")
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
        assert {item.name: _parsed(item.value) for item in node.annotations} == found
        seen += len(found)
        if node.parent_node is not None:
            assert node.edge.length == length
    assert seen > 500


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
    lines[at] = lines[at].replace("[&rate=", "[&rate=1.0,=", 1)
    broken.write_text("".join(lines))
    done = run("annotate", broken)
    assert done.returncode == 2
    assert done.stderr.strip().splitlines() == [
        f"cladomatic: error: {broken}:{at + 1}: tree 4 (STATE_6000): malformed node comment "
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
    other.write_text((DATA / "target.trees").read_text().replace("D4Thai84", "D4Thai99"))
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
