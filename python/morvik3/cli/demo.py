"""`morvik3 demo`: scores the labelled NAB series shipped with the package
with the default detector and shows where its highest scores fall against
the labelled anomaly windows."""

import bisect
import json
import os
import time
from importlib import resources

from morvik3.cli import plot
from morvik3._registry import DEFAULTS, KINDS
from morvik3.cli.inputs import Table, open_input
from morvik3.cli.score import Tracker, counted

SEED = 0


def data_folder():
    return resources.files("morvik3") / "data" / "nab"


def run(args):
    folder = data_folder()
    windows = json.loads((folder / "windows.json").read_text(encoding="utf-8"))
    kind = KINDS["forest"]
    settings = kind.defaults[DEFAULTS[0]].settings((1,))
    plots = plot.available()
    if plots:
        os.makedirs(args.plots, exist_ok=True)
    print(f"morvik3 {_version()} demo: {len(windows)} labelled series of the Numenta Anomaly Benchmark")
    print(f"(shipped in {folder}, MIT licence in LICENSE.txt there), each scored from its first row with")
    print(f"`morvik3 score` defaults: {', '.join(f'{k}={v}' for k, v in settings.items())}, seed={SEED}.")
    total_rows, total_hits, total_shown, started = 0, 0, 0, time.perf_counter()
    for name, spans in windows.items():
        source = open_input(str(folder / name))
        try:
            table = Table(source)
            chunk = next(table.chunks([1 << 40]))
        finally:
            source.close()
        detector = kind.create((1,), seed=SEED, **settings)
        scores = detector.update_and_score_many(*chunk.batch)
        tracker = Tracker(gap=settings["shingle_size"], keep_series=False)
        tracker.add(chunk, scores)
        times = chunk.times()
        ranges = _rows_of(times, spans)
        inside = sum(last - first + 1 for first, last in ranges)
        print()
        print(f"{name}: {len(scores):,} rows, {len(ranges)} labelled anomaly window(s)")
        for number, ((first, last), (start, end)) in enumerate(zip(ranges, spans), 1):
            print(f"  window {number}: {start[:16]} .. {end[:16]}  (lines {chunk.lines[first]}-{chunk.lines[last]})")
        top = tracker.top(args.top)
        print(f"  top {len(top)} scores (at least {counted(tracker.gap, 'row')} apart):")
        print(f"    {'line':>6}  {'timestamp':<19}  {'value':>12}  {'score':>7}  where")
        hits = 0
        for score, row, line, stamp in top:
            place = _place(row, ranges)
            hits += place.startswith("in ")
            print(f"    {line:>6}  {stamp:<19}  {chunk.values[row, 0]:>12.6g}  {score:>7.3f}  {place}")
        share = inside / len(scores)
        print(f"  {hits} of {len(top)} fall in a labelled window; the windows hold {share:.1%} of the rows")
        total_rows, total_hits, total_shown = total_rows + len(scores), total_hits + hits, total_shown + len(top)
        if plots:
            path = os.path.join(args.plots, os.path.splitext(os.path.basename(name))[0] + ".png")
            plot.plot(path, name, scores, chunk.values, table.names, [row for _, row, _, _ in top], times,
                      ranges, flag_label=f"top {len(top)} scores")
            print(f"  plot: {path}")
    elapsed = time.perf_counter() - started
    print()
    print(f"{total_hits} of {total_shown} top-scored rows fall in labelled windows; {total_rows:,} rows scored "
          f"in {elapsed:.1f} s.")
    if not plots:
        print(f"No plots: {plot.MISSING}")
    print("Score your own series with: morvik3 score data.csv -o scored.csv  (see morvik3 score --help)")
    return 0


def _version():
    import morvik3

    return morvik3.__version__


def _rows_of(times, spans):
    """(first, last) row of each window; NAB's timestamps sort as text."""
    stamps = [t[:19] for t in times]
    ranges = []
    for start, end in spans:
        first = bisect.bisect_left(stamps, start[:19])
        last = bisect.bisect_right(stamps, end[:19]) - 1
        if first <= last:
            ranges.append((first, last))
    return ranges


def _place(row, ranges):
    """Where a row lies: in a window, or how far from the nearest one."""
    best = None
    for number, (first, last) in enumerate(ranges, 1):
        if first <= row <= last:
            return f"in window {number}"
        distance, side = (first - row, "before") if row < first else (row - last, "after")
        if best is None or distance < best[0]:
            best = (distance, f"{distance} rows {side} window {number}")
    return best[1] if best else "no labelled window"
