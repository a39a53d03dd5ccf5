"""The analyses' defaults that the command's help quotes.

Kept apart from the NumPy code that uses them, so that the command starts, and offers its other subcommands,
where NumPy cannot be imported.
"""

# MrBayes's default minimum partition frequency (its default burn-in is selection.DEFAULT_BURNIN)
DEFAULT_MIN_FREQ = 0.10
TRACE_POINTS = 20
# whose effective sample size `params` and `report` give for parameter samples (see parameters.py)
PARAMETER_ESTIMATORS = {
    "coda": "R's coda (effectiveSize)",
    "tracer": "Tracer's (BEAST's loganalyser)",
    "mrbayes": "MrBayes's (sump)",
}
# focal trees per run of the pseudo-ESS, as in the estimator's publication
DEFAULT_ESS_FOCAL = 20

# a full eigen-decomposition costs n^3: about 3 s at 1,000 trees on a loaded two-core machine, 25 s at 2,000
EXACT_LIMIT = 1000
LANDMARKS = 500


def check_min_freq(value: float, given: str | None = None) -> float:
    """A minimum partition frequency, which lies between 0 and 1; `given` is the text it was read from."""
    if not 0.0 <= value <= 1.0:
        raise ValueError(f"expected a frequency between 0 and 1, got '{value if given is None else given}'")
    return value
