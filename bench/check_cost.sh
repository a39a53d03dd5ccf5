#!/usr/bin/env bash
# What the split check values cost the reading pipeline: pipeline_stages built
# from this checkout and from an earlier revision without them (BASE, default
# the commit before they came in), run in turn on the same trees, parse and
# intern timed separately, best of several alternating rounds.
# Run on the host (it needs git), from the checkout:
#   bench/check_cost.sh [BASE] [TREES] [ROUNDS] [CPU]
# CPU pins both to one processor (one worker thread), which steadies the
# figures on a machine shared with other work.
set -euo pipefail
base=${1:-edc0d8c}
trees=${2:-20000}
rounds=${3:-5}
cpu=${4:-}
cd "$(dirname "${BASH_SOURCE[0]}")/.."
worktree=build/check-base
if [ ! -d "$worktree" ]; then
  git worktree add --detach "$worktree" "$base" >/dev/null
else
  git -C "$worktree" checkout -q --detach "$base"
fi
tools/devenv run bash -c '
  set -euo pipefail
  trees=$1 rounds=$2 worktree=$3 cpu=$4
  pin=(); [ -n "$cpu" ] && pin=(taskset -c "$cpu")
  for side in base new; do
    src=.; [ "$side" = base ] && src=$worktree
    cmake -S "$src" -B "build/check-$side-build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCLADOMATIC_MODULE=OFF \
      -DCLADOMATIC_BENCH=ON >/dev/null
    cmake --build "build/check-$side-build" --target pipeline_stages >/dev/null
  done
  file=build/bench/trees-$trees.nwk
  mkdir -p build/bench
  if [ ! -f "$file" ]; then
    python3 - "$trees" "$file" <<PY
import sys
sys.path.insert(0, "bench")
import treegen
count, path = int(sys.argv[1]), sys.argv[2]
with open(path, "w") as out:
    for text in treegen.newick_stream(count, seed=7):
        out.write(text + "\n")
PY
  fi
  for ((r = 0; r < rounds; r++)); do
    for side in base new; do
      "${pin[@]}" build/check-$side-build/bench/cpp/pipeline_stages "$file" --repeat 1 | sed "s/^/$side /"
    done
  done | python3 -c "
import sys
best = {}
for line in sys.stdin:
    side, rest = line.split(\" \", 1)
    for stage, key in ((\"parse (parallel)\", \"parse\"), (\"intern (parallel by shard)\", \"intern\"),
                       (\"whole pipeline, one call\", \"whole\")):
        if rest.startswith(stage):
            seconds = float(rest[len(stage):].split()[0])
            best[side, key] = min(best.get((side, key), 1e300), seconds)
print(f\"{\"stage\":<16} {\"base s\":>8} {\"checked s\":>10} {\"cost\":>8}\")
for key in (\"parse\", \"intern\", \"whole\"):
    b, n = best[\"base\", key], best[\"new\", key]
    print(f\"{key:<16} {b:8.3f} {n:10.3f} {100 * (n - b) / b:7.1f}%\")
b = best[\"base\", \"parse\"] + best[\"base\", \"intern\"]
n = best[\"new\", \"parse\"] + best[\"new\", \"intern\"]
print(f\"{\"parse + intern\":<16} {b:8.3f} {n:10.3f} {100 * (n - b) / b:7.1f}%\")
"
' _ "$trees" "$rounds" "$worktree" "$cpu"
