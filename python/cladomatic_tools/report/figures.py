"""The interactive figures of the HTML report, as plotting-library figure specifications (traces and a layout)
built from plain arrays.

Every figure keeps to the trace types of the inlined bundle (scatter only). A figure of more than PLOT_POINTS
points shows every k-th point of each series, or bins the points that matter least, and its title says so, so
that a report of tens of thousands of trees stays a few megabytes.
"""

import math
from typing import TYPE_CHECKING

import numpy as np

if TYPE_CHECKING:
    from cladomatic_tools.summaries import SummaryTree

PLOT_POINTS = 4000
# one colour per run in every figure (the plotting library's own first ten)
RUN_COLOURS = (
    "#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd", "#8c564b", "#e377c2", "#7f7f7f", "#bcbd22", "#17becf"
)
# the splits below the minimum frequency in every run lie in one corner, binned on a grid of this step
SPLIT_BIN = 0.01
_FAINT = 0.25


def significant(values: np.ndarray, digits: int = 6) -> list:
    """Values rounded to `digits` significant digits as a list, so that the page carries no digit the
    picture cannot show."""
    v = np.asarray(values, dtype=np.float64)
    with np.errstate(divide="ignore", invalid="ignore"):
        exponent = np.where(v == 0, 0.0, np.floor(np.log10(np.abs(v))))
        factor = 10.0 ** (digits - 1 - exponent)
        rounded = np.where(np.isfinite(v), np.round(v * factor) / factor, v)
    return [None if math.isnan(x) else x for x in rounded.tolist()]


def thinning(count: int, limit: int = PLOT_POINTS) -> int:
    """The step k that keeps at most `limit` of `count` points: every k-th."""
    return max(1, -(-count // limit))


def run_colour(run: int) -> str:
    return RUN_COLOURS[run % len(RUN_COLOURS)]


def _layout(title: str, x_title: str, y_title: str, note: str = "", **more) -> dict:
    text = title if not note else f"{title}<br><sub>{note}</sub>"
    return {
        "title": {"text": text, "x": 0.02, "xanchor": "left"},
        "xaxis": {"title": {"text": x_title}, "zeroline": False},
        "yaxis": {"title": {"text": y_title}, "zeroline": False},
        "hovermode": "closest",
        "margin": {"t": 70, "r": 20, "b": 55, "l": 65},
        "legend": {"orientation": "h", "y": -0.2},
        **more,
    }


def split_frequencies(
    freqs: np.ndarray, used: np.ndarray, split_names: list[str], run_names: list[str], min_freq: float
) -> list[dict]:
    """One figure per pair of runs: each split's frequency in one run against the other, hover naming its taxa.
    Above PLOT_POINTS splits, those below `min_freq` in both runs are binned (one marker per cell, sized by
    its count)."""
    figures = []
    for a in range(len(run_names)):
        for b in range(a + 1, len(run_names)):
            x, y = freqs[a], freqs[b]
            seen = np.flatnonzero((x > 0) | (y > 0))
            minor = seen[(x[seen] < min_freq - 1e-12) & (y[seen] < min_freq - 1e-12)]
            binned = len(seen) > PLOT_POINTS and minor.size > 0
            alone = np.setdiff1d(seen, minor) if binned else seen
            data = [
                {
                    "type": "scatter",
                    "mode": "lines",
                    "x": [0, 1],
                    "y": [0, 1],
                    "line": {"color": "#999", "width": 1},
                    "hoverinfo": "skip",
                    "name": "equal frequency",
                },
                _splits_trace(alone[used[alone]], x, y, split_names, "in the ASDSF", {"color": "#1f77b4"}),
                _splits_trace(
                    alone[~used[alone]],
                    x,
                    y,
                    split_names,
                    "below the minimum frequency",
                    {"color": "rgba(0,0,0,0)", "line": {"color": "#ff7f0e", "width": 1}},
                ),
            ]
            note = f"{len(seen)} splits"
            if binned:
                data.append(_binned_splits(x[minor], y[minor]))
                note += (
                    f"; the {minor.size} below {min_freq:g} in both runs binned in cells of {SPLIT_BIN:g}, "
                    "sized by their count"
                )
            figures.append(
                {
                    "id": f"split-frequencies-{a + 1}-{b + 1}",
                    "data": data,
                    "layout": _layout(
                        f"Split frequencies, {run_names[a]} against {run_names[b]}",
                        f"frequency in {run_names[a]}",
                        f"frequency in {run_names[b]}",
                        note,
                        xaxis={
                            "range": [-0.03, 1.03],
                            "title": {"text": f"frequency in {run_names[a]}"},
                            "constrain": "domain",
                        },
                        yaxis={
                            "range": [-0.03, 1.03],
                            "title": {"text": f"frequency in {run_names[b]}"},
                            "scaleanchor": "x",
                            "constrain": "domain",
                        },
                    ),
                }
            )
    return figures


def _splits_trace(picked: np.ndarray, x: np.ndarray, y: np.ndarray, names: list[str], label: str, marker: dict):
    return {
        "type": "scatter",
        "mode": "markers",
        "name": label,
        "x": significant(x[picked]),
        "y": significant(y[picked]),
        "text": [names[i] for i in picked],
        "hovertemplate": "%{text}<br>%{x:.4f} / %{y:.4f}<extra></extra>",
        "marker": {"size": 7, **marker},
    }


def _binned_splits(x: np.ndarray, y: np.ndarray) -> dict:
    cells = np.floor(np.stack([x, y]) / SPLIT_BIN).astype(np.int64)
    unique, counts = np.unique(cells, axis=1, return_counts=True)
    centres = (unique + 0.5) * SPLIT_BIN
    return {
        "type": "scatter",
        "mode": "markers",
        "name": "binned splits",
        "x": significant(centres[0]),
        "y": significant(centres[1]),
        "customdata": counts.tolist(),
        "hovertemplate": "%{customdata} splits<extra></extra>",
        "marker": {
            "symbol": "square",
            "color": "#7f7f7f",
            "opacity": 0.6,
            "size": (4 + 3 * np.log2(counts)).round(1).tolist(),
        },
    }


def asdsf_trace(x: np.ndarray, trace: np.ndarray, x_title: str, min_freq: float) -> dict:
    """ASDSF and maximum SDSF at each point of the trace ([points, 2], NaN where undefined)."""
    return {
        "id": "asdsf-trace",
        "data": [
            {
                "type": "scatter",
                "mode": "lines+markers",
                "name": f"ASDSF (splits >= {min_freq:g} in a run)",
                "x": np.asarray(x).tolist(),
                "y": significant(trace[:, 0]),
            },
            {
                "type": "scatter",
                "mode": "lines+markers",
                "name": "maximum SDSF",
                "x": np.asarray(x).tolist(),
                "y": significant(trace[:, 1]),
                "line": {"dash": "dash"},
            },
        ],
        "layout": _layout(
            "Standard deviation of split frequencies along the chains",
            x_title,
            "standard deviation of split frequencies",
            "each point: the leading trees of every run, with the burn-in rule applied to them",
            shapes=[
                {
                    "type": "line",
                    "xref": "paper",
                    "x0": 0,
                    "x1": 1,
                    "y0": 0.01,
                    "y1": 0.01,
                    "line": {"color": "#999", "dash": "dot", "width": 1},
                }
            ],
        ),
    }


def tree_space(
    points: np.ndarray,
    runs: np.ndarray,
    run_names: list[str],
    tree_names: list[str],
    generations: np.ndarray | None,
    share: np.ndarray,
    how: str,
) -> dict:
    """The first two principal coordinates, one colour per run with its chain's path drawn faintly; hover names
    the tree, its run and generation. Trees are given in chain order within each run."""
    step = thinning(len(points))
    data: list[dict] = []
    for run, name in enumerate(run_names):
        mine = np.flatnonzero(runs == run)[::step]
        x, y = significant(points[mine, 0]), significant(points[mine, 1])
        colour = run_colour(run)
        data.append(
            {
                "type": "scatter",
                "mode": "lines",
                "x": x,
                "y": y,
                "line": {"color": colour, "width": 1},
                "opacity": _FAINT,
                "hoverinfo": "skip",
                "showlegend": False,
            }
        )
        data.append(
            {
                "type": "scatter",
                "mode": "markers",
                "name": name,
                "x": x,
                "y": y,
                "text": [tree_names[i] for i in mine],
                "customdata": generations[mine].tolist() if generations is not None else None,
                "hovertemplate": f"<b>%{{text}}</b><br>run {_escaped(name)}"
                + ("<br>generation %{customdata}" if generations is not None else "")
                + "<extra></extra>",
                "marker": {"color": colour, "size": 6, "opacity": 0.8},
            }
        )
    note = how if step == 1 else f"{how}; one tree in {step} of each run drawn ({len(points)} trees)"
    return {
        "id": "tree-space",
        "data": data,
        "layout": _layout(
            "Tree space",
            f"PCo 1 ({share[0] * 100:.1f}% of variation)",
            f"PCo 2 ({share[1] * 100:.1f}% of variation)",
            note,
        ),
    }


def topology_trace(
    distances: np.ndarray, runs: np.ndarray, x: np.ndarray, x_title: str, run_names: list[str], focal: str
) -> dict:
    """Each tree's distance to the focal tree along each chain (trees in chain order within each run)."""
    step = thinning(len(distances))
    data = []
    for run, name in enumerate(run_names):
        mine = np.flatnonzero(runs == run)[::step]
        data.append(
            {
                "type": "scatter",
                "mode": "lines",
                "name": name,
                "x": np.asarray(x)[mine].tolist(),
                "y": significant(distances[mine]),
                "line": {"width": 1, "color": run_colour(run)},
            }
        )
    note = f"RF distance to {_escaped(focal)}, the medoid of the sample"
    if step > 1:
        note += f"; one tree in {step} drawn"
    return {
        "id": "topology-trace",
        "data": data,
        "layout": _layout("Topology trace", x_title, "RF distance to the focal tree", note),
    }


def consensus_tree(tree: SummaryTree) -> dict:
    """The majority-rule consensus as a rectangular cladogram: leaves one per row, each inner node halfway between
    its children's rows and one step right of its parent; an inner node's support shows beside it and on hover."""
    n = len(tree.parent)
    children: list[list[int]] = [[] for _ in range(n)]
    for node in range(1, n):  # preorder: a parent comes before its children
        children[int(tree.parent[node])].append(node)
    depth = np.zeros(n)
    for node in range(1, n):
        depth[node] = depth[tree.parent[node]] + 1
    row = np.zeros(n)
    leaves = [node for node in range(n) if tree.leaf[node] >= 0]
    row[leaves] = np.arange(len(leaves))
    for node in range(n - 1, -1, -1):
        if children[node]:
            row[node] = (row[children[node][0]] + row[children[node][-1]]) / 2
    x: list[float | None] = []
    y: list[float | None] = []
    for node in range(n):
        for child in children[node]:
            x += [depth[node], depth[node], depth[child], None]
            y += [row[node], row[child], row[child], None]
    inner = [node for node in range(1, n) if tree.leaf[node] < 0]
    supports = [f"{tree.count[node] / tree.trees:.2f}" for node in inner]
    return {
        "id": "consensus-tree",
        "data": [
            {"type": "scatter", "mode": "lines", "x": x, "y": y, "hoverinfo": "skip", "showlegend": False,
             "line": {"width": 1.5, "color": "#444"}},
            {"type": "scatter", "mode": "text", "x": depth[leaves].tolist(), "y": row[leaves].tolist(),
             "text": [f" {tree.leaf_names[tree.leaf[node]]}" for node in leaves], "textposition": "middle right",
             "hoverinfo": "text", "showlegend": False},
            {"type": "scatter", "mode": "markers+text", "x": depth[inner].tolist(), "y": row[inner].tolist(),
             "text": supports, "textposition": "top left", "marker": {"size": 5, "color": "#444"},
             "hovertext": [f"support {value} ({tree.count[node]} of {tree.trees} trees)"
                           for value, node in zip(supports, inner, strict=True)],
             "hoverinfo": "text", "showlegend": False},
        ],
        "layout": _layout(
            "Majority-rule consensus tree",
            "",
            "",
            f"support: the share of the {tree.trees} trees after the burn-in that hold the split",
            xaxis={"visible": False, "range": [-0.5, float(depth.max()) + 3]},
            yaxis={"visible": False, "autorange": "reversed"},
            height=max(300, 18 * len(leaves)),
        ),
    }


def parameter_traces(
    names: list[str], run_names: list[str], generations: list[np.ndarray], samples: list[np.ndarray]
) -> dict:
    """Every parameter's samples along each run (after the burn-in), one parameter shown at a time: the page
    offers the others in a menu. Traces are [parameters][runs]."""
    longest = max(len(g) for g in generations)
    step = thinning(longest * len(run_names))
    traces = [
        [
            {
                "type": "scatter",
                "mode": "lines",
                "name": run,
                "x": gens[::step].tolist(),
                "y": significant(values[::step, k]),
                "line": {"width": 1, "color": run_colour(r)},
            }
            for r, (run, gens, values) in enumerate(zip(run_names, generations, samples))
        ]
        for k in range(len(names))
    ]
    note = "" if step == 1 else f"one sample in {step} drawn"
    return {
        "id": "parameter-traces",
        "data": traces[0],
        "choices": {"names": names, "traces": traces},
        "layout": _layout("Parameter traces", "generation", names[0], note),
    }


def _escaped(text: str) -> str:
    """Text for a hover template: its own braces and markup are not template fields or tags."""
    return (
        text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;").replace("%{", "%&#123;")
    )
