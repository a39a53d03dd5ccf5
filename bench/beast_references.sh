#!/usr/bin/env bash
# TreeAnnotator references for `cladomatic annotate`: runs of BEAST 1.10.4's and BEAST 2.7.8's own examples, each
# tree file summarised by TreeAnnotator 1.10.4 (`treeannotator`) and 2.7.8 (`treeannotator2`) with every heights
# option, with -limit and with -target.  Run inside the development root:
#   tools/devenv run bench/beast_references.sh
# Fixed seeds; the runs take about three minutes on two cores, TreeAnnotator another few.  Writes to
# tests/data/beast/ the tree files (gzipped), the parameter logs, the target trees and every TreeAnnotator
# output; tests/data/beast/README.md lists the command lines and the rules read from the outputs.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
out=$here/../tests/data/beast
work=${CLADOMATIC_BUILD_DIR:-$here/../build}/beast-refs
ex1=/usr/share/doc/beast-mcmc/examples
ex2=/usr/share/doc/beast2-mcmc/examples
seed=20261208
mkdir -p "$out" "$work"
cd "$work"
# BEAST_REFS_REUSE=1 keeps the runs of an earlier call and makes only the summaries again.
if [ "${BEAST_REFS_REUSE:-0}" != 1 ]; then rm -f ./*.trees ./*.log ./*.out; fi
rm -f ./*.tre ./*.ta2in.trees

# --- the runs -------------------------------------------------------------------------------------------------
# ucln: BEAST 1's uncorrelated lognormal relaxed clock on 17 dengue sequences with tip dates; 2,000,000 states
# logged every 5,000 (401 trees, `rate` on every branch).
zcat "$ex1/TestXML/ClockModels/testUCRelaxedClockLogNormal.xml.gz" |
  sed -e 's/chainLength="10000000"/chainLength="2000000"/' -e 's/logEvery="1000"/logEvery="5000"/g' \
    -e 's/testUCRelaxedClockLogNormal\./ucln./g' >ucln.xml
# ancestral: BEAST 1's ancestral state reconstruction of 6 primates; the two reconstructed alignments are logged
# on every node as strings (trait1="GT", trait2="C"): discrete traits written by BEAST itself.  The Debian
# package's discrete phylogeography examples (Phylogeography/H5N1_HA_discrete*) do not parse
# (svsGeneralSubstitutionModel); this one runs once made to: its reconstructed patterns uncompressed
# (unique="false"), kappa's upper bound dropped (its scale operator refuses one), the traits named by
# `stateTagName` (its `tagName` is ignored, which writes both as `states`).  400,000 states logged every 1,000
# (401 trees); its screen log is made a file log.
zcat "$ex1/TestXML/testAncestralReconstruction.xml.gz" |
  sed -e 's/chainLength="10000"/chainLength="400000"/' -e 's/logEvery="100">/logEvery="1000" fileName="ancestral.log">/' \
    -e 's/logEvery="100" nexusFormat/logEvery="1000" nexusFormat/' -e 's/ancestor\.trees/ancestral.trees/' \
    -e 's/<patterns id="patterns\([23]\)" from="1">/<patterns id="patterns\1" from="1" unique="false">/' \
    -e 's/value="1.0" lower="0.0" upper="5.0"/value="1.0" lower="0.0"/' -e 's/ tagName="trait/ stateTagName="trait/' >ancestral.xml
# relaxed2: BEAST 2's relaxed clock example (testRelaxedClock), 1,000,000 states logged every 2,500 (401 trees,
# node comments after the label, `rate` with 6 decimals); only the time tree log is kept.
zcat "$ex2/testRelaxedClock.xml.gz" |
  sed -e 's/logEvery="1000"/logEvery="2500"/g' -e 's/test\.\$(seed)\.log/relaxed2.log/' \
    -e 's/test\.(time)\.\$(seed)\.trees/relaxed2.trees/' -e 's/test\.(subst)\.\$(seed)\.trees/relaxed2.subst.trees/' >relaxed2.xml

if [ "${BEAST_REFS_REUSE:-0}" != 1 ]; then
  echo "beast_references: BEAST 1 runs" >&2
  beast-mcmc -seed "$seed" -overwrite ucln.xml >ucln.out 2>&1 &
  beast-mcmc -seed "$seed" -overwrite ancestral.xml >ancestral.out 2>&1
  wait
  echo "beast_references: BEAST 2 run" >&2
  beast2-mcmc -seed "$seed" -overwrite relaxed2.xml >relaxed2.out 2>&1
fi

# ucln_location: the ucln trees with a discrete trait of this script's own on every node, written as BEAST 1
# writes one (`13:[&rate=...,location="B"]1.05`, the root's as `)[&location="A"]`): a tip's location follows
# from its taxon, an inner node's is drawn from the tree's STATE number (it keeps its parent's with
# probability 0.7, else one of A-D), so that the trait is a string whose frequencies vary by clade.
python3 - ucln.trees ucln_location.trees <<'PY'
import random, re, sys

src, dst = sys.argv[1], sys.argv[2]
taxa = {}
with open(src) as f, open(dst, "w") as out:
    for line in f:
        m = re.match(r"\s*(\d+) ([^,;\s]+)[,;]?\s*$", line)
        if m and not line.startswith("tree"):
            taxa[m.group(1)] = m.group(2)
        if not line.startswith("tree STATE_"):
            out.write(line)
            continue
        head, body = line.split("[&R] ", 1)
        rng = random.Random(int(head.split()[1][6:]))
        stack, pieces, i = ["A"], [], 0
        # `(` opens a node whose location is drawn when it opens (preorder); a leaf's comes from its name
        while i < len(body):
            c = body[i]
            if c == "(":
                parent = stack[-1]
                stack.append(parent if rng.random() < 0.7 else "ABCD"[rng.randrange(4)])
                pieces.append(c)
                i += 1
            elif c.isdigit() and body[i - 1] in "(,":
                j = i
                while body[j].isdigit():
                    j += 1
                name = taxa[body[i:j]]
                loc = "ABCD"[sum(name.encode()) % 4]
                pieces.append(body[i:j])
                assert body[j : j + 3] == ":[&"
                pieces.append(f':[&location="{loc}",')
                i = j + 3
            elif c == ")":
                loc = stack.pop()
                pieces.append(")")
                if body[i + 1 : i + 4] == ":[&":
                    pieces.append(f':[&location="{loc}",')
                    i += 4
                else:  # the root
                    pieces.append(f'[&location="{loc}"]')
                    i += 1
            else:
                pieces.append(c)
                i += 1
        out.write(head + "[&R] " + "".join(pieces))
PY

# --- the targets: the last tree of each run as a NEXUS file of its own, as a user's tree would be: header and
# TRANSLATE kept, the tree's topology and branch lengths without its comments but [&R] (TreeAnnotator 1.10.4
# fails on the `[&rate=1]` BEAST 2 writes at the root, an integer where it wants a double), and BEAST 1's
# `[keywords: ...]` comment left out (treeannotator2 reads no file that has it) ----------------------------------
for run in ucln ancestral ucln_location relaxed2; do
  { sed -n '1,/^tree /p' "$run.trees" | grep -v -e '^tree ' -e '^\[keywords:'
    grep '^tree ' "$run.trees" | tail -1 | sed -E 's/\[&[^]]*=[^]]*\]//g'
    echo 'End;'; } >"$run.target.tre"
done
# ucln.unseen.target.tre: the ucln target with taxa 1 and 17 swapped, whose clades holding one of them but not
# the other no sampled tree holds
sed -E '/^tree /{s/([(,])1:/\1X:/; s/([(,])17:/\11:/; s/([(,])X:/\117:/}' ucln.target.tre >ucln.unseen.target.tre

# --- TreeAnnotator ------------------------------------------------------------------------------------------------
# Debian's treeannotator2 finds no topology or height services (BEAST.app's version.xml is not installed), so
# they are named in a version file of their own; and BEAST 2's NEXUS parser fails on the `[keywords: ...]`
# comment BEAST 1 writes before TRANSLATE, so treeannotator2 reads the BEAST 1 files without that line (nothing
# else changed).
cat >beastapp.version.xml <<'XML'
<package name="BEAST.app" version="2.7.8">
  <service type="beastfx.app.treeannotator.services.TopologySettingService">
    <provider classname="beastfx.app.treeannotator.services.MCCTopologyService"/>
    <provider classname="beastfx.app.treeannotator.services.MaxSumCladeCrediblityTopologyService"/>
    <provider classname="beastfx.app.treeannotator.services.UserTargetTreeTopologyService"/>
  </service>
  <service type="beastfx.app.treeannotator.services.NodeHeightSettingService">
    <provider classname="beastfx.app.treeannotator.services.CommonAncestorNodeHeigtService"/>
    <provider classname="beastfx.app.treeannotator.services.MeanNodeHeightService"/>
    <provider classname="beastfx.app.treeannotator.services.MedianNodeHeightService"/>
    <provider classname="beastfx.app.treeannotator.services.KeepHeightsNodeHeightsService"/>
  </service>
</package>
XML
for run in ucln ancestral ucln_location relaxed2; do grep -v '^\[keywords:' "$run.trees" >"$run.ta2in.trees"; done
# Burn-in: the first 40 of 401 trees, given as -burninTrees 40 to 1.10.4 and as -burnin 10 (percent, floor(10% x
# 401) = 40 trees) to 2.7.8.
# the runs' own command lines first (the XML edits are the sed lines above)
readme_cmds=("beast-mcmc -seed $seed -overwrite ucln.xml" "beast-mcmc -seed $seed -overwrite ancestral.xml"
  "beast2-mcmc -seed $seed -overwrite relaxed2.xml")
annotate1() { # run tag args...
  local run=$1 tag=$2
  shift 2
  treeannotator -burninTrees 40 "$@" "$run.trees" "$run.ta1.$tag.tre" >"$run.ta1.$tag.out" 2>&1
  [ -s "$run.ta1.$tag.tre" ] || { cat "$run.ta1.$tag.out" >&2; exit 1; }
  readme_cmds+=("treeannotator -burninTrees 40 $* $run.trees $run.ta1.$tag.tre")
}
annotate2() {
  local run=$1 tag=$2
  shift 2
  treeannotator2 -version_file beastapp.version.xml -burnin 10 "$@" "$run.ta2in.trees" "$run.ta2.$tag.tre" \
    >"$run.ta2.$tag.out" 2>&1
  [ -s "$run.ta2.$tag.tre" ] || { cat "$run.ta2.$tag.out" >&2; exit 1; }
  readme_cmds+=("treeannotator2 -version_file beastapp.version.xml -burnin 10 $* $run.ta2in.trees $run.ta2.$tag.tre")
}
for run in ucln ancestral ucln_location relaxed2; do
  echo "beast_references: TreeAnnotator on $run" >&2
  for h in keep mean median ca; do
    annotate1 "$run" "$h" -heights "$h"
    annotate1 "$run" "$h.limit" -heights "$h" -limit 0.5
    annotate1 "$run" "$h.target" -heights "$h" -target "$run.target.tre"
    h2=$h
    [ "$h" = ca ] && h2=CA # its name for it
    annotate2 "$run" "$h" -height "$h2"
    annotate2 "$run" "$h.limit" -height "$h2" -limit 0.5
    annotate2 "$run" "$h.target" -height "$h2" -target "$run.target.tre"
  done
done
for h in keep mean median ca; do
  h2=$h
  [ "$h" = ca ] && h2=CA
  annotate1 ucln "$h.unseen" -heights "$h" -target ucln.unseen.target.tre
  annotate2 ucln "$h.unseen" -height "$h2" -target ucln.unseen.target.tre
done

# --- into the repository --------------------------------------------------------------------------------------
rm -f "$out"/*.gz "$out"/*.tre "$out"/*.log
for run in ucln ancestral ucln_location relaxed2; do
  gzip -9n <"$run.trees" >"$out/$run.trees.gz"
  cp "$run.target.tre" "$out/"
  for f in "$run".ta[12].*.tre; do gzip -9n <"$f" >"$out/$f.gz"; done
done
# BEAST 2 writes its whole XML into the log's leading `#` comments: left out, the columns kept
cp ucln.unseen.target.tre "$out/"
for run in ucln ancestral; do cp "$run.log" "$out/$run.log"; done
grep -v '^#' relaxed2.log >"$out/relaxed2.log"
# every command line, into README.md between its two markers (the rest of it is written by hand)
python3 - "$out/README.md" "${readme_cmds[@]}" <<'PY'
import sys
path, commands = sys.argv[1], sys.argv[2:]
text = open(path).read()
head, rest = text.split("<!-- commands -->\n", 1)
_, tail = rest.split("<!-- end of commands -->\n", 1)
block = "```\n" + "\n".join(commands) + "\n```\n"
open(path, "w").write(head + "<!-- commands -->\n" + block + "<!-- end of commands -->\n" + tail)
PY
echo "beast_references: wrote $(ls "$out" | wc -l) files to $out" >&2
