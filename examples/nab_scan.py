"""Score every series of the NAB corpus with a Random Cut Forest and a
FeatureSketch, and report how well each detector ranks labelled anomaly
windows above normal data (ROC AUC per series, 0.5 = chance).

Usage: python examples/nab_scan.py NAB_DIR [--limit N]
NAB_DIR is the corpus folder (holding data/ and labels/); $MORVIK3_NAB when omitted.
"""

import argparse
import csv
import json
import math
import os
import pathlib
import sys
import time

import numpy as np

import morvik3


def nab_dir(arg):
    candidate = arg or os.environ.get("MORVIK3_NAB")
    if candidate and (pathlib.Path(candidate) / "labels" / "combined_windows.json").is_file():
        return pathlib.Path(candidate)
    sys.exit("NAB corpus not found: pass its folder (holding data/ and labels/) or set MORVIK3_NAB")


def read_series(path):
    with open(path, newline="") as f:
        rows = list(csv.DictReader(f))
    return [r["timestamp"] for r in rows], [float(r["value"]) for r in rows]


def auc(scores, labels):
    """Probability that a random anomalous point outscores a random normal one (ties count half)."""
    order = sorted(range(len(scores)), key=scores.__getitem__)
    ranks = [0.0] * len(scores)
    i = 0
    while i < len(order):
        j = i
        while j + 1 < len(order) and scores[order[j + 1]] == scores[order[i]]:
            j += 1
        for k in range(i, j + 1):
            ranks[order[k]] = (i + j) / 2 + 1
        i = j + 1
    positives = sum(labels)
    negatives = len(labels) - positives
    if positives == 0 or negatives == 0:
        return math.nan
    rank_sum = sum(r for r, y in zip(ranks, labels) if y)
    return (rank_sum - positives * (positives + 1) / 2) / (positives * negatives)


def scan(timestamps, values, windows):
    labels = [any(start <= t[:19] <= end for start, end in windows) for t in timestamps]
    scale = max(1e-9, max(values) - min(values))
    forest = morvik3.Forest(1, shingle_size=8, num_trees=50, capacity=256, seed=2026)
    sketch = morvik3.FeatureSketch(seed=2026)
    forest_scores = forest.update_and_score_many(np.array(values).reshape(-1, 1)).tolist()
    # FeatureSketch sees named events: the level and its change, scaled.
    events = [{"level": v / scale, "delta": (v - p) / scale} for p, v in zip([values[0]] + values[:-1], values)]
    sketch_scores = sketch.update_and_score_many(events).tolist()
    # The warm-up of both detectors is not scored.
    skip = 128
    return auc(forest_scores[skip:], labels[skip:]), auc(sketch_scores[skip:], labels[skip:]), sum(labels)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("nab", nargs="?", metavar="NAB_DIR", help="the corpus folder (default: $MORVIK3_NAB)")
    parser.add_argument("--limit", type=int, default=0, help="scan only the first N series")
    args = parser.parse_args()
    root = nab_dir(args.nab)
    windows = json.load(open(root / "labels" / "combined_windows.json"))
    names = sorted(n for n, w in windows.items() if w)
    if args.limit:
        names = names[: args.limit]
    print(f"morvik3 {morvik3.__version__}: {len(names)} labelled NAB series from {root}")
    print(f"{'series':<58}{'points':>8}{'Forest AUC':>12}{'Sketch AUC':>12}")
    results, total_points, started = [], 0, time.perf_counter()
    for index, name in enumerate(names, 1):
        timestamps, values = read_series(root / "data" / name)
        spans = [(s[:19], e[:19]) for s, e in windows[name]]
        forest_auc, sketch_auc, _ = scan(timestamps, values, spans)
        results.append((forest_auc, sketch_auc))
        total_points += len(values)
        print(f"{name:<58}{len(values):>8}{forest_auc:>12.3f}{sketch_auc:>12.3f}   [{index}/{len(names)}]", flush=True)
    elapsed = time.perf_counter() - started
    mean = lambda xs: sum(x for x in xs if not math.isnan(x)) / max(1, sum(not math.isnan(x) for x in xs))  # noqa: E731
    print(f"{'mean':<58}{total_points:>8}{mean([r[0] for r in results]):>12.3f}{mean([r[1] for r in results]):>12.3f}")
    print(f"{total_points} points scored by both detectors in {elapsed:.1f} s "
          f"({2 * total_points / elapsed:,.0f} updates per second)")


if __name__ == "__main__":
    main()
