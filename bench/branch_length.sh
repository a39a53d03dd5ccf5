#!/usr/bin/env bash
# Branch-length parsing speed, in million lengths per second on one core, of
# the checkout against an older revision (default: the last one with the
# hand-written fast path in front of from_chars), both built from the same
# benchmark source.  Run on the host, from the checkout: bench/branch_length.sh [REV]
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
base=${1:-$(git log -1 --format=%H -S exact_quotient -- src/snapshot/branch_length.cpp)^}
old=build/branch-length-base
rm -rf "$old"
mkdir -p "$old"
git archive "$base" | tar -x -C "$old"
# The whole benchmark folder, so that its CMakeLists finds every source it names;
# only the branch-length program is built.
cp bench/cpp/* "$old/bench/cpp/"
echo "base: $(git log -1 --format='%h %s' "$base")"
tools/devenv run bash -c '
set -euo pipefail
for tree in build/branch-length-base .; do
  cmake -S "$tree" -B "$tree/build/bench-lengths" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCLADOMATIC_MODULE=OFF \
    -DCLADOMATIC_BENCH=ON >/dev/null
  cmake --build "$tree/build/bench-lengths" --target branch_length_bench >/dev/null
done
# Alternating runs, so that a change in machine load hits both alike.
for round in 1 2 3; do
  for tree in build/branch-length-base .; do
    label=$([ "$tree" = . ] && echo checkout || echo base)
    "$tree/build/bench-lengths/bench/cpp/branch_length_bench" --benchmark_min_time=0.5s --benchmark_format=json \
      2>/dev/null | LABEL=$label python3 -c "
import json, os, sys
for b in json.load(sys.stdin)[\"benchmarks\"]:
    print(f\"{os.environ[\"LABEL\"]:>8}  {b[\"name\"]:<16} {b[\"items_per_second\"] / 1e6:7.1f} M lengths/s\")
"
  done
done
'
