"""Reading pipeline throughput and memory: trees pulled lazily from a Python
generator, parsed and interned.

    tools/devenv run python3 bench/pipeline.py [--sizes 25000,50000,100000]
                                               [--full 5000] [--metric rf|wrf]

Every run is a fresh subprocess, so that ru_maxrss is that run's own peak.

Streaming runs: the generator makes each 100-leaf tree when it is asked for it
and raises once it has yielded them all.  The call records that exception,
finishes parsing and interning what it has read, and raises it: the whole
pipeline runs over every tree and no pairwise stage follows (100,000 trees
would mean 5e9 pairs).  The generator times its own work, so the pipeline's
rate is given with and without the cost of making the trees in Python.

Full run: one complete call on fewer trees, with a ProgressCounter polled from
a thread to find where reading ends and the pairwise stage begins.
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
SEED = 7
CHUNK_BUDGET = 16 << 20
FUNCTIONS = {"rf": "pairwise_rf_from_newick_iter", "wrf": "pairwise_wrf_from_newick_iter"}


class EndOfStream(Exception):
    pass


def peak_rss():
    """Peak resident set size so far, in bytes (Linux reports KiB)."""
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def cpu_seconds():
    """User and system CPU time of every thread of the process so far."""
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def current_rss():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class TimedStream:
    """Makes `count` trees on demand, timing its own work and when each
    quarter of the trees was handed over."""

    def __init__(self, count, end_with_error):
        self.count = count
        self.end_with_error = end_with_error
        self.sampler = treegen.Sampler(n_leaves=N_LEAVES, seed=SEED)
        self.inside = 0.0
        self.inside_cpu = 0.0
        self.text_bytes = 0
        self.marks = []

    def __iter__(self):
        clock = time.perf_counter
        cpu = time.thread_time
        step = max(self.count // 4, 1)
        for i in range(self.count):
            start = clock()
            start_cpu = cpu()
            text = self.sampler.tree()
            self.inside_cpu += cpu() - start_cpu
            end = clock()
            self.inside += end - start
            self.text_bytes += len(text)
            if i % step == 0:
                self.marks.append((i, end))
            yield text
        self.marks.append((self.count, clock()))
        if self.end_with_error:
            raise EndOfStream


def interned_estimate(count, splits, weighted):
    """Bytes the call keeps for the whole run, as they grow with the trees
    read.  Per tree: its record, its split ids (and branch lengths when
    weighted) with their allocation header, and the native copies of its name
    and map index.  Per distinct split: key, side size and tree count in
    vectors grown by half, a hash slot at load 3/8..3/4, its final count."""
    internal = N_LEAVES - 3
    per_tree = 56 + (4 * internal + 16) + (8 * (N_LEAVES + internal) + 16 if weighted else 0) + 32 + 8
    per_split = (16 + 4 + 4) * 1.25 + 8 + 4
    return count * per_tree + int(splits * per_split)


def distinct_splits(count):
    """Distinct non-trivial bipartitions of the first `count` trees of the stream."""
    sampler = treegen.Sampler(n_leaves=N_LEAVES, seed=SEED)
    seen = set()
    for _ in range(count):
        seen |= treegen.bipartitions(sampler.topology())
    return len(seen)


def stream_run(count, metric):
    names = [f"tree_{i}" for i in range(count + 1)]
    # One index more than trees: the pull after the last tree is the one
    # that raises, and it must still be paired with an index to be recorded.
    indices = [0] * (count + 1)
    stream = TimedStream(count, end_with_error=True)
    function = getattr(cladomatic, FUNCTIONS[metric])
    base = current_rss()
    start_cpu = cpu_seconds()
    start = time.perf_counter()
    try:
        function(names, iter(stream), [{}], indices)
        raise RuntimeError("the call returned although the stream raised")
    except EndOfStream:
        pass
    elapsed = time.perf_counter() - start
    call_cpu = cpu_seconds() - start_cpu
    peak = peak_rss()
    quarters = []
    previous = (0, start)
    for mark in stream.marks[1:]:
        quarters.append((mark[0] - previous[0]) / (mark[1] - previous[1]))
        previous = mark
    return {
        "count": count,
        "elapsed": elapsed,
        "generator": stream.inside,
        "pipeline_cpu": call_cpu - stream.inside_cpu,
        "text_bytes": stream.text_bytes,
        "quarters": quarters,
        "base_rss": base,
        "peak": peak,
        "splits": distinct_splits(count),
    }


def full_run(count, metric):
    names = [f"tree_{i}" for i in range(count)]
    stream = TimedStream(count, end_with_error=False)
    function = getattr(cladomatic, FUNCTIONS[metric])
    counter = cladomatic.ProgressCounter()
    seen = {}
    done = threading.Event()

    def watch():
        # The call holds the interpreter lock while it reads, so this thread
        # first runs when the pairwise stage releases it.
        while not done.is_set():
            now = time.perf_counter()
            if "pairwise" not in seen and counter.total() != 0:
                seen["pairwise"] = now
            time.sleep(0.0005)

    watcher = threading.Thread(target=watch)
    base = current_rss()
    start = time.perf_counter()
    watcher.start()
    function(names, iter(stream), [{}], [0] * count, progress=counter)
    elapsed = time.perf_counter() - start
    done.set()
    watcher.join()
    reading = seen.get("pairwise", start + elapsed) - start
    return {
        "count": count,
        "elapsed": elapsed,
        "reading": reading,
        "generator": stream.inside,
        "base_rss": base,
        "peak": peak_rss(),
    }


def child(args):
    run = stream_run if args.child == "stream" else full_run
    print(json.dumps(run(args.count, args.metric)))


def in_subprocess(kind, count, metric):
    command = [sys.executable, os.path.abspath(__file__), "--child", kind, "--count", str(count),
               "--metric", metric]
    out = subprocess.run(command, check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def mib(value):
    return value / (1 << 20)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", default="25000,50000,100000", help="trees per streaming run")
    parser.add_argument("--full", type=int, default=5000, help="trees in the complete call (0: skip)")
    parser.add_argument("--metric", choices=sorted(FUNCTIONS), default="rf")
    parser.add_argument("--child", choices=["stream", "full"], help=argparse.SUPPRESS)
    parser.add_argument("--count", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args)
        return

    weighted = args.metric == "wrf"
    print(f"{FUNCTIONS[args.metric]}: {N_LEAVES}-leaf trees with branch lengths, "
          f"{os.cpu_count()} cores, generator in Python")
    print()
    print("Streaming (parse + intern every tree, no pairwise stage):")
    header = ("trees", "text MiB", "call s", "gen s", "drain t/s", "pipeline t/s", "t/cpu-s",
              "quarters t/s (drain)")
    print(f"{header[0]:>8} {header[1]:>9} {header[2]:>7} {header[3]:>7} {header[4]:>10} {header[5]:>13} "
          f"{header[6]:>8}  {header[7]}")
    runs = []
    for count in (int(s) for s in args.sizes.split(",")):
        run = in_subprocess("stream", count, args.metric)
        runs.append(run)
        pipeline = run["elapsed"] - run["generator"]
        quarters = " ".join(f"{q:,.0f}" for q in run["quarters"])
        print(f"{count:>8,} {mib(run['text_bytes']):>9.1f} {run['elapsed']:>7.2f} {run['generator']:>7.2f} "
              f"{count / run['elapsed']:>10,.0f} {count / pipeline:>13,.0f} {count / run['pipeline_cpu']:>8,.0f}  "
              f"{quarters}")
    print("drain: trees/s through the call, generator included; pipeline: trees/s with the time spent")
    print("in the generator taken out; t/cpu-s: trees per CPU-second of the module's own work.")
    print()
    print("Memory (MiB; 'call' is the peak RSS minus the RSS just before the call; what the interned")
    print("set does not explain, 'call-interned', is the chunk in flight and should stay flat):")
    header = ("trees", "peak RSS", "before", "call", "chunk", "interned est", "call-interned", "splits",
              "call/tree B", "text/tree B")
    print(f"{header[0]:>8} {header[1]:>9} {header[2]:>7} {header[3]:>7} {header[4]:>6} {header[5]:>13} "
          f"{header[6]:>14} {header[7]:>9} {header[8]:>12} {header[9]:>12}")
    for run in runs:
        count = run["count"]
        used = run["peak"] - run["base_rss"]
        estimate = interned_estimate(count, run["splits"], weighted)
        print(f"{count:>8,} {mib(run['peak']):>9.1f} {mib(run['base_rss']):>7.1f} {mib(used):>7.1f} "
              f"{mib(CHUNK_BUDGET):>6.1f} {mib(estimate):>13.1f} {mib(used - estimate):>14.1f} "
              f"{run['splits']:>9,} {used / count:>12,.0f} "
              f"{run['text_bytes'] / count:>12,.0f}")
    if len(runs) >= 2:
        first, last = runs[0], runs[-1]
        grown = (last["peak"] - last["base_rss"]) - (first["peak"] - first["base_rss"])
        trees = last["count"] - first["count"]
        interned = interned_estimate(last["count"], last["splits"], weighted) - interned_estimate(
            first["count"], first["splits"], weighted)
        text = last["text_bytes"] - first["text_bytes"]
        print(f"from {first['count']:,} to {last['count']:,} trees: the call's peak grew by {mib(grown):.1f} MiB "
              f"({grown / trees:,.0f} B/tree); the interned set by an estimated {mib(interned):.1f} MiB, "
              f"the text read by {mib(text):.1f} MiB")

    if args.full:
        run = in_subprocess("full", args.full, args.metric)
        count = run["count"]
        pipeline = run["reading"] - run["generator"]
        pairwise = run["elapsed"] - run["reading"]
        print()
        print(f"Complete call on {count:,} trees ({count * (count - 1) // 2:,} pairs):")
        print(f"  reading {run['reading']:.2f} s (generator {run['generator']:.2f} s, pipeline {pipeline:.2f} s"
              f" = {count / pipeline:,.0f} trees/s), pairwise stage {pairwise:.2f} s, "
              f"peak RSS {mib(run['peak']):.1f} MiB ({mib(run['base_rss']):.1f} before the call)")


if __name__ == "__main__":
    main()
