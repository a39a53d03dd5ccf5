"""Tiled matrices on Dask: equal to the tree set's own matrix on a local two-process cluster, after a worker
dies mid-run, and in Zarr stores that a second run resumes."""

import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest
import trees
from cladomatic_tools.treeset import TreeSet

pytest.importorskip("dask")
distributed = pytest.importorskip("distributed")
zarr = pytest.importorskip("zarr")

from cladomatic_tools import dask as tiles  # noqa: E402 - needs Dask, skipped above when it is missing

NEWICK = Path(__file__).resolve().parents[2] / "examples" / "primates.nwk"


def tree_set(n_trees=40, rooted=False, seed=5):
    forest = trees.pooled_forest(seed, n_trees, 14, repeats=[6, 4, 3] if n_trees >= 13 else [2])
    return TreeSet.from_newick([trees.newick(tree) for tree in forest], rooted=rooted)


def metrics(rooted):
    # the information-weighted RF is defined for unrooted trees only
    return [metric for metric in tiles.METRICS if not (rooted and metric == "info_rf")]


@pytest.fixture(scope="module")
def cluster():
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=":0") as local:
        yield local


def tile_tasks(stream, prefix):
    return [task for task in stream.data if isinstance(task["key"], tuple) and task["key"][0].startswith(prefix)]


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

    def test_local_scheduler_and_graph_shape(self, monkeypatch):
        ts = tree_set(23)
        # diagonal tiles of 9 and 5 trees, halved down to blocks of 2 or 3
        monkeypatch.setattr(tiles, "DIAGONAL_BLOCK", 2)
        matrix = tiles.distance_matrix(ts, "wrf", chunk=9)
        graph = dict(matrix.__dask_graph__())
        assert sum(value is ts for value in graph.values()) == 1
        called = [value for value in graph.values() if isinstance(value, tuple) and value[:1] == (tiles.tile,)]
        assert sorted((task[3], task[4]) for task in called) == sorted(
            (rows, cols) for rows in tiles.bounds(23, 9) for cols in tiles.bounds(23, 9) if rows <= cols
        )
        assert np.array_equal(matrix.compute(), ts.distances("wrf"))

    def test_scattered_once_to_every_worker(self, cluster):
        ts = tree_set(12)
        with distributed.Client(cluster) as client:
            matrix = tiles.distance_matrix(ts, "rf", chunk=4)
            assert not any(isinstance(value, TreeSet) for value in dict(matrix.__dask_graph__()).values())
            held = [key for keys in client.has_what().values() for key in keys]
            assert len(held) == 2 and held[0] == held[1]

    def test_against(self, cluster):
        ts, reference = tree_set(17), tree_set(6, seed=9)
        with distributed.Client(cluster):
            found = [tiles.against(ts, reference, metric, chunk=4).compute() for metric in ("rf", "kf")]
        assert np.array_equal(found[0], ts.against(reference, "rf"))
        assert np.array_equal(found[1], ts.against(reference, "kf"))
        rows, cols = [16, 0, 3, 3], [5, 1]
        block = ts.against(reference, "wrf", rows=rows, cols=cols)
        assert np.array_equal(block, ts.against(reference, "wrf")[np.ix_(rows, cols)])

    def test_reductions_without_the_matrix(self):
        ts = tree_set(29)
        sums = ts.distances("rf").astype(np.int64).sum(axis=1)
        assert np.array_equal(tiles.mean_distances(ts, "rf", chunk=6).compute(), sums / 28)
        assert tiles.medoid(ts, "rf", chunk=6).compute() == int(np.argmin(sums))
        assert np.allclose(tiles.mean_distances(ts, "kf2", chunk=6).compute(), ts.mean_distances("kf2"))
        assert tiles.medoid(ts, "kf2", chunk=4).compute() == ts.medoid("kf2")

    def test_bad_arguments(self):
        ts = tree_set(5)
        with pytest.raises(ValueError, match="unknown metric 'hamming'"):
            tiles.distance_matrix(ts, "hamming")
        with pytest.raises(ValueError, match="chunk must be"):
            tiles.distance_matrix(ts, "rf", chunk=0)


def finished_tasks(dask_scheduler):
    return sum(task.state == "memory" for task in dask_scheduler.tasks.values())


def test_a_killed_worker_loses_no_tile():
    ts = tree_set(40)
    # one tree per tile: some 1,600 small tasks, so that the kill lands mid-run
    with (
        distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=":0") as local,
        distributed.Client(local) as client,
    ):
        future = client.compute(tiles.distance_matrix(ts, "wrf", chunk=1))
        victim = next(iter(client.run(os.getpid).values()))
        while client.run_on_scheduler(finished_tasks) < 200:
            time.sleep(0.005)
        os.kill(victim, signal.SIGKILL)
        assert not future.done()
        matrix = future.result(timeout=240)
    assert np.array_equal(matrix, ts.distances("wrf"))


class TestStores:
    def test_resume_computes_only_missing_tiles(self, cluster, tmp_path):
        # the last tile holds one tree: all zeros, and stored all the same
        ts, path = tree_set(36), tmp_path / "rf.zarr"
        with distributed.Client(cluster) as client:
            assert tiles.to_zarr(ts, path, "rf", chunk=7) == tiles.Written(21, 0)
            # an interrupted run: two tiles without their chunk, one without its mirror, a write cut short
            for chunk in ("0/1", "3/3", "5/2"):
                os.unlink(path / "distances" / "c" / chunk)
            (path / "distances" / "c" / "0" / "4.0123.partial").write_bytes(b"\x00")
            with distributed.get_task_stream(client) as stream:
                assert tiles.to_zarr(ts, path, "rf", chunk=7, resume=True) == tiles.Written(3, 18)
        assert len(tile_tasks(stream, "cladomatic-store")) == 3
        assert not list(path.rglob("*.partial"))
        group = zarr.open_group(path, mode="r")
        assert group.attrs["complete"] and group["tree_names"][:].tolist() == ts.tree_names
        assert np.array_equal(group["distances"][:], ts.distances("rf"))

    def test_refuses_what_it_did_not_write(self, tmp_path):
        ts = tree_set(9)
        (tmp_path / "mine.zarr").mkdir()
        (tmp_path / "mine.zarr" / "notes.txt").write_text("keep")
        with pytest.raises(ValueError, match="not a distance store"):
            tiles.to_zarr(ts, tmp_path / "mine.zarr")
        assert (tmp_path / "mine.zarr" / "notes.txt").read_text() == "keep"
        tiles.to_zarr(ts, tmp_path / "rf.zarr", "rf", chunk=4)
        with pytest.raises(ValueError, match="metric 'rf' instead of 'kf'"):
            tiles.to_zarr(ts, tmp_path / "rf.zarr", "kf", chunk=4, resume=True)
        with pytest.raises(ValueError, match="other trees"):
            tiles.to_zarr(tree_set(9, seed=6), tmp_path / "rf.zarr", "rf", chunk=4, resume=True)

    def test_npy_through_a_memory_map(self, cluster, tmp_path):
        ts = tree_set(19)
        with distributed.Client(cluster):
            tiles.to_npy(ts, tmp_path / "kf.npy", "kf", chunk=6)
        assert np.array_equal(np.load(tmp_path / "kf.npy"), ts.distances("kf"))
        assert os.listdir(tmp_path) == ["kf.npy"]

    def test_failures_are_not_reported_as_success(self, tmp_path, monkeypatch):
        ts, tile = tree_set(11), tiles.tile

        def failing(tree_set, metric, rows, cols):
            if rows != cols:
                raise RuntimeError("worker lost")
            return tile(tree_set, metric, rows, cols)

        monkeypatch.setattr(tiles, "tile", failing)
        with pytest.raises(RuntimeError, match="worker lost"):
            tiles.to_npy(ts, tmp_path / "rf.npy", "rf", chunk=4)
        assert os.listdir(tmp_path) == []
        # a worker that wrote its chunks where this process cannot see them
        monkeypatch.setattr(tiles, "_store_tile", lambda *args: None)
        with pytest.raises(ValueError, match="6 of 6 tiles written by the workers are missing"):
            tiles.to_zarr(ts, tmp_path / "rf.zarr", "rf", chunk=4)
        assert zarr.open_group(tmp_path / "rf.zarr", mode="r").attrs["complete"] is False


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
