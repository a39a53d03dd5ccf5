"""All-pairs RF, WRF and KF throughput and memory on 100-leaf trees.

    tools/devenv run python3 bench/pairwise.py [--sizes 2000,10000] [--metrics rf,wrf,kf]
                                               [--bytes]

Trees are perturbed copies of four base topologies (1 to 4 random NNI/SPR
moves each, branch lengths jittered), so that most splits are shared, as in a
posterior sample.  They are made before the call and passed as iter(list), so
that the reading time is the module's own.

Each configuration runs in a fresh subprocess, so that ru_maxrss is its own
peak.  A ProgressCounter polled from a thread splits the call into stages:
its total is set when the pairwise stage begins (the layout of the rows
first), its value first moves when the first rows are done, and reaches the
total when the last rows are; mirroring and building the result follow.
The pair rate is taken over the pair step alone (from the first rows to the
last, scaled to all pairs) and over the whole pairwise stage.

--bytes also runs the WRF and KF variants that return the matrix as bytes
(the *_with_snapshots_* functions, which add the exports) instead of a list
of floats.
"""

import argparse
import json
import os
import resource
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import cladomatic
import treegen

N_LEAVES = 100
SEED = 11
FUNCTIONS = {
    "rf": "pairwise_rf_from_newick_iter",
    "wrf": "pairwise_wrf_from_newick_iter",
    "kf": "pairwise_kf_from_newick_iter",
    "wrf/bytes": "pairwise_wrf_with_snapshots_from_newick_iter",
    "kf/bytes": "pairwise_kf_with_snapshots_from_newick_iter",
}
CELL_BYTES = {"rf": 4, "wrf": 8, "kf": 8, "wrf/bytes": 8, "kf/bytes": 8}


def peak_rss():
    """Peak resident set size so far, in bytes (Linux reports KiB)."""
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def current_rss():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def cpu_seconds():
    """User and system CPU time of every thread of the process so far."""
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def timed_call(function, texts):
    """One call with a polled counter; returns the stage boundaries in seconds
    from the start of the call."""
    n = len(texts)
    counter = cladomatic.ProgressCounter()
    marks = {}
    done = threading.Event()

    def watch():
        # The call holds the interpreter lock until the pairwise stage
        # releases it, so the first look at the counter comes right then.
        while not done.is_set():
            now = time.perf_counter()
            total = counter.total()
            if total:
                value = counter.value()
                marks.setdefault("pairwise", now)
                if value and "first" not in marks:
                    marks["first"] = now
                    marks["first_value"] = value
                    marks["first_cpu"] = cpu_seconds()
                if value == total and "full" not in marks:
                    marks["full"] = now
                    marks["full_cpu"] = cpu_seconds()
                    return
            time.sleep(0.0002)

    watcher = threading.Thread(target=watch)
    watcher.start()
    start = time.perf_counter()
    result = function([f"tree_{i}" for i in range(n)], iter(texts), [{}], [0] * n, progress=counter)
    end = time.perf_counter()
    done.set()
    watcher.join()
    del result
    stages = {key: marks[key] - start for key in ("pairwise", "first", "full") if key in marks}
    stages["end"] = end - start
    stages["first_value"] = marks.get("first_value", 0)
    if "full_cpu" in marks:
        stages["step_cpu"] = marks["full_cpu"] - marks["first_cpu"]
    return stages


def child(metric, n, repeat, bases, moves):
    sampler = treegen.Sampler(n_leaves=N_LEAVES, n_bases=bases, max_moves=moves, seed=SEED)
    texts = [sampler.tree() for _ in range(n)]
    function = getattr(cladomatic, FUNCTIONS[metric])
    base = current_rss()
    runs = [timed_call(function, texts) for _ in range(repeat)]
    return {"metric": metric, "n": n, "runs": runs, "base_rss": base, "peak": peak_rss(),
            "text_bytes": sum(len(t) for t in texts)}


def in_subprocess(metric, n, repeat, bases, moves):
    command = [sys.executable, os.path.abspath(__file__), "--child", metric, "--count", str(n),
               "--repeat", str(repeat), "--bases", str(bases), "--moves", str(moves)]
    out = subprocess.run(command, check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def pair_step(run, pairs, key="wall"):
    """Seconds (wall, or CPU of all threads) for every pair, scaled from the
    pairs done between the first and the last look at a moving counter."""
    if "first" not in run or "full" not in run or run["full"] <= run["first"]:
        return None
    seconds = run["full"] - run["first"] if key == "wall" else run["step_cpu"]
    return seconds * pairs / (pairs - run["first_value"])


def mib(value):
    return value / (1 << 20)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", default="2000,10000")
    parser.add_argument("--metrics", default="rf,wrf,kf")
    parser.add_argument("--bytes", action="store_true", help="also the bytes-returning WRF/KF variants")
    parser.add_argument("--bases", type=int, default=4, help="base topologies")
    parser.add_argument("--moves", type=int, default=4,
                        help="at most this many NNI/SPR moves per tree (at least 1 unless 0)")
    parser.add_argument("--child", choices=sorted(FUNCTIONS), help=argparse.SUPPRESS)
    parser.add_argument("--count", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--repeat", type=int, default=1, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        print(json.dumps(child(args.child, args.count, args.repeat, args.bases, args.moves)))
        return

    metrics = args.metrics.split(",")
    if args.bytes:
        metrics += [m + "/bytes" for m in metrics if m in ("wrf", "kf")]
    print(f"{N_LEAVES}-leaf trees from {args.bases} base topologies, up to {args.moves} moves each; "
          f"{os.cpu_count()} cores; times in seconds, best of the runs shown")
    settings = [f"{k}={v}" for k, v in sorted(os.environ.items()) if k.startswith("CLADOMATIC_") and v]
    if settings:
        print("settings: " + " ".join(settings))
    header = ("metric", "trees", "read", "layout", "pair step", "tail", "M pairs/s", "stage M/s", "cpu s",
              "M/cpu-s", "matrix MiB", "peak RSS MiB", "before")
    print(f"{header[0]:<10} {header[1]:>6} {header[2]:>6} {header[3]:>7} {header[4]:>9} {header[5]:>6} "
          f"{header[6]:>9} {header[7]:>9} {header[8]:>6} {header[9]:>7} {header[10]:>10} {header[11]:>12} "
          f"{header[12]:>7}")
    for n in (int(s) for s in args.sizes.split(",")):
        pairs = n * (n - 1) // 2
        for metric in metrics:
            # Short calls are repeated: their pair step is tens of milliseconds.
            result = in_subprocess(metric, n, 3 if n <= 2000 else 1, args.bases, args.moves)
            best = min(result["runs"], key=lambda r: pair_step(r, pairs) or r["end"])
            step = pair_step(best, pairs)
            cpu = pair_step(best, pairs, "cpu")
            read = best.get("pairwise", best["end"])
            layout = best["first"] - read if "first" in best else float("nan")
            tail = best["end"] - best["full"] if "full" in best else float("nan")
            stage = best["end"] - read
            rate = f"{pairs / step / 1e6:9.1f}" if step else f"{'-':>9}"
            step_text = f"{step:9.3f}" if step else f"{'-':>9}"
            cpu_text = f"{cpu:6.2f} {pairs / cpu / 1e6:7.1f}" if cpu else f"{'-':>6} {'-':>7}"
            print(f"{metric:<10} {n:>6} {read:>6.3f} {layout:>7.3f} {step_text} {tail:>6.3f} {rate} "
                  f"{pairs / stage / 1e6:>9.1f} {cpu_text} {mib(n * n * CELL_BYTES[metric]):>10.1f} "
                  f"{mib(result['peak']):>12.1f} {mib(result['base_rss']):>7.1f}")
    print()
    print("read: pull, parse and intern (until the counter's total is set); layout: until the first rows")
    print("are counted; pair step: the pair kernel over all rows, each band mirrored into the lower")
    print("triangle as it finishes; tail: the Python result after the last pair (a list of n*n floats")
    print("for plain WRF/KF); stage M/s: pairs over layout + pair step + tail; cpu s: CPU time of all")
    print("threads in the pair step (2 cores: ideally 2x its wall time; less when other processes")
    print("compete), M/cpu-s: pairs per CPU-second.")
    print("before: RSS before the call, the tree texts included.")


if __name__ == "__main__":
    main()
