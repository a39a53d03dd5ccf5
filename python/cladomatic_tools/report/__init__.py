"""The convergence report as one self-contained HTML page: its figures (`figures`) and the page around them
(`page`, with the inlined script and styles of `assets/`)."""
