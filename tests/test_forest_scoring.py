"""Forest queries: score, displacement_score, density and attribution, checked
against hand-computed trees and a plain-Python walk of the state document
(tests/forest_oracle.py)."""

import json
import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from forest_oracle import DocumentOracle
from morvik3 import Forest

INF, NAN = math.inf, math.nan
LG3 = math.log2(3.0)
QUERIES = ("score", "displacement_score", "density")


def every_query(f, point):
    return {name: getattr(f, name)(point) for name in QUERIES} | {"attribution": f.attribution(point)}


def assert_matches_oracle(f, point):
    oracle = DocumentOracle(f)
    got = every_query(f, point)
    for name in QUERIES:
        assert got[name] == pytest.approx(getattr(oracle, name)(point), rel=1e-12, abs=1e-300), name
    expected = oracle.attribution(point)
    assert len(got["attribution"]) == len(expected)
    for g, e in zip(got["attribution"], expected):
        assert list(g) == ["below", "above"]
        assert g["below"] == pytest.approx(e["below"], rel=1e-12, abs=1e-300)
        assert g["above"] == pytest.approx(e["above"], rel=1e-12, abs=1e-300)
    return got


# ---------------------------------------------------------------------------
# Empty forests and hand-computed trees


@pytest.mark.parametrize(
    ("kwargs", "point"),
    [
        ({"input_dim": 3}, [1.0, 2.0, 3.0]),
        ({"input_dim": 2, "shingle_size": 3}, [1.5, 1.5]),
        ({"input_dim": 2, "shingle_size": 3}, [1.5] * 6),
        ({"input_dim": 2, "shingle_size": 3, "internal_shingling": False}, [INF, NAN, 0.0, 0.0, 1.0, 2.0]),
    ],
)
def test_empty_forest_answers_zero(kwargs, point):
    f = Forest(num_trees=4, capacity=8, seed=1, **kwargs)
    dim = kwargs["input_dim"] * kwargs.get("shingle_size", 1)
    assert every_query(f, point) == {
        "score": 0.0,
        "displacement_score": 0.0,
        "density": 0.0,
        "attribution": [{"below": 0.0, "above": 0.0}] * dim,
    }
    assert f.is_ready() is False


def fed(points, num_trees=3):
    # Full acceptance: every tree holds every point, so all trees have one shape.
    f = Forest(len(points[0]), num_trees=num_trees, capacity=16, initial_accept_fraction=1.0, seed=5)
    for p in points:
        f.update(p)
    return f


def miss_below(p, density):
    """A root separating the query with probability p over a missed leaf at depth 1 (pair 0, 1)."""
    return {
        "score": (0.5 * (1 - p) + 1.0 * p) * LG3,
        "displacement_score": (1.0 * (1 - p) + 2.0 * p) / 3,
        "density": density,
    }


PAIR = [[0.0], [1.0]]
PAIR_2D = [[0.0, 0.0], [1.0, 0.0]]  # only dimension 0 can be cut
NONE = [(0.0, 0.0)]
# At a stored point of the pair, the parent's spread (1) is the distance: one copy per unit.
STORED = {"score": 0.5 * 0.75 * LG3, "displacement_score": 0.5 * 0.75 / 3, "density": 1.0}
SEPARATED = {"score": LG3, "displacement_score": 2 / 3, "density": 0.0}
# (stream, query, expected values, attribution as (below, above) per dimension)
HAND_CASES = {
    # A leaf holding all its tree's mass damps a match by one half; the density
    # at a tree's only point is infinite.
    "lone leaf match": ([[5.0]], [5.0], {"score": 0.5, "displacement_score": 0.125, "density": INF}, NONE),
    "lone leaf miss": ([[5.0]], [7.0], {"score": 1.0, "displacement_score": 0.5, "density": 0.5}, NONE),
    "duplicate leaf match": ([[5.0], [5.0]], [5.0],
                             {"score": 0.5, "displacement_score": 0.5 / 3 / 3, "density": INF}, NONE),
    "duplicate leaf miss": ([[5.0], [5.0]], [6.0], {"score": LG3, "displacement_score": 2 / 3, "density": 2.0}, NONE),
    # Beyond the pair the distance to the nearer point exceeds the spread.
    "outside right": (PAIR, [3.0], miss_below(2 / 3, 0.5), [(0.0, 2 / 3 * LG3)]),
    "outside left": (PAIR, [-1.0], miss_below(1 / 2, 1.0), [(1 / 2 * LG3, 0.0)]),
    "stored right": (PAIR, [1.0], STORED, NONE),
    "stored left": (PAIR, [0.0], STORED, NONE),
    # Infinite gaps separate with certainty: the attribution carries the whole score.
    "plus infinity": (PAIR, [INF], SEPARATED, [(0.0, LG3)]),
    "minus infinity": (PAIR, [-INF], SEPARATED, [(LG3, 0.0)]),
    # NaN routes right, adds no gap and matches nothing.
    "nan": (PAIR, [NAN], {"score": 0.5 * LG3, "displacement_score": 1 / 3, "density": 1.0}, NONE),
    # The gap spans every dimension, and so does the attribution: 2 of 7 to
    # dimension 0, 5 of 7 to dimension 1, both above the data.
    "gap over all dims": (PAIR_2D, [3.0, 5.0], miss_below(7 / 8, 1 / 7), [(0.0, LG3 / 4), (0.0, 5 / 8 * LG3)]),
    # An infinite term takes the whole share.
    "infinite in uncut dim": (PAIR_2D, [-0.5, -INF], SEPARATED, [(0.0, 0.0), (LG3, 0.0)]),
}


@pytest.mark.parametrize("num_trees", [1, 3])
@pytest.mark.parametrize("case", list(HAND_CASES))
def test_hand_computed_trees(case, num_trees):
    points, query, expected, attribution = HAND_CASES[case]
    f = fed(points, num_trees)
    got = every_query(f, query)
    for name, value in expected.items():
        assert got[name] == pytest.approx(value, rel=1e-15), name
    assert got["attribution"] == [{"below": pytest.approx(b, rel=1e-15), "above": pytest.approx(a, rel=1e-15)}
                                  for b, a in attribution]


# ---------------------------------------------------------------------------
# Random forests against the document walk

coarse = st.integers(-4, 4).map(float)
query_value = st.one_of(
    coarse, coarse, st.floats(-10, 10, width=32), st.sampled_from([INF, -INF, NAN, 3.4e38, -3.4e38, 0.0, -0.0])
)


@settings(max_examples=40, deadline=None)
@given(
    shape=st.sampled_from([(1, 1, True), (2, 1, True), (2, 3, True), (2, 3, False), (3, 2, True)]),
    stream=st.lists(st.lists(coarse, min_size=6, max_size=6), min_size=0, max_size=60),
    queries=st.lists(st.lists(query_value, min_size=6, max_size=6), min_size=1, max_size=4),
    capacity=st.integers(1, 12),
    seed=st.integers(0, 2**64 - 1),
)
def test_queries_agree_with_a_walk_of_the_document(shape, stream, queries, capacity, seed):
    input_dim, shingle_size, internal = shape
    f = Forest(input_dim, shingle_size=shingle_size, internal_shingling=internal, num_trees=3,
               capacity=capacity, seed=seed)
    width = input_dim if internal else input_dim * shingle_size
    for p in stream:
        f.update(p[:width])
    before = f.to_json()
    oracle = DocumentOracle(f)
    # Stored rows as queries, so that walks end on matching leaves too.
    stored = [[float(v) for v in oracle.row(s["point_indices"][0])] for s in oracle.doc["samplers"] if s["size"]]
    for q in queries + stored:
        for length in {input_dim, input_dim * shingle_size} if internal else {input_dim * shingle_size}:
            got = assert_matches_oracle(f, q[:length])
            assert all(math.isfinite(v) for v in (got["score"], got["displacement_score"]))
            assert got["density"] >= 0.0  # infinite at a tree's only point
    assert f.to_json() == before, "queries change nothing, generators included"


# ---------------------------------------------------------------------------
# Infinite and extreme coordinates


def warm_forest(seed=3):
    f = Forest(3, num_trees=20, capacity=32, seed=seed)
    rng = np.random.default_rng(seed)
    for p in rng.normal(size=(300, 3)):
        f.update(p.tolist())
    return f


@pytest.mark.parametrize(
    "point", [[INF, 0.0, 0.0], [0.0, -INF, 0.0], [INF, -INF, INF], [NAN, INF, 0.0], [1e39, 0.0, 0.0]]
)
def test_infinite_coordinates_separate_at_the_root(point):
    f = warm_forest()
    trees = json.loads(f.to_json())["trees"]
    masses = [t["tree_mass"] for t in trees]
    assert all("Internal" in t["arena"]["nodes"][t["root"]] for t in trees)
    # Separated with certainty at the root: each tree answers from its root alone.
    got = every_query(f, point)
    assert got["score"] == pytest.approx(sum(math.log2(m + 1) for m in masses) / len(masses), rel=1e-12)
    assert got["displacement_score"] == pytest.approx(sum(m / (m + 1) for m in masses) / len(masses), rel=1e-12)
    assert got["density"] == 0.0
    # ...and the attribution carries the whole score, on the infinite coordinates.
    total = sum(a["below"] + a["above"] for a in got["attribution"])
    assert total == pytest.approx(got["score"], rel=1e-12)
    for a, v in zip(got["attribution"], point):
        if not abs(v) > 3.4028235e38:  # finite, or NaN, as a float32
            assert a == {"below": 0.0, "above": 0.0}


def test_deep_trees_agree_with_the_walk_and_attribute_at_most_the_score():
    f = warm_forest(4)
    rng = np.random.default_rng(9)
    for q in rng.normal(scale=3.0, size=(30, 3)):
        got = assert_matches_oracle(f, q.tolist())
        parts = [v for a in got["attribution"] for v in a.values()]
        assert all(v >= 0.0 for v in parts)
        assert sum(parts) <= got["score"] * (1 + 1e-12)


@pytest.mark.parametrize("query", [[0.0], [3e38], [3.4e38], [-3.4e38], [INF], [-INF], [NAN], [1e39]])
def test_a_forest_spanning_the_float_range_scores_finitely(query):
    f = Forest(1, num_trees=4, capacity=8, initial_accept_fraction=1.0, seed=2)
    for v in [-3e38, 3e38, 1.0, 2.0, -1.0, 2.5e38]:
        f.update([v])
    assert '"range_sum":null' in f.to_json()
    got = assert_matches_oracle(f, query)
    assert all(math.isfinite(v) for v in (got["score"], got["displacement_score"], got["density"]))
    assert all(math.isfinite(v) for a in got["attribution"] for v in a.values())


# ---------------------------------------------------------------------------
# update_and_score and the shingled query


@settings(max_examples=25, deadline=None)
@given(
    stream=st.lists(st.lists(coarse, min_size=2, max_size=2), min_size=1, max_size=80),
    shingle_size=st.integers(1, 3),
)
def test_update_and_score_scores_before_learning(stream, shingle_size):
    a = Forest(2, shingle_size=shingle_size, num_trees=4, capacity=8, seed=17)
    b = Forest(2, shingle_size=shingle_size, num_trees=4, capacity=8, seed=17)
    for p in stream:
        expected = b.score(p)
        b.update(p)
        assert a.update_and_score(p) == expected
    assert a.to_json() == b.to_json()


def test_shingled_query_is_the_shingle_that_is_then_stored():
    f = Forest(2, shingle_size=3, num_trees=3, capacity=64, initial_accept_fraction=1.0, seed=4)
    for p in [[1, 2], [3, 4], [5, 6], [7, 8]]:
        f.update(p)
    x, shifted = [9.0, 10.0], [5.0, 6.0, 7.0, 8.0, 9.0, 10.0]
    before = every_query(f, x) | {"near_neighbors": f.near_neighbors(x, 5, 0)}
    assert every_query(f, x) | {"near_neighbors": f.near_neighbors(x, 5, 0)} == before, "a query changes nothing"
    assert every_query(f, shifted) | {"near_neighbors": f.near_neighbors(shifted, 5, 0)} == before
    assert f.update_and_score(x) == before["score"]
    d = json.loads(f.to_json())
    ps = d["point_store"]
    assert ps["shingle_buf"] == shifted
    assert ps["store"]["data"][2 * 6:3 * 6] == shifted  # the third stored row
    nearest = f.near_neighbors(shifted, top_k=1)[0]
    assert (nearest["point"], nearest["distance"]) == (shifted, 0.0)


@pytest.mark.parametrize(
    ("kwargs", "length", "expected"),
    [
        ({"input_dim": 3}, 2, 3),
        ({"input_dim": 3}, 4, 3),
        ({"input_dim": 2, "shingle_size": 3}, 4, 6),
        ({"input_dim": 2, "shingle_size": 3}, 0, 6),
        ({"input_dim": 2, "shingle_size": 3, "internal_shingling": False}, 2, 6),
    ],
)
@pytest.mark.parametrize("method", [*QUERIES, "attribution", "update_and_score"])
def test_wrong_length_names_the_full_dimension(kwargs, length, expected, method):
    f = Forest(num_trees=2, capacity=8, seed=1, **kwargs)
    before = f.to_json()
    with pytest.raises(ValueError) as info:
        getattr(f, method)([1.0] * length)
    assert str(info.value) == f"dimension mismatch: expected {expected}, got {length}"
    assert f.to_json() == before
