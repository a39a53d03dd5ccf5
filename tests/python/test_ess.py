"""The topological ESS: both estimators against computations written from their definitions, the pseudo-ESS also
against R's coda, and the table of the converge command."""

import random
import shutil
import subprocess
from pathlib import Path

import numpy as np
import pytest
import trees
from cladomatic_tools import ess
from cladomatic_tools.cli.main import main
from cladomatic_tools.treeset import TreeSet

RUNS = [str(Path(__file__).resolve().parents[1] / "data" / "mrbayes" / f"cynmix.run{i}.t.gz") for i in (1, 2)]


def sticky_chain(seed, n, pool=6, stay=0.7, leaves=9):
    """n trees wandering over a pool of random trees, keeping the last one with probability `stay`."""
    rng = random.Random(seed)
    shapes = [trees.newick(tree) for tree in trees.forest(seed, pool, leaves)]
    state, chain = 0, []
    for _ in range(n):
        state = state if rng.random() < stay else rng.randrange(pool)
        chain.append(shapes[state])
    return TreeSet.from_newick(chain)


def frechet_by_definition(d):
    """Every v1, v2 and j summed afresh for each lag: O(n^3)."""
    n = len(d)
    sq = np.asarray(d, dtype=np.float64) ** 2
    if not sq.any():
        return 1.0
    rho = []
    for t in range(1, n - 5):
        m = n - t
        v1 = np.triu(sq[t:, t:], 1).sum() / (m * (m - 1))
        v2 = np.triu(sq[:m, :m], 1).sum() / (m * (m - 1))
        j = sum(sq[s, s + t] for s in range(m)) / m
        rho.append(1.0 if v1 == 0 or v2 == 0 else (v1 + v2 - j) / 2 / np.sqrt(v1 * v2))
    pairs = []
    for k in range(len(rho) // 2):
        pairs.append(min([rho[2 * k] + rho[2 * k + 1], *pairs[-1:]]))
        if rho[2 * k] + rho[2 * k + 1] < 0:
            break
    tau = 1 + 2 * sum(pairs[:-1]) if pairs and pairs[0] > 0 else 1
    return n / tau


def effective_size_by_definition(x):
    """n var(x) / S(0), every order's Yule-Walker equations solved outright."""
    n, c = len(x), np.correlate(x - x.mean(), x - x.mean(), "full")[len(x) - 1 :] / len(x)
    fits = [(np.zeros(0), c[0])]
    for k in range(1, min(n - 1, int(np.floor(10 * np.log10(n)))) + 1):
        phi = np.linalg.solve([[c[abs(a - b)] for b in range(k)] for a in range(k)], c[1 : k + 1])
        fits.append((phi, c[0] - phi @ c[1 : k + 1]))
    order = int(np.argmin([n * np.log(v) + 2 * k for k, (_, v) in enumerate(fits)]))
    phi, v = fits[order]
    return n * x.var(ddof=1) / (v * n / (n - order - 1) / (1 - phi.sum()) ** 2)


class TestFrechet:
    @pytest.mark.parametrize("band_cells", [5, 97, ess.BAND_CELLS])
    @pytest.mark.parametrize(("n", "metric"), [(1, "rf"), (7, "rf"), (8, "rf"), (9, "kf"), (30, "rf"), (41, "kf")])
    def test_small_chains_against_the_definition(self, monkeypatch, band_cells, n, metric):
        # bands of one row, of a few and one for the whole chain give the same sums
        monkeypatch.setattr(ess, "BAND_CELLS", band_cells)
        tree_set = sticky_chain(n, n)
        got = tree_set.topological_ess(metric)
        assert got == pytest.approx([frechet_by_definition(tree_set.distances(metric))], rel=1e-9)

    def test_mrbayes_runs_against_the_definition(self):
        tree_set = TreeSet.from_files(RUNS, lengths=False)
        want = [frechet_by_definition(tree_set.distances(rows=chain, cols=chain)) for chain in ess.chains(tree_set)]
        assert tree_set.topological_ess() == pytest.approx(want, rel=1e-9)

    def test_a_chain_of_one_tree_is_worth_one(self):
        assert TreeSet.from_newick(["((a,b),(c,d),e);"] * 50).topological_ess("rf_norm").tolist() == [1.0]


TRACES = (
    np.full(12, 3.0),
    np.arange(40.0),  # a straight line: no residuals, as a constant
    np.array([1.0, 4.0, 2.0]),
    *[np.cumsum(np.random.default_rng(n).normal(size=n)) for n in (10, 200, 3000)],
    *[np.random.default_rng(n).integers(0, 9, size=n).astype(float) for n in (25, 1000)],
)
CODA = 'for (l in readLines("{}")) cat(sprintf("%.17g\\n", coda::effectiveSize(as.numeric(strsplit(l, " ")[[1]]))))'


class TestPseudo:
    def test_effective_size_against_coda(self, tmp_path):
        if shutil.which("Rscript") is None:
            pytest.skip("R is not installed (Debian's r-base-core and r-cran-coda give the reference)")
        # and the traces the estimator makes: distances to trees of an MCMC run
        traces = [*TRACES, *TreeSet.from_files(RUNS[:1]).distances(rows=[0, 60, 200]).astype(float)]
        path = tmp_path / "traces.txt"
        path.write_text("".join(" ".join(repr(float(v)) for v in x) + "\n" for x in traces))
        done = subprocess.run(["Rscript", "-e", CODA.format(path)], capture_output=True, text=True)
        if "there is no package called" in done.stderr:
            pytest.skip("R's coda package is not installed (Debian's r-cran-coda)")
        assert done.returncode == 0, done.stderr
        want = [float(v) for v in done.stdout.split()]
        assert [ess.effective_size(x) for x in traces] == pytest.approx(want, rel=1e-9, abs=1e-12)
        assert want[:2] == [0.0, 0.0]

    def test_effective_size_against_the_definition(self):
        for x in TRACES[2:]:
            assert ess.effective_size(x) == pytest.approx(effective_size_by_definition(x), rel=1e-9)

    def test_median_and_minimum_over_focal_trees(self):
        tree_set = TreeSet.from_files(RUNS, lengths=False)
        got = tree_set.topological_ess("rf", method="pseudo", focal=[0, 7, 150], details=True)
        for run, chain in enumerate(ess.chains(tree_set)):
            values = [
                effective_size_by_definition(tree_set.distances(rows=chain[[p]], cols=chain)[0] * 1.0)
                for p in (0, 7, 150)
            ]
            assert got[run] == pytest.approx([np.median(values), min(values)], rel=1e-9)

    @pytest.mark.parametrize(
        ("options", "error"),
        [
            ({"method": "geyer"}, ValueError),
            ({"method": "pseudo", "focal": 0}, ValueError),
            ({"method": "pseudo", "focal": [3, 400]}, IndexError),
            ({"method": "frechet", "focal": 5}, ValueError),
        ],
    )
    def test_refused(self, options, error):
        with pytest.raises(error):
            TreeSet.from_files(RUNS, lengths=False).topological_ess(**options)


def test_converge_writes_both_estimators(tmp_path, capsys):
    assert main(["converge", *RUNS, "--ess-focal", "5", "--seed", "3", "--output-dir", str(tmp_path)]) == 0
    rows = [line.split("\t") for line in (tmp_path / "ess.tsv").read_text().splitlines()]
    assert rows[0] == ["run", "trees", "frechet_ess", "pseudo_ess_median", "pseudo_ess_min"]
    kept = TreeSet.from_files(RUNS, lengths=False, burnin="25%")
    frechet = kept.topological_ess()
    pseudo = kept.topological_ess(method="pseudo", focal=5, seed=3, details=True)
    assert [row[1:] for row in rows[1:]] == [
        ["151", f"{frechet[r]:.6f}", f"{pseudo[r, 0]:.6f}", f"{pseudo[r, 1]:.6f}"] for r in range(2)
    ]
    assert f"cynmix.run2.t.gz Frechet {frechet[1]:.1f}, pseudo median {pseudo[1, 0]:.1f}" in capsys.readouterr().out
