"""Speed on real posteriors, against an older build of the same code, in one run.

    tools/devenv run python3 bench/speed.py [--old build/base] [--repeat 3] [--skip tsv,touch]

--old is a build directory of the commit to compare with, beside its source tree (--old-src, by default
<old>-src): for example

    git worktree add build/base-src <commit>
    tools/devenv run sh -c "cmake -S build/base-src -B build/base -G Ninja -DCMAKE_BUILD_TYPE=Release \\
                            && cmake --build build/base --target cladomatic"

Every figure is the median of --repeat runs, old and new alternating, each run a fresh process. Figures:

- primates (20,000 MrBayes trees of 12 taxa, bench/data/primates.mb.nex.gz): the RF module call with the trees
  already in memory, and the whole `cladomatic rf` process writing .npy;
- 10,000 synthetic 100-leaf trees (as bench/pairwise.py makes them): RF end to end in pairs per second, and KF as
  bytes (`_with_snapshots_`) and as the plain list of floats;
- the KF matrix of those trees written as TSV by the command's output code, in MB/s;
- `cladomatic kf` of 16,000 trees of 60 leaves (treegen.py) to `.npy`, filled band by band, against the tiled
  run to a local `.zarr` store, for each build, and the two matrices compared;
- the RF module call on those 10,000 trees against a plain AND+popcount loop (bench/popcount_loop.c, one thread)
  filling the same matrix from the bit rows the kernel intersects (its rare splits left out): best and median of
  each, their ratio, how far identical calls spread, and the load average around them;
- first touch of a fresh 1.6 GB buffer: page by page, populated by the kernel in one call per thread, and with
  the huge-page hint, with the huge pages granted and how often the kernel compacted memory directly meanwhile
  (/proc/vmstat), which is what the hint can cost on a fragmented machine.

Old and new results are compared byte for byte where both exist.
"""

import argparse
import hashlib
import json
import math
import mmap
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
PRIMATES = os.path.join(HERE, "data", "primates.mb.nex.gz")
N_SYNTHETIC = 10_000
TOUCH_BYTES = 1_600_000_000
RF_DENSE_SHARE = 0.03  # the module's default share of trees from which a split is held as bits


def digest(data):
    return hashlib.sha256(memoryview(data).cast("B")).hexdigest()[:16]


def primates_rf():
    import cladomatic
    import treefiles

    trees = treefiles.read_tree_file(PRIMATES)
    n = len(trees.newicks)
    start = time.perf_counter()
    _, data = cladomatic.pairwise_rf_from_newick_iter(trees.names, iter(trees.newicks), [trees.translate], [0] * n)
    return {"seconds": time.perf_counter() - start, "n": n, "digest": digest(data)}


def synthetic_texts():
    import treegen

    sampler = treegen.Sampler(n_leaves=100, n_bases=4, max_moves=4, seed=11)
    return [sampler.tree() for _ in range(N_SYNTHETIC)]


def synthetic(function_name):
    import cladomatic

    texts = synthetic_texts()
    n = len(texts)
    function = getattr(cladomatic, function_name)
    counter = cladomatic.ProgressCounter()
    marks = {}
    running = True

    def poll():
        while running and "done" not in marks:
            total, value = counter.total(), counter.value()
            if total and "stage" not in marks:
                marks["stage"] = time.perf_counter()
            if total and value and "first" not in marks:
                marks["first"], marks["first_value"], marks["total"] = time.perf_counter(), value, total
            if total and value == total:
                marks["done"] = time.perf_counter()
            time.sleep(0.001)

    poller = threading.Thread(target=poll)
    poller.start()
    usage = resource.getrusage(resource.RUSAGE_SELF)
    start = time.perf_counter()
    result = function([str(i) for i in range(n)], iter(texts), [{}], [0] * n, progress=counter)
    seconds = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_SELF)
    cpu = after.ru_utime + after.ru_stime - usage.ru_utime - usage.ru_stime
    running = False
    poller.join()
    data = result[1]
    if isinstance(data, list):
        from array import array

        data = array("d", data).tobytes()
    # From the last pair to the return: mirroring and building the Python result.
    # A loaded host may not run the poller between the last pair and the return.
    if "first" in marks:
        marks["done"] = min(marks.get("done", start + seconds), start + seconds)
    tail = start + seconds - marks.get("done", start + seconds)
    # From the first counted rows to the last, scaled to all pairs; None when one poll saw them all.
    pair_step = None
    if "done" in marks and marks["first_value"] < marks["total"]:
        left = marks["total"] - marks["first_value"]
        pair_step = (marks["done"] - marks["first"]) * marks["total"] / left
    # From the start of the pairwise stage (layout, first touch of the matrix) to the last pair.
    stage = marks["done"] - marks["stage"] if "done" in marks and "stage" in marks else None
    return {
        "seconds": seconds,
        "n": n,
        "digest": digest(data),
        "tail": tail,
        "pair_step": pair_step,
        "stage": stage,
        "cpu": cpu,
    }


def popcount_library():
    """Builds bench/popcount_loop.c into build/ when it is missing or older than its source."""
    source = os.path.join(HERE, "popcount_loop.c")
    target = os.path.join(ROOT, "build", "popcount_loop.so")
    if not os.path.exists(target) or os.path.getmtime(target) < os.path.getmtime(source):
        compiler = shutil.which("cc") or "gcc"
        subprocess.run([compiler, "-O2", "-mpopcnt", "-shared", "-fPIC", "-o", target, source], check=True)
    return target


def popcount_loop():
    """The plain loop over the bit rows the kernel intersects (splits in 2 to n-1 trees and at least the default
    dense share of them), into a fresh matrix. Its cells lack the rare shared splits the kernel adds through its
    postings: on sampled pairs, loop - module must be twice their count."""
    import ctypes
    import random

    import cladomatic
    import numpy

    texts = synthetic_texts()
    n = len(texts)
    names = [str(i) for i in range(n)]
    _, data, _, n_bip, presence_bytes = cladomatic.pairwise_rf_with_snapshots_from_newick_iter(
        names, iter(texts), [{}], [0] * n
    )[:5]
    presence = numpy.frombuffer(presence_bytes, dtype=numpy.uint8).reshape(n, n_bip)
    freq = presence.sum(axis=0, dtype=numpy.int64)
    dense_from = max(math.ceil(RF_DENSE_SHARE * n), 2)
    dense = presence[:, (freq >= dense_from) & (freq <= n - 1)]
    rare = presence[:, (freq >= 2) & (freq < dense_from)]
    words = (dense.shape[1] + 63) // 64
    packed = numpy.zeros((n, words * 8), dtype=numpy.uint8)
    packed[:, : (dense.shape[1] + 7) // 8] = numpy.packbits(dense, axis=1)
    bits = packed.view(numpy.uint64)
    self_counts = presence[:, freq <= n - 1].sum(axis=1, dtype=numpy.uint32)
    library = ctypes.CDLL(popcount_library())
    libc = ctypes.CDLL(None)
    fill = library.popcount_upper
    fill.restype = ctypes.c_void_p
    fill.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_size_t]
    start = time.perf_counter()
    pointer = fill(bits.ctypes.data, self_counts.ctypes.data, n, words)
    seconds = time.perf_counter() - start
    if not pointer:
        raise MemoryError("popcount loop")
    loop = numpy.ctypeslib.as_array((ctypes.c_uint32 * (n * n)).from_address(pointer)).reshape(n, n)
    module = numpy.frombuffer(data, dtype="<u4").reshape(n, n)
    pairs = [sorted(random.Random(k).sample(range(n), 2)) for k in range(2000)]
    same = all(
        int(loop[i, j]) - int(module[i, j]) == 2 * int(numpy.count_nonzero(rare[i] & rare[j])) for i, j in pairs
    )
    libc.free(ctypes.c_void_p(pointer))
    return {"seconds": seconds, "n": n, "words": words, "same": same}


def kf_tsv():
    import cladomatic

    try:
        from cladomatic_tools.io import writers as output
    except ImportError:  # builds before the package had folders
        from cladomatic_tools import output

    texts = synthetic_texts()
    n = len(texts)
    names = [f"tree{i}" for i in range(n)]
    _, data = cladomatic.pairwise_kf_with_snapshots_from_newick_iter(names, iter(texts), [{}], [0] * n)[:2]
    if hasattr(output, "Bands"):  # the command's band writer
        import numpy

        matrix = numpy.frombuffer(data, dtype="<f8").reshape(n, n)

        def fill(rows, out):
            out[...] = matrix[rows.start : rows.stop]

        table = output.Bands(names, names, "float64", fill, True)
    else:  # the whole-matrix writer of older builds
        table = output.Matrix(names, memoryview(data).cast("d"), "float64")
    with tempfile.TemporaryDirectory(dir=os.path.join(ROOT, "build")) as folder:
        path = os.path.join(folder, "kf.tsv")
        start = time.perf_counter()
        output.write_matrix(table, output.Target(path, "tsv", False))
        seconds = time.perf_counter() - start
        size = os.path.getsize(path)
        with open(path, "rb") as file:
            text_digest = hashlib.sha256(file.read()).hexdigest()[:16]
    return {"seconds": seconds, "bytes": size, "digest": text_digest}


def vmstat():
    wanted = ("compact_stall", "thp_fault_alloc", "thp_fault_fallback")
    with open("/proc/vmstat") as stats:
        return {key: int(value) for key, value in (line.split() for line in stats) if key in wanted}


MADV_POPULATE_WRITE = 23  # Linux 5.14


def first_touch(mode):
    """Writes a fresh anonymous mapping from two threads, as the pairwise stage first touches its matrix:
    'fault' page by page, 'populate' after the kernel has been asked to fault each half in at once, 'huge'
    page by page with the huge-page hint."""
    import ctypes

    libc = ctypes.CDLL(None, use_errno=True)
    libc.madvise.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]
    # A shared anonymous map is shared memory, which gets no huge pages.
    buffer = mmap.mmap(-1, TOUCH_BYTES, flags=mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS)
    if mode == "huge":
        buffer.madvise(mmap.MADV_HUGEPAGE)
    base = ctypes.addressof(ctypes.c_char.from_buffer(buffer))
    half = TOUCH_BYTES // 2

    def work(k):
        if mode == "populate":
            libc.madvise(base + k * half, half, MADV_POPULATE_WRITE)
        ctypes.memset(base + k * half, 1, half)

    before = vmstat()
    start = time.perf_counter()
    # ctypes calls release the interpreter lock, so the halves run in parallel.
    workers = [threading.Thread(target=work, args=(k,)) for k in range(2)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    seconds = time.perf_counter() - start
    after = vmstat()
    return {"seconds": seconds, **{key: after.get(key, 0) - before.get(key, 0) for key in before}}


CHILDREN = {
    "primates_rf": primates_rf,
    "rf": lambda: synthetic("pairwise_rf_from_newick_iter"),
    "kf_bytes": lambda: synthetic("pairwise_kf_with_snapshots_from_newick_iter"),
    "kf_list": lambda: synthetic("pairwise_kf_from_newick_iter"),
    "kf_tsv": kf_tsv,
    "popcount": popcount_loop,
    "touch_fault": lambda: first_touch("fault"),
    "touch_populate": lambda: first_touch("populate"),
    "touch_huge": lambda: first_touch("huge"),
}


def environment(module_dir, package_dir):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([module_dir, package_dir, HERE])
    return env


def in_child(kind, env):
    command = [sys.executable, os.path.abspath(__file__), "--child", kind]
    out = subprocess.run(command, check=True, capture_output=True, text=True, env=env).stdout
    return json.loads(out)


def whole_command(env):
    with tempfile.TemporaryDirectory(dir=os.path.join(ROOT, "build")) as folder:
        path = os.path.join(folder, "rf.npy")
        command = [sys.executable, "-m", "cladomatic_tools", "rf", "--quiet", "--output", path, PRIMATES]
        start = time.perf_counter()
        subprocess.run(command, check=True, env=env)
        seconds = time.perf_counter() - start
        with open(path, "rb") as file:
            return {"seconds": seconds, "digest": hashlib.sha256(file.read()).hexdigest()[:16]}


TILED_TREES = 16_000
TILED_LEAVES = 60


def npy_against_tiled(env, repeat):
    """Median wall and CPU seconds of `cladomatic kf` to .npy and to a local .zarr, runs alternating, and whether
    the two matrices hold the same bits. CPU seconds (user and system, of every thread) are the figure to trust on a
    machine that others share: a busy moment stretches the wall time of one run only."""
    import numpy
    import treegen
    import zarr

    with tempfile.TemporaryDirectory(dir=os.path.join(ROOT, "build")) as folder:
        trees = os.path.join(folder, "trees.nwk")
        with open(trees, "w") as file:
            file.writelines(f"{tree}\n" for tree in treegen.newick_stream(TILED_TREES, n_leaves=TILED_LEAVES))
        runs = {"npy": [], "zarr": []}
        for _ in range(repeat):
            for kind, done in runs.items():
                path = os.path.join(folder, f"kf.{kind}")
                shutil.rmtree(path, ignore_errors=True)
                command = [sys.executable, "-m", "cladomatic_tools", "kf", "--quiet", "--output", path, trees]
                start = time.perf_counter()
                child = subprocess.Popen(command, env=env)
                _, status, usage = os.wait4(child.pid, 0)
                child.returncode = os.waitstatus_to_exitcode(status)
                if child.returncode:
                    raise subprocess.CalledProcessError(child.returncode, command)
                done.append((time.perf_counter() - start, usage.ru_utime + usage.ru_stime))
        stored = zarr.open_group(os.path.join(folder, "kf.zarr"), mode="r")["distances"]
        same = numpy.array_equal(numpy.load(os.path.join(folder, "kf.npy"), mmap_mode="r"), stored[...])
    medians = {kind: [statistics.median(run[k] for run in done) for k in (0, 1)] for kind, done in runs.items()}
    return medians, runs, same


def median_runs(run, variants, repeat):
    """Runs alternate between the variants so that a busy moment of the machine hits both."""
    results = {name: [] for name in variants}
    for _ in range(repeat):
        for name, env in variants.items():
            results[name].append(run(env))
    return {
        name: {"seconds": statistics.median(r["seconds"] for r in runs), "runs": runs}
        for name, runs in results.items()
    }


def report(label, figures, unit=None, work=None, target=None):
    old, new = figures["old"], figures["new"]
    same = old["runs"][0].get("digest") == new["runs"][0].get("digest")
    speedup = old["seconds"] / new["seconds"]
    line = f"{label:<34} old {old['seconds']:7.3f} s   new {new['seconds']:7.3f} s   x{speedup:5.2f}"
    if work is not None:
        line += f"   new {work / new['seconds'] / 1e6:8.1f} {unit} (old {work / old['seconds'] / 1e6:.1f})"
    if target:
        line += f"   [{target}]"
    line += "   same result" if same else "   RESULTS DIFFER"
    print(line, flush=True)


def kernel_against_loop(env, repeat):
    """The module's RF call on the synthetic trees (default threads) against the plain popcount loop (one thread)
    filling the same matrix, alternating, with the load of the machine around them."""
    popcount_library()
    load = os.getloadavg()[0]
    calls, loops = [], []
    for _ in range(repeat):
        calls.append(in_child("rf", env))
        loops.append(in_child("popcount", env))
    pairs = N_SYNTHETIC * (N_SYNTHETIC - 1) / 2
    plain = sorted(loop["seconds"] for loop in loops)

    def rate(seconds):
        return pairs / seconds / 1e6

    def against_loop(label, key):
        times = sorted(call[key] for call in calls if call[key])
        if times:
            print(
                f"  {label:<38} best {rate(times[0]):6.1f}   median {rate(statistics.median(times)):6.1f} M pairs/s"
                f"   module / loop: best {plain[0] / times[0]:.2f}, median "
                f"{statistics.median(plain) / statistics.median(times):.2f}"
            )

    print(
        f"RF pair step against the plain loop, {repeat} runs each, alternating; load average "
        f"{load:.1f} -> {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores"
    )
    print(
        f"  {'plain loop (' + str(loops[0]['words']) + ' words a row, 1 thread)':<38} best {rate(plain[0]):6.1f}"
        f"   median {rate(statistics.median(plain)):6.1f} M pairs/s"
        f"   {'cells agree' if all(loop['same'] for loop in loops) else 'CELLS DIFFER'}"
    )
    against_loop("module pair step [>= 0.9]", "pair_step")
    against_loop("module stage (layout, pages, pairs)", "stage")
    wholes = sorted(call["seconds"] for call in calls)
    cpu = sorted(call["cpu"] for call in calls)
    print(
        f"  {'module whole call [>= 250, <= 1.3]':<38} best {rate(wholes[0]):6.1f}"
        f"   median {rate(statistics.median(wholes)):6.1f} M pairs/s   slowest / fastest {wholes[-1] / wholes[0]:.2f}"
    )
    print(
        f"  {'module whole call, CPU s':<38} best {cpu[0]:6.3f}   median {statistics.median(cpu):6.3f}"
        f"   ({rate(statistics.median(cpu)):.1f} M pairs per CPU-second)"
    )
    print(f"  each call (s): {' '.join(f'{s:.3f}' for s in (call['seconds'] for call in calls))}", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--old", default=os.path.join(ROOT, "build", "base"))
    parser.add_argument("--old-src")
    parser.add_argument("--new", default=os.path.join(ROOT, "build", "release"))
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument(
        "--skip", default="", help="comma-separated: primates, cli, synthetic, tsv, tiled, kernel, touch"
    )
    parser.add_argument("--child", choices=sorted(CHILDREN), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        print(json.dumps(CHILDREN[args.child]()))
        return
    skip = set(filter(None, args.skip.split(",")))
    old_src = args.old_src or args.old + "-src"
    variants = {
        "old": environment(os.path.join(args.old, "python"), os.path.join(old_src, "python")),
        "new": environment(os.path.join(args.new, "python"), os.path.join(ROOT, "python")),
    }
    print(f"{os.cpu_count()} cores; medians of {args.repeat} runs; old = {args.old}")
    if "primates" not in skip:
        figures = median_runs(lambda env: in_child("primates_rf", env), variants, args.repeat)
        n = figures["new"]["runs"][0]["n"]
        report(f"primates RF call ({n:,} trees)", figures, "M pairs/s", n * (n - 1) / 2, "<= 1.0 s")
    if "cli" not in skip:
        report("primates `cladomatic rf` to .npy", median_runs(whole_command, variants, args.repeat),
               target="<= 2.0 s")
    if "synthetic" not in skip:
        pairs = N_SYNTHETIC * (N_SYNTHETIC - 1) / 2
        for kind, label, target in [
            ("rf", "RF 10,000 x 100 leaves", ">= 150 M pairs/s"),
            ("kf_bytes", "KF _with_snapshots_", None),
            ("kf_list", "KF plain list", "x >= 1.6"),
        ]:
            figures = median_runs(lambda env, kind=kind: in_child(kind, env), variants, args.repeat)
            report(label, figures, "M pairs/s", pairs, target)
            tails = {name: statistics.median(r["tail"] for r in figures[name]["runs"]) for name in figures}
            print(f"{'':<34} after the last pair: old {tails['old']:.3f} s, new {tails['new']:.3f} s")
    if "tsv" not in skip:
        figures = median_runs(lambda env: in_child("kf_tsv", env), variants, max(1, args.repeat // 2))
        size = figures["new"]["runs"][0]["bytes"]
        report(f"KF TSV write ({size / 1e9:.2f} GB)", figures, "MB/s", size, ">= 200 MB/s")
    for name, env in variants.items() if "tiled" not in skip else ():
        medians, runs, same = npy_against_tiled(env, args.repeat)
        (npy_wall, npy_cpu), (zarr_wall, zarr_cpu) = medians["npy"], medians["zarr"]
        print(f"KF {TILED_TREES:,} x {TILED_LEAVES} leaves, {name}: .npy {npy_wall:.2f} s ({npy_cpu:.2f} s CPU), "
              f"local .zarr {zarr_wall:.2f} s ({zarr_cpu:.2f} s CPU), ratio {npy_wall / zarr_wall:.3f} (CPU "
              f"{npy_cpu / zarr_cpu:.3f}) [<= 1.05]{'   same result' if same else '   RESULTS DIFFER'}")
        each = ", ".join(f"{kind} {' '.join(f'{w:.1f}/{c:.1f}' for w, c in done)}" for kind, done in runs.items())
        print(f"{'':<34} each run (wall/CPU s): {each}", flush=True)
    if "kernel" not in skip:
        kernel_against_loop(variants["new"], max(args.repeat, 5))
    if "touch" not in skip:
        runs = {"fault": [], "populate": [], "huge": []}
        for _ in range(max(args.repeat, 5)):
            for name, done in runs.items():
                done.append(in_child(f"touch_{name}", variants["new"]))
        print(f"first touch of {TOUCH_BYTES / 1e9:.1f} GB on 2 threads, each run (s):")
        for name, rows in runs.items():
            times = " ".join(f"{r['seconds']:.3f}" for r in rows)
            stalls = sum(r.get("compact_stall", 0) for r in rows)
            fallback = sum(r.get("thp_fault_fallback", 0) for r in rows)
            huge = sum(r.get("thp_fault_alloc", 0) for r in rows)
            print(f"  {name:<8} {times}   median {statistics.median(r['seconds'] for r in rows):.3f}"
                  f"   huge pages {huge}, direct compactions {stalls}, fallbacks {fallback}")


if __name__ == "__main__":
    main()
