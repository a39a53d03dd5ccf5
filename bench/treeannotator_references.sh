#!/bin/sh
# Makes tests/data/timetrees: a short run of BEAST 1's relaxed-clock example with tip dates (201 trees, a rate
# on every branch), each branch also given a discrete `host` of our own, and TreeAnnotator 1.10.4's summaries
# of it with every -heights option, with -limit and with -target. Run inside the development root:
#   tools/devenv run sh bench/treeannotator_references.sh
set -eu
out=tests/data/timetrees
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"
zcat /usr/share/doc/beast-mcmc/examples/TestXML/ClockModels/testUCRelaxedClockLogNormal.xml.gz |
  sed 's/chainLength="10000000"/chainLength="400000"/; s/logEvery="1000"/logEvery="2000"/g' >"$work/uc.xml"
(cd "$work" && beast-mcmc -overwrite -seed 7 uc.xml >beast.out 2>&1)
# host: "north" where the rate's last digit is even, else "south"; the root carries none
python3 - "$work/testUCRelaxedClockLogNormal.trees" "$work/uc.trees" <<'PY'
import re, sys
text = open(sys.argv[1]).read()
def host(match):
    rate = match.group(1)
    return f'[&rate={rate},host="{"north" if int(rate[-1]) % 2 == 0 else "south"}"]'
open(sys.argv[2], "w").write(re.sub(r"\[&rate=([0-9.E-]+)\]", host, text))
PY
gzip -9 -n -c "$work/uc.trees" >"$out/uc.trees.gz"
# the target of -target: the sample's 101st tree
grep -m 101 '^tree' "$work/uc.trees" | tail -1 >"$work/tree.line"
{ sed -n '1,/^tree/p' "$work/uc.trees" | sed '$d'; cat "$work/tree.line"; echo "End;"; } >"$work/target.trees"
cp "$work/target.trees" "$out/target.trees"
for heights in keep mean median ca; do
  treeannotator -burnin 0 -heights "$heights" "$work/uc.trees" "$work/$heights.tre" >/dev/null 2>&1
  gzip -9 -n -c "$work/$heights.tre" >"$out/uc.$heights.tre.gz"
done
treeannotator -burnin 0 -heights median -limit 0.5 "$work/uc.trees" "$work/limit.tre" >/dev/null 2>&1
gzip -9 -n -c "$work/limit.tre" >"$out/uc.median.limit0.5.tre.gz"
treeannotator -burnin 0 -heights mean -target "$work/target.trees" "$work/uc.trees" "$work/target.tre" >/dev/null 2>&1
gzip -9 -n -c "$work/target.tre" >"$out/uc.mean.target.tre.gz"
