"""ScoreCalibrator: mid-rank calibration of a stream of scores.

Every calibrated value is checked bit for bit against a plain sorted-list
oracle written here, which computes the exact fraction and rounds it once."""

import collections
import copy
import inspect
import json
import math
import os
import pickle
import random
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import morvik3
from morvik3 import ScoreCalibrator
from readme_examples import example

INF = math.inf


class Oracle:
    """The calibration as stated: among the last `window` scores before it, the
    fraction strictly below plus half the fraction equal; 0.5 for none."""

    def __init__(self, window):
        self.window = window
        self.scores = collections.deque()

    def score(self, s):
        if not self.scores:
            return 0.5
        below = sum(1 for v in self.scores if v < s)
        equal = sum(1 for v in self.scores if v == s)
        return float(Fraction(below, len(self.scores)) + Fraction(equal, 2 * len(self.scores)))

    def update(self, s):
        calibrated = self.score(s)
        self.scores.append(s)
        if len(self.scores) > self.window:
            self.scores.popleft()
        return calibrated


def stream(rng, n, ties):
    """Scores with few distinct values when `ties`, infinities and signed zeros among them."""
    out = []
    for _ in range(n):
        r = rng.random()
        if r < 0.05:
            out.append(rng.choice([INF, -INF, 0.0, -0.0]))
        elif ties:
            out.append(float(rng.randrange(5)))
        else:
            out.append(rng.lognormvariate(0.0, 1.0))
    return out


def same_bits(a, b):
    return np.asarray(a, dtype=np.float64).tobytes() == np.asarray(b, dtype=np.float64).tobytes()


# --- Calibration against the oracle --------------------------------------------


@pytest.mark.parametrize("window", [1, 2, 3, 7, 64])
@pytest.mark.parametrize("ties", [True, False], ids=["ties", "distinct"])
@pytest.mark.parametrize("seed", range(3))
def test_single_calls_match_the_oracle_through_wrap_around(window, ties, seed):
    rng = random.Random(seed * 1000 + window)
    scores = stream(rng, 5 * window + 40, ties)
    calibrator, oracle = ScoreCalibrator(window=window, warmup=0), Oracle(window)
    for s in scores:
        probe = rng.choice(scores + [INF, -INF])
        assert same_bits(calibrator.score(probe), oracle.score(probe))
        assert same_bits(calibrator.update(s), oracle.update(s))
    assert calibrator.entries_seen() == len(scores)


@pytest.mark.parametrize("window", [1, 5, 100])
@pytest.mark.parametrize("seed", range(3))
def test_batches_match_the_oracle_and_the_single_calls(window, seed):
    rng = random.Random(seed)
    scores = stream(rng, 400, ties=seed % 2 == 0)
    oracle = Oracle(window)
    expected = [oracle.update(s) for s in scores]
    probes = stream(rng, 50, ties=True)
    expected_preview = [oracle.score(p) for p in probes]

    batched = ScoreCalibrator(window=window)
    # Batches of different sizes, as an array and as a list, give one stream.
    got = np.concatenate([batched.update_many(np.array(scores[:150])), batched.update_many(scores[150:151]),
                          batched.update_many(scores[151:])])
    assert got.dtype == np.float64 and same_bits(got, expected)
    before = batched.to_json()
    assert same_bits(batched.score_many(probes), expected_preview)
    assert batched.to_json() == before

    single = ScoreCalibrator(window=window)
    for s in scores:
        single.update(s)
    assert single.to_json() == batched.to_json()


@settings(max_examples=150, deadline=None)
@given(
    window=st.integers(1, 12),
    scores=st.lists(st.one_of(st.integers(-3, 3).map(float), st.sampled_from([INF, -INF, -0.0, 5e-324]),
                              st.floats(allow_nan=False)), max_size=60),
)
def test_any_stream_matches_the_oracle(window, scores):
    oracle = Oracle(window)
    expected = [oracle.update(s) for s in scores]
    calibrator = ScoreCalibrator(window=window)
    assert same_bits(calibrator.update_many(scores), expected)
    assert same_bits(calibrator.score_many([INF, -INF, 0.0, 1.0]), [oracle.score(p) for p in (INF, -INF, 0.0, 1.0)])


def test_the_defining_cases():
    c = ScoreCalibrator(window=4)
    assert c.score(7.0) == 0.5  # nothing seen yet
    assert c.update_many([1.0, 2.0, 2.0, INF]).tolist() == [0.5, 1.0, 0.75, 1.0]
    assert c.score(INF) == 0.875  # above the three finite scores, tied with the infinite one
    assert c.score(1e308) == 0.75 and c.score(-INF) == 0.0 and c.score(2.0) == 0.5
    assert c.score(-0.0) == c.score(0.0) == 0.0
    c.update(3.0)  # the 1.0 leaves
    assert c.score(1.5) == 0.0 and c.score(3.0) == 0.625


def test_is_ready_counts_scores_against_warmup():
    c = ScoreCalibrator(window=2, warmup=3)
    assert not c.is_ready()
    c.update_many([1.0, 2.0])
    assert not c.is_ready() and c.entries_seen() == 2
    c.update(3.0)
    assert c.is_ready() and c.entries_seen() == 3
    assert ScoreCalibrator(warmup=0).is_ready()


def test_numbers_of_any_kind_convert_like_floats():
    c = ScoreCalibrator(window=10)
    c.update_many(np.array([3, 1, 2], dtype=np.int16))
    c.update(np.float32(2.5))
    c.update_many(np.array([True, False]))
    c.update_many(np.arange(8.0)[::4])  # strided
    reference = ScoreCalibrator(window=10)
    reference.update_many([3.0, 1.0, 2.0, 2.5, 1.0, 0.0, 0.0, 4.0])
    assert c.to_json() == reference.to_json()


# --- Errors ---------------------------------------------------------------------


def test_nan_is_refused_and_changes_nothing():
    c = ScoreCalibrator(window=3)
    c.update_many([1.0, 2.0])
    before = c.to_json()
    for call in (c.update, c.score):
        with pytest.raises(ValueError, match=r"^score must not be NaN$"):
            call(math.nan)
    assert c.to_json() == before


def test_a_nan_in_a_batch_names_its_row_and_keeps_the_rows_before():
    c = ScoreCalibrator(window=3)
    with pytest.raises(ValueError, match=r"^row 2: score must not be NaN$"):
        c.update_many(np.array([1.0, 2.0, math.nan, 4.0]))
    reference = ScoreCalibrator(window=3)
    reference.update_many([1.0, 2.0])
    assert c.to_json() == reference.to_json()
    with pytest.raises(ValueError, match=r"^row 1: score must not be NaN$"):
        c.score_many([0.0, math.nan])
    assert c.to_json() == reference.to_json()


@pytest.mark.parametrize(
    ("kwargs", "error", "message"),
    [
        ({"window": 0}, ValueError, r"^window must be > 0$"),
        ({"window": 2**32}, ValueError, r"^window must be <= 4294967295$"),
        ({"window": -1}, OverflowError, r"negative"),
        ({"window": 2**64}, OverflowError, r"too big"),
        ({"window": 1.5}, TypeError, r"^argument 'window': "),
        ({"warmup": "3"}, TypeError, r"^argument 'warmup': "),
        ({"warmup": -1}, OverflowError, r"negative"),
        ({"seed": 1}, TypeError, r"seed"),
    ],
)
def test_constructor_arguments_are_checked(kwargs, error, message):
    with pytest.raises(error, match=message):
        ScoreCalibrator(**kwargs)


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda c: c.update("1.0"), TypeError, r"^argument 'score': must be real number, not str$"),
        (lambda c: c.score(None), TypeError, r"^argument 'score': must be real number, not NoneType$"),
        (lambda c: c.update(), TypeError, r"score"),
        (lambda c: c.update_many(np.zeros((2, 2))), ValueError, r"^argument 'scores': expected a 1-D array, got 2 dimensions$"),
        (lambda c: c.score_many(3.0), TypeError, r"^argument 'scores': 'float' object is not iterable$"),
        (lambda c: c.update_many([1.0, "x", 2.0]), TypeError, r"^row 1: argument 'score': must be real number, not str$"),
    ],
)
def test_method_arguments_are_checked(call, error, message):
    c = ScoreCalibrator(window=5)
    with pytest.raises(error, match=message):
        call(c)
    assert c.entries_seen() == (1 if "row 1" in message else 0)


def test_a_window_beyond_physical_memory_raises_memory_error():
    physical = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    if physical >= 32 * 2**32:
        pytest.skip("this machine could hold the largest window")
    with pytest.raises(MemoryError, match=r"^ScoreCalibrator needs \d+ bytes .* of physical memory"):
        ScoreCalibrator(window=2**32 - 1)


# --- Documents, copies, pickles -------------------------------------------------


def test_document_layout():
    c = ScoreCalibrator(window=3, warmup=2)
    c.update_many([1.5, INF, -INF, -0.0])
    assert c.to_json() == '{"config":{"window":3,"warmup":2},"entries_seen":4,"scores":["inf","-inf",-0.0]}'
    assert json.loads(c.to_json())["scores"] == ["inf", "-inf", -0.0]


@pytest.mark.parametrize("cut", [0, 3, 20, 57])
def test_round_trips_mid_stream_continue_identically(cut, tmp_path):
    rng = random.Random(cut)
    scores = stream(rng, 120, ties=True)
    c = ScoreCalibrator(window=16, warmup=5)
    c.update_many(scores[:cut])
    path = tmp_path / "c.json"
    c.save_json(path)
    twins = [ScoreCalibrator.from_json(c.to_json()), ScoreCalibrator.from_json(c.to_json().encode()),
             ScoreCalibrator.load_json(path), copy.copy(c), copy.deepcopy(c), pickle.loads(pickle.dumps(c))]
    expected = c.update_many(scores[cut:])
    for twin in twins:
        assert same_bits(twin.update_many(scores[cut:]), expected)
        assert twin.to_json() == c.to_json() and twin.is_ready() == c.is_ready()


def test_copies_are_independent():
    c = ScoreCalibrator(window=4)
    c.update(1.0)
    twin = copy.copy(c)
    twin.update(2.0)
    assert (c.entries_seen(), twin.entries_seen()) == (1, 2)


def doc(window=3, warmup=1, entries_seen=2, scores=(1.0, "inf")):
    return {"config": {"window": window, "warmup": warmup}, "entries_seen": entries_seen, "scores": list(scores)}


@pytest.mark.parametrize(
    ("text", "message"),
    [
        (doc(entries_seen=3), r"scores must hold the last 3 scores \(the lesser of entries_seen 3 and window 3\), not 2$"),
        (doc(entries_seen=9, scores=[1.0, 2.0]), r"scores must hold the last 3 scores .*, not 2$"),
        (doc(window=1), r"scores must hold the last 1 scores .*, not 2$"),
        (doc(window=0, entries_seen=0, scores=[]), r"window must be > 0$"),
        (doc(window=2**32), r"window must be <= 4294967295$"),
        (doc(scores=[1.0, "nan"]), r'invalid value: string "nan", expected a number, "inf" or "-inf" at line 1'),
        (doc(scores=[1.0, "Infinity"]), r'invalid value: string "Infinity"'),
        (doc(scores=[1.0, None]), r'invalid type: null, expected a number, "inf" or "-inf"'),
        (doc(scores=[1.0, [2.0]]), r"invalid type: sequence"),
        (doc(entries_seen=-1), r"invalid value: integer `-1`, expected u64"),
        (doc(warmup=1.5), r"invalid type: floating point `1.5`, expected u64"),
        ({"config": {"window": 3, "warmup": 1}, "scores": []}, r"missing field `entries_seen`"),
        ('{"config":{"window":3,"warmup":1},"entries_seen":1,"scores":[1e400]}', r"number out of range"),
        ('{"config":{"window":3,"warmup":1},"entries_seen":1,"scores":[NaN]}', r"expected value"),
        ("[]", r"invalid length 0"),
    ],
)
def test_inconsistent_documents_are_refused_and_change_nothing(text, message):
    text = text if isinstance(text, str) else json.dumps(text)
    with pytest.raises(ValueError, match=r"^invalid ScoreCalibrator JSON: " + message):
        ScoreCalibrator.from_json(text)
    c = ScoreCalibrator(window=3)
    c.update_many([0.5, 0.25])
    before = c.to_json()
    with pytest.raises(ValueError, match=r"^invalid ScoreCalibrator JSON: "):
        c.__setstate__(text)
    assert c.to_json() == before


def test_consistent_hand_written_documents_load():
    # Integers and exponents for scores, any warmup, a window that is still filling.
    c = ScoreCalibrator.from_json(json.dumps(doc(window=5, warmup=99, entries_seen=3, scores=[2, "-inf", 1e3])))
    assert (c.entries_seen(), c.is_ready()) == (3, False)
    assert c.score(2.0) == 0.5 and c.update(INF) == 1.0


# --- The class ------------------------------------------------------------------


def test_class_facts():
    c = ScoreCalibrator(window=7, warmup=2)
    assert repr(c) == str(c) == "ScoreCalibrator(window=7, warmup=2, entries_seen=0)"
    assert type(c).__module__ == "morvik3.morvik3" and "ScoreCalibrator" in morvik3.__all__
    assert c.__getnewargs__() == (7, 2)
    signature = inspect.signature(ScoreCalibrator)
    assert [(p.name, p.default) for p in signature.parameters.values()] == [("window", 10000), ("warmup", 100)]
    assert list(inspect.signature(ScoreCalibrator.update_many).parameters) == ["self", "scores"]
    assert list(inspect.signature(ScoreCalibrator.score).parameters) == ["self", "score"]
    assert not hasattr(c, "update_and_score") and not hasattr(c, "update_and_score_many")
    assert "float64 numpy array" in ScoreCalibrator.update_many.__doc__
    with pytest.raises(TypeError):
        type("Sub", (ScoreCalibrator,), {})


def test_readme_example(capsys):
    exec(example("Is it an anomaly?", "morvik3.Forest("), {})
    assert capsys.readouterr().out == "[3000, 3001, 3002, 3003]\n"
