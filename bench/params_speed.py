"""Wall time and peak memory of `cladomatic params`, each configuration in a child process of its own.

Run inside the development root:  tools/devenv run python3 bench/params_speed.py [--samples N] [--runs R]

The files: R runs (default 4) of N samples (default 50,000) of 20 parameters, each an AR(1) trace with
coefficient 0.99 (seeded; its autocorrelation keeps the ESS sums going for a few hundred lags), written as MrBayes
writes .p files into a temporary folder; and the committed BEAST runs tests/data/params/strict.runI.log.gz.
Prints one line per configuration: what ran, wall seconds and peak RSS in MiB.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]


def write_runs(folder: Path, runs: int, samples: int, parameters: int = 20) -> list[str]:
    rng = np.random.default_rng(20261208)
    paths = []
    for run in range(1, runs + 1):
        noise = rng.normal(size=(samples, parameters))
        trace = np.empty_like(noise)
        trace[0] = noise[0]
        for i in range(1, samples):
            trace[i] = 0.99 * trace[i - 1] + noise[i]
        path = folder / f"ar.run{run}.p"
        with open(path, "w") as out:
            out.write("[ID: 1]\nGen\t" + "\t".join(f"p{k}" for k in range(parameters)) + "\n")
            for i in range(samples):
                out.write(f"{i * 100}\t" + "\t".join(f"{v:.6e}" for v in trace[i]) + "\n")
        paths.append(str(path))
    return paths


def measure(label: str, arguments: list[str]) -> None:
    started = time.perf_counter()
    child = subprocess.Popen([sys.executable, "-m", "cladomatic_tools", "params", *arguments, "--quiet"])
    _, status, usage = os.wait4(child.pid, 0)
    wall = time.perf_counter() - started
    if status != 0:
        raise SystemExit(f"{label}: exit status {status}")
    print(f"{label}: {wall:.2f} s, {usage.ru_maxrss / 1024:.0f} MiB", flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--samples", type=int, default=50_000)
    parser.add_argument("--runs", type=int, default=4)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        paths = write_runs(Path(folder), args.runs, args.samples)
        table = str(Path(folder) / "table.tsv")
        for estimator in ("mrbayes", "coda"):
            for threads in ("1", "2"):
                measure(
                    f"{args.runs} x {args.samples} samples x 20 parameters, --ess {estimator}, --threads {threads}",
                    [*paths, "--ess", estimator, "--threads", threads, "--output", table],
                )
        beast = [str(ROOT / "tests/data/params" / f"strict.run{i}.log.gz") for i in (1, 2)]
        measure("2 x 2,001 BEAST samples x 13 columns, --ess tracer", [*beast, "--output", table])


if __name__ == "__main__":
    main()
