#!/usr/bin/env bash
# Builds the Newick fuzzer with clang (libFuzzer + ASan + UBSan) and runs it on
# one core for the given number of seconds (default 600).  New inputs go to
# build/fuzz/corpus; the committed seeds in fuzz/corpus are only read.
set -euo pipefail
seconds=${1:-600}
cmake -S . -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCLADOMATIC_MODULE=OFF -DCLADOMATIC_FUZZ=ON >/dev/null
cmake --build build/fuzz --target newick_fuzz
mkdir -p build/fuzz/corpus build/fuzz/crashes
exec build/fuzz/fuzz/newick_fuzz -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
  -artifact_prefix=build/fuzz/crashes/ build/fuzz/corpus fuzz/corpus
