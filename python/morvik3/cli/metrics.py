"""How well a column of scores finds labelled anomalies: ROC and
precision-recall AUC, the best F1, and the window score of the Numenta
Anomaly Benchmark, whose one threshold serves a whole corpus of series."""

from dataclasses import dataclass

import numpy as np


@dataclass(frozen=True)
class Profile:
    """The weights of a detected window, a missed window and a false detection."""

    name: str
    tp: float
    fn: float
    fp: float


# The benchmark's published profiles, under its own names.
PROFILES = (
    Profile("standard", 1.0, 1.0, 0.11),
    Profile("reward_low_FP_rate", 1.0, 1.0, 0.22),
    Profile("reward_low_FN_rate", 1.0, 2.0, 0.11),
)


def probation(rows):
    """The leading rows where a detector is still learning: no reward or charge there."""
    return min(rows * 15 // 100, 750)  # floor(0.15 x rows) in integers, exact for any length


def scaled_sigmoid(x):
    """2 / (1 + e^(5x)) - 1, and -1 beyond x = 3: from 1 far before a window's
    end through 0 at it to -1 three widths after it."""
    x = np.asarray(x, dtype=np.float64)
    with np.errstate(over="ignore"):
        return np.where(x > 3, -1.0, 2.0 / (1.0 + np.exp(5.0 * np.minimum(x, 3.0))) - 1.0)


@dataclass
class Series:
    """One labelled series: a score per row and the anomaly windows as
    (first, last) rows, in order and apart.  The first `quiet` rows can
    never be a detection (the command line flags nothing there)."""

    name: str
    scores: np.ndarray
    windows: list
    quiet: int = 0

    def __post_init__(self):
        self.scores = np.asarray(self.scores, dtype=np.float64)
        self.probation = probation(len(self.scores))
        # A window lying wholly inside the probation neither rewards nor costs.
        self.counted = [w for w in self.windows if w[1] >= self.probation]
        n = len(self.scores)
        self.eligible = np.zeros(n, dtype=bool)
        self.eligible[max(self.probation, self.quiet) :] = True
        self.eligible &= ~np.isnan(self.scores)
        self.inside = np.zeros(n, dtype=bool)
        for first, last in self.windows:
            self.inside[first : last + 1] = True
        self._after = self._last_window_before()

    def _last_window_before(self):
        """Per row, the index of the last window that ended before it (-1 for none)."""
        ends = np.array([last for _, last in self.windows], dtype=np.int64)
        return np.searchsorted(ends, np.arange(len(self.scores)), side="left") - 1

    def rewards(self, profile, rows):
        """What the earliest detection of a window at each of `rows` earns."""
        out = np.empty(len(rows))
        for k, (first, last) in enumerate(self.windows):
            here = (rows >= first) & (rows <= last)
            width = last - first + 1
            out[here] = profile.tp * scaled_sigmoid(-(last - rows[here] + 1) / width) / scaled_sigmoid(-1.0)
        return out

    def charges(self, profile, rows):
        """What a false detection at each of `rows` (outside every window) costs, as a negative number."""
        before = self._after[rows]
        out = np.full(len(rows), -profile.fp)
        seen = before >= 0
        if seen.any():
            firsts, lasts = np.array(self.windows, dtype=np.int64).T
            last, width = lasts[before[seen]], (lasts - firsts + 1)[before[seen]]
            # A window of one row has no width to measure by: any detection after it is fully false.
            with np.errstate(divide="ignore"):
                distance = np.where(width > 1, np.abs(rows[seen] - last) / np.maximum(width - 1, 1), np.inf)
            out[seen] = profile.fp * scaled_sigmoid(distance)
        return out

    def events(self, profile):
        """(threshold, change) pairs: the corpus total at threshold t is the
        null total plus the changes of every pair whose threshold is >= t."""
        thresholds, changes = [], []
        false = np.flatnonzero(self.eligible & ~self.inside)
        thresholds.append(self.scores[false])
        changes.append(self.charges(profile, false))
        for first, last in self.counted:
            rows = np.arange(first, last + 1)
            rows = rows[self.eligible[rows]]
            if not len(rows):
                continue
            values = self.scores[rows]
            # The earliest detection moves to an earlier row only where the
            # running maximum rises: those rows are the steps of the window's value.
            highest = np.maximum.accumulate(values)
            steps = np.flatnonzero(np.r_[True, values[1:] > highest[:-1]])
            worth = self.rewards(profile, rows[steps])
            thresholds.append(values[steps])
            changes.append(worth - np.r_[worth[1:], -profile.fn])
        return np.concatenate(thresholds), np.concatenate(changes)

    def outcome(self, profile, threshold):
        """The series' window score at `threshold`, the row of each counted
        window's earliest detection (None when missed) and the number of
        false detections."""
        detected = self.eligible & (self.scores >= threshold)
        total, earliest = 0.0, []
        for first, last in self.counted:
            hits = np.flatnonzero(detected[first : last + 1])
            if len(hits):
                row = first + int(hits[0])
                total += float(self.rewards(profile, np.array([row]))[0])
                earliest.append(row)
            else:
                total -= profile.fn
                earliest.append(None)
        false = np.flatnonzero(detected & ~self.inside)
        total += float(self.charges(profile, false).sum())
        return total, earliest, len(false)


def best_threshold(corpus, profile):
    """The threshold with the highest corpus total, and that total: the
    candidates are every distinct detectable score and one above all of them,
    ties going to the higher threshold."""
    null = -profile.fn * sum(len(s.counted) for s in corpus)
    pairs = [s.events(profile) for s in corpus]
    thresholds = np.concatenate([t for t, _ in pairs] + [np.empty(0)])
    changes = np.concatenate([c for _, c in pairs] + [np.empty(0)])
    scores = np.concatenate([s.scores[s.eligible] for s in corpus] + [np.empty(0)])
    candidates = np.unique(scores)[::-1]
    # Above all of them; with no row to detect, infinity.
    candidates = np.r_[np.nextafter(candidates[0], np.inf) if len(candidates) else np.inf, candidates]
    order = np.argsort(-thresholds, kind="stable")
    running = np.r_[0.0, np.cumsum(changes[order])]
    reached = np.searchsorted(-thresholds[order], -candidates, side="right")
    totals = null + running[reached]
    best = int(np.argmax(totals))  # the first of equal totals: the highest threshold
    return float(candidates[best]), float(totals[best])


def normalised(total, windows, profile):
    """100 for a detector that finds every window at its start and fires
    nowhere else, 0 for one that never fires; None without windows."""
    if not windows:
        return None
    null, perfect = -profile.fn * windows, profile.tp * windows
    return 100.0 * (total - null) / (perfect - null)


def ranking(scores, labels):
    """ROC AUC, precision-recall AUC (average precision) and the best F1 over
    thresholds of `scores` against 0/1 `labels`; None where undefined."""
    scores, labels = np.asarray(scores, dtype=np.float64), np.asarray(labels, dtype=bool)
    positives = int(labels.sum())
    negatives = len(labels) - positives
    if not positives:
        return None, None, None
    order = np.argsort(-scores, kind="stable")
    ordered = scores[order]
    # One point of the curves per distinct score: tied rows are flagged together.
    ends = np.r_[np.flatnonzero(ordered[1:] != ordered[:-1]), len(ordered) - 1]
    tp = np.cumsum(labels[order])[ends].astype(np.float64)
    fp = ends + 1 - tp
    roc = None
    if negatives:
        roc = float(np.trapezoid(np.r_[0.0, tp / positives], np.r_[0.0, fp / negatives]))
    recall = tp / positives
    precision = tp / (tp + fp)
    pr = float(np.sum(np.diff(np.r_[0.0, recall]) * precision))
    f1 = float(np.max(2 * tp / (tp + fp + positives)))
    return roc, pr, f1
