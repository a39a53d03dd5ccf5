#!/usr/bin/env bash
# Leaf names crafted to flood one slot of the leaf index against ordinary
# names: the pipeline's time on each and their ratio (target: at most 3).
# Run inside the development root: tools/devenv run bench/leaf_flood.sh [NAMES] [TREES]
set -euo pipefail
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DCLADOMATIC_MODULE=OFF -DCLADOMATIC_BENCH=ON >/dev/null
cmake --build build/bench --target leaf_flood >/dev/null
build/bench/bench/cpp/leaf_flood "$@"
