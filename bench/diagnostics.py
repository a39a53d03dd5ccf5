#!/usr/bin/env python3
"""Wall time and peak memory of `cladomatic converge` and `cladomatic space` on full MCMC samples.

Run inside the development root:

    tools/devenv run python3 bench/diagnostics.py

The 20,000 trees of bench/data/primates.mb.nex.gz (two MrBayes runs of 10,000 trees each after burn-in, 12
leaves, both in one TREES block) are first written as one file per run under build/bench-diagnostics. Then, each
in its own child process so that wait4() reports that command's peak resident set size alone:

- `converge` on the two 10,000-tree runs (burn-in 0: the files are already past it);
- `space` on all 20,000 trees, RF and KF (landmark MDS: above the exact-decomposition limit);
- `report` on the two runs, which does the work of `converge` and `space` (RF) and lays it out as one HTML page.

Target: each under 10 s on the development machine, and the report at most 1.5 times `converge` and `space` (RF)
together. The report's page is then opened in headless Chromium (where Selenium and the browser are installed)
and the time until its last figure is drawn is printed; it is not a target, only a figure to watch.

Then the Fréchet correlation ESS of one 10,000-tree chain (run 1 of bench/data/avian.mb.nex.gz, 89 leaves, made by
`tools/devenv run bench/make_data.sh avian`) against the RF matrix of the same chain, each in its own child process
after the trees are read: wall time of the call, and the peak resident memory it adds (the kernel's high-water mark,
reset after reading). Target: the ESS in at most 2 x the matrix's time, its memory far below the matrix's 400 MB.
"""

import argparse
import gzip
import os
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
SOURCE = ROOT / "bench" / "data" / "primates.mb.nex.gz"
ESS_SOURCE = ROOT / "bench" / "data" / "avian.mb.nex.gz"


def split_runs(work: Path, source_path: Path) -> list[Path]:
    """One NEXUS file per run, with the shared TRANSLATE block; tree names tell the runs apart."""
    with gzip.open(source_path, "rt") as source:
        lines = source.read().splitlines()
    header = [line for line in lines if not line.lstrip().startswith("tree ") and line.strip().lower() != "end;"]
    stem = source_path.name.split(".")[0]
    paths = []
    for run in ("run1", "run2"):
        path = work / f"{stem}.{run}.t.gz"
        if not path.exists():
            trees = [line for line in lines if line.lstrip().startswith(f"tree {run}.")]
            with gzip.open(path, "wt") as out:
                out.write("\n".join(header + trees + ["end;", ""]))
        paths.append(path)
    return paths


def run(args: list[str]) -> tuple[float, float, str]:
    """Wall seconds and peak RSS (MiB) of one child process, and its standard output."""
    started = time.perf_counter()
    read_out, write_out = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_out)
        os.dup2(write_out, 1)
        os.execvp(args[0], args)
    os.close(write_out)
    with os.fdopen(read_out) as stream:
        out = stream.read()
    _, status, usage = os.wait4(pid, 0)
    elapsed = time.perf_counter() - started
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"failed: {' '.join(args)}")
    return elapsed, usage.ru_maxrss / 1024.0, out


def measure(what: str, path: str) -> None:
    """In a child: read one run, then time `what` and print its seconds and the peak MiB it added."""
    from cladomatic_tools.treeset import TreeSet

    tree_set = TreeSet.from_files([path], lengths=False)
    tree_set.distances("rf", rows=[0], cols=[0])  # the layout both calls share, built on first use
    status = Path("/proc/self/status")
    Path("/proc/self/clear_refs").write_text("5")  # the high-water mark starts again from the current size
    before = _status_mib(status, "VmRSS")
    started = time.perf_counter()
    if what == "matrix":
        tree_set.distances("rf")
    else:
        tree_set.topological_ess("rf")
    elapsed = time.perf_counter() - started
    print(f"{elapsed:.3f} {_status_mib(status, 'VmHWM') - before:.1f} {len(tree_set)}")


def _status_mib(status: Path, field: str) -> float:
    line = next(line for line in status.read_text().splitlines() if line.startswith(field + ":"))
    return int(line.split()[1]) / 1024.0


def ess_against_matrix(work: Path) -> None:
    if not ESS_SOURCE.exists():
        print(f"\nno {ESS_SOURCE.name}: make it with `tools/devenv run bench/make_data.sh avian` (about 20 minutes)")
        return
    chain = str(split_runs(work, ESS_SOURCE)[0])
    figures = {}
    for what in ("matrix", "frechet"):
        _, _, out = run([sys.executable, __file__, "--measure", what, chain])
        seconds, added, trees = out.split()
        figures[what] = (float(seconds), float(added))
    n = int(trees)
    print(f"\nFréchet ESS against the RF matrix, one chain of {n:,} trees ({ESS_SOURCE.name}, run 1)")
    print(f"{'call':<30} {'wall s':>8} {'added MiB':>13}")
    for what, label in (("matrix", "ts.distances('rf')"), ("frechet", "ts.topological_ess('rf')")):
        print(f"{label:<30} {figures[what][0]:8.2f} {figures[what][1]:13.1f}")
    print(
        f"time ratio {figures['frechet'][0] / figures['matrix'][0]:.2f} (target at most 2); "
        f"the matrix itself is {n * n * 4 / 2**20:.0f} MiB"
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--work", default=str(ROOT / "build" / "bench-diagnostics"))
    parser.add_argument(
        "--source",
        default=str(SOURCE),
        help="two MrBayes runs in one gzip-compressed NEXUS file, as bench/make_data.sh writes them",
    )
    parser.add_argument("--measure", nargs=2, metavar=("CALL", "RUN"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.measure:
        measure(*args.measure)
        return
    work = Path(args.work)
    work.mkdir(parents=True, exist_ok=True)
    runs = [str(p) for p in split_runs(work, Path(args.source))]
    command = [sys.executable, "-m", "cladomatic_tools"]
    page = work / "report.html"
    cases = [
        (
            "converge, 2 x 10,000 trees",
            [*command, "converge", *runs, "--burnin", "0", "--output", str(work / "converge")],
        ),
        ("space rf, 20,000 trees", [*command, "space", *runs, "--output", str(work / "space-rf")]),
        ("space kf, 20,000 trees", [*command, "space", *runs, "--metric", "kf", "--output", str(work / "space-kf")]),
        ("report, 2 x 10,000 trees", [*command, "report", *runs, "--burnin", "0", "--output", str(page)]),
    ]
    print(f"{'command':<30} {'wall s':>8} {'peak RSS MiB':>13}")
    walls = {}
    for label, argv in cases:
        elapsed, rss, out = run(argv)
        walls[label.split(",")[0]] = elapsed
        print(f"{label:<30} {elapsed:8.2f} {rss:13.1f}")
        for line in out.splitlines():
            print(f"    {line}")
    both = walls["converge"] + walls["space rf"]
    print(f"report / (converge + space rf) = {walls['report'] / both:.2f} (target: at most 1.5)")
    print(f"report page: {page.stat().st_size / 1e6:.2f} MB (target: under 10 MB)")
    drawn = page_drawn_ms(page)
    if drawn is not None:
        print(f"report page drawn in headless Chromium {drawn} ms after navigation")
    ess_against_matrix(work)


def page_drawn_ms(page: Path) -> str | None:
    """The time from navigation to the report's last figure drawn, as the page records it; None where the
    browser cannot be driven."""
    try:
        from selenium import webdriver
        from selenium.webdriver.common.by import By
        from selenium.webdriver.support.ui import WebDriverWait
    except ImportError:
        print("report page: not opened (Selenium is not installed)")
        return None
    options = webdriver.ChromeOptions()
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu"):
        options.add_argument(flag)
    options.binary_location = "/usr/bin/chromium"
    try:
        driver = webdriver.Chrome(service=webdriver.ChromeService("/usr/bin/chromedriver"), options=options)
    except Exception as err:
        print(f"report page: not opened ({str(err).splitlines()[0]})")
        return None
    try:
        driver.get(page.as_uri())
        body = driver.find_element(By.TAG_NAME, "body")
        return WebDriverWait(driver, 300).until(lambda _: body.get_attribute("data-drawn-ms"))
    finally:
        driver.quit()


if __name__ == "__main__":
    main()
