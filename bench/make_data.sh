#!/usr/bin/env bash
# Tree sets for bench/compare.py, made by MrBayes and IQ-TREE from the example alignments Debian ships with them.
# Run inside the development root:  tools/devenv run bench/make_data.sh [SET...]   (default: every set)
# Every run uses a fixed seed and one thread, so the same packages give the same files byte for byte.
#
#   example.ufboot.nwk.gz     1,000 UFBoot trees,  17 leaves  (IQ-TREE, iqtree/examples/example.phy)
#   primates.mb.nex.gz       20,000 trees,         12 leaves  (MrBayes posterior, mrbayes/examples/primates.nex)
#   cynmix.mb.nex.gz          4,000 trees,         32 leaves  (MrBayes, mrbayes/examples/cynmix.nex, DNA + morphology)
#   sceloporus.ufboot.nwk.gz  1,000 UFBoot trees, 123 leaves  (IQ-TREE, mrbayes/examples/sceloporus.nex)
#   sim.ufboot.nwk.gz         1,000 UFBoot trees, 300 leaves  (IQ-TREE on an alignment simulated by AliSim)
#   avian.mb.nex.gz          20,000 trees,         89 leaves  (MrBayes, mrbayes/examples/avian_ovomucoids.nex)
#   ovomucoid.mb.nex.gz      20,000 trees,         89 leaves  (MrBayes posterior, mrbayes/examples/avian_ovomucoids.nex)
#   sceloporus.mb.t          30,001 trees,        123 leaves  (one MrBayes run as MrBayes writes it, for reading.py)
#   ovomucoid.30k.t(.gz)     30,000 trees,         89 leaves  (82 MB: tests/data/mrbayes/ovomucoid.run1.t.gz's trees
#                                                              cycled, for reading.py and reading_stages.sh)
#
# The largest example alignment of either package has 123 taxa, so the sim set is inferred from a simulated one:
# AliSim draws a random Yule-Harding tree of 300 taxa and evolves 1,000 sites along it under GTR+G. That set
# (2.3 MB) is not committed, nor are the avian set (2 x 10,000 trees of 89 leaves for bench/diagnostics.py: 88
# amino acids leave the posterior diffuse, so the chains wander among many topologies), the ovomucoid posterior
# (the summary-tree benchmark's large set, 4.6 MB) and sceloporus.mb.t (115 MB: a tree every generation of one
# run, a file to time reading on rather than a posterior sample); the other four are.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
out=$here/data
work=${CLADOMATIC_BUILD_DIR:-$here/../build}/bench-data
iq_examples=/usr/share/doc/iqtree/examples
mb_examples=/usr/share/doc/mrbayes/examples
mkdir -p "$out" "$work"
cd "$work"

# A MrBayes example up to the end of its data block, without the example's own (sometimes commented-out) settings.
data_block() { sed -n '1,/^[[:space:]]*end;/Ip' "$1"; }

# MrBayes batch run: both runs' tree samples after the burn-in, as one NEXUS file with the TRANSLATE block.
mrbayes() { # name nexus ngen samplefreq burnin_samples model_commands
  local name=$1 nexus=$2 ngen=$3 freq=$4 burnin=$5 model=$6
  data_block "$nexus" >"$name.nex"
  cat >"$name.batch" <<EOF
begin mrbayes;
  set autoclose=yes nowarn=yes seed=20261207 swapseed=1207;
  execute $name.nex;
  $model
  mcmc ngen=$ngen samplefreq=$freq printfreq=$ngen diagnfreq=$ngen nruns=2 nchains=4 filename=$name;
end;
EOF
  echo "make_data: MrBayes $name ($ngen generations)" >&2
  mb "$name.batch" >"$name.mb.log"
  {
    # header up to and including the translate block, then the trees after the burn-in, run 1 then run 2
    sed -n '/^begin trees;/I,/;$/p' "$name.run1.t" | sed '1s/^/#NEXUS\n/' | grep -v '^\s*tree '
    for run in 1 2; do
      grep '^\s*tree ' "$name.run$run.t" | tail -n +$((burnin + 1)) | sed "s/tree gen\./tree run$run.gen./"
    done
    echo 'end;'
  } | gzip -9n >"$out/$name.mb.nex.gz"
}

# IQ-TREE ultrafast bootstrap: one tree per replicate, with its branch lengths.
ufboot() { # name alignment model replicates
  local name=$1 alignment=$2 model=$3 replicates=$4
  echo "make_data: IQ-TREE UFBoot $name ($replicates replicates)" >&2
  iqtree2 -s "$alignment" -m "$model" -B "$replicates" --wbtl -T 1 --seed 20261207 --prefix "$name" --quiet --redo
  gzip -9n <"$name.ufboot" >"$out/$name.ufboot.nwk.gz"
}

wanted() { [ ${#sets[@]} -eq 0 ] || [[ " ${sets[*]} " == *" $1 "* ]]; }
sets=("$@")

if wanted example; then
  ufboot example "$iq_examples/example.phy" GTR+G 1000
fi
if wanted primates; then
  mrbayes primates "$mb_examples/primates.nex" 500000 40 2501 "lset nst=6 rates=invgamma;"
fi
if wanted cynmix; then
  # a short chain (30,000 generations): enough trees of 32 leaves, whether or not the runs have converged
  mrbayes cynmix "$mb_examples/cynmix.nex" 30000 10 1001 "lset nst=6 rates=gamma;"
fi
if wanted sceloporus; then
  data_block "$mb_examples/sceloporus.nex" >sceloporus.nex
  ufboot sceloporus sceloporus.nex GTR+G 1000
fi
if wanted sim; then
  echo "make_data: AliSim, 300 taxa" >&2
  iqtree2 --alisim sim -t 'RANDOM{yh/300}' -m GTR+G --length 1000 --seed 20261207 --quiet --redo
  ufboot sim sim.phy GTR+G 1000
fi
if wanted avian; then
  # a sample every 10 generations: about 20 minutes of one core, and chains whose neighbouring trees are alike
  mrbayes avian "$mb_examples/avian_ovomucoids.nex" 125000 10 2501 "prset aamodelpr=fixed(jones);"
fi

if wanted ovomucoid; then
  # short alignment, many taxa: a posterior spread over many splits, 10,000 trees per run after the burn-in;
  # the simplest model keeps the 89-taxon chains to minutes
  mrbayes ovomucoid "$mb_examples/avian_ovomucoids.nex" 125000 10 2501 "lset nst=1 rates=equal;"
fi

if wanted reading; then
  data_block "$mb_examples/sceloporus.nex" >sceloporus.nex
  cat >sceloporus.batch <<EOF
begin mrbayes;
  set autoclose=yes nowarn=yes seed=20261207 swapseed=1207;
  execute sceloporus.nex;
  lset nst=6 rates=gamma;
  mcmc ngen=30000 samplefreq=1 printfreq=30000 diagnfreq=30000 nruns=1 nchains=1 filename=sceloporus;
end;
EOF
  echo "make_data: MrBayes sceloporus, one run of 30,000 generations" >&2
  mb sceloporus.batch >sceloporus.mb.log
  cp sceloporus.t "$out/sceloporus.mb.t"
fi

if wanted ovomucoid30k; then
  # No MrBayes run: the header and TRANSLATE table of the committed 101-tree run, then its trees over and over
  # under new generation numbers, as a long run writes them (about 2.7 KB a tree), and the same file gzipped.
  echo "make_data: ovomucoid.30k.t, 30,000 trees of 89 taxa" >&2
  python3 - "$here/../tests/data/mrbayes/ovomucoid.run1.t.gz" "$out/ovomucoid.30k.t" <<'PY'
import gzip, re, sys
lines = gzip.open(sys.argv[1], "rt").read().splitlines()
trees = [line for line in lines if line.lstrip().startswith("tree ")]
head = lines[: lines.index(trees[0])]
with open(sys.argv[2], "w") as out:
    out.write("\n".join(head) + "\n")
    for i in range(30000):
        out.write(re.sub(r"gen\.\d+", f"gen.{i * 10}", trees[i % len(trees)], count=1) + "\n")
    out.write("end;\n")
PY
  gzip -6nc "$out/ovomucoid.30k.t" >"$out/ovomucoid.30k.t.gz"
fi

ls -l "$out"
