"""The command's messages about one tree, built from what the real module reports: the position it gives in
`tree_index` and the trees themselves, never its wording."""

import cladomatic
import pytest
from cladomatic_tools.io.sources import explain, texts
from conftest import TRANSLATED_NEXUS, scanned, write

FUNCTIONS = [name for name in dir(cladomatic) if name.startswith("pairwise_")]


def failure(trees, maps=({},), indices=None, function="pairwise_rf_from_newick_iter", rooted=False):
    indices = [0] * len(trees) if indices is None else indices
    with pytest.raises(ValueError) as caught:
        getattr(cladomatic, function)(
            [f"t{i}" for i in range(len(trees))], iter(trees), list(maps), indices, rooted=rooted
        )
    return caught.value


class TestTreeIndex:
    @pytest.mark.parametrize("function", FUNCTIONS)
    @pytest.mark.parametrize(
        "trees, index",
        [
            (["(A,B,C);", "(A,B,C);", "((A,B),C;"], 2),  # syntax
            (["(A,B,C);", "(A,B,D);"], 1),  # another leaf set
            (["(A,B,C);", "(A,B,C);", "(A,(B,B),C);"], 2),  # a repeated leaf
            (["(A,B,C);", "(A,,C);"], 1),  # an unnamed leaf
            (["(A,A,C);", "(A,B,C);"], 0),  # the first tree's own leaves
        ],
    )
    def test_every_function_says_which_tree_failed(self, function, trees, index):
        err = failure(trees, function=function)
        assert type(err) is ValueError and err.tree_index == index

    def test_positions_count_over_chunks_and_the_message_is_unchanged_by_them(self):
        trees = ["((A,B),(C,D));"] * 5000 + ["((A,B),(C,E));"]
        err = failure(trees)
        assert err.tree_index == 5000 and str(err).startswith("Tree 5000 ")

    def test_faults_of_the_call_itself_carry_no_tree(self):
        err = failure(["(A,B);"])
        assert not hasattr(err, "tree_index")


class TestExplained:
    def run(self, paths, burnin=None):
        tree_set = scanned([str(path) for path in paths], burnin)
        names = tree_set.names
        function = cladomatic.pairwise_rf_from_newick_iter
        with pytest.raises(ValueError) as caught:
            function(names, texts(tree_set), tree_set.translate_maps, tree_set.map_indices)
        return explain([tree_set], caught.value, rooted=False)

    def test_a_syntax_fault_is_named_by_file_line_and_tree_after_the_burnin(self, tmp_path):
        a = write(tmp_path, "a.nwk", "((A,B),C);\n((A,C),B);\n((B,C),A);\n")
        b = write(tmp_path, "b.nwk", "((A,B),C);\n\n((A,C),B);\n((A,B),C;\n")
        message = self.run([a, b], 1)
        assert message.startswith(f"{b}:4: tree 3: ") and "Failed to parse" not in message

    def test_leaf_sets_that_differ_name_the_taxa_on_both_sides(self, tmp_path):
        first = write(
            tmp_path,
            "run1.t",
            "#NEXUS\nbegin trees; translate 1 Pan_paniscus, 2 Homo, 3 Gorilla;\ntree gen.0 = ((1,2),3);\nend;\n",
        )
        second = write(tmp_path, "run2.t", "(('Pan panisus',Homo),Gorilla);\n((Homo,Gorilla),Pongo);\n")
        assert self.run([first, second]) == (
            f"{second}:1: tree 1 lacks Pan_paniscus and has Pan_panisus that tree 1 (gen.0) of {first} does not"
        )

    def test_a_tree_with_a_taxon_too_few_or_too_many(self, tmp_path):
        fewer = write(tmp_path, "a.nwk", "((A,B),(C,D));\n((A,B),C);\n")
        assert self.run([fewer]) == f"{fewer}:2: tree 2 lacks D that tree 1 of {fewer} has"
        more = write(tmp_path, "b.nwk", "((A,B),C);\n((A,B),(C,D));\n")
        assert self.run([more]) == f"{more}:2: tree 2 has D that tree 1 of {more} does not"

    def test_a_label_outside_the_translate_table_is_named(self, tmp_path):
        path = write(tmp_path, "t.nex", TRANSLATED_NEXUS.replace("(1:0.1,(2:0.2,3:0.3):0.05)", "(1,(2,7))"))
        message = self.run([path])
        assert (
            message
            == f"{path}:13: tree 1 of run 1 (first): the label '7' is neither a key nor a taxon of its TRANSLATE table"
        )

    def test_a_repeated_leaf_is_said_in_the_modules_words_with_the_place(self, tmp_path):
        path = write(tmp_path, "t.nwk", "((A,B),C);\n((A,B),A);\n")
        message = self.run([path])
        assert message.startswith(f"{path}:2: tree 2 ") and '"A"' in message
