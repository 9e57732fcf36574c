"""The MStream class: construction, the stream clock, scoring and ingesting
semantics, record errors and concurrent calls."""

import inspect
import json
import math
import random
import threading

import numpy as np
import pytest

from morvik3 import MStream

MAX64 = 2**64 - 1


def stream(seed, count, nd=3, cd=2, start=1):
    rng = random.Random(seed)
    timestamp = start
    records = []
    for _ in range(count):
        numeric = [rng.gauss(0.0, 2.0) for _ in range(nd)]
        categorical = [rng.randrange(-3, 4) for _ in range(cd)]
        records.append((numeric, categorical, timestamp))
        timestamp += rng.choice([0, 0, 1, 3])
    return records


def counts(m, member="current"):
    """Every count of one member of the pairs, in document order."""
    doc = json.loads(m.to_json())
    cells = list(doc["record_counts"][member]["count"]["data"])
    for pair in doc["numeric_counts"] + doc["categorical_counts"]:
        cells += pair[member]["count"]["data"]
    return cells


# ---------------------------------------------------------------------------
# Construction


def test_defaults_and_repr():
    m = MStream(2, 1, seed=1)
    assert repr(m) == str(m) == (
        "MStream(numeric_dim=2, categorical_dim=1, num_rows=2, num_buckets=1024, alpha=0.8, entries_seen=0)")
    assert json.loads(m.to_json())["config"] == {
        "numeric_dim": 2, "categorical_dim": 1, "num_rows": 2, "num_buckets": 1024, "alpha": 0.8}
    assert m.__getnewargs__() == (2, 1)
    assert MStream(2, 1, 2, 1024, 0.8, 1).to_json() == m.to_json()


@pytest.mark.parametrize("alpha,text", [(1e-7, "0.0000001"), (0.1 + 0.2, "0.30000000000000004"), (0.5, "0.5"),
                                        (5e-324, "0." + "0" * 323 + "5"), (1 - 2**-53, "0.9999999999999999")])
def test_repr_writes_alpha_in_full(alpha, text):
    assert f"alpha={text}, entries_seen=0)" in repr(MStream(1, 0, alpha=alpha, seed=0))
    assert float(text) == alpha


CONFIG_ERRORS = [
    # Each case also breaks later rules: the first rule in the fixed order wins.
    (dict(numeric_dim=0, categorical_dim=0, num_rows=0), "at least one of numeric_dim or categorical_dim must be > 0"),
    (dict(num_rows=0, num_buckets=1), "num_rows must be > 0"),
    (dict(num_buckets=1, alpha=2.0), "num_buckets must be >= 2"),
    (dict(num_buckets=0), "num_buckets must be >= 2"),
    (dict(alpha=1.0, num_rows=2**32, num_buckets=2**32), "alpha must be in range (0, 1)"),
    (dict(alpha=0.0), "alpha must be in range (0, 1)"),
    (dict(alpha=float("nan")), "alpha must be in range (0, 1)"),
    (dict(num_rows=2**32, num_buckets=2**32), "num_rows * num_buckets must fit in usize"),
    (dict(numeric_dim=2**40, num_rows=2**20, num_buckets=2**16), "num_rows * num_buckets must fit in usize"),
    (dict(categorical_dim=2**40, num_rows=2**30, num_buckets=2), "num_rows * num_buckets must fit in usize"),
]


@pytest.mark.parametrize("kwargs,message", CONFIG_ERRORS, ids=[f"{i}: {m}" for i, (_, m) in enumerate(CONFIG_ERRORS)])
def test_configuration_errors(kwargs, message):
    with pytest.raises(ValueError) as error:
        MStream(**{"numeric_dim": 1, "categorical_dim": 1, **kwargs}, seed=1)
    assert str(error.value) == message


@pytest.mark.parametrize("kwargs", [dict(numeric_dim=1, num_rows=1, num_buckets=2**61),
                                   dict(numeric_dim=2**61, num_rows=1, num_buckets=2),
                                   dict(categorical_dim=2**61, num_rows=1, num_buckets=2)])
def test_tables_beyond_memory_raise_memory_error(kwargs):
    with pytest.raises(MemoryError):
        MStream(**{"numeric_dim": 0, "categorical_dim": 0, **kwargs}, seed=1)


def test_seeds_pick_the_parameters():
    assert MStream(2, 2, seed=MAX64).to_json() == MStream(2, 2, seed=MAX64).to_json()
    assert MStream(2, 2, seed=1).to_json() != MStream(2, 2, seed=2).to_json()
    assert MStream(2, 2).to_json() != MStream(2, 2).to_json()


def test_signatures_and_docstrings():
    assert MStream.__doc__.startswith("mStream detector for mixed numerical/categorical records.\n\n`timestamp`")
    assert "seed : int, optional\n    Random seed for deterministic hashing." in MStream.__doc__
    assert list(inspect.signature(MStream).parameters) == [
        "numeric_dim", "categorical_dim", "num_rows", "num_buckets", "alpha", "seed"]
    for name in ("update", "score", "update_and_score", "score_detailed", "update_and_score_detailed"):
        assert list(inspect.signature(getattr(MStream, name)).parameters) == [
            "self", "numeric", "categorical", "timestamp"]
    assert MStream.update.__doc__ == "Ingest a record without returning its score."
    assert MStream.score.__doc__.endswith("using the same timestamp semantics as `update_and_score()`.")
    assert "does not\nchange the scores." in MStream.update_and_score.__doc__
    assert MStream.update_and_score_detailed.__doc__.endswith("returns the decomposed score instead of only the total.")
    assert MStream.current_time.__doc__ == "Return the last timestamp observed by the detector."
    assert MStream.is_ready.__doc__ == "Return True once the detector has processed at least one record."
    assert MStream.entries_seen.__doc__ == "Return the number of processed records."


# ---------------------------------------------------------------------------
# Scoring and ingesting


@pytest.mark.parametrize("nd,cd,record", [(2, 1, ([1e9, -3.0], [5], 7)), (0, 2, ([], [1, -(2**63)], 1)),
                                          (3, 0, ([0.0, 1.0, 2.0], [], MAX64))])
def test_a_new_detector_scores_zero(nd, cd, record):
    m = MStream(nd, cd, seed=3)
    assert not m.is_ready() and m.entries_seen() == 0 and m.current_time() is None
    zero = {"total": 0.0, "record": 0.0, "numeric_features": [0.0] * nd, "categorical_features": [0.0] * cd}
    assert m.score(*record) == 0.0
    assert m.score_detailed(*record) == zero
    assert list(m.update_and_score_detailed(*record)) == ["total", "record", "numeric_features", "categorical_features"]
    fresh = MStream(nd, cd, seed=3)
    assert fresh.update_and_score(*record) == 0.0
    assert m.is_ready() and m.entries_seen() == 1 and m.current_time() == record[2]


def test_preview_equals_ingest_and_changes_nothing():
    a, b = MStream(3, 2, num_buckets=64, seed=5), MStream(3, 2, num_buckets=64, seed=5)
    for numeric, categorical, timestamp in stream(1, 300):
        before = a.to_json()
        previewed = a.score_detailed(numeric, categorical, timestamp)
        assert a.score(numeric, categorical, timestamp) == previewed["total"]
        assert a.to_json() == before
        assert a.update_and_score_detailed(numeric, categorical, timestamp) == previewed
        assert b.update(numeric, categorical, timestamp) is None
    assert a.to_json() == b.to_json()
    assert a.entries_seen() == 300


def test_shifted_timestamps_give_identical_scores():
    records = stream(2, 200)
    a, b = MStream(3, 2, seed=6), MStream(3, 2, seed=6)
    shift = 10**12
    assert [a.update_and_score(*r) for r in records] == [b.update_and_score(n, c, t + shift) for n, c, t in records]
    doc_a, doc_b = json.loads(a.to_json()), json.loads(b.to_json())
    assert doc_b["clock"]["current_time"] == doc_a["clock"]["current_time"] + shift
    doc_a["clock"]["current_time"] = doc_b["clock"]["current_time"]
    assert doc_a == doc_b


def test_ticks_follow_timestamp_differences():
    m = MStream(1, 0, seed=0)
    ticks = []
    for t in (1000, 1000, 1003, 1003, 2000):
        m.update([1.0], [], t)
        ticks.append(json.loads(m.to_json())["clock"]["current_tick"])
    assert ticks == [1, 1, 4, 4, 1001]
    assert m.current_time() == 2000


@pytest.mark.parametrize("gap", [0, 1, 2, 5, 40])
def test_a_gap_of_k_ticks_decays_the_current_counts_by_alpha_to_the_k(gap):
    m = MStream(2, 2, num_buckets=16, alpha=0.7, seed=2)
    for numeric, categorical, timestamp in stream(3, 30, nd=2, cd=2, start=50):
        m.update(numeric, categorical, timestamp)
    current, total = counts(m), counts(m, "total")
    # A NaN record carries the clock without counting anything.
    with pytest.raises(ValueError, match="numeric values must be finite"):
        m.update([float("nan"), 0.0], [0, 0], m.current_time() + gap)
    factor = 0.7**gap
    assert counts(m) == [c * factor for c in current]
    assert counts(m, "total") == total


def test_familiar_records_score_low_and_a_burst_scores_high():
    m = MStream(2, 1, seed=8)
    rng = random.Random(4)
    for t in range(1, 400):
        m.update([rng.gauss(10.0, 1.0), rng.gauss(-5.0, 1.0)], [rng.randrange(20)], t)
    ordinary = m.score([10.0, -5.0], [3], 400)
    for _ in range(50):  # the same odd record fifty times within one tick
        burst = m.update_and_score([90.0, 40.0], [999], 400)
    assert burst > 100 * max(ordinary, 1.0)


RECORD_ERRORS = {
    "numeric length": (([1.0], [1], 5), "dimension mismatch: expected 2, got 1"),
    "numeric before categorical": (([1.0, 2.0, 3.0], [], 0), "dimension mismatch: expected 2, got 3"),
    "categorical length": (([1.0, 2.0], [1, 2], 0), "dimension mismatch: expected 1, got 2"),
    "timestamp zero": (([1.0, 2.0], [1], 0), "timestamp must be > 0"),
    "timestamp before nan": (([float("nan"), 2.0], [1], 9), "timestamps must be non-decreasing: previous=10, got=9"),
    "decreasing": (([1.0, 2.0], [1], 7), "timestamps must be non-decreasing: previous=10, got=7"),
}


@pytest.mark.parametrize("method", ["update", "score", "update_and_score", "score_detailed",
                                    "update_and_score_detailed"])
@pytest.mark.parametrize("record,message", RECORD_ERRORS.values(), ids=RECORD_ERRORS.keys())
def test_record_errors_leave_the_detector_unchanged(method, record, message):
    m = MStream(2, 1, seed=1)
    m.update([0.5, 1.5], [1], 10)
    before = m.to_json()
    with pytest.raises(ValueError) as error:
        getattr(m, method)(*record)
    assert str(error.value) == message
    assert m.to_json() == before


@pytest.mark.parametrize("value", [float("nan"), float("inf"), float("-inf")])
def test_non_finite_values(value):
    m = MStream(2, 1, seed=1)
    m.update([0.5, 1.5], [1], 10)
    before = m.to_json()
    for method in ("score", "score_detailed"):
        with pytest.raises(ValueError, match="^numeric values must be finite$"):
            getattr(m, method)([1.0, value], [1], 12)
        assert m.to_json() == before
    for method in ("update", "update_and_score", "update_and_score_detailed"):
        with pytest.raises(ValueError, match="^numeric values must be finite$"):
            getattr(m, method)([value, 1.0], [1], 12)
    assert m.entries_seen() == 1 and m.current_time() == 12
    # The clock moved: an earlier timestamp is now refused, a later one scores as usual.
    with pytest.raises(ValueError, match="previous=12, got=11"):
        m.score([1.0, 1.0], [1], 11)
    assert m.update_and_score([0.5, 1.5], [1], 12) > 0.0


def test_a_nan_first_record_leaves_the_detector_unready():
    m = MStream(1, 1, seed=2)
    with pytest.raises(ValueError):
        m.update([float("nan")], [0], 5)
    assert not m.is_ready() and m.current_time() == 5
    assert m.update_and_score([3.0], [0], 5) == 0.0  # still the first record: every z is 0
    assert json.loads(m.to_json())["numeric_normalizer"]["min_numeric"] == [math.asinh(3.0)]


def test_empty_feature_lists():
    categorical_only, numeric_only = MStream(0, 2, seed=1), MStream(3, 0, seed=1)
    for t in range(1, 20):
        detail = categorical_only.update_and_score_detailed([], [t % 3, 7], t)
        assert detail["numeric_features"] == [] and len(detail["categorical_features"]) == 2
        detail = numeric_only.update_and_score_detailed((t, -t, 0.5), (), t)
        assert detail["categorical_features"] == [] and len(detail["numeric_features"]) == 3
    assert categorical_only.score([], [1, 7], 20) > 0.0


def test_argument_kinds():
    a, b = MStream(3, 2, seed=9), MStream(3, 2, seed=9)
    a.update([1.0, 2.0, 3.0], [4, -5], 6)
    b.update(numeric=np.array([1, 2, 3], dtype=np.int32), categorical=np.array([4, -5]), timestamp=np.uint64(6))
    assert a.to_json() == b.to_json()
    with pytest.raises(TypeError, match="^argument 'categorical': "):
        a.score([1.0, 2.0, 3.0], [1.5, 2], 7)
    with pytest.raises(TypeError, match="^argument 'numeric': Can't extract `str` to `Vec`"):
        a.score("abc", [1, 2], 7)
    with pytest.raises(OverflowError):
        a.score([1.0, 2.0, 3.0], [2**63, 0], 7)
    with pytest.raises(OverflowError):
        a.update([1.0, 2.0, 3.0], [1, 2], -1)
    with pytest.raises(TypeError):
        a.update([1.0, 2.0, 3.0], [1, 2])
    assert a.entries_seen() == 1


# ---------------------------------------------------------------------------
# Concurrent calls


def test_a_conflicting_call_fails_at_once_and_readers_share():
    # Large tables make every tick's decay long enough to be caught mid-call.
    m = MStream(1, 1, num_rows=4, num_buckets=2**18, seed=1)
    done, errors = threading.Event(), []

    def ingest():
        for t in range(1, 10_000):
            if done.is_set():
                return
            try:
                m.update([float(t)], [t], t)
            except Exception as e:  # noqa: BLE001 - reported by the test
                errors.append(e)

    worker = threading.Thread(target=ingest)
    worker.start()
    seen = set()
    try:
        for _ in range(200_000):
            # The borrow comes before the record checks: a free detector refuses timestamp 0.
            for call in (lambda: m.score([1.0], [1], 0), lambda: m.update([1.0], [1], 0)):
                try:
                    call()
                except RuntimeError as e:
                    seen.add(str(e))
                except ValueError as e:
                    assert str(e) == "timestamp must be > 0"
            if len(seen) == 2:
                break
    finally:
        done.set()
        worker.join()
    assert seen == {"Already mutably borrowed", "Already borrowed"}
    assert all(isinstance(e, RuntimeError) and str(e) == "Already borrowed" for e in errors)

    records = stream(5, 20, nd=1, cd=1, start=10**6)
    expected = [m.score(*r) for r in records]
    results = []
    readers = [threading.Thread(target=lambda: results.append([m.score(*r) for r in records])) for _ in range(4)]
    for r in readers:
        r.start()
    for r in readers:
        r.join()
    assert results == [expected] * 4
