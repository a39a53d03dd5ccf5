"""The settings of the convergence and tree-space diagnostics that the command's help quotes.

Kept apart from the NumPy code that uses them, so that the command starts, and offers its other subcommands,
where NumPy cannot be imported.
"""

# MrBayes's defaults: a relative burn-in of 25% and a minimum partition frequency of 0.10
DEFAULT_BURNIN = "25%"
DEFAULT_MIN_FREQ = 0.10
TRACE_POINTS = 20
# focal trees per run of the pseudo-ESS, as in the estimator's publication
DEFAULT_ESS_FOCAL = 20

# a full eigen-decomposition costs n^3: about 3 s at 1,000 trees on a loaded two-core machine, 25 s at 2,000
EXACT_LIMIT = 1000
LANDMARKS = 500
