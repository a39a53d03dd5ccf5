"""Distance tables written as text by the engine: the csv module's text, floats that read back bit for bit."""

import csv
import io
import math
import random
import struct

import _cladomatic_engine
import numpy as np
import pytest
from cladomatic_tools.io import writers as output

NAMES = ["plain", "", "with,comma", "with\ttab", 'a "quoted" name', "line\nbreak", "cr\rhere", " padded ", "ünï"]


def csv_text(names, rows, delimiter):
    text = io.StringIO()
    writer = csv.writer(text, delimiter=delimiter, lineterminator="\n")
    for name, row in zip(names, rows, strict=True):
        writer.writerow([name, *row])
    return text.getvalue().encode()


def random_doubles(rng, count):
    """Every exponent and sign, subnormals, infinities and NaN included, and values near the decimal and
    exponent spellings' border."""
    values = [struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0] for _ in range(count)]
    values += [0.0, -0.0, math.inf, -math.inf, 5e-324, 1.7976931348623157e308, 1e-4, 9.999999999999999e-5, 1e-5,
               1e15, 1e16, 9999999999999998.0, 0.1, 0.3, 2.0 / 3.0, 123456789.0]
    values += [rng.uniform(0.0, 10.0) for _ in range(count)]
    return values


class TestFormatRows:
    @pytest.mark.parametrize("delimiter", [",", "\t"])
    def test_floats_and_names_as_the_csv_module_writes_them(self, delimiter):
        rng = random.Random(5)
        values = random_doubles(rng, 3000)
        values += [0.0] * (-len(values) % len(NAMES))
        rows = np.array(values, dtype=np.float64).reshape(len(NAMES), -1)
        text = _cladomatic_engine.format_rows(NAMES, rows, delimiter)
        assert text == csv_text(NAMES, rows.tolist(), delimiter)

    def test_floats_read_back_bit_for_bit(self):
        rng = random.Random(9)
        values = np.array([v for v in random_doubles(rng, 20000) if not math.isnan(v)], dtype=np.float64)
        text = _cladomatic_engine.format_rows(["r"], values.reshape(1, -1), "\t").decode()
        fields = text.rstrip("\n").split("\t")[1:]
        back = np.array([float(field) for field in fields], dtype=np.float64)
        assert back.tobytes() == values.tobytes()
        assert _cladomatic_engine.format_rows(["r"], np.array([[math.nan, -math.nan]]), ",") == b"r,nan,nan\n"

    def test_counts_and_many_rows(self):
        rng = np.random.default_rng(3)
        rows = rng.integers(0, 2**32, size=(700, 40), dtype=np.uint32)
        names = [f"tree {i}, run 1" for i in range(700)]
        assert _cladomatic_engine.format_rows(names, rows, ",") == csv_text(names, rows.tolist(), ",")

    def test_refuses_what_it_cannot_write(self):
        with pytest.raises(ValueError, match="one row per name"):
            _cladomatic_engine.format_rows(["a"], np.zeros((2, 2)), ",")
        with pytest.raises(ValueError, match="uint32 or float64"):
            _cladomatic_engine.format_rows(["a"], np.zeros((1, 2), dtype=np.int64), ",")
        with pytest.raises(ValueError, match="one character"):
            _cladomatic_engine.format_rows(["a"], np.zeros((1, 2)), ", ")
        assert _cladomatic_engine.format_rows([], np.zeros((0, 3)), ",") == b""


class TestWrittenTables:
    @pytest.mark.parametrize(("fmt", "compressed"), [("tsv", False), ("csv", False), ("csv", True)])
    def test_files_hold_the_csv_module_text_over_many_bands(self, tmp_path, monkeypatch, fmt, compressed):
        n = 1100
        monkeypatch.setattr(output, "BAND_BYTES", 100 * n * 8)  # eleven bands
        monkeypatch.setattr(output, "WRITEBACK_BYTES", 1 << 20)  # handed to writeback as it goes
        rng = random.Random(1)
        names = [rng.choice(NAMES) + str(i) for i in range(n)]
        matrix = np.array([rng.uniform(0, 3) for _ in range(n * n)]).reshape(n, n)
        bands = []

        def fill(rows, out):
            bands.append(rows)
            out[...] = matrix[rows.start : rows.stop]

        path = tmp_path / f"m.{fmt}{'.gz' if compressed else ''}"
        target = output.Target(str(path), fmt, compressed)
        output.write_matrix(output.Bands(names, names, "float64", fill, True), target)
        delimiter = "\t" if fmt == "tsv" else ","
        expected = csv_text([""], [names], delimiter) + csv_text(names, matrix.tolist(), delimiter)
        data = path.read_bytes()
        if compressed:
            import gzip

            data = gzip.decompress(data)
        assert data == expected
        assert len(bands) == 11
