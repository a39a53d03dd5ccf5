import subprocess

import cladomatic
import pytest

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
