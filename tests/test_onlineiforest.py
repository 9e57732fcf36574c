"""OnlineIForest as a class: construction and its checks, the point methods,
the sliding window, and failures that change nothing."""

import inspect
import json
import math
import random

import numpy as np
import pytest

from morvik3 import OnlineIForest
from onlineiforest_oracle import narrowed
from rng_oracle import Xoshiro, f32


def stream(n, dim=2, seed=0):
    r = random.Random(seed)
    return [[r.gauss(0.0, 1.0) for _ in range(dim)] for _ in range(n)]


# ---------------------------------------------------------------------------
# Construction


def test_defaults_and_repr():
    f = OnlineIForest(3)
    assert repr(f) == "OnlineIForest(input_dim=3, num_trees=32, window_size=2048, max_leaf_samples=32, entries_seen=0)"
    assert str(f) == repr(f)
    assert f.num_trees() == 32 and f.entries_seen() == 0 and not f.is_ready()
    assert json.loads(f.to_json())["config"] == {
        "input_dim": 3, "num_trees": 32, "window_size": 2048, "max_leaf_samples": 32}


@pytest.mark.parametrize(
    ("args", "message"),
    [
        ((0,), "input_dim must be > 0"),
        ((0, 0, 0, 0), "input_dim must be > 0"),  # the first failing check wins
        ((2, 0), "num_trees must be > 0"),
        ((2, 0, 0, 0), "num_trees must be > 0"),
        ((2, 4, 0, 0), "window_size must be > 0"),
        ((2, 4, 2**64 - 1, 0), "window_size is too large"),
        ((2, 4, 16, 0), "max_leaf_samples must be > 0"),
        ((2, 4, 32, 32), "window_size must be greater than max_leaf_samples"),
        ((2, 4, 32, 33), "window_size must be greater than max_leaf_samples"),
        # Both sizes round to 2^64 as doubles: log2(W / M) would be 0.
        ((2, 4, 2**64 - 2, 2**64 - 3), "window_size must be greater than max_leaf_samples"),
    ],
)
def test_constructor_checks_in_order(args, message):
    with pytest.raises(ValueError) as e:
        OnlineIForest(*args, seed=1)
    assert str(e.value) == message


def test_largest_distinct_sizes_score_finite():
    f = OnlineIForest(1, window_size=2**64 - 2, max_leaf_samples=2**63, seed=1)
    assert f.score([0.0]) == 1.0
    f.update([1.0])
    assert 0.0 < f.update_and_score([2.0]) <= 1.0


@pytest.mark.parametrize(
    ("kwargs", "error"),
    [
        ({"input_dim": -1}, OverflowError),
        ({"input_dim": 2, "num_trees": 2**64}, OverflowError),
        ({"input_dim": 2, "window_size": 8.5}, TypeError),
        ({"input_dim": 2, "depth": 3}, TypeError),
        ({}, TypeError),
    ],
)
def test_argument_conversion(kwargs, error):
    with pytest.raises(error):
        OnlineIForest(**kwargs)


def test_numpy_integers_and_keywords_are_accepted():
    f = OnlineIForest(input_dim=np.int64(2), num_trees=np.uint8(3), window_size=8, max_leaf_samples=2, seed=2**64 - 1)
    assert f.num_trees() == 3


def test_trees_are_seeded_in_order_from_the_master():
    master = Xoshiro.seed_from_u64(12345)
    expected = [Xoshiro.seed_from_u64(master.next_u64()).s for _ in range(4)]
    d = json.loads(OnlineIForest(2, num_trees=4, seed=12345).to_json())
    assert [t["rng"]["s"] for t in d["trees"]] == expected
    assert all(t["root"] is None for t in d["trees"]) and d["window"] == [] and d["entries_seen"] == 0


def test_unseeded_detectors_differ():
    a, b = OnlineIForest(2), OnlineIForest(2)
    assert json.loads(a.to_json())["trees"] != json.loads(b.to_json())["trees"]


def test_signatures_and_docstrings():
    assert str(inspect.signature(OnlineIForest)) == (
        "(input_dim, num_trees=32, window_size=2048, max_leaf_samples=32, seed=None)")
    doc = OnlineIForest.__doc__
    assert doc.startswith("Online Isolation Forest detector for numerical streams.\n\nUse `update()` or ")
    assert "seed : int, optional\n    Random seed for deterministic trees." in doc
    firsts = {
        "update": "Ingest a point without returning its score.",
        "score": "Preview the current anomaly score for `point` without mutating state.",
        "update_and_score": "Ingest a point and return its anomaly score under the updated forest.",
        "is_ready": "Return True once at least one point has been processed.",
        "entries_seen": "Number of points processed so far.",
        "num_trees": "Number of trees in the ensemble.",
        "to_json": "Serialize detector state to JSON.",
        "from_json": "Deserialize detector state from JSON previously written by `to_json()`.",
        "save_json": "Serialize detector state to a JSON file.",
        "load_json": "Deserialize detector state from a JSON file previously written by `save_json()`.",
    }
    for name, first in firsts.items():
        assert getattr(OnlineIForest, name).__doc__.split("\n")[0] == first, name
    assert list(inspect.signature(OnlineIForest.update_and_score).parameters) == ["self", "point"]
    assert OnlineIForest(2).__getnewargs__() == (2,)


# ---------------------------------------------------------------------------
# Points


def test_fresh_detector_scores_one():
    f = OnlineIForest(3, seed=1)
    for p in ([0.0, 0.0, 0.0], [1e30, -1e30, 5.0]):
        assert f.score(p) == 1.0
    assert f.entries_seen() == 0 and not f.is_ready()
    f.update([1.0, 2.0, 3.0])
    assert f.is_ready() and f.entries_seen() == 1


def test_update_and_score_is_update_then_score():
    points = stream(400, seed=3)
    a, b, c = (OnlineIForest(2, num_trees=8, window_size=64, max_leaf_samples=4, seed=9) for _ in range(3))
    differ = 0
    for p in points:
        combined = a.update_and_score(p)
        b.update(p)
        assert combined == b.score(p)
        before = c.score(p)
        c.update(p)
        differ += before != combined
    assert a.to_json() == b.to_json() == c.to_json()
    assert differ > len(points) // 2


def test_same_seed_same_stream_same_everything():
    points = stream(300, seed=4)
    a, b = (OnlineIForest(2, num_trees=4, window_size=50, max_leaf_samples=5, seed=77) for _ in range(2))
    assert [a.update_and_score(p) for p in points] == [b.update_and_score(p) for p in points]
    assert a.to_json() == b.to_json()
    c = OnlineIForest(2, num_trees=4, window_size=50, max_leaf_samples=5, seed=78)
    for p in points:
        c.update(p)
    assert c.to_json() != a.to_json()


@pytest.mark.parametrize("extra", [1, 2, 37])
def test_window_holds_the_last_points_oldest_first(extra):
    w = 20
    points = stream(w + extra, dim=3, seed=extra)
    f = OnlineIForest(3, num_trees=2, window_size=w, max_leaf_samples=3, seed=1)
    for p in points:
        f.update(p)
    d = json.loads(f.to_json())
    assert narrowed(d["window"]) == [[f32(x) for x in p] for p in points[-w:]]
    assert d["entries_seen"] == f.entries_seen() == w + extra
    # Every tree describes exactly the window: its root counts each point.
    assert all(t["root"]["height"] == w for t in d["trees"])


def test_points_are_stored_as_32_bit_floats():
    f = OnlineIForest(2, num_trees=1, seed=1)
    f.update(np.array([0.1, 1 / 3], dtype=np.float64))
    assert f.to_json().count("[0.1,0.33333334]") == 3  # window, support min and max


@pytest.mark.parametrize(
    ("call", "point", "error", "message"),
    [
        ("update", [1.0], ValueError, "dimension mismatch: expected 2, got 1"),
        ("update", [1.0, 2.0, 3.0], ValueError, "dimension mismatch: expected 2, got 3"),
        ("update", [], ValueError, "dimension mismatch: expected 2, got 0"),
        ("update", [1.0, math.nan], ValueError, "point values must be finite"),
        ("update", [math.inf, 1.0], ValueError, "point values must be finite"),
        ("update", [1e39, 1.0], ValueError, "point values must be finite"),  # finite, but not as a float
        ("update_and_score", [1.0, -math.inf], ValueError, "point values must be finite"),
        ("update_and_score", [1.0], ValueError, "dimension mismatch: expected 2, got 1"),
        ("score", [math.nan, 1.0], ValueError, "point values must be finite"),
        ("score", [1.0], ValueError, "dimension mismatch: expected 2, got 1"),
        ("update", "ab", TypeError, "argument 'point': Can't extract `str` to `Vec`"),
        ("update", [1.0, "x"], TypeError, None),
        ("update", 5, TypeError, "argument 'point': 'int' object is not an instance of 'Sequence'"),
    ],
)
def test_bad_points_change_nothing(call, point, error, message):
    f = OnlineIForest(2, num_trees=3, window_size=8, max_leaf_samples=2, seed=5)
    for p in stream(20, seed=5):
        f.update(p)
    before = f.to_json()
    with pytest.raises(error) as e:
        getattr(f, call)(point)
    if message is not None:
        assert str(e.value) == message
    assert f.to_json() == before and f.entries_seen() == 20


def test_num_trees_reports_the_trees_held():
    f = OnlineIForest(2, num_trees=5, seed=1)
    d = json.loads(f.to_json())
    d["trees"] = d["trees"][:2]
    g = OnlineIForest.from_json(json.dumps(d))
    assert g.num_trees() == 2 and "num_trees=5" in repr(g)
    g.update([1.0, 2.0])
    d["trees"] = []
    empty = OnlineIForest.from_json(json.dumps(d))
    assert empty.num_trees() == 0 and empty.score([0.0, 0.0]) == 0.0


# ---------------------------------------------------------------------------
# Sizes and bounds at the edges


def test_a_huge_window_costs_only_what_it_holds():
    f = OnlineIForest(2, num_trees=2, window_size=2**62, max_leaf_samples=1, seed=3)
    for p in stream(50, seed=6):
        f.update(p)
    assert len(json.loads(f.to_json())["window"]) == 50


def test_too_many_trees_is_a_memory_error():
    with pytest.raises(MemoryError):
        OnlineIForest(2, num_trees=2**40, seed=1)
    with pytest.raises(MemoryError):
        OnlineIForest(2, num_trees=2**63, seed=1)


def test_supports_wider_than_the_float_range_keep_working():
    f = OnlineIForest(1, num_trees=4, window_size=8, max_leaf_samples=1, seed=2)
    f.update([-3e38])
    f.update([3e38])  # splits a root whose single-precision width overflows
    r = random.Random(1)
    for _ in range(60):
        assert 0.0 < f.update_and_score([r.uniform(-3e38, 3e38)]) <= 1.0
    text = f.to_json()
    assert "null" not in text.replace('"split":null', "")
    assert OnlineIForest.from_json(text).to_json() == text
