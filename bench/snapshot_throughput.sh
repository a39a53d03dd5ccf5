#!/usr/bin/env bash
# Newick reading throughput on one core, in MB/s (10^6 bytes) of tree text.
# Run inside the development root: tools/devenv run bench/snapshot_throughput.sh
set -euo pipefail
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DCLADOMATIC_MODULE=OFF -DCLADOMATIC_BENCH=ON >/dev/null
cmake --build build/bench --target snapshot_bench >/dev/null
build/bench/bench/cpp/snapshot_bench --benchmark_min_time=2s --benchmark_format=json "$@" 2>/dev/null |
  python3 -c '
import json, sys
for b in json.load(sys.stdin)["benchmarks"]:
    args = dict(part.split(":") for part in b["name"].split("/")[1:])
    mode = "rooted" if args["rooted"] == "1" else "unrooted"
    print(f"snapshot, {args["leaves"]:>5} leaves, {mode:>8}: {b["bytes_per_second"] / 1e6:7.1f} MB/s"
          f"  ({b["trees/s"]:,.0f} trees/s)")
'
