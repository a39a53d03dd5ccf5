"""Principal coordinates against a classical MDS written out from its definition, and the pictures."""

import os
from pathlib import Path

import numpy as np
import pytest
from cladomatic_tools import plots, space
from cladomatic_tools.cli.main import main

ROOT = Path(__file__).resolve().parents[2]
RUNS = [str(ROOT / "tests" / "data" / "mrbayes" / f"cynmix.run{i}.t.gz") for i in (1, 2)]
LARGER = str(ROOT / "bench" / "data" / "cynmix.mb.nex.gz")


def reference_mds(distances, dims):
    """Torgerson's scaling the long way: explicit centring matrix, full eigen-decomposition."""
    n = len(distances)
    centring = np.eye(n) - np.full((n, n), 1.0 / n)
    b = -0.5 * centring @ (distances.astype(np.float64) ** 2) @ centring
    values, vectors = np.linalg.eigh(b)
    top = np.argsort(values)[::-1][:dims]
    return values[top], vectors[:, top] * np.sqrt(np.clip(values[top], 0, None)), np.trace(b)


def assert_equal_up_to_sign(got, want, **tolerance):
    for axis in range(want.shape[1]):
        sign = np.sign(got[:, axis] @ want[:, axis]) or 1.0
        np.testing.assert_allclose(sign * got[:, axis], want[:, axis], **tolerance)


@pytest.fixture(scope="module")
def runs():
    from cladomatic_tools.treeset import TreeSet

    return TreeSet.from_files(RUNS, lengths=True)


class TestExact:
    @pytest.mark.parametrize("metric", ["rf", "kf", "info_rf"])
    def test_matches_the_definition(self, runs, metric):
        result = space.principal_coordinates(runs, metric, dims=3)
        values, points, trace = reference_mds(runs.distances(metric), 3)
        assert result.method == "exact"
        np.testing.assert_allclose(result.eigenvalues, values, rtol=1e-9)
        np.testing.assert_allclose(result.share, values / trace, rtol=1e-9)
        assert_equal_up_to_sign(result.points, points, atol=1e-7 * np.abs(points).max())

    def test_tree_set_method(self, runs):
        points, values, share = runs.principal_coordinates("rf", dims=2)
        result = space.principal_coordinates(runs, "rf", dims=2)
        np.testing.assert_array_equal(points, result.points)
        np.testing.assert_array_equal(values, result.eigenvalues)
        assert points.shape == (402, 2) and 0 < share[1] <= share[0] < 1

    def test_identical_trees_sit_at_the_origin(self):
        result = space.classical(np.zeros((4, 4)), dims=2)
        assert not result.points.any() and not result.share.any()

    def test_more_axes_than_trees(self):
        d = np.array([[0.0, 2.0], [2.0, 0.0]])
        result = space.classical(d, dims=3)
        assert result.points.shape == (2, 3)
        np.testing.assert_allclose(np.abs(result.points[:, 0]), [1.0, 1.0])


@pytest.fixture(scope="module")
def larger():
    from cladomatic_tools.treeset import TreeSet

    tree_set = TreeSet.from_files([LARGER], lengths=False, burnin=2800)
    return tree_set, space.principal_coordinates(tree_set, "rf", dims=3, method="exact")


class TestLandmark:
    def test_all_trees_as_landmarks_is_exact(self, runs):
        d = runs.distances("rf")
        exact = space.classical(d, dims=2)
        approx = space.landmark(d, d, dims=2)
        assert_equal_up_to_sign(approx.points, exact.points, atol=1e-7 * np.abs(exact.points).max())

    def test_exact_when_the_landmarks_hold_every_distinct_tree(self, larger):
        tree_set, exact = larger
        approx = space.principal_coordinates(tree_set, "rf", dims=3, method="landmark")
        # 1,200 trees but fewer distinct topologies than landmarks: every tree sits on a landmark
        assert approx.method == "landmark" and approx.landmarks < space.LANDMARKS
        np.testing.assert_allclose(approx.eigenvalues, exact.eigenvalues, rtol=1e-9)
        assert_equal_up_to_sign(approx.points, exact.points, atol=1e-7 * np.abs(exact.points).max())

    def test_close_to_exact_with_fewer_landmarks_than_distinct_trees(self, larger):
        tree_set, exact = larger
        approx = space.principal_coordinates(tree_set, "rf", dims=3, method="landmark", landmarks=100)
        assert approx.landmarks == 100
        # axes 2 and 3 have close eigenvalues and may mix: compare the spaces they span
        centred = exact.points - exact.points.mean(axis=0)
        fit, *_ = np.linalg.lstsq(centred, approx.points - approx.points.mean(axis=0), rcond=None)
        residual = approx.points - approx.points.mean(axis=0) - centred @ fit
        assert (residual**2).sum() / ((approx.points - approx.points.mean(axis=0)) ** 2).sum() < 0.05
        assert abs(np.corrcoef(approx.points[:, 0], exact.points[:, 0])[0, 1]) > 0.99
        np.testing.assert_allclose(approx.share, exact.share, atol=0.05)

    def test_converged_sample_is_not_collapsed(self):
        # 1,000 copies of one topology and 10 others: evenly spaced landmarks alone see only the first
        common = "((A,B),(C,D),(E,F));"
        others = ["((A,C),(B,D),(E,F));", "((A,B),(C,E),(D,F));"]
        trees = [common] * 1000 + others * 5
        from cladomatic_tools.treeset import TreeSet

        tree_set = TreeSet.from_newick(trees)
        exact = space.classical(tree_set.distances("rf"), dims=2)
        approx = space.principal_coordinates(tree_set, "rf", dims=2, method="landmark", landmarks=6)
        assert approx.share[0] > 0.3
        np.testing.assert_allclose(approx.eigenvalues, exact.eigenvalues, rtol=1e-9)


def assert_picture(path, min_width=500, min_height=350):
    from matplotlib.image import imread

    pixels = imread(path)
    height, width = pixels.shape[:2]
    assert width >= min_width and height >= min_height
    rgb = pixels[..., :3]
    # not blank: a fair share of the pixels differ from the background, in more than one colour
    assert (rgb.min(axis=2) < 0.9).mean() > 0.01
    assert len(np.unique(rgb.reshape(-1, 3), axis=0)) > 20


class TestPictures:
    def test_converge_pictures(self, tmp_path):
        assert main(["converge", *RUNS, "--output-dir", str(tmp_path)]) == 0
        assert_picture(tmp_path / "split_frequencies.png")
        assert_picture(tmp_path / "asdsf_trace.png")

    def test_pairwise_grid_for_three_runs(self, tmp_path):
        three = [str(ROOT / "tests" / "data" / "mrbayes" / f"cynmix3.run{i}.t.gz") for i in (1, 2, 3)]
        assert main(["converge", *three, "--output-dir", str(tmp_path)]) == 0
        assert_picture(tmp_path / "split_frequencies.png", min_width=650, min_height=650)

    @pytest.mark.parametrize("metric, dims", [("rf", 2), ("kf", 3), ("rf_norm", 1), ("info_rf", 2)])
    def test_space_outputs(self, tmp_path, metric, dims):
        assert main(["space", *RUNS, "--metric", metric, "--dims", str(dims), "--output-dir", str(tmp_path)]) == 0
        assert_picture(tmp_path / "tree_space.png")
        lines = (tmp_path / "coordinates.tsv").read_text().splitlines()
        header = lines[0].split("\t")
        assert header[:4] == ["tree", "run", "position", "generation"] and len(header) == 4 + dims
        assert len(lines) == 1 + 402
        first = lines[1].split("\t")
        assert first[1] == "cynmix.run1.t.gz" and first[2] == "0" and first[3] == "0"
        axes = (tmp_path / "axes.tsv").read_text().splitlines()
        assert len(axes) == 1 + dims


class TestFolderOutput:
    @pytest.mark.parametrize("args, drawing", [(["converge", *RUNS], "asdsf_trace"), (["space", *RUNS], "tree_space")])
    def test_a_run_that_fails_leaves_every_old_file_whole(self, tmp_path, monkeypatch, capsys, args, drawing):
        assert main([*args, "--output-dir", str(tmp_path)]) == 0
        before = {path.name: path.read_bytes() for path in tmp_path.iterdir()}

        def broken(*arguments):
            raise OverflowError("Exceeded cell block limit")

        monkeypatch.setattr(plots, drawing, broken)
        assert main([*args, "--burnin", "10", "--output-dir", str(tmp_path)]) == 70
        assert {path.name: path.read_bytes() for path in tmp_path.iterdir()} == before


class TestSpaceEdges:
    @pytest.mark.parametrize("method", ["exact", "landmark"])
    def test_distances_that_are_not_finite_are_an_error_naming_the_trees(self, tmp_path, capsys, method):
        trees = tmp_path / "trees.nwk"
        trees.write_text("((A:1,B:1):1,C:1,D:1);\n((A:1,C:1):1,B:1,D:1);\n((A:1,B:2):inf,C:1,D:1);\n")
        assert main(["space", str(trees), "--metric", "kf", "--method", method, "--output-dir", str(tmp_path)]) == 2
        err = capsys.readouterr().err
        assert "the kf distance between tree_1 and tree_3 is inf: a branch length" in err
        assert os.listdir(tmp_path) == ["trees.nwk"]

    def test_a_million_trees_are_drawn_as_their_density(self):
        points = np.random.default_rng(16).normal(size=(1_000_000, 2))
        # one run's path through a million points is more than the renderer can hold
        png = plots.tree_space(points, np.zeros(1_000_000, dtype=int), ["run1"], np.array([0.3, 0.1]), "Trees")
        assert png.startswith(b"\x89PNG")

    def test_titles_fit_and_axes_say_what_share_they_show(self, monkeypatch):
        figures = []
        monkeypatch.setattr(plots, "_png", lambda plt, fig: figures.append(fig) or b"")
        title = f"Tree space of {'a_long_run_name_' * 8}.t\n(Robinson-Foulds distance, classical MDS, 60,001 trees)"
        for count in (100, plots.DENSITY_ABOVE + 1):
            points = np.random.default_rng(count).normal(size=(count, 2))
            plots.tree_space(points, np.zeros(count, dtype=int), ["run1"], np.array([0.25, 0.125]), title)
        for fig, density in zip(figures, (False, True), strict=True):
            ax = fig.axes[0]
            fig.canvas.draw()
            [text] = fig.texts
            box = text.get_window_extent()
            assert box.x0 >= 0 and box.x1 <= fig.bbox.width and box.y1 <= fig.bbox.height
            assert ax.get_xlabel() == "PCo 1 (25.0% of the sum of all eigenvalues)"
            assert ax.get_ylabel() == "PCo 2 (12.5% of the sum of all eigenvalues)"
            assert ("density of all 50,001 trees" in " ".join(text.get_text().split())) == density
            assert (len(fig.axes) == 2) == density  # the density's colour bar
            plots._pyplot().close(fig)
