import inspect
import sys
import threading
import time

import cladomatic
import pytest
from cladomatic import ProgressCounter
from trees import forest, newick


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


def texts_for(n_trees, n_leaves, seed=1):
    return [newick(t) for t in forest(seed, n_trees, n_leaves)]


def run_with(function, texts, counter):
    n = len(texts)
    return function([str(i) for i in range(n)], iter(texts), [{}], [0] * n, progress=counter)


class TestCounterInCalls:
    def test_complete_after_a_call(self, function):
        counter = ProgressCounter()
        run_with(function, texts_for(7, 8), counter)
        assert (counter.value(), counter.total(), counter.fraction()) == (21, 21, 1.0)
        assert repr(counter) == "ProgressCounter(value=21, total=21)"

    def test_reuse_starts_from_the_new_call(self, function):
        counter = ProgressCounter()
        run_with(function, texts_for(7, 8), counter)
        run_with(function, texts_for(2, 8), counter)
        assert (counter.value(), counter.total()) == (1, 1)

    def test_failed_call_leaves_the_counter(self, function):
        counter = ProgressCounter()
        run_with(function, texts_for(5, 8), counter)
        with pytest.raises(ValueError):
            run_with(function, texts_for(1, 8), counter)
        with pytest.raises(ValueError):
            run_with(function, texts_for(3, 8) + ["(t0,t1);"], counter)
        assert (counter.value(), counter.total()) == (10, 10)

    def test_same_results_with_and_without_counter(self, function):
        texts = texts_for(30, 20)
        assert run_with(function, texts, ProgressCounter()) == run_with(function, texts, None)

    def test_counter_shared_by_overlapping_calls_stays_clamped(self):
        counter = ProgressCounter()
        big = texts_for(1500, 64)
        worker = threading.Thread(target=run_with, args=(cladomatic.pairwise_rf_from_newick_iter, big, counter))
        worker.start()
        while counter.total() == 0 and worker.is_alive():
            time.sleep(0.001)
        run_with(cladomatic.pairwise_rf_from_newick_iter, texts_for(3, 64), counter)
        worker.join()
        # The later, smaller call set the total; the big one finished last.
        assert counter.total() == 3
        assert counter.fraction() == 1.0


class TestPolling:
    def test_polling_thread_sees_progress(self):
        counter = ProgressCounter()
        texts = texts_for(2500, 64)
        samples = []
        done = threading.Event()

        def poll():
            while not done.is_set():
                samples.append(counter.fraction())

        poller = threading.Thread(target=poll)
        poller.start()
        try:
            run_with(cladomatic.pairwise_wrf_from_newick_iter, texts, counter)
        finally:
            done.set()
            poller.join()
        samples.append(counter.fraction())
        assert samples == sorted(samples)
        assert samples[-1] == 1.0
        assert any(0.0 < sample < 1.0 for sample in samples)
