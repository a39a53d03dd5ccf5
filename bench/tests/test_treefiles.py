import gzip
import sys
from pathlib import Path

import cladomatic
import numpy as np

sys.path.insert(0, str(Path(__file__).parents[1]))
import treefiles

NEXUS = """#NEXUS
begin trees;
   translate
       1 Tarsius_syrichta,
       2 Lemur_catta,
      10 M_fascicularis,
      11 'M sylvanus';
   tree gen.0 = [&U] (1:2.000000e-02,(2:1.1e-01,10:3.0e-02)0.95:1.0e-02,11:1.0e+00);
   tree gen.10 = [&U] (1:3.0e-02,(2:1.1e-01,11:3.0e-02):1.0e-02,10:1.0e+00);
   tree gen.20 = [&U] (10:3.0e-02,(11:1.1e-01,1:3.0e-02):1.0e-02,2:1.0e+00);
end;
"""


class TestBenchmarkTreeFiles:
    def test_nexus_with_translate_block(self, tmp_path):
        path = tmp_path / "sample.nex.gz"
        with gzip.open(path, "wt") as handle:
            handle.write(NEXUS)
        trees = treefiles.read_tree_file(path)
        assert trees.names == ["gen.0", "gen.10", "gen.20"]
        assert trees.newicks[0] == "(1:2.000000e-02,(2:1.1e-01,10:3.0e-02)0.95:1.0e-02,11:1.0e+00);"
        assert trees.translate == {"1": "Tarsius_syrichta", "2": "Lemur_catta", "10": "M_fascicularis",
                                   "11": "M sylvanus"}
        assert trees.leaf_count() == 4
        # leaf labels only: the internal label 0.95 and the digits of the branch lengths stay as they are
        assert trees.translated(1) == [
            "(Tarsius_syrichta:2.000000e-02,(Lemur_catta:1.1e-01,M_fascicularis:3.0e-02)0.95:1.0e-02,"
            "'M sylvanus':1.0e+00);"]

    def test_translate_map_and_translated_text_give_one_matrix(self, tmp_path):
        path = tmp_path / "sample.nex"
        # the module's Newick has no single-quoted labels, so this name must be a plain word here
        path.write_text(NEXUS.replace("'M sylvanus'", "M_sylvanus"))
        trees = treefiles.read_tree_file(path)
        n = len(trees.newicks)
        function = cladomatic.pairwise_kf_with_snapshots_from_newick_iter
        raw = function(trees.names, iter(trees.newicks), [trees.translate], [0] * n)
        plain = function(trees.names, iter(trees.translated()), [{}], [0] * n)
        assert raw[2] == plain[2] == sorted(trees.translate.values())
        assert np.frombuffer(raw[1], "<f8").tolist() == np.frombuffer(plain[1], "<f8").tolist()

    def test_newick_file_one_tree_a_line(self, tmp_path):
        path = tmp_path / "boot.nwk"
        path.write_text("(A:1,B:2,(C:3,D:4):5);\n\n(A:1,C:2,(B:3,D:4):5);\n")
        trees = treefiles.read_tree_file(path)
        assert trees.names == ["tree0", "tree1"]
        assert trees.translate == {}
        assert trees.translated() == trees.newicks
