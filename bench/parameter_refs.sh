#!/usr/bin/env bash
# The tables `cladomatic params` must reproduce: MrBayes's sump and BEAST's loganalyser over runs of their own
# examples, and over one long made-up trace whose autocorrelation outlasts their lag limit.
# Run inside the development root:  tools/devenv run bench/parameter_refs.sh
# Fixed seeds and one process, so the same packages give the same files byte for byte.
#
# Writes to tests/data/params/:
# - NAME.bB.pstat: sump's .pstat over the MrBayes runs tests/data/mrbayes/NAME.runI.p.gz (cynmix: two runs,
#   cynmix3: three) with burn-in B: 25 and 50 (relburnin=yes burninfrac=0.B) and s7 (relburnin=no burnin=7).
# - strict.runI.log.gz: two BEAST runs of its example ClockModels/testStrictClockNoDate.xml (12 taxa, strict
#   clock), 400,000 states logged every 200, seeds 11 and 12; strict.runI.bS.txt: what loganalyser -burnin S
#   -hpd -ess printed for each (S = 0, 200, 40000, 40100 and 100000 states: 40100 shows how a state between two
#   samples counts, 200 leaves an even number of samples, whose median is one of the middle two).
# - walk.runI.p.gz: two runs of 9,001 samples of a random walk and of white noise (seeded), written as MrBayes
#   writes a .p file (the walk with a drift, so that its autocorrelation stays positive past lag 2000);
#   walk.b0.pstat is sump's table of them without burn-in, walk.run1.b0.txt loganalyser's table
#   of the first as a BEAST log.
# - beast.NAME.bS.txt: loganalyser's tables of the BEAST logs tests/data/beast/NAME.log (ucln, relaxed2; S = 0
#   and a tenth of the last state).
# - cynmix.coda.tsv: R's coda (mean, median, sd, HPDinterval, effectiveSize) over the cynmix runs, burn-in 25%.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
out=$here/../tests/data/params
mrbayes=$here/../tests/data/mrbayes
beast=$here/../tests/data/beast
work=${CLADOMATIC_BUILD_DIR:-$here/../build}/parameter-refs
mkdir -p "$out" "$work"
cd "$work"

sump() { # name runs burnin-label sump-options
  local name=$1 runs=$2 label=$3 options=$4
  printf 'begin mrbayes;\n  set autoclose=yes nowarn=yes;\n  sump filename=%s nruns=%s %s;\nend;\n' \
    "$name" "$runs" "$options" >"$name.sump.nex"
  mb "$name.sump.nex" >"$name.sump.log"
  cp "$name.pstat" "$out/$name.b$label.pstat"
}

# loganalyser prints its banner first: the table starts at its burn-in line
loganalyser_table() { # log burnin output
  loganalyser -burnin "$2" -hpd -ess "$1" | sed -n '/^burnIn/,$p' | sed '/^ \* WARNING/,$d' >"$3"
}

for name in cynmix:2 cynmix3:3; do
  runs=${name#*:}
  name=${name%:*}
  for ((i = 1; i <= runs; i++)); do gunzip -c "$mrbayes/$name.run$i.p.gz" >"$name.run$i.p"; done
  sump "$name" "$runs" 25 "relburnin=yes burninfrac=0.25"
  sump "$name" "$runs" 50 "relburnin=yes burninfrac=0.5"
  sump "$name" "$runs" s7 "relburnin=no burnin=7"
done

example=/usr/share/doc/beast-mcmc/examples/TestXML/ClockModels/testStrictClockNoDate.xml.gz
for i in 1 2; do
  gunzip -c "$example" | sed -e 's/chainLength="10000000"/chainLength="400000"/' \
    -e "s/logEvery=\"1000\" fileName=\"testStrictClockNoDate.log\" overwrite=\"false\"/logEvery=\"200\" fileName=\"strict.run$i.log\" overwrite=\"true\"/" \
    -e "s/fileName=\"testStrictClockNoDate.trees\"/fileName=\"strict.run$i.trees\"/" >"strict.run$i.xml"
  echo "parameter_refs: BEAST run $i" >&2
  beast-mcmc -seed $((10 + i)) -overwrite "strict.run$i.xml" >"strict.run$i.out" 2>&1
  # the date of the run is the only line that would differ from one run of this script to the next
  grep -v "^# Generated" "strict.run$i.log" | gzip -9n >"$out/strict.run$i.log.gz"
  for burnin in 0 200 40000 40100 100000; do
    loganalyser_table "strict.run$i.log" "$burnin" "$out/strict.run$i.b$burnin.txt"
  done
done

# the parameter logs of the BEAST runs in tests/data/beast (BEAST 1's ucln, BEAST 2's relaxed2); ancestral.log
# pads its values with spaces to fixed widths, and loganalyser reads the padded columns as zeros
for log in "$beast"/ucln.log "$beast"/relaxed2.log; do
  name=$(basename "$log" .log)
  last=$(tail -n 1 "$log" | cut -f 1)
  for burnin in 0 $((last / 10)); do
    loganalyser_table "$log" "$burnin" "$out/beast.$name.b$burnin.txt"
  done
done

python3 - <<'PY'
import random

random.seed(20261208)
for run in (1, 2):
    walk = 0.0
    with open(f"walk.run{run}.p", "w") as p, open(f"walk.run{run}.log", "w") as log:
        p.write("[ID: 1]\nGen\tLnL\tLnPr\twalk\tnoise\n")
        log.write("# made up\nstate\tLnL\tLnPr\twalk\tnoise\n")
        for i in range(9001):
            walk += random.gauss(0, 1)
            row = f"\t-1000.0\t1.0\t{walk + i * 0.01:.4f}\t{random.gauss(0, 1):.4f}\n"
            p.write(f"{i * 10}{row}")
            log.write(f"{i * 10}{row}")
PY
for i in 1 2; do gzip -9n <"walk.run$i.p" >"$out/walk.run$i.p.gz"; done
sump walk 2 0 "relburnin=no burnin=0"
loganalyser_table walk.run1.log 0 "$out/walk.run1.b0.txt"
# R's coda over the cynmix runs after a burn-in of 25%: each run, then the runs pooled (their ESS summed, as
# effectiveSize sums the chains of an mcmc.list)
Rscript - "$mrbayes" >"$out/cynmix.coda.tsv" <<'R'
library(coda)
folder <- commandArgs(trailingOnly = TRUE)[1]
runs <- lapply(1:2, function(i) {
  table <- read.table(gzfile(file.path(folder, sprintf("cynmix.run%d.p.gz", i))), header = TRUE, sep = "\t",
                      skip = 1, check.names = FALSE)
  table[-seq_len(floor(0.25 * nrow(table))), -1]
})
cat("parameter\trun\tmean\tmedian\tsd\tlower\tupper\tess\n")
for (name in names(runs[[1]])) {
  traces <- lapply(runs, function(run) run[[name]])
  for (r in c(seq_along(traces), 0)) {
    x <- if (r == 0) unlist(traces) else traces[[r]]
    ess <- if (r == 0) effectiveSize(mcmc.list(lapply(traces, mcmc))) else effectiveSize(mcmc(x))
    hpd <- HPDinterval(mcmc(x), 0.95)
    cat(sprintf("%s\t%s\t%.10g\t%.10g\t%.10g\t%.10g\t%.10g\t%.10g\n", name, if (r == 0) "all" else r, mean(x),
                median(x), sd(x), hpd[1], hpd[2], ess))
  }
}
R
ls -l "$out"
