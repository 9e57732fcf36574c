"""Forest and FeatureSketch against River's HalfSpaceTrees, the detector a
Python user reaches for first, on one labelled stream.

Every detector sees the same rows in the same order and scores each before
learning it.  River's HalfSpaceTrees runs with its defaults (10 trees, height
8, window 250) and the stream's own limits per feature, as its documentation
asks for data outside [0, 1]; `Forest(4)` and `FeatureSketch()` run with
theirs, FeatureSketch on each row as a name-to-value event.  Each figure is
the best of a few runs on fresh detectors; the table gives rows per second,
the ROC AUC of the scores against the injected anomalies, and the ratio of
the rate to HalfSpaceTrees'.  River is optional (`pip install river`, part of
the `bench` extra): without it the ratios are left out.

    python benchmarks/peers.py               # 30,000 rows
    python benchmarks/peers.py --rows 10000
"""

import argparse
import os
import time

# numpy only generates the stream; idle OpenBLAS threads would take the cores
# the batches run on.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import morvik3  # noqa: E402
from _machine import describe  # noqa: E402
from forest import DIM, synthetic_stream  # noqa: E402

REPEATS = 3
NAMES = [f"x{i}" for i in range(DIM)]


def roc_auc(scores, labels):
    """Probability that an anomaly outscores a normal row, ties counting half
    (the Mann-Whitney statistic over average ranks)."""
    scores = np.asarray(scores, dtype=np.float64)
    order = np.argsort(scores, kind="mergesort")
    ranks = np.empty(len(scores))
    sorted_scores = scores[order]
    starts = np.flatnonzero(np.r_[True, sorted_scores[1:] != sorted_scores[:-1]])
    ends = np.r_[starts[1:], len(scores)]
    for s, e in zip(starts, ends):
        ranks[order[s:e]] = (s + e + 1) / 2.0
    positives = int(labels.sum())
    negatives = len(labels) - positives
    return (ranks[labels].sum() - positives * (positives + 1) / 2.0) / (positives * negatives)


def best(run, rows):
    """Rows per second of the fastest of REPEATS runs, and that run's scores."""
    fastest, scores = float("inf"), None
    for _ in range(REPEATS):
        start = time.perf_counter()
        out = run()
        seconds = time.perf_counter() - start
        if seconds < fastest:
            fastest, scores = seconds, out
    return rows / fastest, scores


def river_run(x):
    try:
        from river import anomaly
    except ImportError as e:
        return None, f"River is not installed ({e.name}); `pip install river` to compare"
    limits = {name: (float(lo), float(hi)) for name, lo, hi in zip(NAMES, x.min(axis=0), x.max(axis=0))}
    dicts = [dict(zip(NAMES, row)) for row in x.tolist()]

    def run():
        model = anomaly.HalfSpaceTrees(n_trees=10, height=8, window_size=250, limits=limits, seed=1)
        scores = []
        for d in dicts:
            scores.append(model.score_one(d))
            model.learn_one(d)
        return scores

    return run, None


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=30_000)
    parser.add_argument("--seed", type=int, default=7)
    args = parser.parse_args()
    rows, anomalous = synthetic_stream(args.rows, args.seed)
    x = np.asarray(rows)
    n = len(x)
    events = [dict(zip(NAMES, row)) for row in rows]

    table = []
    river, note = river_run(x)
    if river is not None:
        table.append(("HalfSpaceTrees (River)", "score_one + learn_one", *best(river, n)))

    def forest():
        return morvik3.Forest(DIM, seed=1)

    def sketch():
        return morvik3.FeatureSketch(seed=1)

    for name, make, data in [(f"Forest({DIM})", forest, rows), ("FeatureSketch()", sketch, events)]:
        table.append((name, "update_and_score per call",
                      *best(lambda: [d.update_and_score(r) for d in [make()] for r in data], n)))
        batch = x if make is forest else events
        for threads in (1, 0):
            table.append((name, f"update_and_score_many, threads={threads}",
                          *best(lambda: make().update_and_score_many(batch, threads=threads), n)))

    load = open("/proc/loadavg").read().split()[:3]
    print(describe())
    print(f"load average as the runs ended: {' '.join(load)}; sched affinity: {len(os.sched_getaffinity(0))} cores")
    print(f"{n:,} rows of {DIM} features (benchmarks/forest.py's stream), {int(anomalous.sum())} injected "
          f"anomalies, seed {args.seed};"
          f" morvik3 {morvik3.__version__}")
    base = table[0][2] if river is not None else None
    print(f"{'detector':<24}{'method':<36}{'rows/s':>12}{'ROC AUC':>10}{'vs HST':>9}")
    for detector, method, rate, scores in table:
        ratio = f"{rate / base:.2f}x" if base else ""
        print(f"{detector:<24}{method:<36}{rate:>12,.0f}{roc_auc(scores, anomalous):>10.3f}{ratio:>9}")
    if note:
        print(note)


if __name__ == "__main__":
    main()
