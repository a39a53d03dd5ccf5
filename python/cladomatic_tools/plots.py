"""The pictures of `cladomatic converge` and `cladomatic space`, drawn without a display.

Every function takes plain arrays and returns one PNG image as bytes, for the command to write with its other
files once all are made; the numbers each picture shows are written beside it as TSV by the command, so nothing
here is the only record of a result.
"""

import io
import textwrap

import numpy as np

DPI = 110
_RUN_ALPHA = 0.8
_PATH_ALPHA = 0.15
# Above this many trees a tree-space picture shows their density: one marker per tree takes minutes to draw and,
# at a million, more path than the renderer can hold.
DENSITY_ABOVE = 50_000
# Title lines are never wrapped narrower than this.
_TITLE_CHARACTERS = 20


def _pyplot():
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt


def _colours(plt, count: int) -> list:
    cmap = plt.get_cmap("tab10" if count <= 10 else "tab20")
    return [cmap(i % cmap.N) for i in range(count)]


def _png(plt, fig) -> bytes:
    image = io.BytesIO()
    try:
        fig.savefig(image, dpi=DPI, format="png")
    finally:
        plt.close(fig)
    return image.getvalue()


def _titled(fig, title: str) -> None:
    """The figure's title, centred on the whole picture, its lines wrapped until the widest, as drawn, fits the
    picture's width: file names can be longer than the picture is wide, and a long one is broken, not cut off."""
    text = fig.suptitle(title)
    renderer = fig.canvas.get_renderer()
    room = 0.95 * fig.bbox.width
    chars = max(len(line) for line in title.split("\n"))
    while True:
        text.set_text("\n".join(textwrap.fill(line, chars, break_on_hyphens=False) for line in title.split("\n")))
        width = text.get_window_extent(renderer).width
        if width <= room or chars <= _TITLE_CHARACTERS:
            return
        chars = max(_TITLE_CHARACTERS, min(chars - 1, int(chars * room / width)))


def split_frequencies(freqs: np.ndarray, used: np.ndarray, run_names: list[str], title: str) -> bytes:
    """Run against run: one panel for two runs, every pair of runs (lower triangle) for more. Splits taken
    into the ASDSF are drawn solid, the rest hollow; points on the diagonal agree perfectly."""
    plt = _pyplot()
    runs = freqs.shape[0]
    panels = runs - 1
    size = 5.0 if panels == 1 else min(3.2 * panels, 14.0)
    fig, axes = plt.subplots(panels, panels, figsize=(size, size), squeeze=False, layout="constrained")
    for row in range(panels):
        for col in range(panels):
            ax = axes[row][col]
            a, b = col, row + 1  # x: run a, y: run b
            if a >= b:
                ax.set_axis_off()
                continue
            ax.plot([0, 1], [0, 1], color="0.6", linewidth=0.8, label="equal frequency")
            ax.scatter(freqs[a, used], freqs[b, used], s=14, color="C0", alpha=_RUN_ALPHA, label="in the ASDSF")
            ax.scatter(
                freqs[a, ~used], freqs[b, ~used], s=14, facecolors="none", edgecolors="C1", label="below min. freq."
            )
            ax.set_xlim(-0.03, 1.03)
            ax.set_ylim(-0.03, 1.03)
            ax.set_aspect("equal")
            ax.set_xlabel(f"split frequency, {run_names[a]}")
            ax.set_ylabel(f"split frequency, {run_names[b]}")
            if row == 0 and col == 0:
                ax.legend(loc="upper left", fontsize="small")
    _titled(fig, title)
    return _png(plt, fig)


def asdsf_trace(trees: np.ndarray, values: np.ndarray, min_freq: float, x_label: str, title: str) -> bytes:
    """ASDSF and maximum SDSF as the sample grows. values: [points, 2]."""
    plt = _pyplot()
    fig, ax = plt.subplots(figsize=(6.4, 4.2), layout="constrained")
    ax.plot(trees, values[:, 0], marker="o", markersize=3, label=f"ASDSF (splits >= {min_freq:g} in a run)")
    ax.plot(trees, values[:, 1], marker="s", markersize=3, linestyle="--", label="maximum SDSF")
    ax.axhline(0.01, color="0.6", linewidth=0.8, linestyle=":", label="0.01")
    ax.set_xlabel(x_label)
    ax.set_ylabel("standard deviation of split frequencies")
    ax.set_ylim(bottom=0)
    ax.legend(fontsize="small")
    _titled(fig, title)
    return _png(plt, fig)


def tree_space(
    points: np.ndarray,
    runs: np.ndarray,
    run_names: list[str],
    share: np.ndarray,
    title: str,
) -> bytes:
    """The first two principal coordinates, one colour per run, each run's path through its sample (in file
    order) drawn faintly under its points; above DENSITY_ABOVE trees, their density, all runs together, as the
    title says. A single axis is drawn against the tree's rank in its run. Axis labels give each axis's share of
    the trace (the sum of all eigenvalues)."""
    plt = _pyplot()
    fig, ax = plt.subplots(figsize=(6.4, 5.6), layout="constrained")
    x = np.empty(len(points))
    y = points[:, 1] if points.shape[1] >= 2 else points[:, 0]
    if points.shape[1] >= 2:
        x[:] = points[:, 0]
    else:
        for run in range(len(run_names)):
            mine = np.flatnonzero(runs == run)
            x[mine] = np.arange(mine.size)
    if len(points) > DENSITY_ABOVE:
        cells = ax.hexbin(x, y, gridsize=150, bins="log", mincnt=1, cmap="viridis", linewidths=0)
        fig.colorbar(cells, ax=ax, label="trees per hexagon")
        title += f"\ndensity of all {len(points):,} trees (above {DENSITY_ABOVE:,} no tree is drawn alone)"
    else:
        colours = _colours(plt, len(run_names))
        small = 12 if len(points) <= 2000 else 4
        for run, name in enumerate(run_names):
            mine = np.flatnonzero(runs == run)
            ax.plot(x[mine], y[mine], color=colours[run], alpha=_PATH_ALPHA, linewidth=0.7)
            ax.scatter(
                x[mine], y[mine], s=small, color=colours[run], alpha=_RUN_ALPHA, label=name, linewidths=0,
                rasterized=True,
            )
        ax.legend(fontsize="small", markerscale=1.5)
    if points.shape[1] >= 2:
        ax.set_xlabel(_axis_label(1, share[0]))
        ax.set_ylabel(_axis_label(2, share[1]))
    else:
        ax.set_xlabel("tree in its run")
        ax.set_ylabel(_axis_label(1, share[0]))
    _titled(fig, title)
    return _png(plt, fig)


def _axis_label(axis: int, share: float) -> str:
    return f"PCo {axis} ({share * 100:.1f}% of the sum of all eigenvalues)"
