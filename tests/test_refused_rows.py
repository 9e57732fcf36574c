"""Rows fed so that a row the detector refuses costs that row alone, as the
command line's --skip-bad-rows and Spark's per-row errors feed them: the
scores and the detector equal the per-row loop over the rows it takes."""

from collections.abc import Sequence

import numpy as np

from morvik3 import Forest, MStream
from morvik3._feed import feed


def test_feeding_around_bad_records_equals_the_loop_over_good_ones():
    # An MStream record with a non-finite value moves the clock before it is
    # refused: stepping over it must leave no such mark.
    rng = np.random.default_rng(6)
    numeric = rng.normal(size=(30, 2))
    numeric[[4, 5, 20]] = np.nan
    categorical = rng.integers(0, 3, size=(30, 1))
    ticks = 1 + np.arange(30) * 2
    ticks[12] = -1
    detector, scores, errors = feed(MStream(2, 1, seed=1), (numeric, categorical, ticks), 30)
    good = [i for i in range(30) if i not in (4, 5, 12, 20)]
    single = MStream(2, 1, seed=1)
    assert scores[good].tolist() == [single.update_and_score(numeric[i], categorical[i], ticks[i]) for i in good]
    assert np.isnan(scores[[4, 5, 12, 20]]).all()
    assert errors[[4, 12]].tolist() == ["numeric values must be finite", "can't convert negative int to unsigned"]
    assert detector.to_json() == single.to_json()


class Endless(Sequence):
    """A point that says it holds more numbers than memory could."""

    def __len__(self):
        return 2**60

    def __getitem__(self, i):
        return 0.0


def test_an_error_that_names_no_row_is_traced_to_its_row():
    # MemoryError leaves a batch as it is, without the row it came from.
    rng = np.random.default_rng(7)
    points = rng.normal(size=(12, 2)).tolist()
    bad = (3, 4, 9)
    for i in bad:
        points[i] = Endless()
    detector, scores, errors = feed(Forest(2, num_trees=5, capacity=8, seed=2), (points,), 12)
    single = Forest(2, num_trees=5, capacity=8, seed=2)
    good = [i for i in range(12) if i not in bad]
    assert scores[good].tolist() == [single.update_and_score(points[i]) for i in good]
    assert [i for i, e in enumerate(errors) if e is not None] == list(bad)
    assert all(errors[i].startswith("argument 'point' of 1152921504606846976 items needs ") for i in bad)
    assert detector.to_json() == single.to_json()
