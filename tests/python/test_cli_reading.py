"""The command's file reading and tree selection: the engine's reader as the package sees it."""

import gzip
import subprocess
import sys
import warnings
from pathlib import Path

import pytest
from cladomatic_tools.io import reader
from cladomatic_tools.io.reader import InputError, UnfinishedTree, read_trees
from cladomatic_tools.io.sources import texts
from conftest import TRANSLATED_NEXUS, kept_line, scanned, write

DATA = Path(__file__).resolve().parents[1] / "data" / "mrbayes"


@pytest.fixture(params=[reader.CHUNK_BYTES, 1, 3], ids=["one-chunk", "chunk-1", "chunk-3"])
def chunked(request, monkeypatch):
    """Runs a test with the file read in one piece and in tiny chunks, which puts every token, comment and
    quote across chunk boundaries."""
    monkeypatch.setattr(reader, "CHUNK_BYTES", request.param)





@pytest.mark.usefixtures("chunked")
class TestNewick:
    def test_trees_are_cut_at_semicolons_outside_comments_and_double_quotes(self, tmp_path):
        text = '\ufeff  (A,B);\n[c;[d] ((A,"x;y[z"),B);\r\n\n(A,\nB)\n;  [trailing; comment]\n'
        records = list(read_trees(write(tmp_path, "t.nwk", text)))
        assert [r.text for r in records] == ["(A,B);", '[c;[d] ((A,"x;y[z"),B);', "(A,\nB)\n;"]
        assert [r.line for r in records] == [1, 2, 4]
        assert all(r.name is None and r.translate is None for r in records)

    def test_an_unfinished_last_tree_is_left_out_with_a_warning(self, tmp_path):
        path = write(tmp_path, "t.nwk", "(A,B);\n(B,A);\n\n(A,[open")
        with pytest.warns(UnfinishedTree) as caught:
            records = list(read_trees(path))
        assert [r.text for r in records] == ["(A,B);", "(B,A);"]
        assert [str(w.message) for w in caught] == [
            f"{path}:4: the file ends before this tree's ';' (is it still being written?); "
            "the 2 trees before it are read"
        ]

    def test_a_file_whose_only_tree_is_unfinished_passes_it_on_for_the_engine_to_report(self, tmp_path):
        with warnings.catch_warnings():
            warnings.simplefilter("error", UnfinishedTree)
            records = list(read_trees(write(tmp_path, "t.nwk", "(A,[open")))
        assert [r.text for r in records] == ["(A,[open"]

    def test_gzip_is_recognised_by_its_magic_bytes_whatever_the_name(self, tmp_path):
        plain = list(read_trees(write(tmp_path, "t.nwk", "(A,B);\n(B,A);\n")))
        packed = list(read_trees(write(tmp_path, "t.txt", "(A,B);\n(B,A);\n", compress=True)))
        assert packed == plain


@pytest.mark.usefixtures("chunked")
class TestNexus:
    def test_tree_commands_give_names_texts_and_their_block_translate_table(self, tmp_path):
        records = list(read_trees(write(tmp_path, "t.nex", TRANSLATED_NEXUS)))
        assert [r.name for r in records] == ["first", "second tree", "other"]
        assert [r.text for r in records] == [
            "[&U] (1:0.1,(2:0.2,3:0.3):0.05);",
            "[&R] ((1,2),3);",
            "((A,B),C);",
        ]
        assert [r.line for r in records] == [13, 14, 17]
        taxa = {"1": "Homo_sapiens", "2": "Pan", "3": "O'Brien's_gorilla"}
        assert records[0].translate == taxa | {name: name for name in taxa.values()}
        assert records[1].translate is records[0].translate and records[2].translate is None
        assert [(r.block, r.position) for r in records] == [(0, 0), (0, 1), (1, 0)]

    @pytest.mark.parametrize(
        "end",
        ["tree gen.20 = [&U] (1:0.1,(2:0.2,3:4.91106", "tree gen.20 = [&U] ((1,2)[&x=", "tree gen.2", "tree gen.20 ="],
    )
    def test_a_run_still_writing_its_last_tree_is_read_up_to_the_tree_before(self, tmp_path, end):
        text = "#NEXUS\nbegin trees;\ntranslate 1 A, 2 B, 3 C;\ntree gen.0 = ((1,2),3);\ntree gen.10 = ((1,3),2);\n"
        path = write(tmp_path, "t.nex", text + end)
        with pytest.warns(UnfinishedTree, match=r"t\.nex:6: .* the 2 trees before it are read$"):
            records = list(read_trees(path))
        assert [r.name for r in records] == ["gen.0", "gen.10"]

    @pytest.mark.parametrize(
        "text, message",
        [
            ("#NEXUS\nbegin trees; [open\n", "t.nex:2: a '[' comment is never closed"),
            ("#NEXUS\nbegin trees;\ntranslate 1 'A, 2 B;", "t.nex:3: a quoted name is never closed"),
            ("#NEXUS\nbegin trees;\ntranslate 1 A, 1 B;", "t.nex:3: TRANSLATE lists '1' twice"),
            ("#NEXUS\nbegin trees;\ntranslate 1 A, 2", "t.nex:3: the TRANSLATE command does not end in ';'"),
            ("#NEXUS\nbegin trees;\ntree t (A,B);\nend;", "t.nex:3: a TREE command without '='"),
        ],
    )
    def test_faults_outside_trees_are_reported_with_their_line(self, tmp_path, text, message):
        path = write(tmp_path, "t.nex", text)
        with pytest.raises(InputError) as caught:
            list(read_trees(path))
        assert str(caught.value) == f"{tmp_path}/{message}"


class TestInputFaults:
    def test_missing_file(self, tmp_path):
        with pytest.raises(InputError, match=r"^cannot open .*/none\.nwk: No such file or directory$"):
            list(read_trees(str(tmp_path / "none.nwk")))

    def test_text_that_is_not_utf8(self, tmp_path):
        path = tmp_path / "t.nwk"
        path.write_bytes(b"(A,B);\n(\xff,B);\n")
        with pytest.raises(InputError, match=r"t\.nwk: not UTF-8 text"):
            list(read_trees(str(path)))

    def test_truncated_gzip(self, tmp_path):
        path = tmp_path / "t.nwk.gz"
        path.write_bytes(gzip.compress(b"(A,B);\n" * 1000)[:-20])
        with pytest.raises(InputError, match=r"t\.nwk\.gz: cannot read: "):
            list(read_trees(str(path)))





class TestSelection:
    def test_burnin_and_thinning_apply_to_each_file(self, tmp_path):
        paths = [write(tmp_path, f"{n}.nwk", "".join(f"(A,B{i});\n" for i in range(7))) for n in "ab"]
        tree_set = scanned(paths, 2, every=2)
        assert [run.kept for run in tree_set.runs] == [3, 3]
        assert tree_set.names == [f"{p}:tree_{i}" for p in paths for i in (3, 5, 7)]
        assert list(texts(tree_set)) == [f"(A,B{i});" for _ in paths for i in (2, 4, 6)]

    def test_translate_tables_are_indexed_per_tree_and_plain_trees_use_the_empty_one(self, tmp_path):
        nexus = write(tmp_path, "t.nex", TRANSLATED_NEXUS)
        plain = write(tmp_path, "t.nwk", "((A,B),C);\n")
        tree_set = scanned([nexus, plain, nexus])
        taxa = {"1": "Homo_sapiens", "2": "Pan", "3": "O'Brien's_gorilla"}
        assert tree_set.translate_maps == [{}, taxa | {name: name for name in taxa.values()}]
        assert tree_set.map_indices == [1, 1, 0, 0, 1, 1, 0]
        assert tree_set.names[:4] == [
            f"{nexus}:run1:first",
            f"{nexus}:run1:second tree",
            f"{nexus}:run2:other",
            f"{plain}:tree_1",
        ]
        assert tree_set.names[4:] == [f"{nexus}:run1:first#2", f"{nexus}:run1:second tree#2", f"{nexus}:run2:other#2"]

    @pytest.mark.parametrize(
        "files, burnin, message",
        [
            (["(A,B);"], None, "need at least 2 trees to compare, found 1"),
            (["(A,B);\n(A,B);", "[only a comment]"], None, "1.nwk: no trees found"),
            (["(A,B);\n(A,B);", "(A,B);"], 1, "1.nwk: a burn-in of 1 tree leaves none of its 1 trees"),
        ],
    )
    def test_selections_that_leave_too_little(self, tmp_path, files, burnin, message):
        paths = [write(tmp_path, f"{i}.nwk", text) for i, text in enumerate(files)]
        with pytest.raises(InputError) as caught:
            scanned(paths, burnin)
        assert str(caught.value).endswith(message)

    @pytest.mark.parametrize("later", ["(A,B);\n(A,C);\n(A,D);\n", "(A,B);\n"])
    def test_the_texts_are_those_the_scan_read_whatever_the_file_becomes(self, tmp_path, later):
        path = write(tmp_path, "t.nwk", "(A,B);\n(A,C);\n")
        tree_set = scanned([path])
        write(tmp_path, "t.nwk", later)
        assert list(texts(tree_set)) == ["(A,B);", "(A,C);"]


MRBAYES_RUN = """#NEXUS
[ID: 123]
begin trees;
   translate
      1 'Homo sapiens',
      2 Pan_troglodytes,
      3 'Pongo (orang)';
   tree gen.0 = [&U] ((1:0.1,2:0.2):0.1,3:0.3);
   tree gen.1000 = [&U] ((1:0.1,3:0.2):0.1,2:0.3);
   tree gen.2000 = [&U] ((2:0.1,3:0.2):0.1,1:0.3);
   tree gen.3000 = [&U] ((1:0.1,2:0.2):0.1,3:0.3);
end;
"""


class TestJoinedRuns:
    def test_every_trees_block_of_joined_documents_is_read_and_numbered(self, tmp_path):
        second = MRBAYES_RUN.replace("gen.", "g.").replace("Pan_troglodytes", "Pan_paniscus")
        joined = write(tmp_path, "both.t", MRBAYES_RUN + second)
        records = list(read_trees(joined))
        assert [(r.block, r.position, r.name) for r in records][3:5] == [(0, 3, "gen.3000"), (1, 0, "g.0")]
        assert len(records) == 8 and records[4].line == MRBAYES_RUN.count("\n") + 8
        assert [records[i].translate["2"] for i in (3, 4)] == ["Pan_troglodytes", "Pan_paniscus"]

    def test_concatenated_gzip_members_are_one_stream(self, tmp_path):
        path = tmp_path / "both.t.gz"
        path.write_bytes(gzip.compress(MRBAYES_RUN.encode()) + gzip.compress(MRBAYES_RUN.encode()))
        assert [r.block for r in read_trees(str(path))] == [0] * 4 + [1] * 4

    @pytest.mark.parametrize(
        "burnin, kept",
        [
            (1, ["g.1000", "g.2000", "g.3000"]),
            ("50%", ["g.2000", "g.3000"]),
            ("0.5", ["g.2000", "g.3000"]),
        ],
    )
    def test_burnin_applies_to_each_run(self, tmp_path, burnin, kept):
        joined = write(tmp_path, "both.t", MRBAYES_RUN + MRBAYES_RUN.replace("gen.", "g."))
        tree_set = scanned([joined], burnin)
        assert tree_set.names == [f"run1:{n.replace('g.', 'gen.')}" for n in kept] + [f"run2:{n}" for n in kept]
        assert [run.label() for run in tree_set.runs] == [f"{joined} (run 1)", f"{joined} (run 2)"]
        assert len(list(texts(tree_set))) == 2 * len(kept)

    def test_a_burnin_share_rounds_down_and_can_leave_nothing(self, tmp_path):
        path = write(tmp_path, "t.nwk", "(A,B);\n" * 7)
        assert scanned([path], "25%").runs[0].first == 1
        with pytest.raises(InputError, match="a burn-in of 7 trees leaves none of its 7 trees"):
            scanned([path], 7)


class TestTaxonSpellings:
    def test_quoted_labels_and_underscores_spell_one_taxon(self, tmp_path):
        text = "(('Homo sapiens',Pan_troglodytes),'Pongo (orang)','O''Brien''s','a;b',''[x'y],\"q'\");\n(A,B);"
        first, second = read_trees(write(tmp_path, "t.nwk", text))
        assert first.text == ('((Homo_sapiens,Pan_troglodytes),"Pongo_(orang)",O\'Brien\'s,"a;b",[x\'y],"q\'");')
        assert second.text == "(A,B);"

    def test_translate_tables_give_the_same_spelling_and_accept_full_names(self, tmp_path):
        text = "#NEXUS\nbegin trees; translate 1 'Homo sapiens', 2 Pan_troglodytes, 'Pongo (orang)' 'Pongo (orang)';\n"
        (record,) = read_trees(write(tmp_path, "t.nex", text + "tree t = (1,2,'Pongo (orang)');\nend;\n"))
        assert record.translate == {
            "1": "Homo_sapiens",
            "2": "Pan_troglodytes",
            "Homo_sapiens": "Homo_sapiens",
            "Pan_troglodytes": "Pan_troglodytes",
            '"Pongo_(orang)"': '"Pongo_(orang)"',
        }


class TestWrongKindsOfFile:
    @pytest.mark.parametrize(
        "data, message",
        [
            (b"BZh91AY&SY", "bzip2-compressed"),
            (b"\xfd7zXZ\x00\x00", "xz-compressed"),
            (b"3 10\nHomo  ACGTACGTAC\nPan   ACGTACGTAA\nPongo ACGTACGTTT\n", "this is a PHYLIP alignment"),
            (b" 3 10 I\nHomo  ACGTA\n", "this is a PHYLIP alignment"),
            (b">Homo\nACGT\n", "this is a FASTA sequence file"),
            (b"[ID: 1875132878]\nGen\tLnL\tLnPr\tTL\n1\t-5.2\t-1.0\t0.3\n", "this is a MrBayes parameter file"),
            (gzip.compress(b"[ID: 1875132878]\r\nGen\tLnL\n"), r"trees\.nwk:1: this is a MrBayes parameter file"),
        ],
    )
    def test_the_message_says_what_the_file_is(self, tmp_path, data, message):
        path = tmp_path / "trees.nwk"
        path.write_bytes(data)
        with pytest.raises(InputError, match=message):
            list(read_trees(str(path)))


@pytest.mark.usefixtures("chunked")
class TestLimits:
    def test_a_tree_longer_than_the_limit_is_refused_before_it_is_held(self, tmp_path, monkeypatch):
        monkeypatch.setattr(reader, "MAX_TREE_CHARS", 50)
        path = write(tmp_path, "t.nwk", "(A,B);\n(" + "A," * 40 + "B);\n")
        trees = read_trees(path)
        assert next(trees).text == "(A,B);"
        with pytest.raises(InputError, match=r"t\.nwk:2: a tree or name longer than the limit of 50 characters"):
            next(trees)

    def test_long_nexus_words_and_names_are_read_whole(self, tmp_path):
        word = "x" * 5000
        text = f"#NEXUS\nbegin trees; translate 1 {word}, 2 '{word}''s'; tree t = (1,2);\nend;\n"
        (record,) = read_trees(write(tmp_path, "t.nex", text))
        assert record.translate["1"] == word and record.translate["2"] == f"{word}'s"


class TestUnfinishedRun:
    """A run still writing its tree file (issue 32, item 6): the trees before the unfinished last one are read."""

    TREES = "(A,(B,(C,D)));\n((A,B),(C,D));\n(A,(C,(B,D)));\n"

    def test_the_tree_set_warns_and_holds_the_whole_trees(self, tmp_path):
        from cladomatic_tools import TreeSet

        path = write(tmp_path, "run.nwk", self.TREES + "((A,C):0.1,(B,D):4.911067e")
        with pytest.warns(UnfinishedTree, match=r"run\.nwk:4: .*the 3 trees before it are read$"):
            trees = TreeSet.from_files([path])
        assert len(trees) == 3

    def test_the_command_says_it_in_one_warning(self, tmp_path):
        path = write(tmp_path, "run.nwk", self.TREES + "((A,C):0.1,(B,D):4.911067e")
        done = run_command("rf", path)
        assert done.returncode == 0, done.stderr
        assert done.stderr == (
            f"cladomatic: warning: {path}:4: the file ends before this tree's ';' (is it still being written?); "
            "the 3 trees before it are read\n" + kept_line(path, 3, 3)
        )
        assert len(done.stdout.splitlines()) == 4

    def test_a_fault_elsewhere_stays_an_error(self, tmp_path):
        path = write(tmp_path, "run.nwk", "(A,(B,(C,D)));\n(A,(B,;\n(A,(C,(B,D)));\n((A,C),(B")
        done = run_command("rf", path)
        assert done.returncode == 2
        assert done.stderr.startswith(f"cladomatic: error: {path}:2") and "warning" not in done.stderr


def run_command(*args):
    command = [sys.executable, "-m", "cladomatic_tools", *args]
    return subprocess.run(command, capture_output=True, text=True, timeout=300)


class TestReadAhead:
    """A regular file is read (and inflated) ahead on a thread of its own when the reading has more than one:
    nothing read may differ from one thread to two."""

    RUNS = tuple(str(DATA / f"ovomucoid.run{run}.t.gz") for run in (1, 2))

    def test_the_set_is_the_same_at_one_and_two_threads(self):
        from cladomatic_tools import TreeSet

        one, two = (TreeSet.from_files(list(self.RUNS), burnin=10, threads=threads) for threads in (1, 2))
        assert one.tree_names == two.tree_names and one.leaf_names == two.leaf_names
        assert one.distances("rf").tobytes() == two.distances("rf").tobytes()
        assert one.distances("wrf").tobytes() == two.distances("wrf").tobytes()

    def test_a_fault_is_the_same_at_one_and_two_threads(self, tmp_path):
        from cladomatic_tools import TreeSet

        data = gzip.open(self.RUNS[0]).read()
        cut = tmp_path / "cut.t.gz"
        cut.write_bytes(gzip.compress(data)[:-5000])
        faults = []
        for threads in (1, 2):
            with pytest.raises(InputError) as caught:
                TreeSet.from_files([str(cut)], threads=threads)
            faults.append(str(caught.value))
        assert faults[0] == faults[1] and "cannot read" in faults[0]
