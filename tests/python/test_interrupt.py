"""Ctrl-C during TreeSet's long calls, and the progress they report. A call interrupted past a tenth of its rows
(or trees) must stop before its last one and raise what the SIGINT handler raised; judged by the call's own counter,
never by a clock."""

import os
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest
from cladomatic_tools import TreeSet
from cladomatic_tools.treeset import METRICS, Progress
from conftest import command, interruptible, kept_line
from trees import forest, newick, pooled_forest


class Interrupted(Exception):
    """What the test's SIGINT handler raises, so that a late signal cannot end the whole test run."""


@pytest.fixture(scope="module")
def big():
    return TreeSet.from_newick([newick(tree) for tree in forest(3, 3000, 64)])


@pytest.fixture
def handler():
    def interrupted(signum, frame):
        raise Interrupted

    previous = signal.signal(signal.SIGINT, interrupted)
    yield
    signal.signal(signal.SIGINT, previous)


def interrupt_past_a_tenth(progress):
    while progress.total() == 0 or 10 * progress.value() < progress.total():
        time.sleep(0.001)
    os.kill(os.getpid(), signal.SIGINT)


class TestCtrlC:
    @pytest.mark.parametrize("call", ["distances", "against"])
    def test_stops_the_call_before_its_last_row(self, big, handler, call):
        probe = big.distances("kf", rows=range(0, 3000, 300), cols=range(0, 3000, 7))
        progress = Progress()
        watcher = threading.Thread(target=interrupt_past_a_tenth, args=(progress,))
        watcher.start()
        try:
            with pytest.raises(Interrupted):
                # one thread: the call lasts longer, and the watcher keeps a CPU to itself
                if call == "distances":
                    big.distances("kf", threads=1, progress=progress)
                else:
                    big.against(big, "kf", threads=1, progress=progress)
        finally:
            watcher.join()
        assert progress.total() == len(big) and progress.value() < progress.total()
        # nothing the set keeps was left half made
        assert np.array_equal(big.distances("kf", rows=range(0, 3000, 300), cols=range(0, 3000, 7)), probe)


@pytest.fixture(scope="module")
def long_passes():
    # the summaries pass over the trees once: many large trees make a pass last long enough to interrupt
    texts = [newick(tree) for tree in forest(5, 40, 256)]
    return TreeSet.from_newick(texts * 1000)


class TestCtrlCInSummaries:
    @pytest.mark.parametrize("call", ["mcc", "split_summary", "split_summary_spread"])
    def test_stops_the_pass_before_its_last_tree(self, long_passes, handler, call):
        engine = long_passes._engine
        every_split = np.arange(engine.n_ids, dtype=np.uint32)
        one_group = np.zeros(len(long_passes), dtype=np.int32)
        calls = {
            "mcc": lambda progress: long_passes.mcc(threads=1, progress=progress),
            "split_summary": lambda progress: engine.split_summary(every_split, one_group, 1, False, 1, progress),
            "split_summary_spread": lambda progress: engine.split_summary(every_split, one_group, 1, True, 1, progress),
        }
        progress = Progress()
        watcher = threading.Thread(target=interrupt_past_a_tenth, args=(progress,))
        watcher.start()
        try:
            with pytest.raises(Interrupted):
                calls[call](progress)
        finally:
            watcher.join()
        assert 0 < progress.value() < progress.total()
        # the call runs whole afterwards, and counts every tree (and split) it passes
        calls[call](progress)
        passed = len(long_passes) + (engine.n_ids if call == "split_summary_spread" else 0)
        assert progress.value() == progress.total() == passed


@pytest.fixture(scope="module")
def repeated():
    # repeated topologies: rf, rf_norm and info_rf compute the distinct ones and copy the rest
    trees = pooled_forest(5, 120, 12, [2, 3, 5, 8])
    return TreeSet.from_newick([newick(tree) for tree in trees])


class TestProgress:
    @pytest.mark.parametrize("metric", METRICS)
    def test_every_row_is_counted_once(self, repeated, metric):
        if METRICS[metric].rooted_only:
            texts = [newick(tree) for tree in pooled_forest(5, 120, 12, [2, 3, 5, 8])]
            repeated = TreeSet.from_newick(texts, rooted=True)
        rows, cols = [3, 1, 3, 7, 0, 119], list(range(40, 100))
        calls = {
            "whole": lambda progress: repeated.distances(metric, progress=progress),
            "block": lambda progress: repeated.distances(metric, rows=rows, cols=cols, progress=progress),
            "against": lambda progress: repeated.against(repeated, metric, rows=rows, progress=progress),
        }
        for name, call in calls.items():
            progress = Progress()
            call(progress)
            want = len(repeated) if name == "whole" else len(rows)
            assert (progress.value(), progress.total(), progress.fraction()) == (want, want, 1.0), name

    def test_only_a_progress_is_taken(self, repeated):
        with pytest.raises(TypeError, match="progress must be a cladomatic_tools.treeset.Progress, not int"):
            repeated.distances("rf", progress=3)


# In a process of its own: stopping every call cannot be undone.
STOP_EVERY_CALL = """
import sys, threading, time
sys.path.insert(0, sys.argv[1])
from _cladomatic_engine import stop_every_call
from cladomatic_tools import TreeSet
from cladomatic_tools.treeset import Progress
from trees import forest, newick

big = TreeSet.from_newick([newick(tree) for tree in forest(3, 3000, 64)])
progress, ended = Progress(), []

def tile():  # as a Dask thread runs one, where no signal handler runs
    try:
        big.distances("kf", threads=1, progress=progress)
        ended.append("finished")
    except KeyboardInterrupt:
        ended.append("stopped")

thread = threading.Thread(target=tile)
thread.start()
while progress.total() == 0 or 10 * progress.value() < progress.total():
    time.sleep(0.001)
stop_every_call()
thread.join()
assert ended == ["stopped"] and progress.value() < progress.total(), (ended, progress.value())
try:
    big.distances("rf", rows=range(2))
    raise AssertionError("a call after the stop ran")
except KeyboardInterrupt:
    pass
"""


def test_stopping_every_call_reaches_other_threads_and_later_calls(tmp_path):
    done = subprocess.run(
        [sys.executable, "-c", STOP_EVERY_CALL, os.path.dirname(__file__)], capture_output=True, text=True, timeout=600
    )
    assert done.returncode == 0, done.stderr


def test_a_local_tiled_run_stops_its_tiles(tmp_path):
    trees, store = tmp_path / "trees.nwk", tmp_path / "kf.zarr"
    trees.write_text("".join(f"{newick(tree)}\n" for tree in forest(4, 3000, 64)))
    process = subprocess.Popen(
        [*command("kf", trees, "--output", store, "--tile", 3000, "--threads", 1)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        preexec_fn=interruptible,
    )
    partial = tmp_path / "kf.zarr.partial"
    while not partial.exists() and process.poll() is None:  # the store is begun once the set is read
        time.sleep(0.01)
    process.send_signal(signal.SIGINT)
    assert process.communicate(timeout=600) == ("", kept_line(trees, 3000, 3000) + "cladomatic: interrupted\n")
    assert process.returncode == 130 and not store.exists()
