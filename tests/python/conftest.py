import csv
import gzip
import io
import signal
import subprocess
import sys
from pathlib import Path

import cladomatic
import numpy as np
import pytest
from cladomatic_tools.io.sources import FileTrees, scan
from cladomatic_tools.selection import Selection, parse_burnin

FUNCTION_NAMES = [
    "pairwise_rf_from_newick_iter",
    "pairwise_rf_with_snapshots_from_newick_iter",
    "pairwise_wrf_with_snapshots_from_newick_iter",
    "pairwise_kf_with_snapshots_from_newick_iter",
    "pairwise_wrf_from_newick_iter",
    "pairwise_kf_from_newick_iter",
]


@pytest.fixture(params=FUNCTION_NAMES)
def function(request):
    return getattr(cladomatic, request.param)


@pytest.fixture
def small_disk(tmp_path):
    """A 1 MB tmpfs: the tests run as root in a mount namespace of their own (the development root)."""
    disk = tmp_path / "disk"
    disk.mkdir()
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", disk], capture_output=True, text=True)
    if mounted.returncode != 0:
        pytest.skip(f"no small file system to fill: mounting a tmpfs was refused ({mounted.stderr.strip()})")
    yield disk
    subprocess.run(["umount", "-l", disk], check=True)


# The command and the module as the tests call them

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
NEWICK = EXAMPLES / "primates.nwk"
NEXUS = EXAMPLES / "primates.nex"
TREES = NEWICK.read_text().split()


def command(*args):
    return [sys.executable, "-m", "cladomatic_tools", *map(str, args)]


def interruptible():
    """For Popen's preexec_fn: a child started from a background job inherits an ignored SIGINT, and Python
    leaves an ignored signal ignored, so the tests that interrupt the command restore the default first."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def run(*args):
    return subprocess.run(command(*args), capture_output=True, text=True, timeout=300)


def kept_line(path, kept=120, found=120, applied="none", dropped=0):
    """The line every command says on standard error of what its burn-in (`dropped` trees) and thinning kept of
    one file."""
    return f"cladomatic: burn-in {applied}: {path} {kept} of {found} trees kept ({dropped} dropped)\n"


@pytest.fixture(scope="module")
def engine():
    import cladomatic

    return cladomatic


def direct(engine, metric, trees, rooted=False):
    """The matrix the module gives for these Newick texts, called directly."""
    names = [f"t{i}" for i in range(len(trees))]
    function = getattr(engine, f"pairwise_{metric}_from_newick_iter")
    _, values = function(names, iter(trees), [{}], [0] * len(trees), rooted=rooted)
    if metric == "rf":
        return np.frombuffer(values, dtype="<u4").reshape(len(trees), -1)
    return np.array(values).reshape(len(trees), -1)


def read_table(text, delimiter):
    rows = list(csv.reader(io.StringIO(text), delimiter=delimiter))
    assert rows[0][0] == "" and [row[0] for row in rows[1:]] == rows[0][1:]
    return rows[0][1:], np.array([[float(value) for value in row[1:]] for row in rows[1:]])


def read_output(path, fmt):
    if fmt == "npy":
        return None, np.load(path)
    return read_table(Path(path).read_text(), "\t" if fmt == "tsv" else ",")


def one_line_error(result, status, text):
    assert result.returncode == status
    assert result.stdout == ""
    assert result.stderr.count("\n") == 1 and "Traceback" not in result.stderr
    assert text in result.stderr, result.stderr


FULL = {
    "rf": lambda names, texts, rooted: np.frombuffer(
        cladomatic.pairwise_rf_from_newick_iter(names, iter(texts), [{}], [0] * len(texts), rooted=rooted)[1], "<u4"
    ),
    "wrf": lambda names, texts, rooted: np.array(
        cladomatic.pairwise_wrf_from_newick_iter(names, iter(texts), [{}], [0] * len(texts), rooted=rooted)[1]
    ),
    "kf": lambda names, texts, rooted: np.array(
        cladomatic.pairwise_kf_from_newick_iter(names, iter(texts), [{}], [0] * len(texts), rooted=rooted)[1]
    ),
}


def full_matrix(metric, texts, rooted):
    n = len(texts)
    return FULL[metric]([str(i) for i in range(n)], texts, rooted).reshape(n, n)


# Files for the reader

TRANSLATED_NEXUS = """#NEXUS
[a comment; with a semicolon]
begin taxa;
    dimensions ntax=3;
    taxlabels 'Homo sapiens' Pan Gorilla;
end;
BEGIN TREES;
    Translate
        1 'Homo sapiens',
        2 Pan,
        3 'O''Brien''s gorilla'
    ;
    tree first = [&U] (1:0.1,(2:0.2,3:0.3):0.05);
    TREE * 'second tree' [&lnP=-12.5;x] = [&R] ((1,2),3);
end;
begin trees;
    tree other = ((A,B),C);
endblock;
"""


def write(tmp_path, name, text, compress=False):
    path = tmp_path / name
    data = text.encode()
    path.write_bytes(gzip.compress(data) if compress else data)
    return str(path)


def scanned(paths, burnin=None, every=1):
    return scan(FileTrees(paths, Selection(None if burnin is None else parse_burnin(burnin), every)))
