#!/usr/bin/env bash
# Newick reading throughput on one core, in MB/s of tree text.
# Run inside the development root: tools/devenv run bench/snapshot_throughput.sh
set -euo pipefail
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DCLADOMATIC_MODULE=OFF -DCLADOMATIC_BENCH=ON >/dev/null
cmake --build build/bench --target snapshot_bench >/dev/null
build/bench/bench/cpp/snapshot_bench --benchmark_min_time=2s "$@"
