#!/usr/bin/env bash
# Reading pipeline split into its stages (whole, parse alone, intern alone) on
# the trees of bench/treegen.py, on every core.
# Run inside the development root: tools/devenv run bench/pipeline_stages.sh [TREES] [--weighted]
set -euo pipefail
trees=${1:-20000}
shift || true
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DCLADOMATIC_MODULE=OFF -DCLADOMATIC_BENCH=ON >/dev/null
cmake --build build/bench --target pipeline_stages >/dev/null
file=build/bench/trees-$trees.nwk
if [ ! -f "$file" ]; then
  python3 - "$trees" "$file" <<'PY'
import sys
sys.path.insert(0, "bench")
import treegen
count, path = int(sys.argv[1]), sys.argv[2]
with open(path, "w") as out:
    for text in treegen.newick_stream(count, seed=7):
        out.write(text + "\n")
PY
fi
build/bench/bench/cpp/pipeline_stages "$file" "$@"
