"""Forest queries beyond the scores: near neighbours, imputation and
extrapolation against a plain-Python walk of the state document
(tests/forest_oracle.py), their messages, determinism, and what density and
attribution report on data whose answer is known."""

import json
import math
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from forest_oracle import F32, DocumentOracle
from morvik3 import Forest

LG3 = math.log2(3.0)


@pytest.fixture(scope="module")
def cloud():
    """A default forest over 1000 points of a 2-D standard normal."""
    f = Forest(2, seed=11)
    for p in np.random.default_rng(11).normal(size=(1000, 2)):
        f.update(p.tolist())
    return f


# ---------------------------------------------------------------------------
# Messages and their order


def fresh(**kwargs):
    return Forest(2, num_trees=3, capacity=8, seed=1, **kwargs)


def observation(f):
    """A point `f.update` takes."""
    config = json.loads(f.to_json())["config"]
    width = config["input_dim"] * (1 if config["internal_shingling"] else config["shingle_size"])
    return [0.5] * width


def trained(**kwargs):
    f = fresh(**kwargs)
    width = len(observation(f))
    for k in range(20):
        f.update([float(k % 5 + j) for j in range(width)])
    return f


@pytest.mark.parametrize(
    ("make", "call", "error", "message"),
    [
        # percentile is checked before the point's length
        (trained, lambda f: f.near_neighbors([1.0], percentile=101), ValueError, "percentile must be in [0, 100]"),
        (trained, lambda f: f.near_neighbors([1.0, 2.0, 3.0]), ValueError, "dimension mismatch: expected 2, got 3"),
        (trained, lambda f: f.near_neighbors([1.0], top_k=0), ValueError, "dimension mismatch: expected 2, got 1"),
        # missing list, then length, then each index in list order, then readiness
        (fresh, lambda f: f.impute([1.0], []), ValueError, "missing list is empty"),
        (fresh, lambda f: f.impute([1.0], [5]), ValueError, "dimension mismatch: expected 2, got 1"),
        (fresh, lambda f: f.impute([1.0, 2.0], [0, 7, 2]), RuntimeError, "index out of bounds: 7"),
        (fresh, lambda f: f.impute([1.0, 2.0], [1]), RuntimeError, "forest not ready: insufficient data"),
        # no shingle-buffer rule for impute: the point is always full length
        (lambda: trained(shingle_size=3), lambda f: f.impute([1.0, 2.0], [0]), ValueError,
         "dimension mismatch: expected 6, got 2"),
        (lambda: fresh(internal_shingling=False), lambda f: f.extrapolate(5), ValueError,
         "extrapolation requires internal_shingling = true"),
        (fresh, lambda f: f.extrapolate(0), ValueError, "extrapolation requires shingle_size > 1"),
        (lambda: fresh(shingle_size=2), lambda f: f.extrapolate(3), ValueError,
         "extrapolation requires look_ahead <= shingle_size (got 3, shingle_size=2)"),
        (lambda: fresh(shingle_size=2), lambda f: f.extrapolate(1), RuntimeError,
         "forest not ready: insufficient data"),
        (trained, lambda f: f.near_neighbors([1.0, 2.0], top_k=1.0), TypeError, "argument 'top_k': "),
        (trained, lambda f: f.impute([1.0, 2.0], "0"), TypeError, "argument 'missing': "),
        (trained, lambda f: f.impute([1.0, 2.0], [-1]), OverflowError, ""),
        (trained, lambda f: f.extrapolate(look_ahead=-1), OverflowError, ""),
    ],
)
def test_messages_and_their_order(make, call, error, message):
    f = make()
    before = f.to_json()
    with pytest.raises(error) as info:
        call(f)
    assert str(info.value).startswith(message) and (error is not ValueError or str(info.value) == message)
    assert f.to_json() == before
    f.update(observation(f))  # the shared borrow was released


@pytest.mark.parametrize(
    ("make", "call", "expected"),
    [
        (fresh, lambda f: f.near_neighbors([1.0, 2.0]), []),
        (trained, lambda f: f.near_neighbors([1.0, 2.0], top_k=0), []),
        (lambda: fresh(shingle_size=2), lambda f: f.extrapolate(0), []),
        (trained, lambda f: len(f.near_neighbors([1.0, 2.0], percentile=0)) > 0, True),
        (trained, lambda f: len(f.near_neighbors([1.0, 2.0], percentile=100)) > 0, True),
    ],
)
def test_empty_answers_and_accepted_bounds(make, call, expected):
    assert call(make()) == expected


# ---------------------------------------------------------------------------
# Against the document walk

coarse = st.integers(-4, 4).map(float)
query_value = st.one_of(coarse, st.floats(-10, 10, width=32), st.sampled_from([math.inf, -math.inf, math.nan, 0.5]))


def exact(neighbours):
    """Points and distances, with NaN distances comparable."""
    return [(n["point"], "nan" if math.isnan(n["distance"]) else n["distance"]) for n in neighbours]


@settings(max_examples=40, deadline=None)
@given(
    shape=st.sampled_from([(1, 1, True), (2, 1, True), (2, 3, True), (2, 3, False), (1, 4, True)]),
    stream=st.lists(st.lists(coarse, min_size=6, max_size=6), min_size=1, max_size=60),
    query=st.lists(query_value, min_size=6, max_size=6),
    top_k=st.integers(0, 12),
    percentile=st.sampled_from([0, 25, 50, 51, 100]),
    missing=st.lists(st.integers(0, 5), min_size=1, max_size=3),
    centrality=st.sampled_from([1.0, 0.7, 0.0, 2.0]),
    capacity=st.integers(1, 12),
    seed=st.integers(0, 2**64 - 1),
)
def test_queries_agree_with_a_walk_of_the_document(shape, stream, query, top_k, percentile, missing, centrality,
                                                   capacity, seed):
    input_dim, shingle_size, internal = shape
    dim = input_dim * shingle_size
    f = Forest(input_dim, shingle_size=shingle_size, internal_shingling=internal, num_trees=3, capacity=capacity,
               seed=seed)
    for p in stream:
        f.update(p[:input_dim if internal else dim])
    before = f.to_json()
    oracle = DocumentOracle(f)
    trees_hold_points = any(t["tree_mass"] for t in oracle.trees)

    stored = [float(v) for v in oracle.row(oracle.doc["samplers"][0]["point_indices"][0])] if trees_hold_points else []
    for q in [query[:dim], query[:input_dim], stored]:
        if len(q) != dim and not (internal and len(q) == input_dim):
            continue
        got = f.near_neighbors(q, top_k=top_k, percentile=percentile)
        expected = oracle.near_neighbors(q, top_k, percentile)
        assert exact(got) == exact(expected)
        assert [g["score"] for g in got] == pytest.approx([e["score"] for e in expected], rel=1e-12)
        assert all(list(g) == ["score", "point", "distance"] for g in got)

    missing = [i % dim for i in missing]
    point = [v if math.isfinite(v) else 0.0 for v in query[:dim]]
    if trees_hold_points:
        assert f.impute(point, missing, centrality) == oracle.impute(point, missing, centrality)
    if internal and shingle_size > 1 and trees_hold_points:
        for look_ahead in range(1, shingle_size + 1):
            assert f.extrapolate(look_ahead) == oracle.extrapolate(look_ahead)
    assert f.to_json() == before, "queries change nothing, generators included"


# ---------------------------------------------------------------------------
# Near neighbours


def fed(points, num_trees=3):
    # Full acceptance: every tree holds every point, so all trees have one shape.
    f = Forest(len(points[0]), num_trees=num_trees, capacity=16, initial_accept_fraction=1.0, seed=5)
    for p in points:
        f.update(p)
    return f


@pytest.mark.parametrize(
    ("points", "query", "expected"),
    [
        # A root that is a leaf contributes its point at depth 0.
        ([[5.0]], [4.0], [(1.0, [5.0], 1.0)]),
        ([[5.0], [5.0]], [5.0], [(LG3, [5.0], 0.0)]),
        # Inside the pair's box only the query's own leaf, at depth 1...
        ([[0.0], [1.0]], [0.0], [(LG3 / 2, [0.0], 0.0)]),
        ([[0.0], [1.0]], [1.0], [(LG3 / 2, [1.0], 0.0)]),
        # ...and both leaves when the root separates it with p > 0.5 (here 2/3).
        ([[0.0], [1.0]], [3.0], [(LG3 / 2, [1.0], 2.0), (LG3 / 2, [0.0], 3.0)]),
        ([[0.0], [1.0]], [1.5], [(LG3 / 2, [1.0], 0.5)]),
    ],
)
def test_hand_computed_neighbours(points, query, expected):
    got = fed(points).near_neighbors(query)
    assert [(g["score"], g["point"], g["distance"]) for g in got] == [
        (pytest.approx(s, rel=1e-15), p, d) for s, p, d in expected]


@pytest.mark.parametrize("percentile", [0, 50, 100])
def test_an_interior_query_finds_its_own_point(cloud, percentile):
    oracle = DocumentOracle(cloud)
    rows = {r for s in oracle.doc["samplers"] for r in s["point_indices"][:40]}
    for r in sorted(rows)[:30]:
        point = [float(v) for v in oracle.row(r)]
        nearest = cloud.near_neighbors(point, top_k=3, percentile=percentile)[0]
        assert (nearest["point"], nearest["distance"]) == (point, 0.0)


def test_every_tree_contributes_its_leaf_and_lower_percentiles_find_more(cloud):
    oracle = DocumentOracle(cloud)
    counts = {p: [] for p in (0, 50, 75, 100)}
    for q in np.random.default_rng(3).normal(scale=1.5, size=(20, 2)).tolist():
        q32 = [F32(v) for v in q]
        routed = set()
        for t in oracle.live():
            kind, n = oracle.node(t, t["root"])
            while kind == "Internal":
                kind, n = oracle.node(t, oracle.side(q32, n))
            routed.add(tuple(float(v) for v in oracle.row(n["point_idx"])))
        for p in counts:
            found = cloud.near_neighbors(q, top_k=10**6, percentile=p)
            counts[p].append(len(found))
            assert routed <= {tuple(n["point"]) for n in found}
            assert [n["distance"] for n in found] == sorted(n["distance"] for n in found)
    assert all(a >= b >= c >= d >= 1 for a, b, c, d in zip(*counts.values()))
    assert sum(counts[50]) > sum(counts[75]) > sum(counts[100])


# ---------------------------------------------------------------------------
# Imputation and extrapolation


def spread_trees(num_trees, seed=2):
    """Trees of capacity 1 holding different points (i, 10 i), and those points by tree."""
    f = Forest(2, num_trees=num_trees, capacity=1, seed=seed)
    for i in range(200):
        f.update([float(i), 10.0 * i])
    oracle = DocumentOracle(f)
    return f, [oracle.row(t["arena"]["nodes"][t["root"]]["Leaf"]["point_idx"]) for t in oracle.trees]


def middle(values):
    """Odd count: the middle value; even: the mean of the two middle ones, in float32."""
    v = sorted(values)
    n = len(v)
    return v[n // 2] if n % 2 else F32(F32(v[n // 2 - 1] + v[n // 2]) * F32(0.5))


@pytest.mark.parametrize("num_trees", [2, 3, 4, 5])
def test_imputed_value_is_the_median_of_the_trees_points(num_trees):
    f, held = spread_trees(num_trees)
    assert len({p[1] for p in held}) == num_trees, "the trees hold different points"
    xs, ys = middle(p[0] for p in held), middle(p[1] for p in held)
    # Every tree's root is its only leaf, so the known coordinate does not
    # matter; it comes back narrowed to float32.
    assert f.impute([0.1, 123.0], [1]) == [float(F32(0.1)), float(ys)]
    assert f.impute([0.1, 123.0], [1, 1, 0]) == [float(xs), float(ys)]


def test_zero_centrality_takes_each_trees_last_leaf():
    f = Forest(2, num_trees=5, capacity=16, seed=3)
    for i in range(60):
        f.update([float(i % 13), float((i * 7) % 11)])
    point = [5.0, 0.0]
    oracle = DocumentOracle(f)
    # Every leaf after the first replaces the best: the last one searched is
    # the rightmost under the cuts of the missing coordinate.
    last = []
    for t in oracle.live():
        kind, n = oracle.node(t, t["root"])
        while kind == "Internal":
            kind, n = oracle.node(t, n["right"] if n["cut_dim"] == 1 else oracle.side([F32(5.0), F32(0.0)], n))
        last.append(oracle.row(n["point_idx"])[1])
    assert f.impute(point, [1], 0.0) == [5.0, float(middle(last))]
    for c in (0.0, 0.5):
        assert f.impute(point, [1], c) == f.impute(point, [1], c) == oracle.impute(point, [1], c)


def periodic_forest(period, input_dim=1, length=2000, seed=8):
    """A forest fed a series of period `period` (one value table, so it repeats
    exactly), and the next `period` observations."""
    cycle = [[math.sin(2 * math.pi * t / period + k) * (k + 1) for k in range(input_dim)] for t in range(period)]
    f = Forest(input_dim, shingle_size=period, num_trees=30, capacity=128, seed=seed)
    for t in range(length):
        f.update(cycle[t % period])
    return f, [cycle[t % period] for t in range(length, length + period)]


@pytest.mark.parametrize(("period", "input_dim"), [(8, 1), (5, 2), (2, 3)])
def test_extrapolate_continues_a_periodic_series(period, input_dim):
    f, future = periodic_forest(period, input_dim)
    expected = [float(F32(v)) for x in future for v in x]
    for look_ahead in (1, period // 2 or 1, period):
        assert f.extrapolate(look_ahead) == expected[:look_ahead * input_dim]


def test_extrapolate_forecasts_rather_than_reestimates():
    f = Forest(1, shingle_size=4, num_trees=20, capacity=64, seed=6)
    for t in range(400):  # a sawtooth 0, 1, 2, 3 ending on 3
        f.update([float(t % 4)])
    assert f.extrapolate(4) == [0.0, 1.0, 2.0, 3.0]


# ---------------------------------------------------------------------------
# Attribution and density on data whose answer is known


@pytest.mark.parametrize(
    ("point", "dimension", "side"),
    [([8.0, 0.0], 0, "above"), ([-8.0, 0.0], 0, "below"), ([0.0, 8.0], 1, "above"), ([0.3, -9.0], 1, "below")],
)
def test_attribution_lands_on_the_far_dimension_and_side(cloud, point, dimension, side):
    got = cloud.attribution(point)
    total = sum(a["below"] + a["above"] for a in got)
    assert got[dimension][side] >= 0.98 * total
    assert total == pytest.approx(cloud.score(point), rel=0.05)


def test_attribution_splits_a_diagonal_outlier_evenly(cloud):
    got = cloud.attribution([9.0, 9.0])
    assert got[0]["above"] == pytest.approx(got[1]["above"], rel=0.2)
    assert got[0]["below"] + got[1]["below"] < 0.01 * got[0]["above"]


def test_density_falls_along_a_ray_from_the_centre(cloud):
    for direction in ([1.0, 0.0], [0.6, -0.8], [-0.7071, -0.7071]):
        # A small ring around the point at distance r averages out the noise of single queries.
        values = []
        for r in (0.0, 1.5, 3.0, 4.5, 8.0, 16.0):
            ring = [[r * direction[0] + 0.2 * math.cos(a), r * direction[1] + 0.2 * math.sin(a)]
                    for a in np.linspace(0, 2 * math.pi, 16, endpoint=False)]
            values.append(np.mean([cloud.density(q) for q in ring]))
        assert values == sorted(values, reverse=True)
    assert cloud.density([0.1, -0.1]) > 10 * cloud.density([8.0, 8.0])


def test_a_denser_cluster_reads_denser():
    rng = np.random.default_rng(4)
    sparse = rng.uniform(0.0, 1.0, size=(300, 2))
    dense = rng.uniform(10.0, 11.0, size=(3000, 2))
    data = np.concatenate([sparse, dense])
    f = Forest(2, seed=4)
    for p in data[rng.permutation(len(data))]:
        f.update(p.tolist())
    inside = rng.uniform(0.2, 0.8, size=(50, 2))
    assert np.mean([f.density((q + 10.0).tolist()) for q in inside]) > 2.0 * np.mean(
        [f.density(q.tolist()) for q in inside])


@pytest.mark.parametrize("c", [2.0, 0.25, 1024.0])
def test_density_is_scale_equivariant(c):
    rng = np.random.default_rng(5)
    stream = rng.normal(size=(600, 3))
    a, b = Forest(3, seed=9), Forest(3, seed=9)
    for p in stream:
        a.update(p.tolist())
        b.update((p * c).tolist())
    for q in rng.normal(scale=2.0, size=(20, 3)):
        assert b.density((q * c).tolist()) == a.density(q.tolist()) / c


# ---------------------------------------------------------------------------
# Determinism


def test_repeated_queries_agree_and_change_nothing():
    f, _ = periodic_forest(6, input_dim=2, length=400)
    point = [0.5, -1.0]
    full = point * 6
    calls = [
        lambda g: g.density(point),
        lambda g: g.attribution(point),
        lambda g: g.near_neighbors(point, top_k=5, percentile=20),
        lambda g: g.impute(full, [1, 4, 11], 0.3),
        lambda g: g.impute(full, [0], 1.0),
        lambda g: g.extrapolate(6),
    ]
    before = f.to_json()
    first = [call(f) for call in calls]
    assert [call(f) for call in calls] == first
    assert f.to_json() == before
    assert [call(Forest.from_json(before)) for call in calls] == first


def test_concurrent_queries_agree_with_sequential_ones():
    f, _ = periodic_forest(4, input_dim=2, length=600)
    points = np.random.default_rng(7).normal(size=(30, 2)).tolist()
    work = [
        *[(lambda p=p: f.near_neighbors(p, top_k=8, percentile=60)) for p in points],
        *[(lambda p=p: f.impute(p * 4, [0, 5], 0.4)) for p in points],
        *[(lambda p=p: f.density(p)) for p in points],
        lambda: f.extrapolate(4),
    ]
    expected = [call() for call in work]
    with ThreadPoolExecutor(4) as pool:
        rounds = list(pool.map(lambda _: [call() for call in work], range(12)))
    assert rounds == [expected] * 12
