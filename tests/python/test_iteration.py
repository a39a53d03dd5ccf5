import sys

import cladomatic
import pytest
from trees import forest, newick

TOO_FEW = "^Need at least 2 trees to compute pairwise distances$"
TREE = "((A,B),(C,D),E);"


class Boom(Exception):
    pass


class Recorder:
    """An iterator over a script of items; exceptions and exception types are raised, not yielded."""

    def __init__(self, items):
        self.items = list(items)
        self.pulled = 0

    def __iter__(self):
        return self

    def __next__(self):
        if self.pulled == len(self.items):
            raise StopIteration
        item = self.items[self.pulled]
        self.pulled += 1
        if isinstance(item, BaseException) or (isinstance(item, type) and issubclass(item, BaseException)):
            raise item
        return item


def run(function, source, n_names=None):
    n = len(source.items) if n_names is None else n_names
    return function([f"n{i}" for i in range(n)], source, [{}], [0] * n)


class TestReading:
    def test_generators_and_list_iterators(self, function):
        assert function(["a", "b"], (t for t in [TREE, TREE]), [{}], [0, 0])[0] == ["a", "b"]
        assert function(["a", "b"], iter([TREE, TREE]), [{}], [0, 0])[0] == ["a", "b"]

    def test_str_subclass_items(self, function):
        class Text(str):
            pass

        assert function(["a", "b"], iter([Text(TREE), Text(TREE)]), [{}], [0, 0])[0] == ["a", "b"]

    @pytest.mark.parametrize("items", [[], [TREE]])
    def test_fewer_than_two_trees_read(self, function, items):
        with pytest.raises(ValueError, match=TOO_FEW):
            run(function, Recorder(items), n_names=3)

    def test_extra_items_are_left_in_the_iterator(self, function):
        source = Recorder([TREE] * 10)
        result = run(function, source, n_names=3)
        assert source.pulled == 3
        assert len(result[1]) in (4 * 9, 8 * 9, 9)

    @pytest.mark.parametrize("error", [Boom("past the end"), KeyboardInterrupt(), SystemExit(3)])
    def test_item_past_the_end_is_never_pulled(self, function, error):
        source = Recorder([TREE, TREE, error, TREE])
        run(function, source, n_names=2)
        assert source.pulled == 2
        with pytest.raises(type(error)):
            next(source)

    def test_one_iterator_feeds_calls_in_batches(self, function):
        # Batches of 2 and 3 over one iterator: every tree lands in some batch.
        texts = [newick(t) for t in forest(4, 7, 6)]
        source = Recorder(texts)
        for size in (2, 3, 2):
            run(function, source, n_names=size)
        assert source.pulled == 7

    def test_exception_passes_through_unchanged(self, function):
        error = Boom("from the iterator")
        source = Recorder([TREE, TREE, error, TREE])
        with pytest.raises(Boom) as caught:
            run(function, source)
        assert caught.value is error
        assert not getattr(caught.value, "__notes__", None)
        assert source.pulled == 3

    def test_exception_at_tree_zero(self, function):
        source = Recorder([Boom("first"), TREE, TREE])
        with pytest.raises(Boom):
            run(function, source)
        assert source.pulled == 1

    def test_base_exceptions_pass_through(self, function):
        with pytest.raises(KeyboardInterrupt):
            run(function, Recorder([TREE, KeyboardInterrupt()]))

    @pytest.mark.parametrize("bad", [7, TREE.encode(), None])
    def test_non_str_item_stops_reading(self, function, bad):
        source = Recorder([TREE, bad, TREE, TREE])
        with pytest.raises(TypeError):
            run(function, source)
        assert source.pulled == 2

    def test_lone_surrogate_item(self, function):
        with pytest.raises(UnicodeEncodeError):
            run(function, Recorder([TREE, "((A,B),(C,\udc80),E);", TREE]))


class TestPrecedence:
    def test_iterator_exception_beats_parse_error_of_same_batch(self, function):
        with pytest.raises(Boom):
            run(function, Recorder([TREE, "((A,B;", TREE, Boom("late")]))

    def test_non_str_beats_leaf_set_error_of_same_batch(self, function):
        with pytest.raises(TypeError):
            run(function, Recorder([TREE, "((A,B),(C,F),E);", TREE, 5]))

    def test_parse_error_beats_too_few_trees(self, function):
        with pytest.raises(ValueError, match="^Failed to parse newick at index 0: "):
            run(function, Recorder(["((A,B);"]), n_names=2)

    def test_leaf_set_error_is_a_value_error(self, function):
        with pytest.raises(ValueError) as caught:
            run(function, Recorder([TREE, TREE, "((A,B),(C,D),F);"]))
        assert str(caught.value) == (
            "Tree 2 has a different leaf set than tree 0. All trees must share the same taxa.")

    def test_parse_error_of_an_earlier_batch_ends_reading(self, function):
        # Thousands of trees span several batches: the malformed tree ends the
        # call before the iterator reaches its failing item, or its end.
        texts = [newick(t) for t in forest(2, 3, 40)]
        source = Recorder([texts[0], texts[1], "((t0,t1);"] + [texts[2]] * 30_000 + [Boom("never reached")])
        with pytest.raises(ValueError, match="^Failed to parse newick at index 2: "):
            run(function, source)
        assert source.pulled < 30_000


class TestOwnership:
    def test_references_are_released(self, function):
        maps = [{"1": "A", "2": "B", "3": "C", "4": "D", "5": "E"}]
        texts = ["((1,2),(3,4),5);"] * 3
        counter = cladomatic.ProgressCounter()
        for items, expected in ((texts, None), (texts[:1], ValueError), (texts + [Boom], Boom)):
            source = Recorder(items)
            baseline = [sys.getrefcount(x) for x in (source, maps[0], counter)]
            if expected is None:
                function(["a", "b", "c"], source, maps, [0, 0, 0], progress=counter)
            else:
                # Not pytest.raises: its traceback would keep the iterator alive.
                try:
                    function(["a", "b", "c", "d"], source, maps, [0, 0, 0, 0], progress=counter)
                except expected:
                    pass
                else:
                    pytest.fail("no exception")
            assert [sys.getrefcount(x) for x in (source, maps[0], counter)] == baseline

    def test_iterator_may_call_the_module(self, function):
        def nested():
            for _ in range(3):
                inner = cladomatic.pairwise_rf_from_newick_iter(["x", "y"], iter([TREE, TREE]), [{}], [0, 0])
                assert inner[1] == bytes(16)
                yield TREE

        assert function(["a", "b", "c"], nested(), [{}], [0, 0, 0])[0] == ["a", "b", "c"]
