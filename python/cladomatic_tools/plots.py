"""The pictures of `cladomatic converge` and `cladomatic space`, drawn without a display.

Every function takes plain arrays and returns one PNG image as bytes, for the command to write with its other
files once all are made; the numbers each picture shows are written beside it as TSV by the command, so nothing
here is the only record of a result.
"""

import io

import numpy as np

DPI = 110
_RUN_ALPHA = 0.8
_PATH_ALPHA = 0.15


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
    fig.suptitle(title)
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
    ax.set_title(title)
    return _png(plt, fig)


def tree_space(
    points: np.ndarray,
    runs: np.ndarray,
    run_names: list[str],
    share: np.ndarray,
    title: str,
) -> bytes:
    """The first two principal coordinates, one colour per run, each run's path through its sample (in file
    order) drawn faintly under its points. A single axis is drawn against the tree's rank in its run."""
    plt = _pyplot()
    fig, ax = plt.subplots(figsize=(6.4, 5.6), layout="constrained")
    colours = _colours(plt, len(run_names))
    small = 12 if len(points) <= 2000 else 4
    for run, name in enumerate(run_names):
        mine = np.flatnonzero(runs == run)
        if points.shape[1] >= 2:
            x, y = points[mine, 0], points[mine, 1]
        else:
            x, y = np.arange(mine.size), points[mine, 0]
        ax.plot(x, y, color=colours[run], alpha=_PATH_ALPHA, linewidth=0.7)
        ax.scatter(x, y, s=small, color=colours[run], alpha=_RUN_ALPHA, label=name, linewidths=0, rasterized=True)
    if points.shape[1] >= 2:
        ax.set_xlabel(f"PCo 1 ({share[0] * 100:.1f}% of variation)")
        ax.set_ylabel(f"PCo 2 ({share[1] * 100:.1f}% of variation)")
    else:
        ax.set_xlabel("tree in its run")
        ax.set_ylabel(f"PCo 1 ({share[0] * 100:.1f}% of variation)")
    ax.legend(fontsize="small", markerscale=1.5)
    ax.set_title(title)
    return _png(plt, fig)
