"""Summary trees rooted on an outgroup: every support stays on its split (read back with DendroPy), in each case
of Czech, Huerta-Cepas and Stamatakis (2017); the root split's support of rooted trees."""

from pathlib import Path

import dendropy
import pytest
from cladomatic_tools.cli.main import main
from cladomatic_tools.treeset import TreeSet

DATA = Path(__file__).resolve().parents[1] / "data" / "mrbayes"
CYNMIX = [str(DATA / f"cynmix.run{i}.t.gz") for i in (1, 2)]


def labelled_splits(newick):
    """{bipartition: label} of a Newick tree read by DendroPy as unrooted, each side set named by the side without
    the first taxon in byte order; the root's own label and pendant edges left out. A split labelled twice must
    agree."""
    tree = dendropy.Tree.get(data=newick, schema="newick", rooting="force-unrooted", preserve_underscores=True)
    taxa = frozenset(leaf.taxon.label for leaf in tree.leaf_node_iter())
    first = min(taxa)
    out = {}
    for node in tree.preorder_node_iter():
        if node is tree.seed_node or node.is_leaf():
            continue
        side = frozenset(leaf.taxon.label for leaf in node.leaf_iter())
        side = taxa - side if first in side else side
        if len(side) in (1, len(taxa) - 1):
            continue
        assert out.setdefault(side, node.label) == node.label, side
    return out


def root_sides(newick):
    tree = dendropy.Tree.get(data=newick, schema="newick", rooting="force-rooted", preserve_underscores=True)
    return {frozenset(leaf.taxon.label for leaf in child.leaf_iter()) for child in tree.seed_node.child_node_iter()}


def total_length(newick):
    tree = dendropy.Tree.get(data=newick, schema="newick", preserve_underscores=True)
    return sum(edge.length or 0.0 for edge in tree.preorder_edge_iter())


# A six-taxon reference drawn from A; the sample gives each split its own frequency.
REFERENCE = "(A:1,B:2,((C:3,D:4):5,(E:6,F:7):8):9);"
SAMPLE = ["(A,B,((C,D),(E,F)));"] * 5 + ["(A,C,((B,D),(E,F)));"] * 2 + ["(A,B,((C,E),(D,F)));"] * 3


@pytest.mark.parametrize(
    ("outgroup", "case"),
    [
        (["A"], "labels on the old root's edges, a pendant edge becoming the root"),
        (["A", "B"], "the outgroup is the other side of the old root's inner edge"),
        (["C", "D"], "a label on the new root's edge, below the old root"),
        (["E"], "a pendant edge two nodes below the old root: the path turned around"),
        (["C", "D", "E", "F"], "the outgroup named by the side holding the old root's far end"),
    ],
)
def test_supports_stay_on_their_splits(outgroup, case):
    ts = TreeSet.from_newick(SAMPLE)
    unrooted = ts.support(REFERENCE)
    rooted = ts.support(REFERENCE, outgroup=outgroup)
    assert rooted.startswith("[&R] ")
    assert labelled_splits(rooted) == labelled_splits(unrooted), case
    every = frozenset("ABCDEF")
    assert root_sides(rooted) == {frozenset(outgroup), every - frozenset(outgroup)}
    assert total_length(rooted) == pytest.approx(total_length(unrooted))
    # the root carries the support of the split it stands for
    side = frozenset(outgroup) if "A" not in outgroup else every - frozenset(outgroup)
    expected = labelled_splits(unrooted).get(side, "1.000000")
    assert dendropy.Tree.get(data=rooted, schema="newick", rooting="force-rooted").seed_node.label == expected


def test_unlabelled_edges_and_the_consensus_of_runs():
    ts = TreeSet.from_files(CYNMIX, burnin="25%")
    unrooted = ts.consensus(min_freq=0.5)
    names = ts.leaf_names
    splits = labelled_splits(unrooted)
    deep = min((side for side in splits if 2 < len(side) < len(names) - 2), key=len)
    for outgroup in (["Ibalia"], sorted(deep), ["Ibalia", "Paramblynotus"]):
        try:
            rooted = ts.consensus(min_freq=0.5, outgroup=outgroup)
        except ValueError as err:
            assert "is not a clade" in str(err) and frozenset(outgroup) not in splits
            continue
        assert labelled_splits(rooted) == splits
        assert total_length(rooted) == pytest.approx(total_length(unrooted))


def test_root_split_of_rooted_trees():
    # the clade AB is in every tree, but only two trees of three have the root AB|CD
    ts = TreeSet.from_newick(["((A,B),(C,D));", "((A,B),(C,D));", "(((A,B),C),D);"], rooted=True)
    assert ts.consensus() == "[&R] ((A,B)1.000000,(C,D)0.666667)0.666667;"
    assert ts.support("[&R] (((A,B),C),D);") == "[&R] (((A,B)1.000000,C)0.333333,D)0.333333;"


@pytest.mark.parametrize(
    ("command", "outgroup", "message"),
    [
        ("consensus", "A,C", "the outgroup A, C is not a clade of the written tree"),
        ("consensus", "A,B,C,D,E,F", "the outgroup holds every taxon"),
        ("mcc", "A,Zebra", "the outgroup names Zebra, which the trees do not hold"),
        ("consensus", "A,,B", "expected taxon names separated by commas"),
    ],
)
def test_refused_outgroups(tmp_path, capsys, command, outgroup, message):
    trees = tmp_path / "trees.nwk"
    trees.write_text("\n".join(SAMPLE) + "\n")
    out = tmp_path / "out.nwk"
    try:
        code = main([command, str(trees), "--outgroup", outgroup, "--output", str(out)])
    except SystemExit as usage:
        code = usage.code
    assert code == 2
    assert message in capsys.readouterr().err
    assert not out.exists()


def test_commands_write_the_rooted_tree(tmp_path, capsys):
    trees = tmp_path / "trees.nwk"
    trees.write_text("\n".join(SAMPLE) + "\n")
    reference = tmp_path / "ref.nwk"
    reference.write_text(REFERENCE + "\n")
    expected = TreeSet.from_newick(SAMPLE).support(REFERENCE, outgroup=["E", "F"])
    assert main(["support", str(reference), str(trees), "--outgroup", "E,F"]) == 0
    assert capsys.readouterr().out == expected + "\n"
    out = tmp_path / "c.nex"
    assert main(["consensus", str(trees), "--outgroup", "E,F", "--output", str(out)]) == 0
    text = out.read_text()
    assert "= [&R] (" in text and ")[&prob=7.00000000e-01" in text
    trees.write_text("[&R] ((A,B),(C,D));\n")
    assert main(["mcc", str(trees), "--outgroup", "A"]) == 2
    assert "an outgroup applies to unrooted trees" in capsys.readouterr().err
