"""`pip install .` of a copy of the checkout into a fresh virtual environment, with no package index.

It builds the whole module once more, so it can be left out: CLADOMATIC_SKIP_WHEEL_TEST=1 in the environment
of pytest, or `tools/devenv test -k "not wheel"`.
"""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]

pytestmark = pytest.mark.skipif(
    os.environ.get("CLADOMATIC_SKIP_WHEEL_TEST") == "1", reason="CLADOMATIC_SKIP_WHEEL_TEST=1"
)

# Nothing of the checkout's own build may leak into the environment under test.
ENV = {key: value for key, value in os.environ.items() if key != "PYTHONPATH"} | {
    "PIP_NO_INDEX": "1",
    "PIP_DISABLE_PIP_VERSION_CHECK": "1",
}


def check(*args, cwd=None):
    result = subprocess.run(list(map(str, args)), capture_output=True, text=True, env=ENV, cwd=cwd, timeout=1800)
    assert result.returncode == 0, f"{args} failed:\n{result.stdout[-3000:]}\n{result.stderr[-3000:]}"
    return result.stdout


def copy_ignores(directory, names):
    top = {"build", "dist", ".git"} if Path(directory) == ROOT else set()
    return [name for name in names if name in top or name in {"__pycache__", ".pytest_cache"}]


@pytest.fixture(scope="module")
def venv_bin(tmp_path_factory):
    base = tmp_path_factory.mktemp("wheel")
    source = base / "source"
    # a copy, so that the build writes nothing into the checkout
    shutil.copytree(ROOT, source, ignore=copy_ignores)
    check(sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "-w", base / "dist", source)
    (wheel,) = (base / "dist").glob("cladomatic-*.whl")
    check(sys.executable, "-m", "venv", "--system-site-packages", base / "venv")
    check(base / "venv/bin/python", "-m", "pip", "install", "--no-deps", wheel)
    return base / "venv/bin"


class TestInstalledWheel:
    def test_module_and_tool_are_imported_from_the_environment(self, venv_bin, tmp_path):
        code = "import cladomatic, cladomatic_tools; print(cladomatic.__file__); print(cladomatic_tools.__file__)"
        where = check(venv_bin / "python", "-c", code, cwd=tmp_path)
        assert all(line.startswith(str(venv_bin.parent)) for line in where.split())
        # The type stub lies beside the compiled module.
        module = Path(where.split()[0])
        assert (module.parent / "cladomatic.pyi").read_text() == (ROOT / "python/cladomatic.pyi").read_text()

    def test_module_computes_distances(self, venv_bin, tmp_path):
        call = (
            "import cladomatic; "
            "names, matrix = cladomatic.pairwise_rf_from_newick_iter("
            "['a', 'b'], iter(['((A,B),(C,D));', '((A,C),(B,D));']), [{}], [0, 0]); "
            "print(names, list(memoryview(matrix).cast('I')))"
        )
        assert check(venv_bin / "python", "-c", call, cwd=tmp_path) == "['a', 'b'] [0, 2, 2, 0]\n"

    def test_tree_set_engine_is_installed_beside_the_module(self, venv_bin, tmp_path):
        code = (
            "import _cladomatic_engine; from cladomatic_tools import TreeSet; "
            "print(_cladomatic_engine.__file__); "
            "print(TreeSet.from_newick(['((A,B),(C,D));', '((A,C),(B,D));']).distances('rf').tolist())"
        )
        where, result = check(venv_bin / "python", "-c", code, cwd=tmp_path).splitlines()
        assert where.startswith(str(venv_bin.parent)) and result == "[[0, 2], [2, 0]]"
        stub = Path(where).parent / "_cladomatic_engine.pyi"
        assert stub.read_text() == (ROOT / "python/_cladomatic_engine.pyi").read_text()

    def test_console_script(self, venv_bin, tmp_path):
        assert "splits" in check(venv_bin / "cladomatic", "--help", cwd=tmp_path)
        out = tmp_path / "rf.tsv"
        check(venv_bin / "cladomatic", "rf", ROOT / "examples/primates.nex", "--output", out, cwd=tmp_path)
        assert len(out.read_text().splitlines()) == 121

    def test_report_inlines_the_installed_plotting_library(self, venv_bin, tmp_path):
        runs = [ROOT / f"tests/data/mrbayes/cynmix.run{i}.t.gz" for i in (1, 2)]
        check(venv_bin / "cladomatic", "report", *runs, "--output", tmp_path / "r.html", cwd=tmp_path)
        assert "plotly.js (basic - minified)" in (tmp_path / "r.html").read_text()
