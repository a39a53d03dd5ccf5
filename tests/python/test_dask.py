"""Tiled matrices on Dask: equal to the tree set's own matrix on a local two-process cluster, after a worker
dies mid-run, and in Zarr stores that a second run resumes."""

import os
import shutil
import signal
import subprocess
import sys
import time
import warnings
from pathlib import Path

import numpy as np
import pytest
import trees
from cladomatic_tools.io import writers as output
from cladomatic_tools.treeset import TreeSet
from trees import gene_trees

pytest.importorskip("dask")
distributed = pytest.importorskip("distributed")
zarr = pytest.importorskip("zarr")

from cladomatic_tools import dask as tiles  # noqa: E402 - needs Dask, skipped above when it is missing
from distributed import WorkerPlugin  # noqa: E402

NEWICK = Path(__file__).resolve().parents[2] / "examples" / "primates.nwk"


def tree_set(n_trees=40, rooted=False, seed=5):
    forest = trees.pooled_forest(seed, n_trees, 14, repeats=[6, 4, 3] if n_trees >= 13 else [2])
    return TreeSet.from_newick([trees.newick(tree) for tree in forest], rooted=rooted)


def metrics(rooted):
    # info_rf and the path differences are defined for unrooted trees only, Kendall-Colijn for rooted ones
    return [
        name
        for name, metric in tiles.METRICS.items()
        if not (rooted and metric.unrooted_only) and not (not rooted and metric.rooted_only)
    ]


@pytest.fixture(scope="module")
def cluster():
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=":0") as local:
        yield local


class Killer(WorkerPlugin):
    """Kills its worker's process, once across restarts, when the worker has finished `after` store tasks."""

    def __init__(self, marker, after):
        self.marker, self.after, self.finished = marker, after, 0

    def transition(self, key, start, finish, **kwargs):
        if finish == "memory" and isinstance(key, tuple) and key[0].startswith("cladomatic-store"):
            self.finished += 1
            if self.finished == self.after and not os.path.exists(self.marker):
                Path(self.marker).touch()
                os.kill(os.getpid(), signal.SIGKILL)


def fail_off_the_diagonal(monkeypatch):
    """Every tile off the diagonal fails, as on a lost worker; returns the real tile function."""
    tile = tiles.tile_values

    def failing(tree_set, metric, prune, rows, cols):
        if rows != cols:
            raise RuntimeError("worker lost")
        return tile(tree_set, metric, prune, rows, cols)

    monkeypatch.setattr(tiles, "tile_values", failing)
    return tile


def stored(path):
    return zarr.open_group(path, mode="r")["distances"][:]


class TestMatrix:
    @pytest.mark.parametrize("rooted", [False, True])
    def test_equals_the_in_memory_matrix(self, cluster, rooted):
        ts = tree_set(rooted=rooted)
        # 8 divides the 40 trees, 7 and 64 do not
        wanted = [(metric, chunk) for metric in metrics(rooted) for chunk in (7, 8, 64)]
        with distributed.Client(cluster) as client:
            found = client.compute([tiles.distance_matrix(ts, metric, chunk) for metric, chunk in wanted], sync=True)
        for (metric, chunk), matrix in zip(wanted, found):
            expected = ts.distances(metric)
            assert matrix.dtype == expected.dtype, metric
            assert np.array_equal(matrix, expected), (metric, chunk)

    def test_local_scheduler_computes_each_tile_once(self, monkeypatch):
        ts = tree_set(23)
        blocks = []
        distances = TreeSet.distances

        def recorded(self, metric, rows=None, cols=None, **options):
            blocks.append((rows.start, rows.stop, cols.start, cols.stop))
            return distances(self, metric, rows=rows, cols=cols, **options)

        matrix = tiles.distance_matrix(ts, "wrf", tile=9)
        monkeypatch.setattr(TreeSet, "distances", recorded)
        assert np.array_equal(matrix.compute(), distances(ts, "wrf"))
        # tiles of 9, 9 and 5 trees: those above the diagonal once, each diagonal one in a single call
        assert sorted(blocks) == sorted(
            (*rows, *cols) for rows in tiles.bounds(23, 9) for cols in tiles.bounds(23, 9) if rows <= cols
        )

    def test_against(self, cluster):
        ts, reference = tree_set(17), tree_set(6, seed=9)
        with distributed.Client(cluster):
            found = [tiles.against(ts, reference, metric, tile=4).compute() for metric in ("rf", "kf")]
        assert np.array_equal(found[0], ts.against(reference, "rf"))
        assert np.array_equal(found[1], ts.against(reference, "kf"))
        rows, cols = [16, 0, 3, 3], [5, 1]
        block = ts.against(reference, "wrf", rows=rows, cols=cols)
        assert np.array_equal(block, ts.against(reference, "wrf")[np.ix_(rows, cols)])

    def test_reductions_without_the_matrix(self):
        ts = tree_set(29)
        sums = ts.distances("rf").astype(np.int64).sum(axis=1)
        assert np.array_equal(tiles.mean_distances(ts, "rf", tile=6).compute(), sums / 28)
        assert tiles.medoid(ts, "rf", tile=6).compute() == int(np.argmin(sums))
        assert np.allclose(tiles.mean_distances(ts, "kf2", tile=6).compute(), ts.mean_distances("kf2"))
        assert tiles.medoid(ts, "kf2", tile=4).compute() == ts.medoid("kf2")

    def test_chunk_is_a_warned_alias_of_tile(self):
        ts = tree_set(11)
        calls = [
            lambda **size: tiles.distance_matrix(ts, "kf", **size).compute(),
            lambda **size: tiles.mean_distances(ts, "rf", **size).compute(),
            lambda **size: tiles.block_matrix(ts, "rf_norm", **size),
        ]
        for call in calls:
            with pytest.warns(DeprecationWarning, match="chunk= is now tile="):
                old = call(chunk=4)
            assert np.array_equal(old, call(tile=4))

    @pytest.mark.parametrize("prune", ["common", "pairwise"])
    def test_trees_of_different_taxa_as_the_set_compares_them(self, prune):
        texts = gene_trees(3, 13, 9, core=4 if prune == "common" else 0)
        genes, species = TreeSet.from_newick(texts, taxa="any"), TreeSet.from_newick(texts[:1] * 3)
        for metric in ("rf", "kf"):
            with warnings.catch_warnings(record=True) as said:
                warnings.simplefilter("always")
                expected = genes.distances(metric, prune=prune)
                versus = genes.against(species, metric, prune=prune)
            with warnings.catch_warnings(record=True) as tiled_said:
                warnings.simplefilter("always")
                lazy = tiles.distance_matrix(genes, metric, tile=4, prune=prune).compute()
                assert not tiled_said  # a lazy array marks the pairs without a distance by their nan alone
                computed = tiles.block_matrix(genes, metric, tile=4, prune=prune)
            assert [str(w.message) for w in tiled_said] == [str(w.message) for w in said[:1]]
            for found in (lazy, computed, tiles.against(genes, species, metric, tile=4, prune=prune).compute()):
                wanted = versus if found.shape[1] == 3 else expected
                assert found.dtype == wanted.dtype and np.array_equal(found, wanted, equal_nan=True), metric
        assert prune == "common" or np.isnan(expected).any()

    def test_bad_arguments(self):
        ts = tree_set(5)
        with pytest.raises(ValueError, match="unknown metric 'hamming'"):
            tiles.distance_matrix(ts, "hamming")
        with pytest.raises(ValueError, match="tile must be"):
            tiles.distance_matrix(ts, "rf", tile=0)


def finished_tasks(dask_scheduler):
    return sum(task.state == "memory" for task in dask_scheduler.tasks.values())


def test_a_killed_worker_loses_no_tile():
    ts = tree_set(40)
    # one tree per tile: some 1,600 small tasks, so that the kill lands mid-run
    with (
        distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=":0") as local,
        distributed.Client(local) as client,
    ):
        future = client.compute(tiles.distance_matrix(ts, "wrf", tile=1))
        victim = next(iter(client.run(os.getpid).values()))
        while client.run_on_scheduler(finished_tasks) < 200:
            time.sleep(0.005)
        os.kill(victim, signal.SIGKILL)
        assert not future.done()
        matrix = future.result(timeout=240)
    assert np.array_equal(matrix, ts.distances("wrf"))


class TestLostWorkers:
    def test_the_only_worker_restarted_by_its_nanny_loses_nothing(self, tmp_path):
        ts = tree_set(30)
        with (
            distributed.LocalCluster(n_workers=1, processes=True, threads_per_worker=1, dashboard_address=":0") as one,
            distributed.Client(one) as client,
        ):
            client.register_plugin(Killer(str(tmp_path / "killed"), after=3))
            tiles.to_zarr(ts, tmp_path / "rf.zarr", "rf", tile=4)
        assert (tmp_path / "killed").exists()
        assert np.array_equal(stored(tmp_path / "rf.zarr"), ts.distances("rf"))

    def test_no_worker_left_ends_the_run(self, tmp_path):
        # a worker without a nanny, which imports the test's plugin from here
        path = os.pathsep.join([str(Path(__file__).parent), os.environ.get("PYTHONPATH", "")])
        with (
            distributed.LocalCluster(n_workers=0, dashboard_address=":0") as empty,
            distributed.Client(empty) as client,
        ):
            client.register_plugin(Killer(str(tmp_path / "killed"), after=1))
            worker = subprocess.Popen(
                [sys.executable, "-m", "distributed.cli.dask_worker", empty.scheduler_address, "--no-nanny"],
                env={**os.environ, "PYTHONPATH": path},
                stderr=subprocess.DEVNULL,
            )
            try:
                client.wait_for_workers(1)
                with pytest.raises(tiles.NoWorkers, match="no Dask worker has been left for 1 s"):
                    tiles.to_zarr(tree_set(20), tmp_path / "rf.zarr", "rf", tile=4, worker_timeout=1)
            finally:
                worker.kill()
                worker.wait()
        assert (tmp_path / "killed").exists() and (tmp_path / "rf.zarr.partial").exists()


def copy_chunk(store):
    shutil.copyfile(store / "distances/c/0/1", store / "distances/c/1/2")


def make_old(store):
    group = zarr.open_group(store)
    del group.attrs["version"]
    shutil.rmtree(store / "checksums")


TAMPERED = {
    "a chunk copied over another": (copy_chunk, 1),
    "a chunk cut to 0 bytes": (lambda store: (store / "distances/c/2/2").write_bytes(b""), 1),
    "a chunk of random bytes": (lambda store: (store / "distances/c/3/0").write_bytes(os.urandom(64)), 1),
    "a checksum lost": (lambda store: os.unlink(store / "checksums/c/1/1/0"), 1),
    "tree names edited": (lambda store: zarr.open_array(store, path="tree_names").__setitem__(0, "edited"), 0),
    "distances of another dtype": (
        lambda store: zarr.open_group(store).create_array(
            "distances", shape=(20, 20), chunks=(6, 6), dtype=np.uint64, overwrite=True
        ),
        "its distances array is not what this run writes",
    ),
    "a store of an older version": (make_old, "made by an older version: run again without --resume"),
}


class TestStores:
    def test_resume_computes_only_missing_tiles(self, cluster, tmp_path):
        # the last tile holds one tree: all zeros, and stored all the same
        ts, path = tree_set(36), tmp_path / "rf.zarr"
        with distributed.Client(cluster):
            assert tiles.to_zarr(ts, path, "rf", tile=7) == tiles.Written(21, 0)
            # an interrupted run: two tiles without their chunk, one without its mirror, a write cut short
            for chunk in ("0/1", "3/3", "5/2"):
                os.unlink(path / "distances" / "c" / chunk)
            (path / "distances" / "c" / "0" / "4.0123.partial").write_bytes(b"\x00")
            assert tiles.to_zarr(ts, path, "rf", tile=7, resume=True) == tiles.Written(3, 18)
        assert not list(path.rglob("*.partial"))
        group = zarr.open_group(path, mode="r")
        assert group.attrs["complete"] and group["tree_names"][:].tolist() == ts.tree_names
        assert group.attrs["provenance"] == ts.provenance.to_dict()
        assert np.array_equal(group["distances"][:], ts.distances("rf"))

    def test_refuses_what_it_did_not_write(self, tmp_path):
        ts = tree_set(9)
        (tmp_path / "mine.zarr").mkdir()
        (tmp_path / "mine.zarr" / "notes.txt").write_text("keep")
        with pytest.raises(ValueError, match="not a distance store"):
            tiles.to_zarr(ts, tmp_path / "mine.zarr")
        assert (tmp_path / "mine.zarr" / "notes.txt").read_text() == "keep"
        tiles.to_zarr(ts, tmp_path / "rf.zarr", "rf", tile=4)
        with pytest.raises(ValueError, match="metric 'rf' instead of 'kf'"):
            tiles.to_zarr(ts, tmp_path / "rf.zarr", "kf", tile=4, resume=True)
        with pytest.raises(ValueError, match="other trees"):
            tiles.to_zarr(tree_set(9, seed=6), tmp_path / "rf.zarr", "rf", tile=4, resume=True)
        # same names and the same distances to the first, middle and last trees, but tree 4 differs
        five = ["((A,B),C,(D,E));", "((A,B),D,(C,E));"] * 2 + ["((A,B),C,(D,E));"]
        tiles.to_zarr(TreeSet.from_newick(five), tmp_path / "five.zarr", "rf", tile=2)
        changed = TreeSet.from_newick([*five[:3], "((A,C),B,(D,E));", five[4]])
        with pytest.raises(ValueError, match="other trees"):
            tiles.to_zarr(changed, tmp_path / "five.zarr", "rf", tile=2, resume=True)

    @pytest.mark.parametrize(("tamper", "outcome"), TAMPERED.values(), ids=TAMPERED)
    def test_resume_checks_every_chunk_it_keeps(self, tmp_path, tamper, outcome):
        ts, store = tree_set(20), tmp_path / "rf.zarr"
        tiles.to_zarr(ts, store, "rf", tile=6)  # 4 x 4 chunks, 10 tiles
        tamper(store)
        if isinstance(outcome, str):
            with pytest.raises(ValueError, match=outcome):
                tiles.to_zarr(ts, store, "rf", tile=6, resume=True)
            return
        assert tiles.to_zarr(ts, store, "rf", tile=6, resume=True) == tiles.Written(outcome, 10 - outcome)
        group = zarr.open_group(store, mode="r")
        assert group.attrs["complete"] and group["tree_names"][:].tolist() == ts.tree_names
        assert np.array_equal(group["distances"][:], ts.distances("rf"))

    @pytest.mark.parametrize("exchange", [True, False], ids=["exchanged", "moved aside"])
    def test_a_complete_store_gives_way_only_to_a_complete_one(self, tmp_path, monkeypatch, exchange):
        old, new, store = tree_set(9), tree_set(9, seed=6), tmp_path / "rf.zarr"
        tiles.to_zarr(old, store, "rf", tile=4)
        if not exchange:
            monkeypatch.setattr(output, "_exchanged", lambda first, second: False)
        tile = fail_off_the_diagonal(monkeypatch)
        with pytest.raises(RuntimeError, match="worker lost"):
            tiles.to_zarr(new, store, "rf", tile=4)
        assert np.array_equal(stored(store), old.distances("rf"))
        monkeypatch.setattr(tiles, "tile_values", tile)
        tiles.to_zarr(new, store, "rf", tile=4, resume=True)  # continues rf.zarr.partial
        assert np.array_equal(stored(store), new.distances("rf"))
        assert os.listdir(tmp_path) == ["rf.zarr"]

    def test_npy_through_a_memory_map(self, cluster, tmp_path):
        ts = tree_set(19)
        with distributed.Client(cluster):
            tiles.to_npy(ts, tmp_path / "kf.npy", "kf", tile=6)
        assert np.array_equal(np.load(tmp_path / "kf.npy"), ts.distances("kf"))
        assert os.listdir(tmp_path) == ["kf.npy"]

    def test_failures_are_not_reported_as_success(self, tmp_path, monkeypatch):
        ts = tree_set(11)
        fail_off_the_diagonal(monkeypatch)
        with pytest.raises(RuntimeError, match="worker lost"):
            tiles.to_npy(ts, tmp_path / "rf.npy", "rf", tile=4)
        assert os.listdir(tmp_path) == []
        # a worker that wrote its chunks where this process cannot see them
        monkeypatch.setattr(tiles, "_store_tile", lambda *args: (True, 0))
        with pytest.raises(ValueError, match="9 of 9 chunks written by the workers are missing"):
            tiles.to_zarr(ts, tmp_path / "rf.zarr", "rf", tile=4)
        assert zarr.open_group(tmp_path / "rf.zarr.partial", mode="r").attrs["complete"] is False
        assert not (tmp_path / "rf.zarr").exists()


class TestCommand:
    def run(self, *args):
        command = [sys.executable, "-m", "cladomatic_tools", *map(str, args)]
        return subprocess.run(command, capture_output=True, text=True, timeout=300, check=False)

    def test_scheduler_and_zarr_output(self, cluster, tmp_path):
        local = self.run("wrf", NEWICK, "--output", tmp_path / "local.npy")
        tiled = self.run(
            "wrf", NEWICK, "--scheduler", cluster.scheduler_address, "--tile", 50, "--output", tmp_path / "wrf.zarr"
        )
        assert local.returncode == tiled.returncode == 0, tiled.stderr
        stored = zarr.open_group(tmp_path / "wrf.zarr", mode="r")["distances"][:]
        assert np.array_equal(stored, np.load(tmp_path / "local.npy"))

    def test_usage_errors(self, tmp_path):
        failed = self.run("rf", NEWICK, "--resume", "--output", tmp_path / "rf.npy")
        assert failed.returncode == 2 and "--resume needs .zarr output" in failed.stderr
        failed = self.run("rf", NEWICK, "--format", "csv", "--output", tmp_path / "rf.zarr")
        assert failed.returncode == 2 and "--format does not apply" in failed.stderr
