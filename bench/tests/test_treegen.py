"""The benchmarks' tree generator: its trees must be what the figures claim."""

import pathlib
import random
import sys

import dendropy

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))

import treegen


def structure_ok(tree):
    """Every node but the root has a parent that lists it; all leaves hang below the root."""
    seen = set()
    stack = [tree.root]
    while stack:
        v = stack.pop()
        seen.add(v)
        kids = tree.children[v]
        if kids is not None:
            assert len(kids) == 2
            for k in kids:
                assert tree.parent[k] == v
            stack.extend(kids)
    assert tree.parent[tree.root] == -1
    return set(range(tree.n)) <= seen and len(seen) == 2 * tree.n - 1


class TestMoves:
    def test_long_random_walk_keeps_a_binary_tree_over_all_leaves(self):
        rng = random.Random(5)
        tree = treegen.Tree.random(30, rng)
        for step in range(3000):
            if step % 2:
                tree.spr(rng)
            else:
                tree.nni(rng)
            assert structure_ok(tree)

    def test_moves_on_a_copy_leave_the_base_alone(self):
        sampler = treegen.Sampler(n_leaves=40, n_bases=1, seed=2)
        before = sampler.bases[0].newick(sampler.names)
        for _ in range(50):
            sampler.tree()
        assert sampler.bases[0].newick(sampler.names) == before


class TestOutput:
    def test_trees_read_back_with_their_bipartitions(self):
        sampler = treegen.Sampler(n_leaves=50, seed=3)
        namespace = dendropy.TaxonNamespace(sampler.names)
        for _ in range(40):
            topology = sampler.topology()
            parsed = dendropy.Tree.get(data=topology.newick(sampler.names), schema="newick",
                                       taxon_namespace=namespace, rooting="force-unrooted",
                                       preserve_underscores=True)
            assert sorted(leaf.taxon.label for leaf in parsed.leaf_node_iter()) == sampler.names
            assert all(len(node.child_nodes()) in (0, 2, 3) for node in parsed)
            assert all(edge.length is not None for edge in parsed.postorder_edge_iter() if edge.tail_node)
            parsed.encode_bipartitions()
            bit = {taxon.label: 1 << i for i, taxon in enumerate(namespace)}
            expected = set()
            for edge in parsed.postorder_edge_iter():
                side = sum(bit[leaf.taxon.label] for leaf in edge.head_node.leaf_iter())
                if 2 <= side.bit_count() <= 50 - 2:
                    expected.add(side ^ ((1 << 50) - 1) if side & 1 else side)
            assert treegen.bipartitions(topology) == expected

    def test_perturbed_copies_share_most_splits_but_not_all(self):
        sampler = treegen.Sampler(n_leaves=100, seed=4)
        splits = [treegen.bipartitions(sampler.topology()) for _ in range(200)]
        distinct = set().union(*splits)
        assert 97 * 4 < len(distinct) < 97 * 200 / 4
