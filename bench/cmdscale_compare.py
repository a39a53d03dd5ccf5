#!/usr/bin/env python3
"""Principal coordinates of `cladomatic space` against R's cmdscale on one committed tree set.

Run inside the development root:

    tools/devenv run python3 bench/cmdscale_compare.py [--metric rf|kf] [--dims 3] [--landmarks 100]

Takes the two runs of tests/data/mrbayes/cynmix (402 trees), computes their distance matrix once through the
TreeSet, hands the same matrix to `cmdscale(d, k, eig = TRUE)` in R and to the command's exact method, and
prints the largest relative difference of the eigenvalues and the largest difference of the coordinates once
each axis's sign is matched (R and NumPy may return an eigenvector or its negative), relative to the spread
of that axis. Then how well the landmark method's axes (with --landmarks landmarks) are explained linearly by R's.
"""

import argparse
import subprocess
import sys
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
RUNS = [str(ROOT / "tests" / "data" / "mrbayes" / f"cynmix.run{i}.t.gz") for i in (1, 2)]

R_SCRIPT = r"""
args <- commandArgs(trailingOnly = TRUE)
n <- as.integer(args[2]); k <- as.integer(args[3])
con <- file(args[1], "rb"); d <- matrix(readBin(con, "double", n * n, size = 8, endian = "little"), n, n); close(con)
fit <- cmdscale(d, k = k, eig = TRUE)
con <- file(args[4], "wb")
writeBin(as.double(fit$eig[1:k]), con, size = 8, endian = "little")
writeBin(as.double(t(fit$points)), con, size = 8, endian = "little")
close(con)
"""


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--metric", default="rf", choices=("rf", "kf", "rf_norm"))
    parser.add_argument("--dims", type=int, default=3)
    parser.add_argument("--landmarks", type=int, default=100)
    parser.add_argument("--work", default=str(ROOT / "build" / "bench-cmdscale"))
    args = parser.parse_args()
    from cladomatic_tools import space
    from cladomatic_tools.treeset import TreeSet

    work = Path(args.work)
    work.mkdir(parents=True, exist_ok=True)
    tree_set = TreeSet.from_files(RUNS, lengths=args.metric == "kf")
    d = np.ascontiguousarray(tree_set.distances(args.metric), dtype="<f8")
    n, k = len(d), args.dims
    (work / "d.bin").write_bytes(d.tobytes())
    (work / "cmdscale.R").write_text(R_SCRIPT)
    subprocess.run(
        ["Rscript", str(work / "cmdscale.R"), str(work / "d.bin"), str(n), str(k), str(work / "r.bin")], check=True
    )
    r = np.fromfile(work / "r.bin", dtype="<f8")
    r_values, r_points = r[:k], r[k:].reshape(n, k)

    ours = space.classical(d, k)
    landmark = space.principal_coordinates(tree_set, args.metric, k, method="landmark", landmarks=args.landmarks)
    print(f"{n} trees, {args.metric}, {k} axes; landmark MDS with {args.landmarks} landmarks")
    print(f"{'axis':<6}{'cmdscale eig':>16}{'exact eig':>16}{'rel diff':>11}{'coord diff':>12}")
    for axis in range(k):
        sign = np.sign(ours.points[:, axis] @ r_points[:, axis]) or 1.0
        spread = np.ptp(r_points[:, axis]) or 1.0
        coord = np.abs(sign * ours.points[:, axis] - r_points[:, axis]).max() / spread
        rel = abs(ours.eigenvalues[axis] - r_values[axis]) / abs(r_values[axis])
        print(f"PCo{axis + 1:<3}{r_values[axis]:16.6f}{ours.eigenvalues[axis]:16.6f}{rel:11.2e}{coord:12.2e}")
    # axes with close eigenvalues may rotate into each other: compare the spanned spaces, not axis by axis
    centred = r_points - r_points.mean(axis=0)
    fit, *_ = np.linalg.lstsq(centred, landmark.points - landmark.points.mean(axis=0), rcond=None)
    residual = landmark.points - landmark.points.mean(axis=0) - centred @ fit
    r2 = 1.0 - (residual**2).sum() / ((landmark.points - landmark.points.mean(axis=0)) ** 2).sum()
    print(
        f"landmark MDS: R^2 of its {k} axes explained linearly by cmdscale's = {r2:.4f}; "
        f"shares {np.round(landmark.share, 3).tolist()} against {np.round(ours.share, 3).tolist()}"
    )
    ok = np.allclose(ours.eigenvalues, r_values, rtol=1e-9)
    print("eigenvalues agree to 1e-9" if ok else "EIGENVALUES DIFFER")
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
