"""The benchmark's window score and the ranking measures written as plain
loops over rows and thresholds, straight from their published definitions:
the oracle that `morvik3 evaluate` is checked against."""

import math
from fractions import Fraction

# (tp, fn, fp) per profile, as the benchmark publishes them.
PROFILES = {
    "standard": (1.0, 1.0, 0.11),
    "reward_low_FP_rate": (1.0, 1.0, 0.22),
    "reward_low_FN_rate": (1.0, 2.0, 0.11),
}


def sigmoid(x):
    return -1.0 if x > 3 else 2.0 / (1.0 + math.exp(5.0 * x)) - 1.0


def probation(n):
    return min(math.floor(Fraction(15, 100) * n), 750)


def first_row(scores, quiet=0):
    """The first row that can be a detection."""
    return max(probation(len(scores)), quiet)


def series_total(scores, windows, threshold, weights, quiet=0):
    """(total, earliest detection per counted window or None, false detections)."""
    tp, fn, fp = weights
    start = first_row(scores, quiet)
    counted = [(a, b) for a, b in windows if b >= probation(len(scores))]
    total, earliest = 0.0, []
    for a, b in counted:
        hit = next((i for i in range(max(a, start), b + 1) if scores[i] >= threshold), None)
        earliest.append(hit)
        total += -fn if hit is None else tp * sigmoid(-(b - hit + 1) / (b - a + 1)) / sigmoid(-1.0)
    false = 0
    for i in range(start, len(scores)):
        if scores[i] < threshold or any(a <= i <= b for a, b in windows):
            continue
        false += 1
        ended = [(a, b) for a, b in windows if b < i]
        if not ended:
            total -= fp
        else:
            a, b = ended[-1]
            total += fp * (sigmoid(abs(i - b) / (b - a)) if b > a else -1.0)
    return total, earliest, false


def best(corpus, weights):
    """(threshold, total) over a corpus of (scores, windows, quiet): every
    distinct detectable score and one above all are tried, highest first,
    and only a strictly higher total replaces the best."""
    candidates = sorted({s[i] for s, _, q in corpus for i in range(first_row(s, q), len(s))}, reverse=True)
    candidates = [math.nextafter(candidates[0], math.inf)] + candidates
    found = None
    for t in candidates:
        total = sum(series_total(s, w, t, weights, q)[0] for s, w, q in corpus)
        if found is None or total > found[1]:
            found = (t, total)
    return found


def normalised(total, windows, weights):
    tp, fn, _ = weights
    return 100.0 * (total + fn * windows) / (tp * windows + fn * windows)


def roc_auc(scores, labels):
    """The chance that a labelled row outscores an unlabelled one, ties half."""
    pos = [s for s, y in zip(scores, labels) if y]
    neg = [s for s, y in zip(scores, labels) if not y]
    wins = sum(1.0 if p > n else 0.5 if p == n else 0.0 for p in pos for n in neg)
    return wins / (len(pos) * len(neg))


def average_precision(scores, labels):
    """The precision at each distinct threshold, weighted by the recall it adds."""
    positives, ap, recall = sum(labels), 0.0, 0.0
    for t in sorted(set(scores), reverse=True):
        flagged = [y for s, y in zip(scores, labels) if s >= t]
        now = sum(flagged) / positives
        ap += (now - recall) * sum(flagged) / len(flagged)
        recall = now
    return ap


def best_f1(scores, labels):
    positives, out = sum(labels), 0.0
    for t in set(scores):
        flagged = [y for s, y in zip(scores, labels) if s >= t]
        hits = sum(flagged)
        out = max(out, 2 * hits / (len(flagged) + positives))
    return out
