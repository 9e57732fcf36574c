"""The batch methods: update_many, score_many and update_and_score_many give
bit for bit what the per-row loop gives, for every accepted form of input,
and stop at the first bad row with that row's error."""

import threading

import numpy as np
import pytest

from morvik3 import FeatureSketch, Forest, MStream, OnlineIForest

ROWS = 300


def make_forest(dim=3, **kw):
    return Forest(dim, num_trees=8, capacity=32, seed=5, **kw)


def loop(detector, method, rows):
    call = getattr(detector, method)
    return [call(r) for r in rows]


def stream(dim=3, rows=ROWS, seed=0):
    # Mostly normal data with a few spikes, so that scores vary.
    x = np.random.default_rng(seed).normal(size=(rows, dim)) * 3.0
    x[::37] += 40.0
    return x


LAYOUTS = {
    "float64": lambda x: x,
    "float32": lambda x: x.astype(np.float32),
    "int64": lambda x: x.astype(np.int64),
    "int32": lambda x: x.astype(np.int32),
    "int8": lambda x: np.clip(x, -128, 127).astype(np.int8),
    "uint16": lambda x: np.abs(x).astype(np.uint16),
    "uint64": lambda x: np.abs(x).astype(np.uint64) * np.uint64(2**40),
    "bool": lambda x: x > 0,
    "float16": lambda x: x.astype(np.float16),
    "big-endian": lambda x: x.astype(">f8"),
    "fortran": lambda x: np.asfortranarray(x),
    "strided": lambda x: np.repeat(x, 2, axis=0)[::2, :],
    "reversed columns": lambda x: x[:, ::-1].copy()[:, ::-1],
    "negative strides": lambda x: x[::-1][::-1],
    "column slice": lambda x: np.hstack([x, x])[:, 1 : 1 + x.shape[1]],
    "list of lists": lambda x: x.tolist(),
    "tuple of tuples": lambda x: tuple(map(tuple, x.tolist())),
    "generator of arrays": lambda x: (row for row in x),
    "memoryview": lambda x: memoryview(np.ascontiguousarray(x)),
}


@pytest.mark.parametrize("layout", sorted(LAYOUTS))
def test_forest_batches_equal_the_loop(layout):
    x = stream()
    data = LAYOUTS[layout]
    given = data(x)
    # What the per-call loop receives, row by row (a 2-D memoryview cannot be iterated).
    rows = list(np.asarray(given) if isinstance(given, memoryview) else given)

    batch, single = make_forest(), make_forest()
    scores = batch.update_and_score_many(data(x))
    assert scores.dtype == np.float64 and scores.shape == (ROWS,)
    assert scores.tolist() == loop(single, "update_and_score", rows)
    assert batch.to_json() == single.to_json()

    assert batch.score_many(data(x)).tolist() == loop(single, "score", rows)
    assert batch.update_many(data(x)) is None
    loop(single, "update", rows)
    assert batch.to_json() == single.to_json()


@pytest.mark.parametrize(
    ("make", "width"),
    [
        (lambda: make_forest(1, shingle_size=4), 1),
        (lambda: make_forest(2, shingle_size=3, internal_shingling=False), 6),
        (lambda: make_forest(4), 4),
    ],
    ids=["internal shingle", "external shingle", "four dims"],
)
@pytest.mark.parametrize("seed", [1, 2])
def test_forest_configurations_equal_the_loop(make, width, seed):
    x = stream(width, seed=seed)
    batch, single = make(), make()
    assert batch.update_and_score_many(x).tolist() == loop(single, "update_and_score", x)
    assert batch.score_many(x[:50]).tolist() == loop(single, "score", x[:50])
    assert batch.to_json() == single.to_json()


@pytest.mark.parametrize("layout", ["float64", "int32", "fortran", "list of lists", "generator of arrays"])
def test_onlineiforest_batches_equal_the_loop(layout):
    x = stream()
    data = LAYOUTS[layout]
    make = lambda: OnlineIForest(3, num_trees=4, window_size=64, max_leaf_samples=4, seed=2)  # noqa: E731
    batch, single = make(), make()
    assert batch.update_and_score_many(data(x)).tolist() == loop(single, "update_and_score", list(data(x)))
    assert batch.score_many(data(x)).tolist() == loop(single, "score", list(data(x)))
    batch.update_many(data(x))
    loop(single, "update", list(data(x)))
    assert batch.to_json() == single.to_json()


def records(rows=ROWS, seed=0):
    rng = np.random.default_rng(seed)
    numeric = rng.normal(size=(rows, 2)) * 5
    numeric[::53] += 60.0
    categorical = rng.integers(0, 6, size=(rows, 2))
    timestamps = 10 + np.arange(rows) // 4  # several records per tick
    return numeric, categorical, timestamps


MSTREAM_LAYOUTS = {
    "arrays": lambda n, c, t: (n, c, t),
    "float32, int32, uint64": lambda n, c, t: (n.astype(np.float32), c.astype(np.int32), t.astype(np.uint64)),
    "int numbers, uint8, int32": lambda n, c, t: (n.astype(np.int64), c.astype(np.uint8), t.astype(np.int32)),
    "strided": lambda n, c, t: (np.repeat(n, 2, axis=0)[::2], np.asfortranarray(c), np.repeat(t, 2)[::2]),
    "uint64 categories": lambda n, c, t: (n, c.astype(np.uint64), t),
    "lists": lambda n, c, t: (n.tolist(), c.tolist(), t.tolist()),
    "generators": lambda n, c, t: (iter(n.tolist()), (tuple(r) for r in c.tolist()), iter(t.tolist())),
}


@pytest.mark.parametrize("layout", sorted(MSTREAM_LAYOUTS))
def test_mstream_batches_equal_the_loop(layout):
    n, c, t = records()
    data = lambda: MSTREAM_LAYOUTS[layout](n, c, t)  # noqa: E731
    rows = list(zip(*(list(a) for a in MSTREAM_LAYOUTS[layout](n, c, t))))
    make = lambda: MStream(2, 2, num_buckets=64, seed=4)  # noqa: E731
    batch, single = make(), make()
    assert batch.update_and_score_many(*data()).tolist() == [single.update_and_score(*r) for r in rows]
    assert batch.to_json() == single.to_json()
    later = [(a, b, ts + 1000) for a, b, ts in rows]
    assert batch.score_many(*MSTREAM_LAYOUTS[layout](n, c, t + 1000)).tolist() == [single.score(*r) for r in later]
    assert batch.update_many(*MSTREAM_LAYOUTS[layout](n, c, t + 2000)) is None
    for a, b, ts in rows:
        single.update(a, b, ts + 2000)
    assert batch.to_json() == single.to_json()


def test_mstream_without_categorical_features():
    n, _, t = records(rows=50)
    batch, single = MStream(2, 0, seed=1), MStream(2, 0, seed=1)
    scores = batch.update_and_score_many(numeric=n, categorical=np.empty((50, 0), np.int64), timestamps=t)
    assert scores.tolist() == [single.update_and_score(a, [], int(ts)) for a, ts in zip(n.tolist(), t.tolist())]


@pytest.mark.parametrize(
    ("change", "bad", "error", "message"),
    [
        (lambda n, c, t: (n, c, np.where(np.arange(len(t)) == 7, -3, t)), 7, OverflowError,
         "can't convert negative int to unsigned"),
        (lambda n, c, t: (n, c.astype(np.float64), t), 0, TypeError,
         "argument 'categorical': 'numpy.float64' object cannot be interpreted as an integer"),
        (lambda n, c, t: (n, c, np.where(np.arange(len(t)) == 5, 1, t)), 5, ValueError,
         "timestamps must be non-decreasing: previous=11, got=1"),
        (lambda n, c, t: (n, c.tolist()[:3] + [[1]] + c.tolist()[4:], t), 3, ValueError,
         "dimension mismatch: expected 2, got 1"),
        (lambda n, c, t: (np.where(np.arange(len(t))[:, None] == 9, np.nan, n), c, t), 9, ValueError,
         "numeric values must be finite"),
    ],
    ids=["negative timestamp", "float categories", "timestamp going back", "short row", "nan"],
)
def test_mstream_stops_at_the_first_bad_record(change, bad, error, message):
    n, c, t = records(rows=20)
    args = change(n, c, t)
    batch, single = MStream(2, 2, seed=6), MStream(2, 2, seed=6)
    with pytest.raises(error) as raised:
        batch.update_many(*args)
    assert str(raised.value) == f"row {bad}: {message}"
    rows = list(zip(*(list(a) for a in args)))
    for r in rows[:bad]:
        single.update(*r)
    with pytest.raises(error):
        single.update(*rows[bad])  # which may leave its mark, as the non-finite record does
    assert batch.to_json() == single.to_json()


def test_mstream_arguments_of_different_lengths_change_nothing():
    n, c, t = records(rows=20)
    m = MStream(2, 2, seed=6)
    before = m.to_json()
    with pytest.raises(ValueError, match="^argument 'timestamps' has 19 rows, but 'numeric' has 20$"):
        m.update_many(n, c, t[:19])
    with pytest.raises(ValueError, match="^argument 'categorical' has 21 rows, but 'numeric' has 20$"):
        m.update_and_score_many(n, c.tolist() + [[1, 2]], t)
    assert m.to_json() == before


def test_forest_batches_in_pieces_equal_one_batch():
    x = stream()
    whole, pieces = make_forest(), make_forest()
    expected = whole.update_and_score_many(x)
    got = np.concatenate([pieces.update_and_score_many(x[i : i + 64]) for i in range(0, ROWS, 64)])
    assert got.tolist() == expected.tolist()
    assert pieces.to_json() == whole.to_json()


def test_result_is_a_fresh_writable_array():
    f = make_forest()
    scores = f.update_and_score_many(stream(rows=10))
    assert isinstance(scores, np.ndarray) and scores.flags.writeable and scores.flags.c_contiguous
    scores[:] = 0.0  # owned by the caller
    empty = f.score_many(np.empty((0, 3)))
    assert empty.shape == (0,) and empty.dtype == np.float64
    assert f.update_many([]) is None
    assert f.update_and_score_many(points=[[1, 2, 3]]).shape == (1,)


def events(rows=ROWS, seed=0):
    rng = np.random.default_rng(seed)
    names = [f"f{i}" for i in range(20)]
    out = []
    for i in range(rows):
        chosen = rng.choice(names, size=3, replace=False)
        values = rng.normal(size=3) * (10.0 if i % 41 == 0 else 1.0)
        pairs = [(str(n), float(v)) for n, v in zip(chosen, values)]
        out.append(dict(pairs) if i % 2 else pairs)
    return out


@pytest.mark.parametrize("container", [list, tuple, iter], ids=["list", "tuple", "iterator"])
def test_featuresketch_batches_equal_the_loop(container):
    ev = events()
    make = lambda: FeatureSketch(chains_per_ensemble=4, sketch_buckets=64, seed=3)  # noqa: E731
    batch, single = make(), make()
    assert batch.update_and_score_many(container(ev)).tolist() == loop(single, "update_and_score", ev)
    assert batch.score_many(container(ev[:40])).tolist() == loop(single, "score", ev[:40])
    batch.update_many(container(ev))
    loop(single, "update", ev)
    assert batch.to_json() == single.to_json()


# ---- the first bad row ----

FOREST_BAD_ROWS = [
    # (rows, index of the bad row, exception type, message after the prefix)
    ([[1, 2, 3]] * 5 + [[1, 2]] + [[4, 5, 6]], 5, ValueError, "dimension mismatch: expected 3, got 2"),
    ([[1, 2, 3]] * 3 + [[1, float("nan"), 3]], 3, ValueError, "point values must be finite"),
    ([[1, 2, 3]] * 2 + ["abc", [1, 2, 3]], 2, TypeError, "argument 'point': Can't extract `str` to `Vec`"),
    ([[1, 2, 3], 7], 1, TypeError, "argument 'point': 'int' object is not an instance of 'Sequence'"),
    ([[1, 2, 3], [1, "x", 3]], 1, TypeError, "argument 'point': must be real number, not str"),
    (np.vstack([np.ones((4, 3)), [[1e39, 0, 0]], np.ones((2, 3))]), 4, ValueError, "point values must be finite"),
]


@pytest.mark.parametrize(("rows", "bad", "error", "message"), FOREST_BAD_ROWS)
def test_forest_stops_at_the_first_bad_row(rows, bad, error, message):
    f, expected = make_forest(), make_forest()
    warm = stream(rows=40)
    f.update_many(warm)
    expected.update_many(warm)
    with pytest.raises(error) as raised:
        f.update_and_score_many(rows)
    assert str(raised.value) == f"row {bad}: {message}"
    # The single call raises the same error for that row.
    with pytest.raises(error, match="^" + message.replace("(", r"\(").replace(")", r"\)") + "$"):
        expected.update_and_score(rows[bad])
    # The rows before it are learned, it and the rest are not.
    loop(expected, "update", list(rows[:bad]))
    assert f.to_json() == expected.to_json()
    # The object stays usable.
    assert f.update_and_score_many(warm[:5]).tolist() == loop(expected, "update_and_score", warm[:5])

    # score_many stops where the loop of score() stops (which takes non-finite values).
    try:
        want = loop(expected, "score", list(rows))
    except error as e:
        with pytest.raises(error, match=f"^row {bad}: "):
            f.score_many(rows)
        assert str(e) == message
    else:
        assert f.score_many(rows).tolist() == want
    assert f.to_json() == expected.to_json()


def test_featuresketch_stops_at_the_first_bad_event():
    s, expected = FeatureSketch(seed=4), FeatureSketch(seed=4)
    ev = [{"a": 1.0}, [("b", 2.0)], {"a": float("inf")}, {"c": 3.0}]
    with pytest.raises(ValueError, match=r"^row 2: feature values must be finite$"):
        s.update_many(ev)
    expected.update_many(ev[:2])
    assert s.to_json() == expected.to_json()
    with pytest.raises(TypeError, match=r"^row 1: argument 'feature': failed to extract enum KeyValueLike") as e:
        s.score_many([{"a": 1.0}, 5])
    assert "- variant Dict (Dict)" in str(e.value)


class TwoArgumentError(Exception):
    def __init__(self, code, text):
        super().__init__(code, text)


class Unconvertible:
    def __float__(self):
        raise TwoArgumentError(7, "no float")


def test_an_error_that_cannot_take_a_prefix_gets_a_note():
    f = make_forest()
    with pytest.raises(TwoArgumentError) as e:
        f.update_many([[1, 2, 3], [1, Unconvertible(), 3]])
    assert e.value.args == (7, "no float")
    assert e.value.__notes__ == ["in row 1"]
    assert f.entries_seen() == 1


@pytest.mark.parametrize(
    ("points", "error", "message"),
    [
        (5, TypeError, "argument 'points': 'int' object is not iterable"),
        (np.zeros(3), ValueError, "argument 'points': expected a 2-D array, got 1 dimension"),
        (np.zeros((2, 3, 1)), ValueError, "argument 'points': expected a 2-D array, got 3 dimensions"),
        (b"abc", ValueError, "argument 'points': expected a 2-D array, got 1 dimension"),
    ],
)
def test_unusable_arguments_change_nothing(points, error, message):
    f = make_forest()
    before = f.to_json()
    with pytest.raises(error, match="^" + message + "$"):
        f.update_many(points)
    assert f.to_json() == before


def test_a_batch_holds_its_borrow_and_releases_the_interpreter():
    f = Forest(64, num_trees=200, capacity=64, seed=1)
    x = np.random.default_rng(2).normal(size=(3000, 64))
    seen = []
    worker = threading.Thread(target=lambda: seen.append(f.update_many(x)))
    worker.start()
    conflict = None
    while worker.is_alive() and conflict is None:
        try:
            f.score(x[0])
        except RuntimeError as e:
            conflict = str(e)
    worker.join()
    assert conflict == "Already mutably borrowed"
    assert seen == [None] and f.entries_seen() == 3000
