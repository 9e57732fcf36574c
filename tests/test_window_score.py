"""The benchmark's window score against cases worked by hand, for the
package's scoring and the plain-loop oracle alike, and the two against each
other on random corpora; the ranking measures on a textbook case."""

import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import window_oracle as oracle
from morvik3.cli.metrics import PROFILES, Series, best_threshold, normalised, probation, ranking

STANDARD = oracle.PROFILES["standard"]
S1 = math.tanh(2.5)  # s(-1): the scaled sigmoid is s(x) = -tanh(5x / 2)
WINDOW = (40, 49)  # 10 rows of a 100-row series, whose first 15 rows are probationary


def package(scores, windows, threshold, weights, quiet=0):
    profile = next(p for p in PROFILES if (p.tp, p.fn, p.fp) == weights)
    total, earliest, false = Series("s", scores, windows, quiet).outcome(profile, threshold)
    return total, earliest, false


@pytest.mark.parametrize("implementation", [package, oracle.series_total], ids=["package", "oracle"])
@pytest.mark.parametrize(
    ("detections", "windows", "expected", "earliest", "false"),
    [
        ([40], [WINDOW], 1.0, [40], 0),  # at the window's start: the whole reward
        ([49], [WINDOW], math.tanh(0.25) / S1, [49], 0),  # at its end: -(49 - 49 + 1) / 10
        ([45, 47], [WINDOW], math.tanh(1.25) / S1, [45], 0),  # the middle; the later one is free
        ([40, 50], [WINDOW], 1.0 - 0.11 * math.tanh(2.5 / 9), [40], 1),  # just after: |50 - 49| / (10 - 1)
        ([40, 50, 51], [WINDOW], 1.0 - 0.11 * (math.tanh(2.5 / 9) + math.tanh(5 / 9)), [40], 2),
        ([40, 76], [WINDOW], 1.0 - 0.11 * math.tanh(7.5), [40], 1),  # 27 / 9 = 3 widths after: not yet full
        ([40, 77], [WINDOW], 1.0 - 0.11, [40], 1),  # 28 / 9 > 3 widths after: the full charge
        ([20, 40], [WINDOW], 1.0 - 0.11, [40], 1),  # before the first window
        ([], [WINDOW], -1.0, [None], 0),  # a miss
        ([30], [], -0.11, [], 1),  # a series without windows
        ([5, 12], [(2, 10)], 0.0, [], 0),  # inside the probation nothing counts, the window neither
        ([16], [(2, 10)], 0.11 * -math.tanh(2.5 * 6 / 8), [], 1),  # charged from the probationary window
        ([40], [WINDOW, (60, 60)], 1.0 - 1.0, [40, None], 0),  # a window of one row
        ([40, 61], [WINDOW, (60, 60)], -0.11, [40, None], 1),  # after a window of one row: no width to spare
    ],
)
def test_window_score_by_hand(implementation, detections, windows, expected, earliest, false):
    scores = np.zeros(100)
    scores[detections] = 1.0
    total, got_earliest, got_false = implementation(scores.tolist(), windows, 0.5, STANDARD)
    assert total == pytest.approx(expected, abs=1e-12)
    assert (got_earliest, got_false) == (earliest, false)


@pytest.mark.parametrize(("rows", "expected"), [(6, 0), (7, 1), (100, 15), (4999, 749), (5000, 750), (9000, 750)])
def test_probation_is_the_first_15_percent_at_most_750_rows(rows, expected):
    assert probation(rows) == expected


def test_the_published_profiles_and_their_normalisation():
    assert {p.name: (p.tp, p.fn, p.fp) for p in PROFILES} == oracle.PROFILES
    standard, _, low_fn = PROFILES
    assert normalised(-3.0, 3, standard) == 0.0  # never fires: every window missed
    assert normalised(3.0, 3, standard) == 100.0
    assert normalised(0.0, 2, low_fn) == pytest.approx(100 * 4 / 6)
    assert normalised(0.0, 0, standard) is None


def test_the_quiet_rows_of_the_warm_up_never_detect():
    scores = np.zeros(300)
    scores[[60, 100]] = 1.0  # probation ends at row 45; the warm-up hides row 60
    total, earliest, false = package(scores, [(55, 104)], 0.5, STANDARD, quiet=80)
    assert earliest == [100] and false == 0
    assert total == pytest.approx(math.tanh(2.5 * 5 / 50) / S1)


def test_one_threshold_for_the_corpus_prefers_the_higher_of_equal_totals():
    first = np.zeros(100)
    first[20], first[40], first[41] = 0.9, 0.8, 0.75  # a false detection, the window's start, a free one
    first[60:] = 0.7  # a false detection on every row after the window
    second = np.zeros(100)
    second[45] = 0.85  # the middle of its window
    corpus = [Series("a", first, [WINDOW]), Series("b", second, [WINDOW])]
    threshold, total = best_threshold(corpus, PROFILES[0])
    # 0.8 and 0.75 detect the same windows and the same false row: 0.8 wins.
    assert threshold == 0.8
    assert total == pytest.approx(1.0 - 0.11 + math.tanh(1.25) / S1)


def test_a_corpus_without_a_row_to_detect_never_fires():
    corpus = [Series("short", np.ones(50), [(10, 20)], quiet=100)]  # all of it in the flag warm-up
    assert best_threshold(corpus, PROFILES[0]) == (math.inf, -1.0)


corpora = st.lists(
    st.tuples(
        st.lists(st.sampled_from([0.0, 0.2, 0.5, 0.7, 0.9, 1.0]), min_size=20, max_size=60),
        st.lists(st.integers(0, 59), max_size=6),
        st.integers(0, 12),
    ),
    min_size=1, max_size=3,
)


@settings(max_examples=60, deadline=None)
@given(corpora, st.sampled_from(sorted(oracle.PROFILES)))
def test_the_corpus_threshold_equals_trying_every_candidate(corpus, profile):
    cases = []
    for scores, bounds, quiet in corpus:
        # Disjoint windows from sorted distinct bounds, taken in pairs.
        edges = sorted({b for b in bounds if b < len(scores)})
        windows = [(edges[k], edges[k + 1]) for k in range(0, len(edges) - 1, 2)]
        cases.append((scores, windows, quiet))
    weights = oracle.PROFILES[profile]
    expected = oracle.best(cases, weights)
    got = best_threshold([Series("s", s, w, q) for s, w, q in cases], next(p for p in PROFILES if p.name == profile))
    assert got[0] == expected[0]
    assert got[1] == pytest.approx(expected[1], abs=1e-9)


@pytest.mark.parametrize(
    ("scores", "labels", "expected"),
    [
        ([0.1, 0.4, 0.35, 0.8], [0, 0, 1, 1], (0.75, 5 / 6, 0.8)),
        ([0.5, 0.5, 0.5, 0.5], [0, 1, 0, 1], (0.5, 0.5, 2 / 3)),  # ties rank together
        ([0.3, 0.2], [0, 0], (None, None, None)),  # nothing labelled
        ([0.3, 0.2], [1, 1], (None, 1.0, 1.0)),  # nothing unlabelled: no ROC curve
    ],
)
def test_ranking_measures(scores, labels, expected):
    assert ranking(scores, labels) == pytest.approx(expected)
