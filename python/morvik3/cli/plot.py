"""Plots of a scored series: the first columns on top, the score underneath,
flagged rows marked on both (matplotlib, the optional `plot` extra)."""

import math

import numpy as np

MISSING = "plots need matplotlib: pip install 'morvik3[plot]'"
# Beyond this many rows a plot shows per-bucket extremes, not every row.
MAX_POINTS = 100_000


def available():
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        return False
    return True


def _axis(times, n):
    """Dates when every timestamp parses as one, else row numbers."""
    if times is not None and len(times) == n:
        try:
            return np.array(times, dtype="datetime64[ms]"), "time"
        except ValueError:
            pass
    return np.arange(n), "row"


def _thin(x, y, step):
    """Keeps per bucket of `step` rows the row where y is largest."""
    if step <= 1:
        return x, y
    n = len(y) // step * step
    buckets = y[:n].reshape(-1, step)
    pick = buckets.argmax(axis=1) + np.arange(0, n, step)
    return x[pick], y[pick]


def plot(path, title, scores, series=None, names=(), flagged=None, times=None, windows=(), flag_label="flagged"):
    """Writes the plot to `path` (PNG).  `series` is an (n, k) array whose
    first three columns are drawn; `flagged` holds the indices of rows to
    mark; `windows` are (first, last) row ranges to shade."""
    from matplotlib.figure import Figure

    n = len(scores)
    x, label = _axis(times, n)
    step = max(1, math.ceil(n / MAX_POINTS))
    flagged = np.asarray([] if flagged is None else flagged, dtype=np.int64)
    panels = 2 if series is not None else 1
    fig = Figure(figsize=(12, 3.2 * panels), layout="constrained")
    axes = fig.subplots(panels, 1, sharex=True, squeeze=False)[:, 0]
    if series is not None:
        top = axes[0]
        for j in range(min(3, series.shape[1])):
            top.plot(*_thin(x, series[:, j], step), linewidth=0.7, label=names[j] if j < len(names) else None)
        if len(flagged):
            top.scatter(x[flagged], series[flagged, 0], s=14, color="crimson", zorder=3, label=flag_label)
        top.set_ylabel("value")
    bottom = axes[-1]
    bottom.plot(*_thin(x, np.asarray(scores), step), linewidth=0.7, color="black")
    if len(flagged):
        bottom.scatter(x[flagged], np.asarray(scores)[flagged], s=14, color="crimson", zorder=3)
    bottom.set_ylabel("anomaly score")
    bottom.set_xlabel(label)
    for number, (first, last) in enumerate(windows):
        for ax in axes:
            label = "labelled anomaly window" if number == 0 and ax is axes[0] else None
            ax.axvspan(x[first], x[last], color="orange", alpha=0.2, linewidth=0, label=label)
    if series is not None:
        axes[0].legend(loc="upper left", fontsize="small")
    axes[0].set_title(title)
    fig.savefig(path, dpi=110)
