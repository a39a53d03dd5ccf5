#!/usr/bin/env bash
# The summary trees MrBayes's `sumt` makes from tree samples, as references for the summary commands.
# Run inside the development root:  tools/devenv run bench/mrbayes_sumt.sh
# Fixed seeds and one process, so the same packages give the same files byte for byte.
#
# Summarises the runs bench/mrbayes_asdsf.sh committed (cynmix, cynmix3) and makes three more with this script's
# own names: `clock`, the cynmix example under a strict clock (brlenspr=clock:uniform), whose trees are rooted
# and carry [&R]; `primclock`, the primates example under a birth-death clock prior; `ovomucoid`, a short, far
# from converged chain of the 89-taxon avian ovomucoid example, whose splits have many tied counts. For each,
# with a burn-in of 25%, writes to tests/data/mrbayes/sumt/, gzipped: NAME.half.con.tre (contype=halfcompat),
# NAME.all.con.tre (contype=allcompat), NAME.trprobs and the split tables NAME.parts, .tstat and .vstat; the new
# runs' tree samples go to tests/data/mrbayes/NAME.runI.t.gz beside the others.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
data=$here/../tests/data/mrbayes
out=$data/sumt
work=${CLADOMATIC_BUILD_DIR:-$here/../build}/mrbayes-sumt
examples=/usr/share/doc/mrbayes/examples
mkdir -p "$out" "$work"
cd "$work"

# A MrBayes example up to the end of its data block, without the example's own settings.
data_block() { sed -n '1,/^[[:space:]]*end;/Ip' "$examples/$1.nex" >"$2.nex"; }

sample() { # name example nruns ngen samplefreq model
  local name=$1 example=$2 nruns=$3 ngen=$4 freq=$5 model=$6 i
  data_block "$example" "$name"
  cat >"$name.mcmc.batch" <<BATCH
begin mrbayes;
  set autoclose=yes nowarn=yes seed=20261207 swapseed=1207;
  execute $name.nex;
  $model
  mcmc ngen=$ngen samplefreq=$freq printfreq=$ngen diagnfreq=$ngen nruns=$nruns nchains=2 filename=$name;
end;
BATCH
  echo "mrbayes_sumt: sampling $name ($ngen generations)" >&2
  mb "$name.mcmc.batch" >"$name.mcmc.log"
  # without the run's ID, which MrBayes draws from the clock
  for ((i = 1; i <= nruns; i++)); do grep -v '^\[ID: ' "$name.run$i.t" | gzip -9n >"$data/$name.run$i.t.gz"; done
}

summarise() { # name example nruns
  local name=$1 example=$2 nruns=$3 i contype
  data_block "$example" "$name"
  for ((i = 1; i <= nruns; i++)); do gunzip -c "$data/$name.run$i.t.gz" >"$name.run$i.t"; done
  for contype in halfcompat allcompat; do
    cat >"$name.$contype.batch" <<BATCH
begin mrbayes;
  set autoclose=yes nowarn=yes;
  execute $name.nex;
  sumt filename=$name nruns=$nruns relburnin=yes burninfrac=0.25 contype=$contype outputname=$name.$contype;
end;
BATCH
    echo "mrbayes_sumt: sumt $name contype=$contype" >&2
    mb "$name.$contype.batch" >"$name.$contype.log"
  done
  gzip -9n <"$name.halfcompat.con.tre" >"$out/$name.half.con.tre.gz"
  gzip -9n <"$name.allcompat.con.tre" >"$out/$name.all.con.tre.gz"
  gzip -9n <"$name.halfcompat.trprobs" >"$out/$name.trprobs.gz"
  # every split of frequency 0.10 or more in some run (a clock run's .con.tre drops clades whose median heights
  # would not nest), with its probability and its length's mean and median
  for kind in parts tstat vstat; do gzip -9n <"$name.halfcompat.$kind" >"$out/$name.$kind.gz"; done
}

sample clock cynmix 2 10000 50 "lset nst=6 rates=gamma; prset brlenspr=clock:uniform;"
sample primclock primates 2 20000 100 "lset nst=6 rates=gamma; prset brlenspr=clock:birthdeath;"
sample ovomucoid avian_ovomucoids 2 4000 40 "lset nst=6 rates=gamma;"
summarise cynmix cynmix 2
summarise cynmix3 cynmix 3
summarise clock cynmix 2
summarise primclock primates 2
summarise ovomucoid avian_ovomucoids 2
ls -l "$out"
