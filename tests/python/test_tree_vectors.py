"""The metrics of leaf-pair vectors (Kendall-Colijn, path difference): equal to the peers' committed matrices and
to a plain reference of each definition, the same bits for every thread count and block, the properties of a
metric, and a parameter (Kendall-Colijn's lambda) on its way through every consumer."""

import itertools
import math
import random
from pathlib import Path

import numpy as np
import pytest
from cladomatic_tools import metrics, space
from cladomatic_tools.cli.main import main
from cladomatic_tools.treeset import TreeSet
from trees import Node, edge_splits, grow, newick

PEERS = Path(__file__).parent.parent / "data" / "peers"


# plain references of the definitions, from the splits of each tree (trees.edge_splits), apart from the kernels


def kc_vector(root, names, lam):
    """(1 - lam) m + lam M over the pairs of leaves, then the leaves: m the clades holding both (the edges from
    the root to their common ancestor), M their summed lengths; a leaf's own clade is its pendant edge."""
    clades = edge_splits(root, rooted=True)
    vector = []
    for a, b in itertools.combinations(names, 2):
        holding = [length for clade, length in clades.items() if a in clade and b in clade]
        vector.append((1 - lam) * len(holding) + lam * sum(holding))
    for a in names:
        vector.append((1 - lam) * 1 + lam * clades[frozenset([a])])
    return vector


def path_vector(root, names, weighted):
    """Per pair of leaves, the splits that part them: their number, or their summed lengths."""
    sides = edge_splits(root, rooted=False)
    return [
        sum(length if weighted else 1 for side, length in sides.items() if (a in side) != (b in side))
        for a, b in itertools.combinations(names, 2)
    ]


def plain_matrix(roots, vector):
    vectors = [np.array(vector(root), dtype=float) for root in roots]
    return np.array([[math.dist(x, y) for y in vectors] for x in vectors])


PLAIN = {
    "kc": lambda names: lambda root: kc_vector(root, names, 0.0),
    "kc(lambda=0.5)": lambda names: lambda root: kc_vector(root, names, 0.5),
    "kc(lambda=1)": lambda names: lambda root: kc_vector(root, names, 1.0),
    "path": lambda names: lambda root: path_vector(root, names, False),
    "wpath": lambda names: lambda root: path_vector(root, names, True),
}
ROOTED = {"kc": True, "kc(lambda=0.5)": True, "kc(lambda=1)": True, "path": False, "wpath": False}


def random_roots(seed, n_trees, n_leaves, rooted):
    rng = random.Random(seed)
    names = [f"t{i}" for i in range(n_leaves)]
    return names, [grow(rng, names, root_degree=2 if rooted else 3, multifurcation=0.3) for _ in range(n_trees)]


def assert_close(found, expected, rel=1e-12):
    np.testing.assert_allclose(found, expected, rtol=rel, atol=1e-300)


# the peers' matrices (bench/vector_references.R): MrBayes clock runs and random trees with multifurcations

PEER_FILES = {"kc": "kc0", "kc(lambda=0.5)": "kc05", "kc(lambda=1)": "kc1", "path": "path", "wpath": "wpath"}


def peer_sets():
    return sorted(path.stem for path in PEERS.glob("*.nwk"))


@pytest.mark.parametrize("name", peer_sets())
@pytest.mark.parametrize("metric", list(PEER_FILES))
def test_equal_to_treespace_and_phangorn(name, metric):
    texts = (PEERS / f"{name}.nwk").read_text().split()
    trees = TreeSet.from_newick(texts, rooted=ROOTED[metric], lengths=True)
    expected = np.loadtxt(PEERS / f"{name}.{PEER_FILES[metric]}.txt")
    found = trees.distances(metric)
    assert_close(found[np.triu_indices(len(trees), 1)], expected)


def test_peer_files_are_there():
    assert {"mrbayes_clock", "random30"} <= set(peer_sets())


# the plain references on random trees with multifurcations, up to 30 leaves

CASES = [(seed, n_trees, n_leaves) for seed, (n_trees, n_leaves) in enumerate([(6, 4), (9, 7), (8, 16), (7, 30)])]


@pytest.mark.parametrize(("seed", "n_trees", "n_leaves"), CASES)
@pytest.mark.parametrize("metric", list(PLAIN))
def test_equal_to_the_plain_definition(metric, seed, n_trees, n_leaves):
    names, roots = random_roots(seed, n_trees, n_leaves, ROOTED[metric])
    trees = TreeSet.from_newick([newick(root) for root in roots], rooted=ROOTED[metric], lengths=True)
    expected = plain_matrix(roots, PLAIN[metric](sorted(names, key=str.encode)))
    assert_close(trees.distances(metric), expected)


# the same bits for every thread count and block; against equals distances


@pytest.mark.parametrize("metric", list(PLAIN))
def test_same_bits_for_every_thread_count_and_block(metric):
    _, roots = random_roots(7, 40, 19, ROOTED[metric])
    texts = [newick(root) for root in roots]
    trees = TreeSet.from_newick(texts, rooted=ROOTED[metric])
    whole = trees.distances(metric, threads=1)
    for threads in (2, 3, 8):
        assert trees.distances(metric, threads=threads).tobytes() == whole.tobytes()
    rng = np.random.default_rng(3)
    for _ in range(4):
        rows = rng.integers(0, len(trees), 13)
        cols = rng.integers(0, len(trees), 29)
        assert trees.distances(metric, rows=rows, cols=cols).tobytes() == whole[np.ix_(rows, cols)].tobytes()
    chunked = np.vstack(list(trees.distances_chunked(metric, working_memory=7 * 40 * 8 / 2**20)))
    assert chunked.tobytes() == whole.tobytes()
    other = TreeSet.from_newick(texts[::-1], rooted=ROOTED[metric])
    assert trees.against(other, metric).tobytes() == whole[:, ::-1].tobytes()


# properties: symmetry, zero on identical trees, the triangle inequality, the order of leaves and of the writing


def shuffled(root, rng):
    """The same tree written otherwise: children in another order."""
    if root.name is not None:
        return Node(name=root.name, length=root.length)
    children = [shuffled(child, rng) for child in root.children]
    rng.shuffle(children)
    return Node(children, length=root.length)


@pytest.mark.parametrize("metric", list(PLAIN))
def test_properties_of_a_metric(metric):
    _, roots = random_roots(11, 25, 12, ROOTED[metric])
    texts = [newick(root) for root in roots]
    matrix = TreeSet.from_newick(texts + texts[:3], rooted=ROOTED[metric]).distances(metric)
    assert np.array_equal(matrix, matrix.T)
    assert not matrix.diagonal().any() and not matrix[:3, 25:].diagonal().any()
    a, b, c = np.meshgrid(*[np.arange(25)] * 3, indexing="ij")
    assert (matrix[a, c] <= (matrix[a, b] + matrix[b, c]) * (1 + 1e-12)).all()
    rng = random.Random(5)
    rewritten = [newick(shuffled(root, rng)) for root in roots]
    assert (
        TreeSet.from_newick(rewritten, rooted=ROOTED[metric]).distances(metric).tobytes() == matrix[:25, :25].tobytes()
    )


@pytest.mark.parametrize("metric", list(PLAIN))
def test_invariant_to_the_names_of_the_leaves(metric):
    """Renamed leaves sort otherwise, so each tree's vector is laid out in another order."""
    _, roots = random_roots(13, 12, 10, ROOTED[metric])
    texts = [newick(root) for root in roots]
    renamed = [text.replace("t", "z").replace("z1", "a1") for text in texts]
    one = TreeSet.from_newick(texts, rooted=ROOTED[metric]).distances(metric)
    two = TreeSet.from_newick(renamed, rooted=ROOTED[metric]).distances(metric)
    assert_close(two, one, rel=1e-13)


def test_worked_values():
    """Kendall and Colijn's vectors of two 3-tip trees by hand, pairs AB AC BC then tips A B C: of ((A:1,B:1):1,C:2)
    m = (1 0 0 | 1 1 1) and M = (1 0 0 | 1 1 2), of (A:2,(B:1,C:1):1) m = (0 0 1 | 1 1 1) and M = (0 0 1 | 2 1 1);
    so sqrt(2) by topology, 2 by lengths, and sqrt(1 + 1 + 1/4 + 1/4) half way."""
    trees = TreeSet.from_newick(["((A:1,B:1):1,C:2);", "(A:2,(B:1,C:1):1);"], rooted=True)
    assert trees.distances("kc")[0, 1] == math.sqrt(2)
    assert trees.distances("kc(lambda=1)")[0, 1] == 2.0
    assert trees.distances("kc(lambda=0.5)")[0, 1] == math.sqrt(2.5)
    # unrooted quartets AB|CD and AC|BD: paths of 2 and 3 edges trade places on four pairs, sqrt(4 * 1^2)
    quartets = TreeSet.from_newick(["((A,B),(C,D));", "((A,C),(B,D));"])
    assert quartets.distances("path")[0, 1] == 2.0


# the parameter: read, checked, canonical, and carried to every consumer


@pytest.mark.parametrize(
    ("text", "canonical"),
    [
        ("kc", "kc(lambda=0.0)"),
        ("kc(lambda=0.5)", "kc(lambda=0.5)"),
        (" kc ( lambda = 1 ) ", "kc(lambda=1.0)"),
        ("kc()", "kc(lambda=0.0)"),
        ("path", "path"),
        ("rf", "rf"),
    ],
)
def test_canonical_text(text, canonical):
    assert metrics.canonical_metric(text) == canonical


@pytest.mark.parametrize(
    ("text", "message"),
    [
        ("kc(lambda=1.5)", "kc's lambda must be a number from 0 to 1, got '1.5'"),
        ("kc(lambda=nan)", "kc's lambda must be a number from 0 to 1"),
        ("kc(lambda)", "kc takes lambda: cannot read 'lambda'"),
        ("kc(mu=1)", "kc takes lambda: cannot read 'mu=1'"),
        ("rf(lambda=1)", "rf takes no parameters"),
        ("kc(lambda=0.5", "unknown metric"),
    ],
)
def test_bad_parameters_are_refused(text, message):
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
        metrics.metric_setting(text)


def test_lambda_above_zero_needs_lengths():
    assert not metrics.metric_info("kc").needs_lengths and metrics.metric_info("kc(lambda=0.1)").needs_lengths
    trees = TreeSet.from_newick(["((A:1,B:1):1,C:2);", "(A:2,(B:1,C:1):1);"], rooted=True, lengths=False)
    assert trees.distances("kc")[0, 1] == math.sqrt(2)
    with pytest.raises(ValueError, match="kc\\(lambda=0.5\\) needs branch lengths"):
        trees.distances("kc(lambda=0.5)")


def test_rooting_and_pruning_are_refused_by_name():
    unrooted = TreeSet.from_newick(["((A,B),(C,D));", "((A,C),(B,D));"])
    with pytest.raises(ValueError, match="kc is defined for rooted trees only"):
        unrooted.distances("kc(lambda=0.5)")
    rooted = TreeSet.from_newick(["((A,B),(C,D));", "((A,C),(B,D));"], rooted=True)
    with pytest.raises(ValueError, match="path is defined for unrooted trees only"):
        rooted.distances("path")
    with pytest.raises(ValueError, match="kc has no pairwise pruning"):
        rooted.distances("kc", prune="pairwise")
    # prune="common" works: the trees pruned to the taxa all of them hold
    differing = TreeSet.from_newick(["((A,B),(C,(D,E)));", "((A,C),(B,D));"], rooted=True, taxa="any")
    assert differing.distances("kc", prune="common")[0, 1] == differing.pruned().distances("kc")[0, 1]


@pytest.fixture(scope="module")
def clock_trees(tmp_path_factory):
    _, roots = random_roots(21, 30, 9, rooted=True)
    path = tmp_path_factory.mktemp("kc") / "clock.nwk"
    path.write_text("".join(f"[&R] {newick(root)}\n" for root in roots))
    return path, TreeSet.from_newick([newick(root) for root in roots], rooted=True)


def test_lambda_reaches_the_command_space_and_tiles(clock_trees, tmp_path):
    path, trees = clock_trees
    half = trees.distances("kc(lambda=0.5)")
    assert not np.array_equal(half, trees.distances("kc"))
    assert main(["kc", str(path), "--lambda", "0.5", "--output", str(tmp_path / "half.npy"), "--quiet"]) == 0
    assert np.load(tmp_path / "half.npy").tobytes() == half.tobytes()
    assert main(["kc", str(path), "--lambda", "2", "--output", str(tmp_path / "bad.npy"), "--quiet"]) == 2
    points = space.principal_coordinates(trees, "kc(lambda=0.5)").points
    assert np.array_equal(points, space.principal_coordinates(trees, " kc(lambda = .5)").points)
    assert not np.array_equal(points, space.principal_coordinates(trees, "kc").points)
    space_run = ["space", str(path), "--metric", "kc(lambda=0.5)", "--output-dir", str(tmp_path / "space")]
    assert main([*space_run, "--quiet"]) == 0


def test_lambda_is_part_of_a_stores_settings_and_fingerprint(clock_trees, tmp_path):
    pytest.importorskip("zarr")
    import zarr
    from cladomatic_tools import dask as tiles

    _, trees = clock_trees
    assert np.array_equal(tiles.block_matrix(trees, "kc(lambda=0.5)", 7), trees.distances("kc(lambda=0.5)"))
    tiles.to_zarr(trees, tmp_path / "half.zarr", "kc(lambda = 0.5)", 8)
    tiles.to_zarr(trees, tmp_path / "one.zarr", "kc(lambda=1)", 8)
    half, one = zarr.open_group(tmp_path / "half.zarr", mode="r"), zarr.open_group(tmp_path / "one.zarr", mode="r")
    assert half.attrs["metric"] == "kc(lambda=0.5)" and one.attrs["metric"] == "kc(lambda=1.0)"
    assert half.attrs["fingerprint"] != one.attrs["fingerprint"]
    assert np.array_equal(half["distances"][:], trees.distances("kc(lambda=0.5)"))
