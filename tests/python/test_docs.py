"""Every example of the documentation run as written: the `$` lines of each page's console blocks (their output
must be what follows them, byte for byte), each page's `>>>` blocks as one doctest session, and the examples of
the public docstrings. They run in a scratch folder that sees the checkout's examples/ and tests/data/, so that
a page may write files without touching the checkout."""

import doctest
import importlib
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
PAGES = sorted([ROOT / "README.md", *(ROOT / "docs").rglob("*.md")])
FENCE = re.compile(r"^```(\w+)[^\n]*\n(.*?)^```", re.MULTILINE | re.DOTALL)
# the modules whose docstrings the Python reference renders
DOCUMENTED = ["cladomatic_tools.treeset", "cladomatic_tools.summaries", "cladomatic_tools.dask"]
OPTIONS = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE


@pytest.fixture
def scratch(tmp_path, monkeypatch):
    (tmp_path / "tests").mkdir()
    for shared in ("examples", "tests/data"):
        (tmp_path / shared).symlink_to(ROOT / shared)
    # the command as users run it, through this interpreter and its module path
    bin_dir = tmp_path / ".bin"
    bin_dir.mkdir()
    (bin_dir / "cladomatic").write_text(f'#!/bin/sh\nexec {sys.executable} -m cladomatic_tools "$@"\n')
    (bin_dir / "cladomatic").chmod(0o755)
    monkeypatch.setenv("PATH", f"{bin_dir}{os.pathsep}{os.environ['PATH']}")
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join(sys.path))
    monkeypatch.chdir(tmp_path)
    return tmp_path


def sessions(page: Path) -> list[tuple[str, int, list[tuple[str, str]]]]:
    """Each console block's (language, line, [(command, expected output)])."""
    text = page.read_text()
    found = []
    for fence in FENCE.finditer(text):
        if fence[1] != "console":
            continue
        steps: list[tuple[str, str]] = []
        for line in fence[2].splitlines(keepends=True):
            if line.startswith("$ "):
                steps.append((line[2:].rstrip("\n"), ""))
            elif steps:
                steps[-1] = (steps[-1][0], steps[-1][1] + line)
        found.append((fence[1], text.count("\n", 0, fence.start()) + 1, steps))
    return found


def doctest_text(page: Path) -> str:
    return "\n".join(fence[2] for fence in FENCE.finditer(page.read_text()) if fence[1] in ("pycon", "python"))


# What a page prints is checked once, against the release modules; under the sanitizers the examples would only
# repeat calls the other tests make, at many times the cost of a run that CI can barely afford.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


@pytest.mark.skipif(SANITIZED, reason="checked against the release modules")
@pytest.mark.parametrize("page", PAGES, ids=[str(page.relative_to(ROOT)) for page in PAGES])
def test_every_example_of_the_page_prints_what_it_shows(page, scratch):
    for _, line, steps in sessions(page):
        for command, expected in steps:
            ran = subprocess.run(["bash", "-c", f"set -o pipefail; {command}"], capture_output=True, text=True)
            assert ran.returncode == 0, f"{page.name}:{line}: {command}\n{ran.stderr}"
            assert ran.stdout == expected, f"{page.name}:{line}: {command}"
    text = doctest_text(page)
    if ">>>" in text:
        test = doctest.DocTestParser().get_doctest(text, {}, page.name, str(page), 0)
        runner = doctest.DocTestRunner(optionflags=OPTIONS)
        runner.run(test)
        assert runner.failures == 0, f"{page.name}: {runner.failures} of its >>> examples print something else"


@pytest.mark.parametrize("name", DOCUMENTED)
def test_every_docstring_example_runs(name, scratch):
    pytest.importorskip("dask") if name.endswith("dask") else None
    module = importlib.import_module(name)
    failures, _ = doctest.testmod(module, optionflags=OPTIONS, report=True)
    assert failures == 0


def test_the_runner_sees_a_wrong_output(tmp_path, scratch):
    page = tmp_path / "page.md"
    page.write_text("```console\n$ echo one\ntwo\n```\n")
    ((_, _, [(command, expected)]),) = sessions(page)
    assert (command, expected) == ("echo one", "two\n")
