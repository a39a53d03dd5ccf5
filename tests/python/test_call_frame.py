import inspect

import cladomatic
import numpy as np
import pytest
from conftest import FUNCTION_NAMES

TOO_FEW = "Need at least 2 trees to compute pairwise distances"


def one_tree_args():
    """Arguments that convert but fail validation: proof that conversion passed."""
    return [["t0"], iter(["(A,B,C);"]), [{}], [0]]


def conversion_error(function, position, value, kind=TypeError, **keywords):
    args = one_tree_args()
    args[position] = value
    with pytest.raises(kind) as caught:
        function(*args, **keywords)
    return caught.value


class TestModule:
    def test_exports_seven_names_in_registration_order(self):
        assert cladomatic.__all__ == FUNCTION_NAMES + ["ProgressCounter"]
        public = {name for name in dir(cladomatic) if not name.startswith("_")}
        assert public == set(cladomatic.__all__)

    def test_module_docstring(self):
        assert cladomatic.__doc__ == "Python module definition"

    @pytest.mark.parametrize("name", FUNCTION_NAMES)
    def test_signature(self, name):
        function = getattr(cladomatic, name)
        assert str(inspect.signature(function)) == (
            "(names, newick_iter, translate_maps, map_indices, rooted=False, progress=None)"
        )
        assert function.__module__ == "cladomatic"
        assert function.__self__ is cladomatic

    @pytest.mark.parametrize(
        "name, summary",
        [
            ("pairwise_rf_from_newick_iter",
             "Compute pairwise Robinson-Foulds distances from a lazy Python iterator of newick strings."),
            ("pairwise_rf_with_snapshots_from_newick_iter",
             "Compute pairwise RF distances and export binary tree snapshots in a single pass."),
            ("pairwise_wrf_from_newick_iter",
             "Compute pairwise Weighted Robinson-Foulds distances from a lazy Python iterator."),
            ("pairwise_kf_from_newick_iter",
             "Compute pairwise Kuhner-Felsenstein (Branch Score) distances from a lazy Python iterator."),
            ("pairwise_wrf_with_snapshots_from_newick_iter",
             "Compute pairwise WRF distances and export a branch-length matrix in a single pass."),
            ("pairwise_kf_with_snapshots_from_newick_iter",
             "Compute pairwise KF distances and export a branch-length matrix in a single pass."),
        ],
    )
    def test_docstring_summary(self, name, summary):
        doc = getattr(cladomatic, name).__doc__
        assert doc.splitlines()[0] == summary
        assert "ValueError: If fewer than 2 trees, leaf sets differ, or argument lengths mismatch." in doc

    @pytest.mark.parametrize("name", ["pairwise_rf_from_newick_iter", "pairwise_rf_with_snapshots_from_newick_iter"])
    def test_matrix_sentence_on_one_line(self, name):
        # Readers search the docstring line by line for this sentence.
        doc = getattr(cladomatic, name).__doc__
        sentence = "rf_matrix_bytes is flat u32 bytes (row-major n\N{MULTIPLICATION SIGN}n)"
        assert any(sentence in line for line in doc.splitlines())

    def test_internal_failure_type_is_not_exported(self):
        assert not any(isinstance(v, type) and issubclass(v, BaseException) for v in vars(cladomatic).values())


class TestBinding:
    def test_four_positional_arguments_suffice(self, function):
        with pytest.raises(ValueError, match=TOO_FEW):
            function(*one_tree_args())

    def test_all_by_keyword_in_any_order(self, function):
        names, trees, maps, indices = one_tree_args()
        with pytest.raises(ValueError, match=TOO_FEW):
            function(progress=None, map_indices=indices, rooted=True, translate_maps=maps, newick_iter=trees,
                     names=names)

    def test_too_many_positional(self, function):
        with pytest.raises(TypeError, match=r"at most 6 arguments \(7 given\)"):
            function(*one_tree_args(), False, None, None)

    def test_unknown_keyword(self, function):
        with pytest.raises(TypeError, match="unexpected keyword argument 'rooten'"):
            function(*one_tree_args(), rooten=True)

    def test_given_by_name_and_position(self, function):
        with pytest.raises(TypeError, match=r"given by name \('names'\) and position \(1\)"):
            function(*one_tree_args(), names=["x"])

    def test_missing_required(self, function):
        names, trees, maps, _ = one_tree_args()
        with pytest.raises(TypeError, match=r"missing required argument 'map_indices' \(pos 4\)") as caught:
            function(names, trees, maps)
        assert function.__name__ in str(caught.value)

    def test_binding_errors_carry_no_note(self, function):
        with pytest.raises(TypeError) as caught:
            function(*one_tree_args(), bogus=1)
        assert not getattr(caught.value, "__notes__", None)


class TestConversion:
    @pytest.mark.parametrize("position, parameter", [(0, "names"), (2, "translate_maps"), (3, "map_indices")])
    def test_str_is_not_a_sequence_argument(self, function, position, parameter):
        error = conversion_error(function, position, "abc")
        assert str(error) == "Can't extract `str` to `Vec`"
        assert error.__notes__ == [f"while processing '{parameter}'"]

    @pytest.mark.parametrize("position, parameter", [(0, "names"), (2, "translate_maps"), (3, "map_indices")])
    @pytest.mark.parametrize("value", [5, {"a": "b"}, {"a", "b"}, None])
    def test_non_sequences(self, function, position, parameter, value):
        error = conversion_error(function, position, value)
        assert error.__notes__ == [f"while processing '{parameter}'"]

    def test_names_element_must_be_str(self, function):
        error = conversion_error(function, 0, ["t0", b"t1"])
        assert error.__notes__ == ["while processing 'names'"]

    def test_names_with_lone_surrogate(self, function):
        error = conversion_error(function, 0, ["t0", "\udcff"], UnicodeEncodeError)
        assert error.__notes__ == ["while processing 'names'"]

    def test_names_accepts_any_sequence(self, function):
        with pytest.raises(ValueError, match=TOO_FEW):
            function(("t0",), iter([]), [{}], range(1))

    @pytest.mark.parametrize("value", [["(A,B);"], ("(A,B);",), "(A,B);", 3])
    def test_newick_iter_must_be_an_iterator(self, function, value):
        error = conversion_error(function, 1, value)
        assert error.__notes__ == ["while processing 'newick_iter'"]

    def test_generator_is_accepted(self, function):
        with pytest.raises(ValueError, match=TOO_FEW):
            function(["t0"], (t for t in ["(A,B);"]), [{}], [0])

    @pytest.mark.parametrize("value", [[{1: "A"}], [{"1": 2}], [["1", "A"]], [{"1": "A"}, None]])
    def test_translate_maps_must_be_dicts_of_str(self, function, value):
        error = conversion_error(function, 2, value)
        assert error.__notes__ == ["while processing 'translate_maps'"]

    def test_map_index_without_index(self, function):
        error = conversion_error(function, 3, [0.0])
        assert error.__notes__ == ["while processing 'map_indices'"]

    @pytest.mark.parametrize("value", [-1, 2**64])
    def test_map_index_out_of_u64(self, function, value):
        error = conversion_error(function, 3, [value], OverflowError)
        assert error.__notes__ == ["while processing 'map_indices'"]

    def test_map_index_uses_index_protocol(self, function):
        with pytest.raises(ValueError, match=TOO_FEW):
            function(["t0"], iter([]), [{}], [np.uint64(0)])

    @pytest.mark.parametrize("value", [1, 0, 1.0, "yes", None])
    def test_rooted_refuses_non_bools(self, function, value):
        with pytest.raises(TypeError) as caught:
            function(*one_tree_args(), rooted=value)
        assert caught.value.__notes__ == ["while processing 'rooted'"]

    @pytest.mark.parametrize("value", [True, False, np.True_, np.False_])
    def test_rooted_accepts_bools(self, function, value):
        with pytest.raises(ValueError, match=TOO_FEW):
            function(*one_tree_args(), rooted=value)

    def test_numpy_bool_truth_error_propagates(self, function, monkeypatch):
        # A type that claims to be NumPy's bool is read through its truth value.
        class Liar:
            def __bool__(self):
                raise RuntimeError("no truth")

        Liar.__module__ = "numpy"
        Liar.__name__ = Liar.__qualname__ = "bool_"
        with pytest.raises(RuntimeError, match="no truth") as caught:
            function(*one_tree_args(), rooted=Liar())
        assert caught.value.__notes__ == ["while processing 'rooted'"]

    @pytest.mark.parametrize("value", [object(), 0, cladomatic.ProgressCounter])
    def test_progress_refuses_other_objects(self, function, value):
        with pytest.raises(TypeError) as caught:
            function(*one_tree_args(), progress=value)
        assert caught.value.__notes__ == ["while processing 'progress'"]

    def test_progress_none_is_no_counter(self, function):
        with pytest.raises(ValueError, match=TOO_FEW):
            function(*one_tree_args(), progress=None)

    def test_earlier_parameter_wins(self, function):
        with pytest.raises(TypeError) as caught:
            function("abc", [], "abc", "abc", rooted=1, progress=object())
        assert caught.value.__notes__ == ["while processing 'names'"]
        with pytest.raises(TypeError) as caught:
            function(["t0"], iter([]), [{1: 1}], [-1], rooted=1, progress=object())
        assert caught.value.__notes__ == ["while processing 'translate_maps'"]
        with pytest.raises(TypeError) as caught:
            function(["t0"], iter([]), [{}], [0], rooted=1, progress=object())
        assert caught.value.__notes__ == ["while processing 'rooted'"]

    def test_conversion_does_not_read_the_iterator(self, function):
        pulled = []

        def trees():
            pulled.append(1)
            yield "(A,B);"

        with pytest.raises(TypeError):
            function(["t0", "t1"], trees(), [{}], [0, 0], rooted=1)
        assert pulled == []
