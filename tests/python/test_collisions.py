"""Crafted split-key collisions. A split's key is the XOR of its leaves' fixed,
public 128-bit labels, so with more than 128 leaves a set of leaves whose
labels XOR to zero exists and is found by elimination over GF(2); cut in two
halves, it gives two disjoint clades with one key. Such input must be refused,
never computed through."""

import cladomatic
import pytest
from conftest import FUNCTION_NAMES

N_LEAVES = 140
NAMES = [f"L{i:03d}" for i in range(N_LEAVES)]  # byte order is index order


def splitmix64(state):
    state = (state + 0x9E3779B97F4A7C15) & (2**64 - 1)
    z = state
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & (2**64 - 1)
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & (2**64 - 1)
    return state, z ^ (z >> 31)


def module_labels(n):
    """The module's leaf labels by leaf index: two SplitMix64 outputs each, high word first."""
    state, labels = 0x243F6A8885A308D3, []
    for _ in range(n):
        state, high = splitmix64(state)
        state, low = splitmix64(state)
        labels.append(high << 64 | low)
    return labels


def zero_sum_leaves(labels):
    """A set of leaf indices of even size whose labels XOR to zero."""
    basis = {}  # leading bit -> (vector, leaves combined into it, as a bit mask)
    dependencies = []
    for i, label in enumerate(labels):
        vector, combined = label, 1 << i
        while vector:
            top = vector.bit_length() - 1
            if top not in basis:
                basis[top] = (vector, combined)
                break
            vector ^= basis[top][0]
            combined ^= basis[top][1]
        else:
            dependencies.append(combined)
    even = [d for d in dependencies if d.bit_count() % 2 == 0]
    mask = even[0] if even else dependencies[0] ^ dependencies[1]
    return [i for i in range(len(labels)) if mask >> i & 1]


def colliding_clades():
    leaves = zero_sum_leaves(module_labels(N_LEAVES))
    half = len(leaves) // 2
    return leaves[:half], leaves[half:]


def tree(*clades, unary=False):
    """The clades as subtrees of a star over every other leaf, all lengths 1;
    `unary` puts each clade below a node of one child."""
    inside = {i for clade in clades for i in clade}
    groups = ["(" + ",".join(f"{NAMES[i]}:1" for i in clade) + "):1" for clade in clades]
    if unary:
        groups = [f"({group}):1" for group in groups]
    rest = [f"{NAMES[i]}:1" for i in range(N_LEAVES) if i not in inside]
    return "(" + ",".join(groups + rest) + ");"


def call(name, texts, rooted):
    return getattr(cladomatic, name)([f"t{i}" for i in range(len(texts))], iter(texts), [{}], [0] * len(texts),
                                     rooted=rooted)


def test_the_crafted_clades_are_disjoint_and_cancel():
    first, second = colliding_clades()
    labels = module_labels(N_LEAVES)
    assert len(first) == len(second) > 1 and not set(first) & set(second)
    key = 0
    for i in first + second:
        key ^= labels[i]
    assert key == 0


@pytest.mark.parametrize("rooted", [False, True], ids=["unrooted", "rooted"])
@pytest.mark.parametrize("name", FUNCTION_NAMES)
class TestCraftedCollision:
    def test_two_trees_with_one_clade_each(self, name, rooted):
        first, second = colliding_clades()
        texts = [tree(first), tree(first), tree(second)]
        with pytest.raises(ValueError) as caught:
            call(name, texts, rooted)
        assert str(caught.value).startswith("Tree 0 and tree 2 hold different splits with the same 128-bit key")

    @pytest.mark.parametrize("unary", [False, True], ids=["plain", "unary"])
    def test_one_tree_with_both_clades(self, name, rooted, unary):
        first, second = colliding_clades()
        texts = [tree(), tree(), tree(first, second, unary=unary)]
        with pytest.raises(ValueError, match="^Tree 2 holds two different splits with the same 128-bit key"):
            call(name, texts, rooted)

    def test_collision_found_in_a_later_batch(self, name, rooted):
        # Thousands of ordinary trees first: the two clades meet in different batches.
        first, second = colliding_clades()
        texts = [tree(first)] + [tree()] * 5000 + [tree(second)]
        with pytest.raises(ValueError, match="^Tree 0 and tree 5001 hold different splits"):
            call(name, texts, rooted)


@pytest.mark.parametrize("rooted", [False, True], ids=["unrooted", "rooted"])
def test_clades_of_half_the_crafted_set_are_ordinary(rooted):
    # Without the other half nothing collides: distances are computed as usual.
    first, _ = colliding_clades()
    texts = [tree(first), tree(), tree(first)]
    _, matrix = call("pairwise_rf_from_newick_iter", texts, rooted)
    assert list(memoryview(matrix).cast("I")) == [0, 1, 0, 1, 0, 1, 0, 1, 0]
