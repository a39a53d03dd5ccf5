import cladomatic
import pytest


def pulls_counter(items):
    pulled = []

    def trees():
        for item in items:
            pulled.append(item)
            yield item

    return trees(), pulled


class TestValidation:
    def test_one_name_does_not_touch_the_iterator(self, function):
        trees, pulled = pulls_counter(["(A,B,C);"] * 5)
        with pytest.raises(ValueError) as caught:
            function(["t0"], trees, [{}], [0])
        assert str(caught.value) == "Need at least 2 trees to compute pairwise distances"
        assert pulled == []

    def test_no_names(self, function):
        with pytest.raises(ValueError, match="^Need at least 2 trees to compute pairwise distances$"):
            function([], iter([]), [], [])

    def test_length_mismatch(self, function):
        with pytest.raises(ValueError) as caught:
            function(["a", "b", "c"], iter([]), [{}], [0, 0])
        assert str(caught.value) == "names length (3) must equal map_indices length (2)"

    def test_length_mismatch_wins_over_bad_index(self, function):
        with pytest.raises(ValueError, match=r"^names length \(3\) must equal map_indices length \(2\)$"):
            function(["a", "b", "c"], iter([]), [{}], [0, 7])

    def test_first_bad_index_is_reported(self, function):
        with pytest.raises(ValueError) as caught:
            function(["a", "b", "c"], iter([]), [{}, {}], [0, 2, 5])
        assert str(caught.value) == "map_indices[1] = 2 is out of bounds (only 2 translate maps provided)"

    def test_no_translate_maps(self, function):
        trees, pulled = pulls_counter(["(A,B,C);"] * 2)
        with pytest.raises(ValueError) as caught:
            function(["a", "b"], trees, [], [0, 0])
        assert str(caught.value) == "map_indices[0] = 0 is out of bounds (only 0 translate maps provided)"
        assert pulled == []

    def test_huge_index(self, function):
        with pytest.raises(ValueError, match=r"map_indices\[1\] = 18446744073709551615 is out"):
            function(["a", "b"], iter([]), [{}], [0, 2**64 - 1])

    def test_validation_failure_leaves_counter_untouched(self, function):
        counter = cladomatic.ProgressCounter()
        with pytest.raises(ValueError):
            function(["a"], iter([]), [{}], [0], progress=counter)
        assert (counter.value(), counter.total()) == (0, 0)
