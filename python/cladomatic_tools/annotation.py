"""A target tree annotated from a sample of rooted time trees, and its NEXUS text.

Every node of the target (the maximum clade credibility tree of the sample, or a tree of the caller's) is
annotated from the sampled trees that hold its clade: its posterior, its height and branch length (mean, median,
95% HPD and range) and every value the sampler wrote on the nodes (`[&rate=...]`, `[&location="..."]`). The files
are read twice, once for the clade counts and the target, once for the values of the target's clades only, so a
sample never sits in memory.

The numbers follow the rules the summaries of BEAST users are read with:

- Heights: a node's height is the deepest tip's distance from the root less its own, so the youngest tip is at 0
  and dated tips keep their own ages; negative branch lengths count as 0, as BEAST's tools count them.
- Mean: the values summed in sample order over their count. Median: the middle value, or the mean of the middle
  two. 95% HPD: the narrowest run of round(0.95 m) sorted values (the first of equally narrow ones). Range: the
  least and the greatest. Median, HPD and range are left out where every value is the same.
- Posterior: the share of the trees holding the clade, on inner nodes only. Below `limit` a node has its
  posterior and nothing else; so has a clade no tree holds (0.0), which keeps the target's height.
- A text value makes its attribute discrete: the most frequent value as `X` (equally frequent ones joined by
  `+`), its share as `X.prob` (times the number joined), every value seen as `X.set` with their shares as
  `X.set.prob`, listed in the order BEAST's tools list them (a Java hash map's). An attribute written as a number
  in one tree and a text in another is discrete, its numbers then taken as texts.
- A value missing from some of the trees holding a clade is left out of that clade's values (BEAST 1's
  TreeAnnotator counts it as 0).
"""

from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from decimal import Decimal
from typing import TYPE_CHECKING, Any

from cladomatic_tools.io import sources
from cladomatic_tools.io.reader import engine_module
from cladomatic_tools.io.sources import FileTrees
from cladomatic_tools.selection import Selection

if TYPE_CHECKING:
    from cladomatic_tools.treeset import TreeSet

HEIGHTS = ("keep", "mean", "median", "ca")
TARGETS = ("mcc", "ccd1", "ccd0")

Value = float | str | tuple[float, float] | tuple[str, ...] | tuple[float, ...]


@dataclass(frozen=True, slots=True)
class AnnotatedTree:
    """The annotated target: per node, children before their parent (the root last), `parent` (-1 at the root),
    `leaf` (its index in `leaf_names`, -1 for an inner node), `height` (as the `heights` option placed it),
    `length` (its parent's height less its own; 0.0 at the root) and `annotations` (name to value, in the order
    written). `trees` is the number of sampled trees; `notes` says what the reading found worth telling (an
    attribute taken as discrete, one holding lists)."""

    parent: list[int]
    leaf: list[int]
    height: list[float]
    length: list[float]
    annotations: list[dict[str, Value]]
    leaf_names: list[str]
    trees: int
    notes: list[str] = field(default_factory=list)


def annotate(
    ts: TreeSet,
    readings: Sequence[FileTrees],
    target: str = "mcc",
    *,
    heights: str = "keep",
    limit: float = 0.0,
    threads: int | None = None,
    progress: Any = None,
    on_tree: Callable[[str, int], None] | None = None,
) -> AnnotatedTree:
    """The target annotated from the trees of `readings`, which `ts` holds as read from them.

    Parameters
    ----------
    ts : TreeSet
        The trees of `readings`, rooted, with branch lengths (`TreeSet.from_reading`).
    readings : sequence of FileTrees
        The files, read once more for the values of the target's clades.
    target : str
        "mcc", "ccd1" or "ccd0" (the MAP tree of that conditional clade distribution, `TreeSet.ccd_map`, with
        its clades' mean lengths), or the path of a tree file whose first tree is taken.
    heights : {"keep", "mean", "median", "ca"}
        The target's own heights, the mean or median of the clade's heights over the trees holding it, or the
        mean height of the common ancestor of the clade's taxa over every tree.
    limit : float
        The posterior below which a node carries its posterior alone.
    threads : int, optional
        Overrides the set's `threads`.
    progress : Progress, optional
        Counts the trees scored for an MCC or CCD target.
    on_tree : callable, optional
        Sees each file's count of trees read so far, as in `sources.read`.

    Returns
    -------
    AnnotatedTree

    Raises
    ------
    ValueError
        For unrooted trees, trees without lengths, a target over other taxa, a malformed node comment (naming
        its file, line and tree) and files that changed between the two readings.

    Examples
    --------
    >>> from cladomatic_tools import TreeSet
    >>> ts = TreeSet.from_files("tests/data/beast/relaxed2.trees.gz", rooted=True)
    >>> tree = annotate(ts, ts._readings, heights="ca", limit=0.5)
    >>> sorted(tree.annotations[-1])[:3]
    ['height', 'height_95%_HPD', 'height_median']
    """
    if heights not in HEIGHTS:
        raise ValueError(f"heights must be one of {', '.join(HEIGHTS)}, not {heights!r}")
    if not 0.0 <= limit <= 1.0:
        raise ValueError(f"limit must be a posterior from 0 to 1, not {limit}")
    if not ts.rooted:
        raise ValueError("node heights need rooted trees: these are unrooted (mark them [&R] or read them rooted)")
    if not ts._engine.any_length:
        raise ValueError("node heights need branch lengths, and these trees have none")
    text, table = _target_text(ts, target, threads, progress)
    native = engine_module().TargetAnnotation(ts.leaf_names, text, table)
    reading = sources.read(readings, None, on_tree)
    try:
        well = native.read(reading, True, heights == "ca", ts._threads(threads))
    except ValueError as err:
        sources.settle(readings, reading)
        located = ValueError(sources.explain(readings, err, True))
        located.tree_index = getattr(err, "tree_index", None)  # type: ignore[attr-defined]
        raise located from None
    sources.settle(readings, reading)
    if not well or native.trees != len(ts):
        # a file still being written, or one that can be read only once
        raise ValueError(f"the files changed since they were read: {native.trees} trees now, {len(ts)} before")
    return _annotated(native, ts.leaf_names, heights, limit)


def _target_text(ts: TreeSet, target: str, threads: int | None, progress: Any) -> tuple[str, dict[str, str] | None]:
    """The target's Newick text and translate table: the MCC tree written with its lengths exactly, or the
    first tree of the file `target`, over the sample's taxa."""
    if target in TARGETS:
        from cladomatic_tools import summaries

        if target == "mcc":
            tree = summaries.mcc_tree(ts, threads=threads, progress=progress)
        else:
            tree = summaries.ccd_tree(ts, target, threads=threads, progress=progress).tree
        assert tree.length is not None  # the set has lengths
        return _exact_newick(tree.parent.tolist(), tree.leaf.tolist(), tree.length.tolist(), ts.leaf_names), None
    files = FileTrees([target], Selection())
    reading = sources.read([files], hold_texts=True)
    reading.read_all()
    sources.settle([files], reading)
    if not files.positions:
        raise ValueError(f"the target file {target} holds no tree")
    record = files.record(0)
    have, unknown = sources.taxa(record)
    if unknown:
        raise ValueError(f"the target tree in {target} has labels its TRANSLATE table lacks: {sources.listed(unknown)}")
    want = set(ts.leaf_names)
    if have != want:
        raise ValueError(sources.differing(f"the target tree in {target}", have, "the sample", want))
    return record.text, record.translate


def _exact_newick(parent: list[int], leaf: list[int], length: list[float], names: list[str]) -> str:
    """A preorder tree as Newick with its lengths as read back exactly, for the engine to walk again."""
    children: list[list[int]] = [[] for _ in parent]
    for node, above in enumerate(parent[1:], 1):
        children[above].append(node)

    def write(node: int) -> str:
        own = names[leaf[node]] if leaf[node] >= 0 else "(" + ",".join(write(c) for c in children[node]) + ")"
        return own if node == 0 else f"{own}:{length[node]!r}"

    return write(0) + ";"


def _annotated(native: Any, leaf_names: list[str], heights: str, limit: float) -> AnnotatedTree:
    nodes = native.nodes()
    trees = native.trees
    traits = [(name, lists, numbers, texts, any(texts)) for name, lists, numbers, texts in native.traits()]
    notes: list[str] = []
    parent = [node[0] for node in nodes]
    leaf = [node[1] for node in nodes]
    placed = []
    for _, _, count, own, _, height, _, ancestors in nodes:
        if heights == "keep" or (count == 0 and heights != "ca"):
            placed.append(own)
        elif heights == "ca":
            placed.append(ancestors)
        else:
            placed.append(height[0] if heights == "mean" else height[1])
    annotations: list[dict[str, Value]] = []
    for index, (_, is_leaf, count, _, _, height, length, _) in enumerate(nodes):
        found: dict[str, Value] = {}
        annotations.append(found)
        posterior = count / trees
        if is_leaf < 0:
            found["posterior"] = posterior
        if count == 0:
            continue
        if posterior < limit:
            continue
        _numbers(found, "height", height)
        _numbers(found, "length", length)
        for name, _, numbers, texts, discrete in traits:
            if discrete:
                _discrete(found, name, numbers[index], texts[index])
            elif numbers[index] is not None:
                _numbers(found, name, numbers[index])
    for name, lists, numbers, _, discrete in traits:
        if lists:
            notes.append(f"the attribute {name} holds lists, which are not summarised")
        if discrete and any(numbers):
            notes.append(f"the attribute {name} is a number in some trees and a text in others: taken as discrete")
    if heights == "keep":
        # the target's heights unchanged, so its lengths stay as read
        length = [0.0 if above < 0 else node[4] for node, above in zip(nodes, parent)]
    else:
        length = [0.0 if above < 0 else placed[above] - placed[node] for node, above in enumerate(parent)]
    return AnnotatedTree(parent, leaf, placed, length, annotations, leaf_names, trees, notes)


def _numbers(found: dict[str, Value], name: str, summary: tuple[float, ...] | None) -> None:
    if summary is None:
        return
    mean, median, low, high, least, greatest = summary
    found[name] = mean
    if least < greatest:
        found[f"{name}_median"] = median
        found[f"{name}_95%_HPD"] = (low, high)
        found[f"{name}_range"] = (least, greatest)


def _discrete(found: dict[str, Value], name: str, numbers: list[float], texts: list[tuple[str, int]]) -> None:
    counted = dict(texts)
    for number in numbers:
        spelled = java_double(number)
        counted[spelled] = counted.get(spelled, 0) + 1
    if not counted:
        return
    # in the order a Java HashMap of these values iterates, which is how BEAST's tools list them and join ties
    listed = _hash_map_order(list(counted))
    total = sum(counted.values())
    most = max(counted.values())
    tied = [value for value in listed if counted[value] == most]
    found[name] = "+".join(tied)
    found[f"{name}.prob"] = most / total * len(tied)
    found[f"{name}.set"] = tuple(listed)
    found[f"{name}.set.prob"] = tuple(counted[value] / total for value in listed)


def _hash_map_order(keys: list[str]) -> list[str]:
    """Strings put in a Java HashMap in this order, as it iterates them: by bucket of the table's final size
    (16, doubled whenever it would be more than three quarters full), then in order of insertion."""
    size = 16
    while len(keys) > size * 3 // 4:
        size *= 2

    def bucket(key: str) -> int:
        code = 0
        units = key.encode("utf-16-be")
        for k in range(0, len(units), 2):
            code = (31 * code + int.from_bytes(units[k : k + 2], "big")) & 0xFFFFFFFF
        return (code ^ (code >> 16)) & (size - 1)

    return sorted(keys, key=lambda key: bucket(key))  # stable: insertion order within a bucket


# writers


def java_double(value: float) -> str:
    """A double as Java's Double.toString writes it: the shortest digits that read back, as plain decimals from
    1e-3 up to 1e7, else one digit, a point and `E` with the exponent; always a digit after the point.

    Parameters
    ----------
    value : float

    Returns
    -------
    str

    Examples
    --------
    >>> java_double(8.709705811083603e-4), java_double(15.0), java_double(1e7)
    ('8.709705811083603E-4', '15.0', '1.0E7')
    """
    if value != value:
        return "NaN"
    if value in (float("inf"), float("-inf")):
        return "Infinity" if value > 0 else "-Infinity"
    if value == 0:
        return "-0.0" if str(value).startswith("-") else "0.0"
    sign, digits, exponent = Decimal(repr(value)).as_tuple()
    text = "".join(map(str, digits)).rstrip("0") or "0"
    assert isinstance(exponent, int)
    power = len(digits) + exponent - 1  # of the first digit
    lead = "-" if sign else ""
    if -3 <= power < 7:
        if power < 0:
            return lead + "0." + "0" * (-power - 1) + text
        whole, fraction = text[: power + 1].ljust(power + 1, "0"), text[power + 1 :]
        return lead + whole + "." + (fraction or "0")
    return lead + text[0] + "." + (text[1:] or "0") + "E" + str(power)


def _value_text(value: Value) -> str:
    if isinstance(value, tuple):
        return "{" + ",".join(_value_text(item) for item in value) + "}"
    if isinstance(value, str):
        return '"' + value.replace('"', "'") + '"'
    return java_double(value)


def nexus(tree: AnnotatedTree) -> str:
    """The annotated tree as NEXUS, as BEAST's TreeAnnotator writes it.

    A TAXA block, then a TREES block whose TRANSLATE numbers the taxa from 1 and whose one tree carries each
    node's annotations as `[&name=value,...]` after its label and its branch length after that: numbers as Java
    writes doubles, intervals and ranges as `{low,high}`, texts and sets of them quoted (`{"a","b"}`).

    Parameters
    ----------
    tree : AnnotatedTree

    Returns
    -------
    str

    Examples
    --------
    >>> from cladomatic_tools import TreeSet
    >>> ts = TreeSet.from_files("tests/data/beast/relaxed2.trees.gz", rooted=True)
    >>> nexus(annotate(ts, ts._readings)).splitlines()[0]
    '#NEXUS'
    """
    from cladomatic_tools.summaries import newick_name

    names = [newick_name(name) for name in tree.leaf_names]
    children: list[list[int]] = [[] for _ in tree.parent]
    root = len(tree.parent) - 1
    for node, above in enumerate(tree.parent):
        if above >= 0:
            children[above].append(node)

    def write(node: int) -> str:
        own = str(tree.leaf[node] + 1) if tree.leaf[node] >= 0 else "(" + ",".join(map(write, children[node])) + ")"
        found = tree.annotations[node]
        if found:
            own += "[&" + ",".join(f"{name}={_value_text(value)}" for name, value in found.items()) + "]"
        return own if node == root else own + ":" + java_double(tree.length[node])

    lines = ["#NEXUS", "", "Begin taxa;", f"\tDimensions ntax={len(names)};", "\tTaxlabels"]
    lines += [f"\t\t{name}" for name in names]
    lines += ["\t\t;", "End;", "", "Begin trees;", "\tTranslate"]
    lines += [f"\t\t{k} {name}" + ("," if k < len(names) else "") for k, name in enumerate(names, 1)]
    lines += ["\t\t;", f"tree TREE1 = [&R] {write(root)};", "End;", ""]
    return "\n".join(lines)
