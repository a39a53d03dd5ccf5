#!/usr/bin/env bash
# LogCombiner references for `cladomatic combine`: two short runs of BEAST 1.10.4's own relaxed-clock example
# (17 dengue sequences, `rate` on every branch) with different seeds, combined by LogCombiner 1.10.4
# (`logcombiner`) with each of its options, trees and parameter logs.  A third run is the second with its
# TRANSLATE keys given to other taxa (the same trees), for the case LogCombiner gets wrong.  Run inside the
# development root:
#   tools/devenv run bench/combine_references.sh
# Fixed seeds; the runs take about a minute on two cores.  Writes the runs and every output, gzipped, to
# tests/data/combine/, and the command lines to tests/data/combine/README.md.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
out=$here/../tests/data/combine
work=${CLADOMATIC_BUILD_DIR:-$here/../build}/combine-refs
example=/usr/share/doc/beast-mcmc/examples/TestXML/ClockModels/testUCRelaxedClockLogNormal.xml.gz
mkdir -p "$out" "$work"
cd "$work"
rm -f ./*.trees ./*.log ./*.out

# 200,000 states logged every 4,000: 51 trees and samples per run
for run in 1 2; do
  zcat "$example" |
    sed -e 's/chainLength="10000000"/chainLength="200000"/' -e 's/logEvery="1000"/logEvery="4000"/g' \
      -e "s/testUCRelaxedClockLogNormal\\./run$run./g" >"run$run.xml"
done
beast-mcmc -seed 11 -overwrite run1.xml >run1.out 2>&1 &
beast-mcmc -seed 22 -overwrite run2.xml >run2.out 2>&1
wait

# run2 with keys 1..17 given to the taxa in reverse order, its trees relabelled to match
python3 - run2.trees permuted.trees <<'PY'
import re, sys

text = open(sys.argv[1]).read()
head, rest = text.split("\tTranslate\n", 1)
table, trees = rest.split(";\n", 1)
entries = [line.strip().rstrip(",").split() for line in table.strip().splitlines()]
n = len(entries)
new_key = {key: str(n + 1 - int(key)) for key, _ in entries}
table = ",\n".join(f"\t\t{new_key[key]} {name}" for key, name in sorted(entries, key=lambda e: int(new_key[e[0]])))
trees = re.sub(r"(?<=[(,])(\d+)(?=[\[:])", lambda m: new_key[m.group(1)], trees)
open(sys.argv[2], "w").write(head + "\tTranslate\n" + table + "\n\t\t;\n" + trees)
PY

combine() {  # NAME OPTIONS... INPUTS...: one LogCombiner output
  local name=$1
  shift
  if logcombiner "$@" "$name" >"$name.out" 2>&1; then
    echo "logcombiner $* $name" >>README.md.part
  else  # kept as a record of what it refuses
    echo "logcombiner $* $name  (fails: $(grep -m1 Exception "$name.out"))" >>README.md.part
    rm -f "$name"
  fi
}
rm -f README.md.part
combine burnin.trees -trees -burnin 40000 run1.trees run2.trees
combine resample.trees -trees -resample 8000 run1.trees run2.trees
combine renumber.trees -trees -burnin 40000 -renumber run1.trees run2.trees
combine renumber.resample.trees -trees -burnin 40000 -resample 8000 -renumber run1.trees run2.trees
combine strip.trees -trees -strip run1.trees run2.trees
combine permuted.combined.trees -trees run1.trees permuted.trees
combine burnin.log -burnin 40000 run1.log run2.log
combine resample.log -resample 8000 run1.log run2.log
combine renumber.log -burnin 40000 -resample 8000 -renumber run1.log run2.log

for file in run1.trees run2.trees permuted.trees run1.log run2.log burnin.trees resample.trees \
  renumber.resample.trees strip.trees permuted.combined.trees burnin.log resample.log renumber.log; do
  gzip -9n <"$file" >"$out/$file.gz"
done
{
  echo "# LogCombiner references"
  echo
  echo "Made by bench/combine_references.sh: two runs of BEAST 1.10.4's testUCRelaxedClockLogNormal example"
  echo "(200,000 states logged every 4,000; seeds 11 and 22), permuted.trees being run2.trees with its TRANSLATE"
  echo "keys given to the taxa in reverse order. The outputs, by LogCombiner 1.10.4:"
  echo
  sed 's/^/    /' README.md.part
} >"$out/README.md"
echo "combine_references: wrote $out" >&2
