"""The command's tiled runs: the in-memory run's matrices, and one clear line when a cluster or a store fails."""

import errno
import http.server
import signal
import socket
import subprocess
import sys
import threading
from pathlib import Path

import numpy as np
import pytest
from cladomatic_tools.cli import main
from cladomatic_tools.io import writers as output

pytest.importorskip("dask")
distributed = pytest.importorskip("distributed")
zarr = pytest.importorskip("zarr")

from cladomatic_tools import dask as tiles  # noqa: E402 - needs Dask, skipped above when it is missing
from conftest import kept_line  # noqa: E402
from distributed import SchedulerPlugin  # noqa: E402
from trees import gene_trees  # noqa: E402

NEWICK = Path(__file__).resolve().parents[2] / "examples" / "primates.nwk"
TREES = NEWICK.read_text().split()


def cli(*args):
    return main.main([*map(str, args), "--quiet"])


@pytest.fixture(scope="module")
def cluster():
    with distributed.LocalCluster(n_workers=1, processes=True, threads_per_worker=1, dashboard_address=":0") as one:
        yield one


@pytest.fixture
def empty_cluster():
    with distributed.LocalCluster(n_workers=0, dashboard_address=":0") as empty:
        yield empty


def test_against_and_between_equal_the_in_memory_run(cluster, tmp_path):
    reference, second = tmp_path / "reference.nwk", tmp_path / "second.nwk"
    reference.write_text("\n".join(TREES[:3]))
    second.write_text("\n".join(TREES[60:]))
    for name, block in [("against", ["--against", reference]), ("between", ["--between", second, "--every", 3])]:
        run = ["wrf", NEWICK, *block, "--burnin", "10%", "--output"]
        assert cli(*run, tmp_path / f"{name}.npz") == cli(*run, tmp_path / f"{name}.tsv") == 0
        expected = np.load(tmp_path / f"{name}.npz")
        assert cli(*run, tmp_path / f"{name}.zarr", "--tile", 25) == 0
        store = zarr.open_group(tmp_path / f"{name}.zarr", mode="r")
        for key in ("distances", "tree_names", "column_names"):
            assert np.array_equal(store[key][:], expected[key]), (name, key)
        # tiles of 25 trees, or of the columns' number where that is smaller
        assert store["distances"].chunks == (25, min(25, expected["distances"].shape[1]))
        assert cli(*run, tmp_path / f"{name}.zarr", "--tile", 25, "--resume") == 0
        on_cluster = ["--scheduler", cluster.scheduler_address, "--tile", 40]
        assert cli(*run, tmp_path / f"{name}-tiled.npy", *on_cluster) == 0
        assert np.array_equal(np.load(tmp_path / f"{name}-tiled.npy"), expected["distances"])
        assert cli(*run, tmp_path / f"{name}-tiled.tsv", *on_cluster) == 0
        assert (tmp_path / f"{name}-tiled.tsv").read_bytes() == (tmp_path / f"{name}.tsv").read_bytes()


@pytest.mark.parametrize("prune", ["common", "pairwise"])
def test_pruned_runs_equal_the_in_memory_run(cluster, tmp_path, capsys, prune):
    genes, species = tmp_path / "genes.nwk", tmp_path / "species.nwk"
    texts = gene_trees(7, 14, 9, core=4 if prune == "common" else 0)
    genes.write_text("\n".join(texts) + "\n")
    species.write_text(texts[0] + "\n")  # a tree holding every taxon
    on_cluster = ["--scheduler", cluster.scheduler_address, "--tile", 5]
    for metric, block in [("rf", []), ("kf", ["--against", species])]:
        run = [metric, genes, *block, "--prune", prune, "--output"]
        assert cli(*run, tmp_path / "memory.npy") == cli(*run, tmp_path / "memory.tsv") == 0
        said = capsys.readouterr().err.splitlines()[-1] + "\n"
        expected = np.load(tmp_path / "memory.npy")
        for route in ([tmp_path / "local.zarr", "--tile", 4], [tmp_path / "tiled.npy", *on_cluster]):
            assert cli(*run, *route) == 0
            assert capsys.readouterr().err == said, route
        stored = zarr.open_group(tmp_path / "local.zarr", mode="r")["distances"][:]
        for found in (stored, np.load(tmp_path / "tiled.npy")):
            assert found.dtype == expected.dtype and np.array_equal(found, expected, equal_nan=True), metric
        assert cli(*run, tmp_path / "tiled.tsv", *on_cluster) == 0
        assert (tmp_path / "tiled.tsv").read_bytes() == (tmp_path / "memory.tsv").read_bytes()
        assert cli(*run, tmp_path / "local.zarr", "--tile", 4, "--resume") == 0
    assert prune == "common" or np.isnan(expected).any()


@pytest.fixture
def silent_server():
    with socket.create_server(("127.0.0.1", 0)) as server:  # accepts connections and never answers
        yield f"tcp://127.0.0.1:{server.getsockname()[1]}"


class Quiet(http.server.BaseHTTPRequestHandler):
    def log_message(self, format, *args):
        pass  # the server's own log would share standard error with the command


@pytest.fixture
def http_server():
    server = http.server.HTTPServer(("127.0.0.1", 0), Quiet)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    yield f"tcp://127.0.0.1:{server.server_address[1]}"
    server.shutdown()


@pytest.mark.parametrize(
    ("address", "status", "text"),
    [
        ("silent_server", 1, "is not a Dask scheduler (no answer in 1 s)"),
        ("http_server", 1, "is not a Dask scheduler (it does not answer as one)"),
        ("foo:bar", 2, "expected a scheduler address such as tcp://10.0.0.5:8786, got 'foo:bar'"),
        ("", 2, "expected a scheduler address such as tcp://10.0.0.5:8786, got ''"),
    ],
)
def test_what_is_not_a_scheduler(request, capsys, tmp_path, address, status, text):
    if address.endswith("server"):
        address = request.getfixturevalue(address)
    args = ["rf", NEWICK, "--scheduler", address, "--scheduler-timeout", 1, "--output", tmp_path / "rf.zarr"]
    try:
        found = cli(*args)
    except SystemExit as exit:
        found = exit.code
    message = capsys.readouterr().err
    assert found == status and text in message and message.count("\n") == 1, message
    assert list(tmp_path.iterdir()) == []


def test_no_worker_then_a_worker_without_this_package(empty_cluster, capsys, tmp_path):
    args = ["rf", NEWICK, "--scheduler", empty_cluster.scheduler_address, "--scheduler-timeout", 1]
    assert cli(*args, "--output", tmp_path / "rf.zarr") == 1
    assert capsys.readouterr().err == (
        "cladomatic: error: no Dask worker has been connected for 1 s: start workers, then run the same command "
        "with --resume\n"
    )
    worker = subprocess.Popen(
        [sys.executable, "-m", "distributed.cli.dask_worker", empty_cluster.scheduler_address],
        env={"PATH": "/usr/bin:/bin"},
        cwd=tmp_path,
        stderr=subprocess.DEVNULL,
    )
    try:
        with distributed.Client(empty_cluster) as client:
            client.wait_for_workers(1)
            worker_address = next(iter(client.scheduler_info()["workers"]))
        assert cli(*args, "--output", tmp_path / "rf.tsv") == 1
    finally:
        worker.kill()
        worker.wait()
    assert capsys.readouterr().err == (
        f"cladomatic: error: the Dask worker at {worker_address} cannot import cladomatic_tools: install this "
        "package with its dask extra (pip install 'cladomatic[dask]') on the scheduler and every worker\n"
    )


class ClientSeen(SchedulerPlugin):
    def __init__(self):
        self.seen = threading.Event()

    def add_client(self, scheduler, client):
        self.seen.set()


def test_interrupted_on_a_cluster(empty_cluster, tmp_path):
    seen = ClientSeen()
    empty_cluster.scheduler.add_plugin(seen)
    command = [sys.executable, "-m", "cladomatic_tools", "rf", NEWICK, "--output", tmp_path / "rf.zarr"]
    process = subprocess.Popen(
        [*map(str, command), "--scheduler", empty_cluster.scheduler_address, "--scheduler-timeout", "600"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        # a child started from a background job would inherit an ignored SIGINT
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
    )
    assert seen.seen.wait(120)  # connected, and waiting for a worker
    process.send_signal(signal.SIGINT)
    assert process.communicate(timeout=60) == ("", kept_line(NEWICK) + "cladomatic: interrupted\n")
    assert process.returncode == 130


@pytest.mark.parametrize("fault", ["memory", "disk"])
def test_refused_or_failed_stores_name_their_path(monkeypatch, capsys, tmp_path, fault):
    if fault == "memory":
        monkeypatch.setattr(output, "available_memory", lambda: 100_000)
    else:

        def full(*args):
            raise OSError(errno.ENOSPC, "No space left on device")

        monkeypatch.setattr(tiles, "tile_values", full)
    assert cli("rf", NEWICK, "--output", tmp_path / "rf.zarr", "--tile", 200) == 1
    message = capsys.readouterr().err
    if fault == "memory":
        assert "tiles of 120 x 120 trees need about" in message and "choose tiles of at most" in message
        assert list(tmp_path.iterdir()) == []
    else:
        assert message == f"cladomatic: error: cannot write {tmp_path / 'rf.zarr'}: No space left on device\n"
