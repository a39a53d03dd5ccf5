import inspect
import sys

import cladomatic
import pytest

from cladomatic import ProgressCounter


class TestProgressCounter:
    def test_new_counter(self):
        counter = ProgressCounter()
        assert counter.value() == 0
        assert counter.total() == 0
        assert counter.fraction() == 0.0
        assert repr(counter) == "ProgressCounter(value=0, total=0)"

    def test_reset_returns_none(self):
        counter = ProgressCounter()
        assert counter.reset() is None
        assert (counter.value(), counter.total()) == (0, 0)

    def test_type_identity(self):
        assert ProgressCounter.__module__ == "cladomatic"
        assert ProgressCounter.__qualname__ == "ProgressCounter"
        assert ProgressCounter.__mro__ == (ProgressCounter, object)
        assert str(inspect.signature(ProgressCounter)) == "()"
        assert ProgressCounter.__doc__.startswith("Shared")
        assert "cladomatic.ProgressCounter()" in ProgressCounter.__doc__
        assert ProgressCounter.value.__doc__ == "Pairs completed so far (lock-free atomic load)."

    def test_not_subclassable(self):
        with pytest.raises(TypeError):
            type("Sub", (ProgressCounter,), {})

    def test_no_instance_dict(self):
        counter = ProgressCounter()
        with pytest.raises(AttributeError):
            counter.note = 1
        assert not hasattr(counter, "__dict__")

    def test_type_is_immutable(self):
        with pytest.raises(TypeError):
            ProgressCounter.value = None

    @pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"total": 3}), ((None,), {})])
    def test_constructor_takes_no_arguments(self, args, kwargs):
        with pytest.raises(TypeError):
            ProgressCounter(*args, **kwargs)

    @pytest.mark.parametrize("method", ["value", "total", "fraction", "reset"])
    def test_methods_take_no_arguments(self, method):
        with pytest.raises(TypeError):
            getattr(ProgressCounter(), method)(1)

    def test_instances_release_their_type(self):
        before = sys.getrefcount(ProgressCounter)
        counters = [ProgressCounter() for _ in range(1000)]
        assert sys.getrefcount(ProgressCounter) >= before + 1000
        del counters
        assert sys.getrefcount(ProgressCounter) == before
