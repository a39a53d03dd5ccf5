#!/usr/bin/env bash
# A short BEAST 2 run of Debian's testHKY example (a strict-clock HKY analysis), for peers that need time trees:
#   tools/devenv run bench/beast_trees.sh OUT.trees [CHAIN_LENGTH]
# The chain is cut to CHAIN_LENGTH states (default 1,000,000), a tree logged every 10,000, seed 34; the NEXUS
# trees file (rooted time trees, [&R]) is copied to OUT.trees.
set -euo pipefail
out=$(realpath -m "$1")
chain=${2:-1000000}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
zcat /usr/share/doc/beast2-mcmc/examples/testHKY.xml.gz | sed "s/chainLength=\"5000000\"/chainLength=\"$chain\"/" >"$work/hky.xml"
(cd "$work" && beast2-mcmc -seed 34 -overwrite hky.xml >beast.log 2>&1) || { tail -20 "$work/beast.log" >&2; exit 1; }
cp "$work"/test.34.trees "$out"
echo "$(grep -c '^tree ' "$out") trees in $out"
