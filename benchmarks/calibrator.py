"""Calibrated scores per second of ScoreCalibrator.update_many with the default
window (10,000) on one thread, against a plain-Python sorted list kept with
bisect doing the same work.

Each run starts from a calibrator whose window is already full, so every
score both ranks against 10,000 others and replaces the oldest. Figures are
the best of a few runs, by wall-clock time and by the thread's CPU time (the
steadier one on a shared machine).

    python benchmarks/calibrator.py                # 2,000,000 scores
    python benchmarks/calibrator.py --scores 500000
"""

import argparse
import bisect
import collections
import copy

import numpy as np

import morvik3
from _machine import describe
from batch import REPEATS, best_rate

WINDOW = 10_000


class SortedListCalibrator:
    """The same calibration with a sorted list and bisect: O(window) per score."""

    def __init__(self, window):
        self.window = window
        self.arrivals = collections.deque()
        self.ordered = []

    def update(self, score):
        n = len(self.ordered)
        if n == 0:
            calibrated = 0.5
        else:
            below = bisect.bisect_left(self.ordered, score)
            equal = bisect.bisect_right(self.ordered, score) - below
            calibrated = (2 * below + equal) / (2 * n)
        if n == self.window:
            del self.ordered[bisect.bisect_left(self.ordered, self.arrivals.popleft())]
        bisect.insort(self.ordered, score)
        self.arrivals.append(score)
        return calibrated


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scores", type=int, default=2_000_000)
    parser.add_argument("--baseline-scores", type=int, default=200_000,
                        help="scores for the plain-Python baseline (it is slow)")
    args = parser.parse_args()

    rng = np.random.default_rng(7)
    # Detector-like scores: mostly near 1 with a heavy right tail, rounded so that ties occur.
    warm = np.round(rng.gamma(2.0, 0.5, size=WINDOW), 3)
    scores = np.round(rng.gamma(2.0, 0.5, size=args.scores), 3)

    full = morvik3.ScoreCalibrator()
    full.update_many(warm)
    native = best_rate(lambda: copy.copy(full), lambda c: c.update_many(scores), len(scores))

    baseline_full = SortedListCalibrator(WINDOW)
    for s in warm.tolist():
        baseline_full.update(s)
    few = scores[: args.baseline_scores].tolist()

    def run_baseline(c):
        for s in few:
            c.update(s)

    baseline = best_rate(lambda: copy.deepcopy(baseline_full), run_baseline, len(few))

    print(describe())
    print(f"window {WINDOW:,}, full before timing; best of {REPEATS} runs; one thread")
    print(f"{'':42} {'scores/s (wall)':>16} {'scores/s (CPU)':>16}")
    print(f"{'ScoreCalibrator.update_many':42} {native[0]:>16,.0f} {native[1]:>16,.0f}")
    print(f"{'sorted list + bisect (plain Python)':42} {baseline[0]:>16,.0f} {baseline[1]:>16,.0f}")
    print(f"update_many over {len(scores):,} scores, the baseline over {len(few):,}")


if __name__ == "__main__":
    main()
