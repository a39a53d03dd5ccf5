"""The command's file reading and tree selection, without the extension module."""

import gzip

import pytest
from cladomatic_tools import reader
from cladomatic_tools.reader import InputError, read_trees
from cladomatic_tools.sources import Selection, explain, locate, scan, texts

NEXUS = """#NEXUS
[a comment; with a semicolon]
begin taxa;
    dimensions ntax=3;
    taxlabels 'Homo sapiens' Pan Gorilla;
end;
BEGIN TREES;
    Translate
        1 'Homo sapiens',
        2 Pan,
        3 'O''Brien''s gorilla'
    ;
    tree first = [&U] (1:0.1,(2:0.2,3:0.3):0.05);
    TREE * 'second tree' [&lnP=-12.5;x] = [&R] ((1,2),3);
end;
begin trees;
    tree other = ((A,B),C);
endblock;
"""


@pytest.fixture(params=[reader.CHUNK_CHARS, 1, 3], ids=["one-chunk", "chunk-1", "chunk-3"])
def chunked(request, monkeypatch):
    """Runs a test with the file read in one piece and in tiny chunks, which puts every token, comment and
    quote across chunk boundaries."""
    monkeypatch.setattr(reader, "CHUNK_CHARS", request.param)


def write(tmp_path, name, text, compress=False):
    path = tmp_path / name
    data = text.encode()
    path.write_bytes(gzip.compress(data) if compress else data)
    return str(path)


@pytest.mark.usefixtures("chunked")
class TestNewick:
    def test_trees_are_cut_at_semicolons_outside_comments_and_double_quotes(self, tmp_path):
        text = '\ufeff  (A,B);\n[c;[d] ((A,"x;y[z"),B);\r\n\n(A,\nB)\n;  [trailing; comment]\n'
        records = list(read_trees(write(tmp_path, "t.nwk", text)))
        assert [r.text for r in records] == ["(A,B);", '[c;[d] ((A,"x;y[z"),B);', "(A,\nB)\n;"]
        assert [r.line for r in records] == [1, 2, 4]
        assert all(r.name is None and r.translate is None for r in records)

    def test_an_unfinished_last_tree_is_passed_on_for_the_engine_to_report(self, tmp_path):
        records = list(read_trees(write(tmp_path, "t.nwk", "(A,B);\n(A,[open")))
        assert [r.text for r in records] == ["(A,B);", "(A,[open"]

    def test_gzip_is_recognised_by_its_magic_bytes_whatever_the_name(self, tmp_path):
        plain = list(read_trees(write(tmp_path, "t.nwk", "(A,B);\n(B,A);\n")))
        packed = list(read_trees(write(tmp_path, "t.txt", "(A,B);\n(B,A);\n", compress=True)))
        assert packed == plain


@pytest.mark.usefixtures("chunked")
class TestNexus:
    def test_tree_commands_give_names_texts_and_their_block_translate_table(self, tmp_path):
        records = list(read_trees(write(tmp_path, "t.nex", NEXUS)))
        assert [r.name for r in records] == ["first", "second tree", "other"]
        assert [r.text for r in records] == [
            "[&U] (1:0.1,(2:0.2,3:0.3):0.05);",
            "[&R] ((1,2),3);",
            "((A,B),C);",
        ]
        assert [r.line for r in records] == [13, 14, 17]
        table = {"1": "Homo sapiens", "2": "Pan", "3": "O'Brien's gorilla"}
        assert records[0].translate == table and records[1].translate is records[0].translate
        assert records[2].translate is None

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


def six_trees(tmp_path):
    """Two Newick files of three trees each, the second with a fault in its last tree."""
    a = write(tmp_path, "a.nwk", "((A,B),C);\n((A,C),B);\n((B,C),A);\n")
    b = write(tmp_path, "b.nwk", "((A,B),C);\n\n((A,C),B);\n((A,B),C,D);\n")
    return a, b


class TestSelection:
    def test_burnin_and_thinning_apply_to_each_file(self, tmp_path):
        paths = [write(tmp_path, f"{n}.nwk", "".join(f"(A,B{i});\n" for i in range(7))) for n in "ab"]
        tree_set = scan(paths, Selection(burnin=2, every=2))
        assert [span.kept for span in tree_set.spans] == [3, 3]
        assert tree_set.names == [f"{p}:tree_{i}" for p in paths for i in (3, 5, 7)]
        assert list(texts(tree_set)) == [f"(A,B{i});" for _ in paths for i in (2, 4, 6)]

    def test_translate_tables_are_indexed_per_tree_and_plain_trees_use_the_empty_one(self, tmp_path):
        nexus = write(tmp_path, "t.nex", NEXUS)
        plain = write(tmp_path, "t.nwk", "((A,B),C);\n")
        tree_set = scan([nexus, plain, nexus], Selection())
        table = {"1": "Homo sapiens", "2": "Pan", "3": "O'Brien's gorilla"}
        assert tree_set.translate_maps == [{}, table]
        assert tree_set.map_indices == [1, 1, 0, 0, 1, 1, 0]
        assert tree_set.names[:2] == [f"{nexus}:first", f"{nexus}:second tree"]

    @pytest.mark.parametrize(
        "files, selection, message",
        [
            (["(A,B);"], Selection(), "need at least 2 trees to compare, found 1"),
            (["(A,B);\n(A,B);", "[only a comment]"], Selection(), "1.nwk: no trees found"),
            (["(A,B);\n(A,B);", "(A,B);"], Selection(1), "1.nwk: a burn-in of 1 trees leaves none of its 1 trees"),
        ],
    )
    def test_selections_that_leave_too_little(self, tmp_path, files, selection, message):
        paths = [write(tmp_path, f"{i}.nwk", text) for i, text in enumerate(files)]
        with pytest.raises(InputError) as caught:
            scan(paths, selection)
        assert str(caught.value).endswith(message)

    def test_a_file_that_grew_since_the_scan_is_read_as_scanned(self, tmp_path):
        path = write(tmp_path, "t.nwk", "(A,B);\n(A,C);\n")
        tree_set = scan([path], Selection())
        with open(path, "a") as file:
            file.write("(A,D);\n")
        assert list(texts(tree_set)) == ["(A,B);", "(A,C);"]

    def test_a_file_that_shrank_since_the_scan_is_an_error(self, tmp_path):
        path = write(tmp_path, "t.nwk", "(A,B);\n(A,C);\n(A,D);\n")
        tree_set = scan([path], Selection())
        write(tmp_path, "t.nwk", "(A,B);\n(A,C);\n")
        with pytest.raises(InputError, match="changed while it was being read"):
            list(texts(tree_set))


class TestMessages:
    def test_indices_over_all_files_map_back_to_file_line_and_tree(self, tmp_path):
        a, b = six_trees(tmp_path)
        tree_set = scan([a, b], Selection(burnin=1))
        assert str(locate(tree_set, 0)) == f"{a}:2: tree 2"
        assert str(locate(tree_set, 3)) == f"{b}:4: tree 3"
        assert locate(tree_set, 4) is None
        message = "Failed to parse newick at index 3: a '(' is never closed"
        assert explain(tree_set, message) == f"{b}:4: tree 3: a '(' is never closed"

    def test_leaf_messages_name_the_tree_and_the_first_tree(self, tmp_path):
        nexus = write(tmp_path, "t.nex", NEXUS)
        a, _ = six_trees(tmp_path)
        tree_set = scan([nexus, a], Selection())
        message = "Tree 4 has a different leaf set than tree 0. All trees must share the same taxa."
        assert explain(tree_set, message) == (
            f"{a}:2: tree 2 has a different leaf set than tree 1 (first) of {nexus}."
            " All trees must share the same taxa."
        )
        message = 'Tree 1 repeats the leaf name "Pan". All leaf names must be unique.'
        assert explain(tree_set, message) == (
            f'{nexus}:14: tree 2 (second tree) repeats the leaf name "Pan". All leaf names must be unique.'
        )
        message = "Tree 1 has an unnamed leaf. All leaves must be named."
        assert explain(tree_set, message) == (
            f"{nexus}:14: tree 2 (second tree) has an unnamed leaf. All leaves must be named."
            " Every leaf label must be a key of the TRANSLATE table."
        )
        assert explain(tree_set, "Tree 3 has an unnamed leaf. All leaves must be named.") == (
            f"{a}:1: tree 1 has an unnamed leaf. All leaves must be named."
        )

    def test_messages_without_a_known_tree_pass_unchanged(self, tmp_path):
        tree_set = scan(list(six_trees(tmp_path)), Selection())
        for message in ("Too many distinct splits for 32-bit split IDs.", "Tree 99 has an unnamed leaf."):
            assert explain(tree_set, message) == message
