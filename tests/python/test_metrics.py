"""The metric table against everything that takes a metric, split frequencies beside counts, and the chunked rows
of the square matrix (each pair once) against the whole matrix, in memory and in the command's files."""

import io
from dataclasses import replace

import numpy as np
import pytest
from cladomatic_tools import dask as tiles
from cladomatic_tools import metrics
from cladomatic_tools.cli import distances as engine
from cladomatic_tools.cli.main import main
from cladomatic_tools.cli.progress import RowCounter
from cladomatic_tools.io import writers as output
from cladomatic_tools.treeset import TreeSet
from conftest import NEWICK, run
from trees import forest, newick

TEXTS = [newick(tree) for tree in forest(5, 23, 9)]


@pytest.fixture(scope="module")
def trees():
    return TreeSet.from_newick(TEXTS)


@pytest.mark.parametrize("metric", list(metrics.METRICS))
def test_every_metric_reaches_every_consumer(trees, metric, tmp_path):
    info = metrics.metric_info(metric)
    # a metric of rooted trees only is given rooted trees, and the others the unrooted set
    rooting = ["--rooted"] if info.rooted_only else []
    if info.rooted_only:
        trees = TreeSet.from_newick(TEXTS, rooted=True)
    whole = trees.distances(metric)
    assert whole.dtype == np.dtype(info.dtype) == tiles.dtype_of(metric)
    result = run(metric, NEWICK, *rooting, "--output", tmp_path / "m.npy")
    assert result.returncode == 0, result.stderr
    assert np.load(tmp_path / "m.npy").dtype == np.dtype(info.dtype)
    assert main(["space", str(NEWICK), *rooting, "--metric", metric, "--output-dir", str(tmp_path / "space")]) == 0
    otherwise = TreeSet.from_newick(TEXTS, rooted=not trees.rooted)
    if info.unrooted_only:
        with pytest.raises(ValueError, match=f"{metric} is defined for unrooted trees only"):
            otherwise.distances(metric)
    elif info.rooted_only:
        with pytest.raises(ValueError, match=f"{metric} is defined for rooted trees only"):
            otherwise.distances(metric)
    else:
        assert otherwise.distances(metric).dtype == whole.dtype
    if info.needs_lengths:
        with pytest.raises(ValueError, match="needs branch lengths"):
            TreeSet.from_newick(TEXTS, lengths=False, rooted=trees.rooted).distances(metric)
    with pytest.raises(ValueError, match=rf"unknown metric 'hamming'; expected one of {', '.join(metrics.METRICS)}"):
        trees.distances("hamming")


def test_frequencies_are_counts_over_trees_with_nan_for_an_empty_group(trees):
    groups = [0] * 10 + [2] * 13  # group 1 holds no tree
    splits, counts = trees.split_counts(groups=groups)
    same, frequencies = trees.split_frequencies(groups=groups)
    assert np.array_equal(splits, same) and counts.shape == frequencies.shape == (3, len(splits))
    np.testing.assert_array_equal(frequencies[0], counts[0] / 10)
    np.testing.assert_array_equal(frequencies[2], counts[2] / 13)
    assert np.isnan(frequencies[1]).all()
    assert trees.split_frequencies()[1].tolist() == (trees.split_counts()[1] / 23).tolist()


@pytest.mark.parametrize("metric", ["rf", "kf", "info_rf"])
def test_chunked_rows_equal_the_matrix(trees, metric):
    whole = trees.distances(metric)
    row_bytes = len(trees) * whole.itemsize / 2**20  # exact: a small integer over a power of 2
    for working_memory, rows in ((row_bytes / 2, 1), (row_bytes, 1), (5 * row_bytes, 5), (None, len(trees))):
        blocks = list(trees.distances_chunked(metric, working_memory=working_memory))
        assert [len(block) for block in blocks] == [rows] * (len(trees) // rows) + [len(trees) % rows] * (
            len(trees) % rows > 0
        )
        assert np.vstack(blocks).tobytes() == whole.tobytes()
        out = np.full_like(whole, 7)
        filled = list(trees.distances_chunked(metric, working_memory=working_memory, out=out))
        assert out.tobytes() == whole.tobytes() and all(np.shares_memory(block, out) for block in filled)
        start = 0
        for upper in trees.distances_chunked(metric, working_memory=working_memory, upper=True):
            assert upper.tobytes() == whole[start : start + len(upper), start:].tobytes()
            start += len(upper)
    means = trees.distances_chunked(metric, working_memory=3 * row_bytes, reduce_func=lambda block, start: start)
    assert list(means) == list(range(0, len(trees), 3))
    with pytest.raises(ValueError, match="working_memory"):
        trees.distances_chunked(metric, working_memory=0)


@pytest.mark.parametrize("metric", ["info_rf", "wrf"])
def test_band_writer_gives_the_same_bytes_each_pair_once(trees, metric, tmp_path, monkeypatch):
    written = {}
    for fmt in ("npy", "npz", "tsv", "pipe"):
        for once in (True, False):
            bands = engine.bands(metric, trees, range(len(trees)), range(len(trees)), RowCounter(1, len(trees)))
            # six bands, the last short: of four rows, or eight rows split in two parts when each pair is once
            monkeypatch.setattr(output, "BAND_BYTES", (8 if once else 4) * bands.row_bytes())
            upper, spans = bands.upper, []
            assert upper is not None

            def counted(band_bytes, upper=upper, spans=spans):
                for rows, cells in upper(band_bytes):
                    spans.append(len(rows))
                    yield rows, cells

            # once: each band from its diagonal on, the rest kept below; else every band is computed whole
            bands = replace(bands, upper=counted if once else None)
            path = tmp_path / f"{once}.{fmt}"
            if fmt == "pipe":  # streamed in order, as to a pipe
                with open(path, "wb") as file:
                    output._stream_npy(bands, file)
            else:
                output.write_matrix(bands, output.Target(str(path), fmt, False))
            written[fmt, once] = np.load(path)["distances"].tobytes() if fmt == "npz" else path.read_bytes()
            assert spans == ([4] * 5 + [3] if once and fmt != "npz" else [8, 8, 7] if once else [])
        assert written[fmt, True] == written[fmt, False]
    assert np.load(io.BytesIO(written["npy", True])).tobytes() == trees.distances(metric).tobytes()
    assert written["pipe", True] == written["npy", True]
