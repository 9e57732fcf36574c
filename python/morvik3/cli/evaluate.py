"""`morvik3 evaluate`: how well a detector finds the labelled anomalies of a
series, or of a folder of series, each scored as `morvik3 score` scores it.

What is measured is the column that --threshold and --top-percent flag on:
the calibrated score, from the first row on, with nothing flagged in the
calibration warm-up."""

import json
import math
import pathlib
import statistics
import sys
from dataclasses import dataclass, field

import numpy as np
from tqdm import tqdm

from morvik3._registry import KINDS
from morvik3.cli import labels as labelling
from morvik3.cli import plot
from morvik3.cli.inputs import InputError, open_input
from morvik3.cli.metrics import PROFILES, Series, best_threshold, normalised, ranking
from morvik3.cli.score import check_options, prepare, stream

MEASURED = "calibrated"
STANDARD = PROFILES[0].name


def run(args):
    kind = KINDS[args.detector]
    check_options(kind, args)
    if args.plot and not plot.available():
        raise InputError(plot.MISSING)
    labels = labelling.read(args.labels)
    if labels.column is not None and kind.input == "events":
        raise InputError(f"--labels {labels.column}: a labels column needs CSV input; --detector {kind.name} reads "
                         "JSON lines, so give a labels file")
    named = labels.series(args.input)
    if not named:
        raise InputError(f"{labels.source} names no series to evaluate")
    corpus, runs, setup = [], [], None
    for name, path in tqdm(named, unit=" series", file=sys.stderr, disable=args.quiet or not sys.stderr.isatty(),
                           dynamic_ncols=True, desc="evaluate"):
        scored = score_series(kind, args, path, labels.column, keep_values=bool(args.plot))
        if labels.column is not None:
            windows = labelling.column_rows(scored.label, labels.column, scored.marks, scored.lines)
        else:
            windows = labels.rows(name, scored.label, scored.times, scored.lines)
        corpus.append(Series(name, scored.measured, windows, quiet=scored.quiet))
        runs.append(scored)
        setup = setup or scored.setup
    result = report(corpus, setup.cut)
    for entry, scored in zip(result["series"], runs):
        entry["settings"] = scored.setup.settings
    # Series of different widths get different defaults: one setting is shown only when all share it.
    shared = setup.settings if all(s.setup.settings == setup.settings for s in runs) else None
    result = {"detector": kind.name, "defaults": setup.defaults, "settings": shared,
              "calibration": setup.calibration, "measured": MEASURED, "seed": args.seed, "labels": labels.source,
              **result}
    if args.json:
        json.dump(result, sys.stdout, indent=1)
        sys.stdout.write("\n")
    else:
        _table(result, args)
    if args.plot:
        _plots(args.plot, corpus, runs, result)
    return 0


@dataclass
class Setup:
    """How the series were scored: the name of the defaults, the detector's
    settings, the calibrator's, and the calibrated score that flags a row
    (None: none given)."""

    defaults: str
    settings: dict
    calibration: dict
    cut: float | None


@dataclass
class Scored:
    """What evaluating needs of one scored series, row by row."""

    label: str
    setup: Setup
    quiet: int  # the leading rows the command never flags
    measured: list = field(default_factory=list)
    times: list = field(default_factory=list)
    lines: list = field(default_factory=list)
    marks: list = field(default_factory=list)  # the labels column's cells
    values: list = field(default_factory=list)  # the first columns, for plots
    names: list = field(default_factory=list)


def score_series(kind, args, path, column=None, keep_values=False):
    """Scores the series at `path` as `morvik3 score` would with `args`."""
    source = open_input(path)
    try:
        ignore = () if column is None else (column,)
        reader, scorer, settings, _ = prepare(kind, args, source, ignore)
        mark = None
        if column is not None:
            mark = reader.index(column)
            if mark in (*reader.columns, *reader.categorical):
                raise InputError(f"{source.label}: the labels column {column!r} is also read by the detector")
        calibration = {"window": scorer.calibrator.window, "warmup": scorer.warmup}
        scored = Scored(source.label, Setup(scorer.defaults, settings, calibration, scorer.cut), 0,
                        names=reader.names)

        def take(chunk, result):
            scored.quiet += result.quiet
            scored.measured.append(result.calibrated)
            scored.lines.extend(chunk.lines)
            scored.times.extend(chunk.times() or [None] * len(chunk.lines))
            if mark is not None:
                scored.marks.extend(row[mark] for row in chunk.cells)
            if keep_values and chunk.values is not None:
                scored.values.append(chunk.values[:, :3])

        stream(scorer, reader, take)
    finally:
        source.close()
    scored.measured = np.concatenate(scored.measured) if scored.measured else np.empty(0)
    return scored


def report(corpus, threshold=None):
    """The measures of every series and of the whole corpus: ranking
    measures over the rows that can be detections, and the window
    score of each profile at `threshold`, or else at the threshold best for
    that profile over the whole corpus."""
    windows = sum(len(s.counted) for s in corpus)
    overall = {"series": len(corpus), "rows": sum(len(s.scores) for s in corpus), "windows": windows}
    per_series = [{"name": s.name, "rows": len(s.scores), "probation": s.probation,
                   "windows": [list(w) for w in s.windows], "profiles": {}} for s in corpus]
    profiles = {}
    for profile in PROFILES:
        cut = best_threshold(corpus, profile)[0] if threshold is None else threshold
        outcomes = [s.outcome(profile, cut) for s in corpus]
        total = sum(o[0] for o in outcomes)
        found = sum(sum(row is not None for row in o[1]) for o in outcomes)
        profiles[profile.name] = {
            # None: no row can reach it, so nothing is detected.
            "threshold": cut if math.isfinite(cut) else None,
            "score": normalised(total, windows, profile), "raw": total, "detected": found,
            "missed": windows - found, "false_positives": sum(o[2] for o in outcomes),
        }
        for entry, s, (raw, earliest, false) in zip(per_series, corpus, outcomes):
            entry["profiles"][profile.name] = {"raw": raw, "detected": sum(r is not None for r in earliest),
                                               "false_positives": false}
            if profile.name == STANDARD:
                entry["delays"] = [None if row is None else row - first for row, (first, _) in zip(earliest, s.counted)]
    for entry, s in zip(per_series, corpus):
        entry.update(_ranking(s.scores[s.eligible], s.inside[s.eligible]))
    overall.update(_ranking(np.concatenate([s.scores[s.eligible] for s in corpus]),
                            np.concatenate([s.inside[s.eligible] for s in corpus])))
    delays = [d for entry in per_series for d in entry["delays"] if d is not None]
    overall["mean_delay"] = statistics.fmean(delays) if delays else None
    overall["median_delay"] = statistics.median(delays) if delays else None
    overall["profiles"] = profiles
    return {"overall": overall, "series": per_series}


def _ranking(scores, inside):
    roc, pr, f1 = ranking(scores, inside)
    return {"roc_auc": roc, "pr_auc": pr, "best_f1": f1}


def _table(result, args):
    overall, series = result["overall"], result["series"]
    settings = ("settings per series in --json" if result["settings"] is None
                else ", ".join(f"{k}={v}" for k, v in result["settings"].items()))
    calibration = result["calibration"]
    print(f"morvik3 evaluate: {result['detector']} ({settings}), seed {result['seed']}, defaults "
          f"{result['defaults']}")
    print(f"measured: the {MEASURED} column (window {calibration['window']:,}, warm-up {calibration['warmup']:,}); "
          f"labels: {result['labels']}")
    total = f"all {overall['series']} series"
    width = max([len(s["name"]) for s in series] + [len(total)])
    print(f"{'series':<{width}}  {'rows':>9}  {'windows':>7}  {'found':>5}  {'false':>6}  {'ROC AUC':>7}  "
          f"{'PR AUC':>7}  {'best F1':>7}  {'raw score':>9}  {'delay':>6}")
    for s in series:
        delays = [d for d in s["delays"] if d is not None]
        print(_row(s["name"], width, s, len(s["delays"]), statistics.fmean(delays) if delays else None))
    print(_row(total, width, overall, overall["windows"], overall["mean_delay"]))
    print()
    how = ("at the given threshold" if args.threshold or args.top_percent
           else "with the one threshold over all series that is best for each profile")
    print(f"window score {how} (0: never fires, 100: perfect):")
    for name, p in overall["profiles"].items():
        print(f"  {name:<20} {_f(p['score'], 6, '.1f')}  threshold {_f(p['threshold'], 0, '.6g')}: {p['detected']} of "
              f"{overall['windows']} windows found, {p['false_positives']:,} false detections")
    if overall["mean_delay"] is not None:
        print(f"detection delay at the {STANDARD} threshold: mean {overall['mean_delay']:.1f} rows, median "
              f"{overall['median_delay']:g} rows from a window's start")
    print("found, false, raw score (the standard profile's total: up to 1 per window found, -1 per window missed,")
    print("-0.11 at most per false detection) and delay are at the standard threshold; ROC AUC, PR AUC (average")
    print("precision) and best F1 rank the rows after each series' probation (its first 15%, at most 750 rows)")
    print("and the calibration warm-up, where no row is flagged.")


def _row(name, width, measures, windows, delay):
    """A line of the table: per series, or over all of them."""
    standard = measures["profiles"][STANDARD]
    raw = standard.get("raw")
    return (f"{name:<{width}}  {measures['rows']:>9,}  {windows:>7}  {standard['detected']:>5}  "
            f"{standard['false_positives']:>6}  {_f(measures['roc_auc'])}  {_f(measures['pr_auc'])}  "
            f"{_f(measures['best_f1'])}  {_f(raw, 9, '.2f')}  {_f(delay, 6, '.0f')}")


def _f(value, width=7, fmt=".3f"):
    return f"{'-':>{width}}" if value is None else f"{value:>{width}{fmt}}"


def _plots(folder, corpus, runs, result):
    cut = result["overall"]["profiles"][STANDARD]["threshold"]
    for s, scored in zip(corpus, runs):
        flagged = np.flatnonzero(s.eligible & (s.scores >= cut)) if cut is not None else []
        values = np.concatenate(scored.values) if scored.values else None
        if values is not None and not values.shape[1]:
            values = None
        times = scored.times if scored.times and scored.times[0] is not None else None
        # The plots of a folder's series keep its layout; a file given by its own path is named by its name.
        name = pathlib.PurePath(s.name)
        if name.is_absolute() or ".." in name.parts:
            name = pathlib.PurePath(name.name)
        path = pathlib.Path(folder, name.parent, pathlib.PurePath(name.name.removesuffix(".gz")).with_suffix(".png"))
        path.parent.mkdir(parents=True, exist_ok=True)
        plot.plot(str(path), f"{s.name}: {result['detector']} {MEASURED} scores", s.scores, values, scored.names,
                  flagged, times, s.windows, flag_label=f"detections at the {STANDARD} threshold")
