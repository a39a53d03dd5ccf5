"""Input a caller should not send but may: non-finite branch lengths, broken
or random text, and trees far deeper than any recursion limit."""

import math
import os
import random
import subprocess
import sys
import textwrap

import cladomatic
import numpy as np
import pytest
from conftest import FUNCTION_NAMES
from trees import edge_splits, forest, newick


def call(function, texts, rooted=False):
    return function([str(i) for i in range(len(texts))], iter(texts), [{}], [0] * len(texts), rooted=rooted)


def matrix(function, texts, rooted=False):
    n = len(texts)
    result = call(function, texts, rooted)[1]
    if isinstance(result, list):
        return np.array(result).reshape(n, n)
    return np.frombuffer(result, "<u4" if len(result) == 4 * n * n else "<f8").reshape(n, n)


WEIGHTED = {"wrf": cladomatic.pairwise_wrf_from_newick_iter, "kf": cladomatic.pairwise_kf_from_newick_iter}

# Tree 0 holds the A|B split with a length x; tree 1 holds it with length 1,
# tree 2 lacks it. With three trees the split (held by two) is dense; ten
# more trees lacking it make it sparse (at the default weighted dense share).
NON_FINITE = ["((A:1,B:2):{x},C:3,(D:4,E:5):1);", "((A:1,B:2):1,C:3,(D:4,E:5):1);", "((A:1,D:2):1,B:3,(C:4,E:5):1);"]
FILLER = "((A:1,C:2):1,B:3,(D:4,E:5):1);"


def non_finite_texts(path, x, copies=1):
    return [t.format(x=x) for t in NON_FINITE] * copies + [FILLER] * (10 * copies if path == "sparse" else 0)


def definition(name, a, b):
    terms = [abs(a.get(s, 0.0) - b.get(s, 0.0)) for s in sorted(a.keys() | b.keys())]
    if "wrf" in name:
        return sum(terms)
    return math.sqrt(sum(t * t for t in terms))


class TestNonFiniteLengths:
    @pytest.mark.parametrize("path", ["dense", "sparse"])
    @pytest.mark.parametrize("metric", list(WEIGHTED))
    @pytest.mark.parametrize("x", ["inf", "-inf"])
    def test_infinite_length_sets_a_tree_infinitely_far_from_the_others(self, path, metric, x):
        result = matrix(WEIGHTED[metric], non_finite_texts(path, x))
        assert result[0, 1:].tolist() == [math.inf] * (len(result) - 1)
        assert result[1:, 0].tolist() == [math.inf] * (len(result) - 1)
        assert result[0, 0] == 0.0

    @pytest.mark.parametrize("path", ["dense", "sparse"])
    @pytest.mark.parametrize("x", ["inf", "-inf", "nan"])
    def test_same_non_finite_length_on_one_split_gives_nan(self, path, x):
        # Trees 0 and 3 both hold A|B with length x: x - x is NaN.
        for function in WEIGHTED.values():
            result = matrix(function, non_finite_texts(path, x, copies=2))
            assert math.isnan(result[0, 3]) and math.isnan(result[3, 0])

    @pytest.mark.parametrize("path", ["dense", "sparse"])
    def test_nan_length_gives_nan_against_every_other_tree(self, path):
        texts = non_finite_texts(path, "nan")
        for function in WEIGHTED.values():
            result = matrix(function, texts)
            assert result[0, 0] == 0.0
            assert np.isnan(result[0, 1:]).all() and np.isnan(result[1:, 0]).all()
            assert not np.isnan(result[1:, 1:]).any()

    @pytest.mark.parametrize("rooted", [False, True], ids=["unrooted", "rooted"])
    def test_random_non_finite_lengths(self, rooted):
        rng = random.Random(5)
        trees = forest(5, 40, 12)
        spoiled = set()
        for t in rng.sample(range(40), 8):
            node = trees[t].children[rng.randrange(3)]
            node.length = rng.choice([math.nan, math.inf, -math.inf])
            spoiled.add(t)
        texts = [newick(tree) for tree in trees]
        finite = [t for t in range(40) if t not in spoiled]
        sets = [edge_splits(tree, rooted) for tree in trees]
        for name in FUNCTION_NAMES:
            function = getattr(cladomatic, name)
            if "rf" in name and "wrf" not in name:
                call(function, texts, rooted)
                continue
            result = matrix(function, texts, rooted)
            assert (result[~np.isnan(result)] == result.T[~np.isnan(result)]).all()
            assert (np.isnan(result) == np.isnan(result.T)).all() and not result.diagonal().any()
            assert not np.isnan(result[np.ix_(finite, finite)]).any()
            expected = [[0.0 if i == j else definition(name, sets[i], sets[j]) for j in range(40)] for i in range(40)]
            np.testing.assert_allclose(result, expected, rtol=1e-12, atol=1e-12)


FUZZ = textwrap.dedent("""
    import collections, random, sys
    sys.path.insert(0, {here!r})
    import cladomatic
    from trees import forest, newick

    rng = random.Random(23)
    valid = [newick(t) for t in forest(23, 20, 6)]
    pieces = list("(),:;[]\\"' \\t\\n0123456789.eE+-_") + ["t0", "t1", "t5", "t6", "nan", "inf", "\\x00", "\\x0b",
                                                       "\\u00e9", "\\U0001f333", "[x]", "((", "))", ":1"]
    functions = [getattr(cladomatic, name) for name in cladomatic.__all__[:-1]]
    outcomes = collections.Counter()
    for k in range({count}):
        if k % 4 == 0:
            text = bytes(rng.randrange(256) for _ in range(rng.randrange(40))).decode("latin-1")
        else:
            text = rng.choice(valid)
            for _ in range(rng.randint(1, 4)):
                at = rng.randrange(len(text) + 1)
                cut = at + rng.randrange(4)
                op = rng.randrange(3)
                if op == 0:
                    text = text[:at] + text[cut:]
                elif op == 1:
                    text = text[:at] + rng.choice(pieces) + text[at:]
                else:
                    text = text[:at] + text[at:cut] * 2 + text[cut:]
        texts = [text, valid[0], valid[1]] if k % 2 else [valid[0], text, valid[1]]
        try:
            functions[k % 6](["a", "b", "c"], iter(texts), [{{}}], [0, 0, 0], rooted=bool(k & 8))
            outcomes["result"] += 1
        except ValueError:
            outcomes["ValueError"] += 1
    print(outcomes["result"], outcomes["ValueError"])
""")


class TestHostileText:
    def test_random_and_mutated_newick_raise_value_error_or_give_a_result(self):
        # In a process of its own, so that a crash or a hang is a failure
        # rather than the end of the test run.
        script = FUZZ.format(here=os.path.dirname(__file__), count=8000)
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
        assert done.returncode == 0, done.stderr
        results, errors = map(int, done.stdout.split())
        assert results > 200 and errors > 2000 and results + errors == 8000

    @pytest.mark.parametrize("maps", [[{"1": "A", "2": "B", "3": "\udc80"}], [{"1": "A", "2": "B", "\udc80": "C"}]])
    def test_lone_surrogate_in_a_translate_map(self, maps):
        with pytest.raises(UnicodeEncodeError):
            cladomatic.pairwise_rf_from_newick_iter(["a", "b"], iter(["(1,2,3);"] * 2), maps, [0, 0])


def caterpillar(order):
    """((((o0,o1),o2),...),o[n-1]); with every length 1: nested len(order) - 1 deep."""
    return "(" * (len(order) - 1) + f"{order[0]}:1" + "".join(
        f",{name}:1):1" for name in order[1:-1]) + f",{order[-1]}:1);"


class TestDeepTrees:
    N = 20_000

    def test_caterpillars(self):
        names = [f"x{i:05d}" for i in range(self.N)]
        texts = [caterpillar(names), caterpillar(names[::-1]), caterpillar(names)]
        # Unrooted, a caterpillar and its mirror image are one tree; only the
        # length of the edge above n - 1 leaves moves, to the pendant edge of
        # the other end's leaf.
        assert matrix(cladomatic.pairwise_rf_from_newick_iter, texts).tolist() == [[0] * 3] * 3
        assert matrix(cladomatic.pairwise_wrf_from_newick_iter, texts)[0].tolist() == [0.0, 2.0, 0.0]
        assert matrix(cladomatic.pairwise_kf_from_newick_iter, texts)[0].tolist() == [0.0, math.sqrt(2), 0.0]
        # Rooted, they share no clade but the whole tree.
        assert matrix(cladomatic.pairwise_rf_from_newick_iter, texts, True)[0].tolist() == [0, 2 * (self.N - 2), 0]

    def test_chain_of_single_child_nodes(self):
        deep = "(" * self.N + "(A:1,B:1)" + ":1)" * self.N + ",C:1,D:1);"
        texts = ["(" + deep, "((A:1,B:1):5,C:1,D:1);"]
        # The A|B edge and N - 1 of the nodes above it carry a length of 1.
        assert matrix(cladomatic.pairwise_wrf_from_newick_iter, texts)[0, 1] == self.N - 5
