"""Summary trees against MrBayes's sumt and DendroPy on MrBayes runs, and the edges of each rule on hand-made trees."""

import gzip
import re
from pathlib import Path

import dendropy
import numpy as np
import pytest
from cladomatic_tools import summaries
from cladomatic_tools.cli.main import main
from cladomatic_tools.treeset import TreeSet

DATA = Path(__file__).resolve().parents[1] / "data" / "mrbayes"
SUMT = DATA / "sumt"
RUNS = {"cynmix": 2, "cynmix3": 3, "clock": 2, "ovomucoid": 2}
CLOCK_RUNS = {"primclock": 2}  # read only by the clock tests
ROOTED = {"clock"}


def run_files(name):
    return [str(DATA / f"{name}.run{i}.t.gz") for i in range(1, {**RUNS, **CLOCK_RUNS}[name] + 1)]


@pytest.fixture(scope="module")
def samples():
    return {name: TreeSet.from_files(run_files(name), burnin="25%", rooted=name in ROOTED) for name in RUNS}


def canonical(leaves, names, rooted):
    """A split as the set of taxa on its canonical side: the clade, or the side without the first taxon."""
    side = frozenset(leaves)
    return side if rooted or names[0] not in side else frozenset(names) - side


def node_splits(tree, pendant=False):
    """{split: node} over the inner nodes of one of our summary trees (and the leaves, with `pendant`)."""
    below = [set() for _ in tree.parent]
    for v in range(len(tree.parent) - 1, 0, -1):
        if tree.leaf[v] >= 0:
            below[v].add(tree.leaf_names[tree.leaf[v]])
        below[tree.parent[v]] |= below[v]
    return {
        canonical(below[v], tree.leaf_names, tree.rooted): v
        for v in range(1, len(below))
        if pendant or tree.leaf[v] < 0
    }


def dendropy_splits(tree, names, rooted, pendant=False):
    """{split: {annotation: value}, with 'label'} over the inner edges of a DendroPy tree (and the pendant ones,
    with `pendant`)."""
    found = {}
    for node in tree.postorder_node_iter():
        if node is tree.seed_node or (node.is_leaf() and not pendant):
            continue
        leaves = {leaf.taxon.label.replace(" ", "_") for leaf in node.leaf_iter()}
        notes = {a.name: a.value for a in [*node.annotations, *node.edge.annotations]}
        found[canonical(leaves, names, rooted)] = {**notes, "label": node.label, "length": node.edge.length}
    return found


def read_dendropy(path, rooted, **kwargs):
    with gzip.open(path, "rt") as text:
        return dendropy.Tree.get(
            file=text, schema="nexus", rooting="force-rooted" if rooted else "force-unrooted", **kwargs
        )


def split_table(name, names):
    """MrBayes's .parts, .tstat and .vstat: {split: (trees, probability, mean length, median length)}."""
    # (a .parts file of many taxa holds its table twice)
    lines = {
        kind: gzip.open(SUMT / f"{name}.{kind}.gz", "rt").read().split("\nID\t")[0].splitlines()[1:]
        for kind in ("parts", "tstat", "vstat")
    }
    order = [
        line.split()[1] for line in gzip.open(SUMT / f"{name}.trprobs.gz", "rt") if re.match(r"\s+\d+ \S+[,;]$", line)
    ]
    order = [taxon.rstrip(",;") for taxon in order]
    sides = {int(i): {order[k] for k, c in enumerate(stars) if c == "*"} for i, stars in map(str.split, lines["parts"])}
    lengths = {
        int(m[1]): (m[2], m[3])
        for m in (re.match(r"length(?:\{all\})?\[(\d+)\]\t(\S+)\t\S+\t\S+\t\S+\t(\S+)", x) for x in lines["vstat"])
        if m
    }
    table = {}
    for row in map(str.split, lines["tstat"]):
        split = canonical(sides[int(row[0])], names, name in ROOTED)
        table[split] = (int(row[1]), row[2], *lengths[int(row[0])])
    return table


class TestAgainstMrBayes:
    @pytest.mark.parametrize("name", RUNS)
    def test_majority_rule(self, samples, name):
        ts = samples[name]
        tree = summaries.consensus(ts, spread=True)
        ours = node_splits(tree)
        table = split_table(name, ts.leaf_names)
        # MrBayes keeps a split in exactly half of the trees; we do not
        majority = {split for split, row in table.items() if 2 * row[0] > len(ts)}
        assert set(ours) == majority
        assert tree.spread is not None and tree.spread.length_mean is not None
        for split, v in ours.items():
            count, probability, mean, median = table[split]
            assert (tree.count[v], f"{tree.count[v] / len(ts):.6e}") == (count, probability)
            assert (f"{tree.spread.length_mean[v]:.6e}", f"{tree.spread.length_median[v]:.6e}") == (mean, median)
        con = read_dendropy(SUMT / f"{name}.half.con.tre.gz", name in ROOTED, extract_comment_metadata=True)
        theirs = dendropy_splits(con, ts.leaf_names, name in ROOTED, pendant=True)
        everywhere = node_splits(tree, pendant=True)
        # a clock run's tree drops the clades whose median heights would not nest; every other one is ours
        assert set(theirs) <= set(everywhere) if name in ROOTED else set(theirs) == set(everywhere)
        spread = tree.spread
        assert spread.length_median is not None and spread.hpd_low is not None and spread.hpd_high is not None
        # every node, pendant ones included, to the digits MrBayes prints
        for split, notes in theirs.items():
            v = everywhere[split]
            ours_printed = (tree.count[v] / len(ts), spread.prob_stddev[v], spread.length_mean[v])
            ours_printed += (spread.length_median[v], spread.hpd_low[v], spread.hpd_high[v])
            printed = (notes["prob"], notes["prob_stddev"], notes["length_mean"], notes["length_median"])
            assert [f"{x:.8e}" for x in ours_printed] == [*printed, *notes["length_95%HPD"]], sorted(split)

    @pytest.mark.parametrize("name", ["clock", "primclock"])
    def test_clock_heights_and_the_tree_at_median_heights(self, samples, name):
        ts = samples["clock"] if name == "clock" else TreeSet.from_files(run_files(name), burnin="25%", rooted=True)
        con = read_dendropy(SUMT / f"{name}.half.con.tre.gz", True, extract_comment_metadata=True)
        theirs = dendropy_splits(con, ts.leaf_names, True, pendant=True)
        root = frozenset(ts.leaf_names)
        theirs[root] = {a.name: a.value for a in con.seed_node.annotations}
        placed = summaries.consensus(ts, spread=True, heights="median")
        for tree in (summaries.consensus(ts, spread=True), placed, summaries.mcc_tree(ts, spread=True)):
            assert tree.spread is not None and tree.spread.heights is not None
            heights = tree.spread.heights
            at = {**node_splits(tree, pendant=True), root: 0}
            for split in set(at) & set(theirs):
                v, notes = at[split], theirs[split]
                ours = [f"{x:.8e}" for x in (heights.mean[v], heights.median[v], heights.low[v], heights.high[v])]
                assert ours == [notes["height_mean"], notes["height_median"], *notes["height_95%HPD"]], sorted(split)
        # MrBayes leaves out the clades of the lowest frequencies until every node nests below its parent
        assert set(node_splits(placed, pendant=True)) | {root} == set(theirs)
        assert placed.notes == {
            "clock": (
                "the clades of 221 trees or fewer (73.18%) are left out: with them some node's median height would "
                "lie above its parent's",
            ),
            "primclock": (),
        }[name]
        at = node_splits(placed, pendant=True)
        assert all(f"{placed.length[at[split]]:.6e}" == f"{theirs[split]['length']:.6e}" for split in at)
        heights = placed.spread.heights.median
        depth = np.zeros(len(placed.parent))
        for v in range(1, len(depth)):
            depth[v] = depth[placed.parent[v]] + placed.length[v]
        assert np.allclose(depth[placed.leaf >= 0] + heights[placed.leaf >= 0], heights[0], rtol=0, atol=1e-12)

    @pytest.mark.parametrize("name", ["cynmix", "ovomucoid"])
    def test_greedy_where_no_tie_decides(self, samples, name):
        ts = samples[name]
        ours = set(node_splits(summaries.consensus(ts, greedy=True)))
        counts, first, _ = dendropy_counts(name, ts.leaf_names)
        by_first = greedy_oracle(counts, sorted(counts, key=lambda s: (-counts[s], first[s])))
        by_last = greedy_oracle(counts, sorted(counts, key=lambda s: (-counts[s], -first[s])))
        assert ours == by_first
        assert by_first == by_last  # else a tie decides and MrBayes's order is its own
        con = read_dendropy(SUMT / f"{name}.all.con.tre.gz", False)
        assert set(dendropy_splits(con, ts.leaf_names, False)) == ours

    @pytest.mark.parametrize("name", RUNS)
    def test_topologies(self, samples, name):
        ts = samples[name]
        text = gzip.open(SUMT / f"{name}.trprobs.gz", "rt").read()
        weights = [float(w) for w in re.findall(r"\[&W ([\d.]+)\]", text)]
        theirs = TreeSet.from_newick(
            re.findall(r"\[&W [\d.]+\] (\(.*\);)", text), translate=translate(text), rooted=name in ROOTED
        )
        kept = summaries.credible_set(ts)
        assert len(kept) == len(theirs)
        ours = [(frozenset(node_splits(summaries.topology_trees(ts, [t.first])[0])), t.count) for t in kept]
        mine = [(frozenset(node_splits(summaries.topology_trees(theirs, [i])[0])), w) for i, w in enumerate(weights)]
        assert [f"{c / len(ts):.6f}" for _, c in ours] == [f"{w:.6f}" for w in weights]
        # tied topologies come in MrBayes's own order: compare them as sets
        assert {(k, round(c / len(ts), 6)) for k, c in ours} == {(k, w) for k, w in mine}


def translate(text):
    return dict(re.findall(r"^\s+(\d+) (\S+?)[,;]?$", text.split("translate", 1)[1].split(";", 1)[0], re.M))


def dendropy_counts(name, names):
    """Split counts, the first tree holding each split and its lengths, over the trees after the burn-in, by
    DendroPy."""
    counts, first, lengths, index = {}, {}, {}, 0
    taxa = dendropy.TaxonNamespace()
    for path in run_files(name):
        with gzip.open(path, "rt") as text:
            trees = dendropy.TreeList.get(file=text, schema="nexus", taxon_namespace=taxa, rooting="force-unrooted")
        for tree in trees[len(trees) // 4 :]:
            for split, notes in dendropy_splits(tree, names, False).items():
                counts[split] = counts.get(split, 0) + 1
                first.setdefault(split, index)
                lengths.setdefault(split, []).append(notes["length"])
            index += 1
    return counts, first, lengths


def greedy_oracle(counts, order):
    """The greedy consensus from its definition: a split kept when disjoint from or nested with each kept one."""
    kept = []
    for split in order:
        if all(not split & k or split <= k or k <= split for k in kept):
            kept.append(split)
    return set(kept)


def dendropy_sample(name):
    trees = dendropy.TreeList(taxon_namespace=dendropy.TaxonNamespace())
    rooting = "force-rooted" if name in ROOTED else "force-unrooted"
    for path in run_files(name):
        with gzip.open(path, "rt") as text:
            run = dendropy.TreeList.get(
                file=text, schema="nexus", taxon_namespace=trees.taxon_namespace, rooting=rooting
            )
        trees.extend(run[len(run) // 4 :])
    return trees


class TestAgainstDendroPy:
    @pytest.mark.parametrize("name", ["cynmix", "clock", "ovomucoid"])
    def test_majority_support_and_mcc(self, samples, name):
        ts, rooted = samples[name], name in ROOTED
        trees = dendropy_sample(name)
        ours = summaries.consensus(ts)
        at = node_splits(ours)
        con = trees.consensus(
            min_freq=0.5, support_label_decimals=6, set_support_as_node_label=True, set_edge_lengths="mean-length"
        )
        theirs = {s: n for s, n in dendropy_splits(con, ts.leaf_names, rooted).items() if float(n["label"]) > 0.5}
        assert {s: f"{ours.count[v] / len(ts):.6f}" for s, v in at.items()} == {
            s: n["label"] for s, n in theirs.items()
        }
        assert [ours.length[at[s]] for s in theirs] == pytest.approx([n["length"] for n in theirs.values()], rel=1e-9)

        reference = trees[0].clone(depth=1)
        trees.split_distribution().summarize_splits_on_tree(
            reference, support_label_decimals=6, set_support_as_node_label=True
        )
        first = TreeSet.from_files(run_files(name)[:1], burnin="25%", rooted=rooted)
        labelled = summaries.support_trees(ts, first)[0]
        assert {s: f"{labelled.count[v] / len(ts):.6f}" for s, v in node_splits(labelled).items()} == {
            s: n["label"] for s, n in dendropy_splits(reference, ts.leaf_names, rooted).items()
        }

        array = dendropy.TreeArray(taxon_namespace=trees.taxon_namespace, is_rooted_trees=rooted)
        array.add_trees(trees)
        scores, best = array.calculate_log_product_of_split_supports()
        ids, _ = ts.topologies()
        scores = np.asarray(scores)
        assert len(set(ids[scores > scores.max() - 1e-9].tolist())) == 1  # no tie between topologies
        assert ts.mcc() == best


class TestThreads:
    @pytest.mark.parametrize("name", ["cynmix3", "clock"])
    def test_every_thread_count_writes_the_same_trees(self, samples, name):
        ts = samples[name]

        def written(threads):
            trees = [
                summaries.consensus(ts, spread=True, threads=threads),
                summaries.consensus(ts, greedy=True, threads=threads),
                summaries.mcc_tree(ts, spread=True, threads=threads),
            ]
            return summaries.nexus([(str(i), tree) for i, tree in enumerate(trees)])

        assert written(2) == written(3) == written(None) == written(1)


def hand_set(trees, rooted=False):
    return TreeSet.from_newick(trees, rooted=rooted)


class TestRules:
    @pytest.mark.parametrize(
        ("trees", "min_freq", "expected"),
        [
            # (C,D) in exactly half of the trees: left out
            (
                ["((A,B),(C,D),E);", "((A,B),(C,E),D);", "((A,B),(C,D),E);", "((A,C),(B,E),D);"],
                0.5,
                "(A,B,(C,D,E)0.750000);",
            ),
            (["((A,B),(C,D),E);"] * 3 + ["((A,C),(B,D),E);"], 0.5, "(A,B,((C,D)0.750000,E)0.750000);"),
            # 7 of 10 is not more than 0.7, but more than 0.69
            (["(A,B,(C,D));"] * 7 + ["(A,C,(B,D));"] * 3, 0.7, "(A,B,C,D);"),
            (["(A,B,(C,D));"] * 7 + ["(A,C,(B,D));"] * 3, "0.69", "(A,B,(C,D)0.700000);"),
            # polytomies in, polytomies out
            (["(A,B,C,(D,E,F));", "(A,(B,C),(D,E,F));"], 0.5, "(A,B,C,(D,E,F)1.000000);"),
        ],
    )
    def test_majority_threshold_and_polytomies(self, trees, min_freq, expected):
        assert hand_set(trees).consensus(min_freq=min_freq) == expected

    def test_greedy_ties_follow_first_appearance(self):
        first_ab = ["((A,B),C,(D,E));", "((A,C),B,(D,E));"]
        assert hand_set(first_ab).consensus(greedy=True) == "(A,B,(C,(D,E)1.000000)0.500000);"
        assert hand_set(first_ab[::-1]).consensus(greedy=True) == "(A,(B,(D,E)1.000000)0.500000,C);"

    def test_mcc_ties_go_to_the_first_tree(self):
        # trees 0 and 2 share a topology written two ways; tree 1 has the same product of frequencies
        assert hand_set(["((A,B),C,(D,E));", "((A,C),B,(D,E));", "((E,D),C,(B,A));"]).mcc() == 0
        assert hand_set(["((A,C),B,(D,E));", "((E,D),C,(B,A));", "((A,B),C,(D,E));"]).mcc() == 1

    def test_credible_set_order_and_mass(self):
        ts = hand_set(["(A,C,(B,D));", "(A,B,(C,D));", "(A,B,(C,D));", "(A,D,(B,C));", "(A,C,(B,D));"])
        assert [(t.count, t.first) for t in summaries.credible_set(ts, 1)] == [(2, 0), (2, 1), (1, 3)]
        assert len(summaries.credible_set(ts, "0.4")) == 1  # 2 of 5 reaches 0.4 exactly
        assert len(summaries.credible_set(ts, 0.41)) == 2

    def test_rooted_trees_give_clades(self):
        ts = hand_set(["((A:1,B:1):1,(C:1,D:1):1);", "((A:1,B:1):3,(C:1,D:1):1);", "(((A:1,C:1):1,B:1):1,D:2);"], True)
        assert ts.consensus() == "[&R] ((A:1.0,B:1.0)0.666667:2.0,(C:1.0,D:1.3333333333333333)0.666667:1.0)0.666667;"

    def test_support_percent_and_names(self, tmp_path):
        path = tmp_path / "named.nwk"
        path.write_text(
            "('Homo sapiens','O''Brien',('Pongo (orang)',D));" * 5
            + "('Homo sapiens',D,('O''Brien','Pongo (orang)'));" * 3
        )
        ts = TreeSet.from_files([str(path)])
        written = ts.consensus()
        assert written == "('Pongo_(orang)',D,(Homo_sapiens,'O''Brien')0.625000);"
        path.write_text(written)
        assert TreeSet.from_files([str(path)]).leaf_names == ts.leaf_names
        tree = summaries.support_trees(ts, TreeSet.from_files([str(path)]))[0]
        assert summaries.newick(tree, percent=True).endswith(")63);")  # 62.5% rounds half up


class TestWrittenTrees:
    def test_outputs_read_back_with_the_same_splits(self, samples, tmp_path):
        for name in ("cynmix", "clock"):
            ts = samples[name]
            tree = summaries.consensus(ts, spread=True)
            for text in (summaries.newick(tree), summaries.nexus([("con", tree)])):
                path = tmp_path / "tree.nex"
                path.write_text(text)
                again = TreeSet.from_files([str(path)], rooted=name in ROOTED)
                assert set(node_splits(summaries.topology_trees(again, [0])[0])) == set(node_splits(tree))
                parsed = dendropy.Tree.get(data=text, schema="nexus" if text.startswith("#NEXUS") else "newick")
                assert len(parsed.leaf_nodes()) == len(ts.leaf_names)


class TestCommands:
    def test_the_four_commands(self, tmp_path, capsys):
        files = [*run_files("cynmix"), "--burnin", "25%"]
        con = str(tmp_path / "con.nex")
        assert main(["consensus", *files, "--output", con]) == 0
        assert "tree con_50_majrule = [&U] (" in Path(con).read_text()
        assert main(["consensus", *files]) == 0
        newick = capsys.readouterr().out
        # the consensus as a reference holds its own splits, at their own frequencies and lengths
        assert main(["support", con, *files]) == 0
        assert capsys.readouterr().out == newick
        clock = [*run_files("clock"), "--burnin", "25%", "--rooted"]
        assert main(["consensus", *clock, "--heights", "median", "--output", con]) == 0
        assert "left out" in capsys.readouterr().err and "height_95%HPD={" in Path(con).read_text()
        assert main(["consensus", *files, "--heights", "median"]) == 2
        assert "rooted" in capsys.readouterr().err
        assert main(["mcc", *files, "--percent"]) == 0
        assert capsys.readouterr().out.count(";") == 1
        assert main(["topologies", *files, "--mass", "0.5", "--output", str(tmp_path / "t.trprobs")]) == 0
        assert (tmp_path / "t.trprobs").read_text().count("tree tree_") == 10  # MrBayes's 50% credible set

    @pytest.mark.parametrize(
        ("args", "message"),
        [
            (["consensus", "IN", "--output", "OUT.tsv"], "a tree is written as Newick"),
            (["mcc", "IN", "--output", "OUT.nex", "--percent"], "--percent applies to Newick labels"),
            (["topologies", "IN", "--output", "OUT.csv"], "written as TSV"),
            (["support", "-", "-"], "standard input ('-') can be read only once"),
            (["support", "PRIMATES", "IN"], "the reference has 20 taxa (Aotus_nancymaae, "),
            (["consensus", "NWK", "--output", "NWK"], "is the input"),
        ],
    )
    def test_refusals(self, tmp_path, capsys, args, message):
        primates = DATA.parents[2] / "examples" / "primates.nwk"
        (tmp_path / "in.nwk").write_text(primates.read_text())
        places = {"IN": run_files("cynmix")[0], "PRIMATES": str(primates), "NWK": str(tmp_path / "in.nwk")}
        args = [places.get(a, str(tmp_path / f"out{a[3:]}") if a.startswith("OUT.") else a) for a in args]
        assert main(args) == 2
        assert message in capsys.readouterr().err
