#!/usr/bin/env bash
# Short MrBayes runs whose split-frequency diagnostics the converge command must reproduce: unrooted trees
# (cynmix, two and three runs) and rooted clock trees (cynclock).
# Run inside the development root:  tools/devenv run bench/mrbayes_asdsf.sh
# Fixed seeds and one process, so the same packages give the same files byte for byte.
#
# Writes tests/data/mrbayes/NAME.runI.t.gz (the tree sample of each run), NAME.mcmc (the ASDSF MrBayes computed
# every `diagnfreq` generations while it ran, column StdDev(s)) and NAME.mb.txt: the lines MrBayes printed with
# the ASDSF during and at the end of the run and from `sumt` over the same files, for burn-in fractions 0.25
# and 0.5 and minimum partition frequencies 0.10 and 0.25. (`sump` summarises the parameter files only: it
# prints no split-frequency figure.) The parameter samples are kept too, as NAME.runI.p.gz, with the table
# `sump` printed for them (burn-in 25%) in NAME.sump.txt.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
out=$here/../tests/data/mrbayes
work=${CLADOMATIC_BUILD_DIR:-$here/../build}/mrbayes-asdsf
examples=/usr/share/doc/mrbayes/examples
mkdir -p "$out" "$work"
cd "$work"

run() { # name example nruns ngen samplefreq diagnfreq model
  local name=$1 example=$2 nruns=$3 ngen=$4 freq=$5 diagn=$6 model=$7
  sed -n '1,/^[[:space:]]*end;/Ip' "$examples/$example.nex" >"$name.nex"
  cat >"$name.batch" <<BATCH
begin mrbayes;
  set autoclose=yes nowarn=yes seed=20261207 swapseed=1207;
  execute $name.nex;
  $model
  mcmc ngen=$ngen samplefreq=$freq printfreq=$ngen diagnfreq=$diagn nruns=$nruns nchains=2 filename=$name;
  sumt filename=$name nruns=$nruns relburnin=yes burninfrac=0.25 minpartfreq=0.10;
  sumt filename=$name nruns=$nruns relburnin=yes burninfrac=0.5 minpartfreq=0.10;
  sumt filename=$name nruns=$nruns relburnin=yes burninfrac=0.25 minpartfreq=0.25;
  sump filename=$name nruns=$nruns relburnin=yes burninfrac=0.25;
end;
BATCH
  echo "mrbayes_asdsf: $name ($ngen generations)" >&2
  mb "$name.batch" >"$name.log"
  local i
  for ((i = 1; i <= nruns; i++)); do
    gzip -9n <"$name.run$i.t" >"$out/$name.run$i.t.gz"
    gzip -9n <"$name.run$i.p" >"$out/$name.run$i.p.gz"
  done
  cp "$name.mcmc" "$out/"
  # the summary lines: the final diagnostic of the run, then each sumt call's burn-in and its two figures
  grep -E 'standard deviation of split frequencies|Summary statistics for partitions|relative burnin' \
    "$name.log" >"$out/$name.mb.txt" || true
  cat "$out/$name.mb.txt"
  # sump's table of parameters: from its header to the rule that closes it
  awk '/Model parameter summaries over/ { on = 1 } on && /^ *Parameter +Mean/ { table = 1 }
       table { print } table && /^ *-+$/ && ++rules == 2 { exit }' "$name.log" >"$out/$name.sump.txt"
}

# short chains of a 32-taxon data set, far from converged, so that many splits differ between runs
run cynmix cynmix 2 10000 50 500 "lset nst=6 rates=gamma;"
run cynmix3 cynmix 3 6000 50 500 "lset nst=6 rates=gamma;"
# a strict clock: MrBayes writes every tree marked [&R] and compares clades, the root's two sides included
run cynclock cynmix 2 6000 50 500 "lset nst=6 rates=gamma; prset brlenspr=clock:uniform;"
ls -l "$out"
