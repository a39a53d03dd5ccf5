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
