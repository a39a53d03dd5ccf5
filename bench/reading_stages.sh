#!/usr/bin/env bash
# Reading a tree file stage by stage (read, inflate, cut, parse, intern), at one thread and at every thread,
# against the whole pipeline on the same file; by default the 82 MB, 30,000-tree, 89-taxon .t file and its .gz
# (bench/make_data.sh ovomucoid30k makes them) and the MrBayes files of tests/data/mrbayes.
# Run inside the development root: tools/devenv run bench/reading_stages.sh [FILE...] [--repeat K]
set -euo pipefail
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DCLADOMATIC_MODULE=OFF -DCLADOMATIC_BENCH=ON \
  -DCMAKE_CXX_COMPILER_LAUNCHER=ccache >/dev/null
cmake --build build/bench --target reading_stages >/dev/null
files=() options=()
while [ $# -gt 0 ]; do
  case $1 in
    --repeat) options+=("$1" "$2"); shift 2 ;;
    *) files+=("$1"); shift ;;
  esac
done
if [ ${#files[@]} -eq 0 ]; then
  [ -f bench/data/ovomucoid.30k.t ] || bench/make_data.sh ovomucoid30k >/dev/null
  files=(bench/data/ovomucoid.30k.t bench/data/ovomucoid.30k.t.gz bench/data/primates.mb.nex.gz tests/data/mrbayes/cynmix.run1.t.gz)
fi
uptime
for file in "${files[@]}"; do
  build/bench/bench/cpp/reading_stages "$file" "${options[@]}"
  echo
done
