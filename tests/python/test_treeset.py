import gzip
import io
import math
import os
import pickle
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from cladomatic_tools import TreeSet
from conftest import NEWICK, full_matrix
from trees import edge_splits, forest, newick, oracle, pooled_forest, splits, wrf


@pytest.fixture(scope="module")
def big():
    # Over 256 trees, with splits held by chosen numbers of trees: RF takes its
    # sparse path and the weighted kernels have dense and rare columns.
    trees = pooled_forest(5, 300, 24, [40, 20, 9, 3, 2])
    return [newick(t) for t in trees]


@pytest.fixture(scope="module")
def big_sets(big):
    return {rooted: TreeSet.from_newick(big, rooted=rooted) for rooted in (False, True)}


class TestBlocksEqualTheFullMatrix:
    @pytest.mark.parametrize("rooted", [False, True])
    @pytest.mark.parametrize("metric", ["rf", "wrf", "kf"])
    def test_whole_matrix_bit_for_bit_and_any_block_is_its_submatrix(self, big, big_sets, metric, rooted):
        full = full_matrix(metric, big, rooted)
        ts = big_sets[rooted]
        whole = ts.distances(metric)
        assert whole.dtype == full.dtype and whole.tobytes() == full.tobytes()
        rng = np.random.default_rng(3)
        for _ in range(4):
            rows = rng.integers(0, len(big), rng.integers(1, 40))
            cols = rng.integers(0, len(big), rng.integers(1, 40))
            block = ts.distances(metric, rows=rows, cols=cols)
            assert block.tobytes() == full[np.ix_(rows, cols)].tobytes()
        assert ts.distances(metric, rows=range(10, 20), cols=slice(None, None, -7)).tobytes() == (
            full[10:20, ::-7].tobytes()
        )


class TestBlocksAgainstTheDefinitions:
    @pytest.mark.parametrize("rooted", [False, True])
    def test_every_metric_from_split_sets(self, rooted):
        roots = forest(11, 9, 9)
        ts = TreeSet.from_newick([newick(t) for t in roots], rooted=rooted)
        found = [splits(t, rooted) for t in roots]
        metrics = ["rf", "rf_norm", "wrf", "kf"] + ([] if rooted else ["info_rf"])
        for metric in metrics:
            got = ts.distances(metric)
            want = np.array([[oracle(metric, a, b, 9) for b in found] for a in found])
            np.testing.assert_allclose(got, want, rtol=1e-12, atol=1e-12, err_msg=metric)

    def test_info_rf_and_rf_norm_on_hand_trees(self):
        ts = TreeSet.from_newick(["((A,B),(C,D),E);", "((A,C),(B,D),E);", "(A,B,C,D,E);"])
        # Five leaves: (2n-5)!! = 15 trees, 3 of them hold a 2|3 split: log2(5) bits each.
        bits = math.log2(5)
        np.testing.assert_allclose(ts.distances("info_rf"), [[0, 4 * bits, 2 * bits], [4 * bits, 0, 2 * bits],
                                                             [2 * bits, 2 * bits, 0]])
        np.testing.assert_array_equal(ts.distances("rf_norm"), [[0, 1, 1], [1, 0, 1], [1, 1, 0]])
        star = TreeSet.from_newick(["(A,B,C,D);", "(A,B,C,D);"])
        np.testing.assert_array_equal(star.distances("rf_norm"), np.zeros((2, 2)))

    def test_rooted_info_rf_and_missing_lengths_are_refused(self):
        rooted = TreeSet.from_newick(["((A,B),(C,D));"] * 2, rooted=True)
        with pytest.raises(ValueError, match="unrooted trees only"):
            rooted.distances("info_rf")
        bare = TreeSet.from_newick(["((A,B),(C,D));"] * 2, lengths=False)
        assert not bare.has_lengths and bare.distances("rf").sum() == 0
        for metric in ("wrf", "kf"):
            with pytest.raises(ValueError, match="lengths=False"):
                bare.distances(metric)
        with pytest.raises(ValueError, match="unknown metric"):
            bare.distances("euclid")


@pytest.fixture(scope="module")
def small():
    return TreeSet.from_newick([newick(t) for t in forest(2, 12, 8)])


class TestSelectionsAndOutput:
    def test_empty_selections_give_empty_blocks(self, small):
        assert small.distances("rf", rows=[], cols=None).shape == (0, 12)
        assert small.distances("kf", rows=range(3), cols=np.array([], dtype=np.int64)).shape == (3, 0)

    @pytest.mark.parametrize("rows", [[12], [-1], np.array([0, 40])])
    def test_out_of_range_indices(self, small, rows):
        with pytest.raises(IndexError, match="out of range for 12 trees"):
            small.distances("rf", rows=rows)

    def test_non_integer_and_nested_indices(self, small):
        with pytest.raises(TypeError, match="integers"):
            small.distances("rf", cols=[0.5])
        with pytest.raises(ValueError, match="one-dimensional"):
            small.distances("rf", rows=[[0, 1]])

    @pytest.mark.parametrize(
        "out, message",
        [
            (np.zeros((12, 12), dtype=np.int64), "dtype"),
            (np.zeros((12, 11), dtype=np.uint32), "shape"),
            (np.zeros((12, 24), dtype=np.uint32)[:, ::2], "C-contiguous"),
            (np.zeros((12, 12), dtype=np.uint32).T.copy(order="F"), "C-contiguous"),
            ([[0] * 12] * 12, "NumPy array"),
        ],
    )
    def test_unusable_out(self, small, out, message):
        with pytest.raises((ValueError, TypeError), match=message):
            small.distances("rf", out=out)

    def test_read_only_out(self, small):
        out = np.zeros((12, 12), dtype=np.uint32)
        out.flags.writeable = False
        with pytest.raises(ValueError, match="read-only"):
            small.distances("rf", out=out)

    def test_memmap_out_is_written_in_bands(self, small, tmp_path):
        out = np.lib.format.open_memmap(tmp_path / "m.npy", mode="w+", dtype=np.float64, shape=(12, 12))
        for start in range(0, 12, 5):
            small.distances("wrf", rows=range(start, min(start + 5, 12)), out=out[start : start + 5])
        out.flush()
        np.testing.assert_array_equal(np.load(tmp_path / "m.npy"), small.distances("wrf"))

    def test_indices_that_share_memory_with_out(self, small):
        # the engine writes `out` while it reads the indices: they must be read from a copy
        other = TreeSet.from_newick([newick(t) for t in forest(3, 12, 8)])
        for call in (small.distances, lambda *a, **k: small.against(other, *a, **k)):
            buf = np.array([11, 3, 7, 0, 5, 9, 1, 10] + [0] * 56, dtype=np.uint32)
            want = call("rf", rows=buf[:8].copy(), cols=range(8))
            got = call("rf", rows=buf[:8], cols=range(8), out=buf.reshape(8, 8))
            np.testing.assert_array_equal(got, want)
            buf = np.array([2, 4, 6, 8] + [0] * 12, dtype=np.uint32)
            want = call("rf", rows=range(4), cols=buf[:4].copy())
            np.testing.assert_array_equal(call("rf", rows=range(4), cols=buf[:4], out=buf.reshape(4, 4)), want)


class TestReductions:
    @pytest.mark.parametrize("rooted", [False, True])
    def test_means_equal_the_matrix_means(self, big_sets, rooted):
        ts = big_sets[rooted]
        n = len(ts)
        np.testing.assert_array_equal(ts.mean_distances("rf"), ts.distances("rf").sum(axis=1) / (n - 1))
        kf2 = (ts.distances("kf") ** 2).sum(axis=1) / (n - 1)
        np.testing.assert_allclose(ts.mean_distances("kf2"), kf2, rtol=1e-9)
        assert ts.medoid("rf") == int(np.argmin(ts.distances("rf").sum(axis=1)))
        if not rooted:
            info = ts.distances("info_rf").sum(axis=1) / (n - 1)
            np.testing.assert_allclose(ts.mean_distances("info_rf"), info, rtol=1e-9)

    def test_one_tree_and_identical_trees(self):
        assert TreeSet.from_newick(["((A,B),C,D);"]).mean_distances("kf2").tolist() == [0.0]
        same = TreeSet.from_newick(["((A:0.1,B:0.3):0.7,C:0.2,D:0.9);"] * 3)
        assert same.mean_distances("kf2").tolist() == [0.0] * 3

    def test_split_counts_per_group(self):
        roots = forest(8, 10, 7)
        groups = [0, 1] * 5
        ts = TreeSet.from_newick([newick(t) for t in roots], groups=groups, group_names=["a", "b"])
        sides, counts = ts.split_counts()
        assert counts.shape == (2, sides.shape[0]) and sides.shape[1] == 7
        got = {}
        for side, per_group in zip(sides, counts.T):
            got[frozenset(np.array(ts.leaf_names)[side])] = per_group.tolist()
        want = {}
        for root, group in zip(roots, groups):
            for side in splits(root, False):
                if len(side) > 1:
                    want.setdefault(side, [0, 0])[group] += 1
        assert got == want


class TestAgainst:
    def test_set_against_set_equals_the_joint_matrix(self):
        first = [newick(t) for t in forest(21, 15, 10)]
        second = [newick(t) for t in forest(22, 6, 10)]
        joint = TreeSet.from_newick(first + second)
        a, b = TreeSet.from_newick(first), TreeSet.from_newick(second)
        cols = range(15, 21)
        for metric in ("rf", "rf_norm"):
            np.testing.assert_array_equal(a.against(b, metric), joint.distances(metric, rows=range(15), cols=cols))
        for metric in ("info_rf", "wrf", "kf"):
            np.testing.assert_allclose(a.against(b, metric), joint.distances(metric, rows=range(15), cols=cols),
                                       rtol=1e-12)

    def test_a_set_against_itself_is_its_matrix(self, big_sets):
        # Joined lists on one side, the layout's bits and postings on the other: two independent paths.
        ts = big_sets[False]
        assert ts.against(ts, "rf").tobytes() == ts.distances("rf").tobytes()
        for metric in ("rf_norm", "info_rf", "wrf", "kf"):
            np.testing.assert_allclose(ts.against(ts, metric), ts.distances(metric), rtol=1e-12, atol=1e-12)
        assert (ts.distances("info_rf") == ts.distances("info_rf").T).all()

    def test_incompatible_sets(self):
        a = TreeSet.from_newick(["((A,B),C,D);"])
        with pytest.raises(ValueError, match="leaf names: the other set lacks D and has E that this set does not"):
            a.against(TreeSet.from_newick(["((A,B),C,E);"]))
        with pytest.raises(ValueError, match="rooted"):
            a.against(TreeSet.from_newick(["((A,B),(C,D));"], rooted=True))
        with pytest.raises(ValueError, match="lengths=False"):
            a.against(TreeSet.from_newick(["((A,B),C,D);"], lengths=False), "kf")


class TestReading:
    def test_errors_name_the_tree(self):
        with pytest.raises(ValueError, match="different leaf set") as caught:
            TreeSet.from_newick(["((A,B),C,D);", "((A,B),C,D);", "((A,B),C,X);"])
        assert caught.value.tree_index == 2
        with pytest.raises(ValueError) as caught:
            TreeSet.from_newick(["((A,B),C,D);", "((A,B),C,D"])
        assert caught.value.tree_index == 1
        with pytest.raises(ValueError, match="no trees"):
            TreeSet.from_newick([])

    def test_rooting_follows_the_trees_marks_unless_given(self, tmp_path):
        rooted, unrooted, plain = "[&R]((A,B),(C,D));", "[&U]((A,B),(C,D));", "(A,(B,(C,D)));"
        for trees, given, want in [
            ([plain, rooted], None, True),  # a list's marks are all looked at before the set is built
            ([plain, "[&r]" + plain], None, True),
            ([unrooted, plain], None, False),
            ([plain, plain], None, False),
            (iter([rooted, plain]), None, True),
            ([rooted, plain], False, False),
            ([unrooted, plain], True, True),
            ([rooted, unrooted], False, False),
        ]:
            assert TreeSet.from_newick(trees, rooted=given).rooted is want, trees
        with pytest.raises(ValueError, match=r"^tree 2 is marked \[&U\] \(unrooted\) but tree 1 is marked \[&R\]"):
            TreeSet.from_newick([rooted, unrooted])
        # an iterator's trees are read as they come: a mark after an unmarked first tree comes too late
        with pytest.raises(ValueError, match=r"^tree 2 is marked \[&R\].*: give rooted=True or rooted=False"):
            TreeSet.from_newick(iter([plain, rooted]))
        path = tmp_path / "clock.t"
        path.write_text(f"#NEXUS\nbegin trees;\n tree gen.0 = {rooted}\n tree gen.1 = [&R] {plain}\nend;\n")
        ts = TreeSet.from_files([str(path)])
        assert ts.rooted and ts.distances("rf").tolist() == [[0, 2], [2, 0]]
        assert not TreeSet.from_files([str(path)], rooted=False).distances("rf").any()
        with pytest.raises(ValueError, match="read it with rooted=False"):
            ts.distances("info_rf")

    def test_misuses_are_named(self, tmp_path):
        with pytest.raises(TypeError, match="not one string: put a single tree in a list"):
            TreeSet.from_newick("(A,B,(C,D));")
        path = tmp_path / "t.nwk"
        path.write_text("((A,B),C,D);\n\n((A,B),C,E);\n")
        with pytest.raises(ValueError, match=f"^{path}:3: tree 2 lacks D and has E that tree 1 of {path} does not$"):
            TreeSet.from_files([str(path)])

    def test_iterator_failures_pass_through(self):
        def failing():
            yield "((A,B),C,D);"
            raise KeyError("boom")

        with pytest.raises(KeyError, match="boom"):
            TreeSet.from_newick(failing())
        # the module's wording: both bindings take iterators through one adapter
        with pytest.raises(TypeError, match="^trees yielded 'int' at position 1; expected 'str'$"):
            TreeSet.from_newick(["((A,B),C,D);", 7])

    def test_translate_and_names(self):
        ts = TreeSet.from_newick(["((1,2),3,4);", "((1,3),2,4);"], translate={"1": "A", "2": "B", "3": "C", "4": "D"},
                                 names=["x", "y"])
        assert ts.leaf_names == ["A", "B", "C", "D"] and ts.tree_names == ["x", "y"]
        with pytest.raises(ValueError, match="3 names for 2 trees"):
            TreeSet.from_newick(["((1,2),3,4);"] * 2, names=["a", "b", "c"])

    def test_files_groups_burnin_and_thinning(self, tmp_path):
        texts = [newick(t) for t in forest(31, 12, 6)]
        nexus = tmp_path / "run.nex"
        labels = {f"t{i}": str(i + 1) for i in range(6)}
        translated = [t for t in texts[:8]]
        for name, number in labels.items():
            translated = [t.replace(f"{name}:", f"{number}:") for t in translated]
        table = ", ".join(f"{number} {name}" for name, number in labels.items())
        trees = "\n".join(f"tree g{i} = {t}" for i, t in enumerate(translated))
        nexus.write_text(f"#NEXUS\nbegin trees;\ntranslate {table};\n{trees}\nend;\n")
        plain = tmp_path / "more.tre.gz"
        plain.write_bytes(gzip.compress("\n".join(texts[8:]).encode()))
        ts = TreeSet.from_files([str(nexus), str(plain)], burnin="25%", every=2)
        assert ts.group_names == [str(nexus), str(plain)]
        assert ts.positions.tolist() == [2, 4, 6, 1, 3] and ts.groups.tolist() == [0, 0, 0, 1, 1]
        assert ts.tree_names[0] == f"{nexus}:g2" and ts.tree_names[-1] == f"{plain}:tree_4"
        want = TreeSet.from_newick([texts[i] for i in (2, 4, 6, 9, 11)])
        np.testing.assert_array_equal(ts.distances("kf"), want.distances("kf"))

    def test_standard_input_in_one_pass(self, tmp_path):
        texts = [newick(t) for t in forest(32, 5, 6)]
        path = tmp_path / "trees.nwk"
        path.write_text("\n".join(texts))
        script = (
            "import sys, pickle; from cladomatic_tools import TreeSet; "
            "sys.stdout.buffer.write(pickle.dumps(TreeSet.from_files(['-']).distances('wrf')))"
        )
        with open(path, "rb") as stdin:
            done = subprocess.run([sys.executable, "-c", script], stdin=stdin, capture_output=True, check=True)
        np.testing.assert_array_equal(pickle.loads(done.stdout), TreeSet.from_files([str(path)]).distances("wrf"))

    def test_file_objects_are_read_through_their_read(self, tmp_path):
        path = tmp_path / "trees.nwk"
        path.write_text("\n".join(newick(t) for t in forest(33, 6, 6)) + "\n")
        want = TreeSet.from_files([str(path)]).distances("kf")
        for given in (io.StringIO(path.read_text()), io.BytesIO(gzip.compress(path.read_bytes()))):
            np.testing.assert_array_equal(TreeSet.from_files(given).distances("kf"), want)
        # read once: a message about a tree is made from the texts the reading kept
        with pytest.raises(ValueError, match=r"^<StringIO>:2: tree 2 lacks D and has E that tree 1 of <StringIO> does"):
            TreeSet.from_files(io.StringIO("((A,B),C,D);\n((A,B),C,E);\n"))

        class Failing(io.RawIOBase):
            def read(self, size=-1):
                raise OSError("the disk went away")

        with pytest.raises(OSError, match="the disk went away"):
            TreeSet.from_files(Failing())

    def test_bad_burnin(self, tmp_path):
        for burnin in ("ten", -1, "150%"):
            with pytest.raises(ValueError, match="burn-in|burnin"):
                TreeSet.from_files([str(tmp_path / "x")], burnin=burnin)


class TestPickling:
    def test_round_trip_keeps_everything(self, big_sets):
        ts = big_sets[False]
        data = pickle.dumps(ts)
        # 4 bytes per split id and 8 per length (a tree has under 2L of each), one clade row per split
        leaves, n_splits = len(ts.leaf_names), ts.split_frequencies()[0].shape[0]
        assert len(data) < 12 * len(ts) * 2 * leaves + 4 * (leaves + 1) * (n_splits + leaves) + 64 * len(ts) + 1000
        back = pickle.loads(data)
        assert back.tree_names == ts.tree_names and back.leaf_names == ts.leaf_names
        assert back.group_names == ts.group_names and (back.groups == ts.groups).all()
        for metric in ("rf", "wrf", "kf", "info_rf"):
            assert back.distances(metric).tobytes() == ts.distances(metric).tobytes()
        assert [a.tolist() for a in back.split_counts()] == [a.tolist() for a in ts.split_counts()]

    def test_damaged_states_are_refused_even_with_a_matching_checksum(self):
        from cladomatic_tools import treeset

        ts = TreeSet.from_newick(["((A:1,B:2):1,C:1,D:1);", "((A:1,C:2):1,B:1,D:1);"])
        restore, (version, digest, *fields) = ts.__reduce__()
        engine_bytes, names, groups, group_names, positions, burnin, record = fields
        assert restore(version, digest, *fields).distances("rf").tolist() == [[0, 2], [2, 0]]

        def sealed(*changed):
            return (version, treeset._state_digest(version, changed), *changed)

        def edited(offset, value):
            broken = bytearray(engine_bytes)
            broken[offset : offset + len(value)] = value
            return bytes(broken)

        names_at = 8 + 4 + 4 + 4 * 8 + 4 * 8  # after the header and the four name lengths
        split_at = names_at + 4 + 3 * 8  # the first split id, after the names and the tree offsets
        cases = [
            ((engine_bytes, *fields[1:]), "older version"),  # the layout before the checksum
            ((4, digest, *fields), "unknown layout"),
            ((version, digest, engine_bytes, ["x", "y"], *fields[2:]), "checksum does not match"),
            (sealed(engine_bytes[:-3], *fields[1:]), "truncated"),
            (sealed(engine_bytes + b"\0", *fields[1:]), "trailing bytes"),
            (sealed(edited(0, b"x"), *fields[1:]), "unknown header"),
            (sealed(edited(split_at, (10**6).to_bytes(4, "little")), *fields[1:]), "bad split id"),
            (sealed(edited(names_at + 3, b"\xff"), *fields[1:]), "not UTF-8"),
            (
                sealed(engine_bytes, names, np.array([0, 3], dtype=np.int32), group_names, positions, burnin, record),
                "group outside",
            ),
            (
                sealed(engine_bytes, names, groups.astype(np.int64), group_names, positions, burnin, record),
                "per-tree lists",
            ),
            (sealed(engine_bytes, names, groups, group_names, positions, "-3", record), "burn-in is not one"),
            (sealed(*fields[:-1], '{"inputs": 1}'), "provenance is not a record"),
        ]
        for state, message in cases:
            with pytest.raises(ValueError, match=f"Not a saved tree set: .*{message}"):
                restore(*state)

    def test_single_bit_flips_of_the_state_are_refused(self):
        ts = TreeSet.from_files([str(NEWICK)])
        data = pickle.dumps(ts)
        _, (_, digest, engine_bytes, *_) = ts.__reduce__()
        # the state's own bytes: flips of the pickle's opcodes are the unpickler's to catch (some make it ask for
        # exabytes, which a sanitized run does not survive)
        spans = [(data.index(part), len(part)) for part in (digest, engine_bytes)]
        rng = np.random.default_rng(22)
        for _ in range(2000):
            start, length = spans[int(rng.integers(0, 20) > 0)]
            at = start + int(rng.integers(0, length))
            damaged = bytearray(data)
            damaged[at] ^= 1 << int(rng.integers(0, 8))
            with pytest.raises(ValueError, match="Not a saved tree set: its checksum does not match"):
                pickle.loads(damaged)


THREADS = textwrap.dedent("""
    import hashlib, os, sys
    sys.path.insert(0, {here!r})
    if {pin}:
        os.sched_setaffinity(0, {{min(os.sched_getaffinity(0))}})
    import numpy as np
    from cladomatic_tools import TreeSet
    from trees import newick, pooled_forest

    texts = [newick(t) for t in pooled_forest(9, 320, 30, [50, 12, 4, 2])]
    rows = np.random.default_rng(4).integers(0, len(texts), 50)
    for rooted in (False, True):
        ts = TreeSet.from_newick(texts, rooted=rooted)
        digest = hashlib.sha256()
        for metric in ("rf", "rf_norm", "wrf", "kf") + (() if rooted else ("info_rf",)):
            digest.update(ts.distances(metric).tobytes())
            digest.update(ts.distances(metric, rows=rows, cols=rows[::-1]).tobytes())
        for metric in ("rf", "kf2"):
            digest.update(ts.mean_distances(metric).tobytes())
        print(rooted, digest.hexdigest())
    print("cpus", len(os.sched_getaffinity(0)))
""")


@pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="needs more than one CPU")
def test_one_cpu_and_all_give_identical_results():
    def run(pin):
        script = THREADS.format(here=os.path.dirname(__file__), pin=pin)
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True, timeout=600)
        return done.stdout.splitlines()

    pinned, unpinned = run(True), run(False)
    assert pinned[-1] == "cpus 1" and unpinned[-1] != "cpus 1"
    assert pinned[:-1] == unpinned[:-1]


def test_edge_splits_oracle_matches_for_unusual_shapes():
    # Roots of degree 2 and single-child chains: the blocks sum what the edges make one split.
    import random

    from trees import grow

    rng = random.Random(5)
    names = [f"t{i}" for i in range(8)]
    roots = [grow(rng, names, root_degree=2, unary=0.2) for _ in range(6)]
    ts = TreeSet.from_newick([newick(t) for t in roots])
    found = [edge_splits(t, False) for t in roots]
    got = ts.distances("wrf", rows=[0, 1], cols=range(6))
    want = [[wrf(found[i], b) for b in found] for i in (0, 1)]
    np.testing.assert_allclose(got, want, rtol=1e-12, atol=1e-12)
